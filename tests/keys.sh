#!/bin/sh
# Key cases through pipes, one a line: the exit status; the keys that arrive, in order, each pressed
# and released; the command; what else stands on standard error. Standard output holds nothing but
# live mode's usage. A failing line prints its replay. Usage: tests/keys.sh HOW-TO-RUN-KESTROV...
run="$*" scratch=$(mktemp -d) passed=0 failed=0
trap 'rm -rf "$scratch"' EXIT
printf 'i, j, k, l, and space for basic navigation and select, capital Q exits\n\n' >"$scratch/usage"

kestrov() { CASCADE_TRACE=${CASCADE_TRACE-$scratch/trace} $run "$@"; }
bytes() { i=$1; while [ "$i" -le "$2" ]; do printf "\\$(printf %o "$i")"; i=$((i + 1)); done; }

check() {  # check STATUS KEYS COMMAND [STDERR]
    rm -f "$scratch/trace" "$scratch/f"
    eval "$3" </dev/null >"$scratch/out" 2>"$scratch/err"
    status=$? out=$(cat "$scratch/out") err=$(grep -v '^down 0x\|^up 0x' "$scratch/err")
    got=$(cat "$scratch/trace" "$scratch/err" 2>/dev/null | awk '/^(down|up) 0x/ { printf "%s %s ", $1, $3 }')
    want=$(for key in $2; do printf 'down %s up %s ' "$key" "$key"; done)
    sed '1{/^Kestrov [0-9.]* by .* -- ./d;}' "$scratch/out" | cmp -s - "$scratch/usage" && out=
    case $err in ${4-}) err= ;; *) err=${err:-(nothing)} ;; esac
    if [ "$status $got" = "$1 $want" ] && [ -z "$out$err" ]; then passed=$((passed + 1)); else
        failed=$((failed + 1)) && printf 'FAIL: kestrov() { %s "$@"; }; %s\n  got  %s: %s%s%s\n  want %s: %s\n' \
            "$run" "$3" "$status" "$got" "${out:+ stdout: $out}" "${err:+ stderr: $err}" "$1" "$want" | cut -c 1-400
    fi
}

# Key strings: every byte is a key or nothing; the argument after each -k is its key string.
every="enter select 0 1 2 3 4 5 6 7 8 9 audio rewind guide fast-forward previous next page-down pause page-up power mute
  select back exit favourites arrow-up arrow-left arrow-down arrow-right menu info options play exit record stop f5 text zoom"
check 0 "$every"                 'echo 5 | kestrov -k "$(bytes 1 255)"'
check 0 ''                       'kestrov -k ""'
check 0 ''                       'printf ilQ | kestrov -h'
check 0 'select back 1 2'        'kestrov -k abc -k 12'
check 0 '5'                      'kestrov -kfoo 5'
check 0 'arrow-down'             'kestrov -k -k'
check 0 '3'                      'kestrov x -k 3 y'
check 0 ''                       'kestrov --k 3 -K 3 "" -'
check 0 'arrow-up arrow-right'   'kestrov -k iQl'
check 2 ''                       'kestrov -k'                    'kestrov: option -k needs a key string'
check 2 ''                       'kestrov -k il -kx'             'kestrov: option -k needs a key string'
check 0 'arrow-up arrow-right'   'kestrov -k "$(head -c 131069 /dev/zero | tr "\\0" c)il"'
check 0 'arrow-up arrow-right'   'kestrov $(yes c | head -n 5000 | sed "s/^/-k /") -k il'

# u sequences read their digit from standard input, in both modes, one byte per read.
check 0 'f5 3'                   'echo 5 | kestrov -k u3'
check 0 '3'                      'kestrov -k u3'
check 1 'arrow-up'               'kestrov -k iu3 <&-'           'kestrov: standard input: Bad file descriptor'
check 0 'f1 1 f8 8'              'printf 18 | kestrov -k u1u8'
check 0 ''                       'printf 9u0Q | kestrov -k uuuu'
check 0 'f1 f2'                  'printf 12 | { kestrov -k u; kestrov -k u; }'

# Live mode on a pipe or a file: a key per character up to Q or the end of input.
check 0 'arrow-up arrow-right'   'printf il | kestrov'
check 0 'f1'                     'printf u1u9uuQ | kestrov'
check 0 'arrow-right select'     "printf 'uQl Q' | kestrov"
check 0 ''                       'printf u | kestrov'
check 0 'arrow-up arrow-right'   "printf '\\200i\\377u\\261u\\321l\\321Q' | kestrov"
check 0 'audio enter exit'       "printf '\\033[A\\r\\nqQq' | kestrov"
check 0 'arrow-up arrow-right'   'printf ilQx | kestrov >&-'
check 0 'arrow-up arrow-right'   '{ sleep 1; printf ilQ; } | { dd iflag=nonblock count=0 2>/dev/null; kestrov; }'
check 0 'arrow-up'               'printf iQrest | { kestrov; cat >&2; }'                    'rest'
check 1 ''                       'kestrov </'                    'kestrov: standard input: Is a directory'
check 1 ''                       'kestrov <&-'                   'kestrov: standard input: Bad file descriptor'

# The trace never holds up a key: one that can't be opened, its reader gone or behind (9 s: a remote's keys, paced, fill a pipe in 6), a standard
# error nobody reads (the evdev library's lines too), told at exit what it lost; settings as digits, none when setuid.
# A trace that is standard error by another name is standard error: each line once, at the shell's offset.
# A pipe's reader, unlike a FIFO's, is there before kestrov opens the trace: no case waits for one that never comes.
# A held key shows its press for the whole hold; a signal ends the hold, the key released first, or the pause after a release.
pipe=/proc/self/fd/3 is=$(printf '%.0si' $(seq 2000)) ups=$(printf '%.0sarrow-up ' $(seq 2000)) fast='env CASCADE_TRACE= CASCADE_DELAY_MS=0 CASCADE_DEVICE=/dev/null'
check 0 'arrow-up arrow-right'   'CASCADE_TRACE=/nonexistent/trace kestrov -k il' 'libCascade: cannot open trace /nonexistent/trace: No such file or directory; tracing to standard error'
check 0 'arrow-up'               'CASCADE_DEVICE=/dev/null CASCADE_TRACE=/proc/self/fd/2 kestrov -k i 2>&1 | grep -v "^libCascade: .*/dev/null" >&2'
check 0 'arrow-up'               'CASCADE_TRACE=$scratch/err kestrov -k i; echo after >&2' 'after'
check 0 'arrow-up'               'mkfifo $scratch/f; CASCADE_TRACE=$scratch/f timeout 10 $run -k i' 'libCascade: cannot open trace */f: No such device or address; tracing to standard error'
check 0 'arrow-up arrow-up arrow-right' 'CASCADE_DELAY_MS=100 CASCADE_TRACE=$pipe $run -k iil 3>&1 >&- | { read a && read b && printf "%s\n%s\n" "$a" "$b"; } >$scratch/trace' "libCascade: the reader of trace $pipe went away; tracing to standard error"
check 0 "$ups"                   'CASCADE_TRACE=$pipe CASCADE_DELAY_MS=0 $run -k $is 3>&1 >&- 2>/dev/null | { sleep 0.3; cat; } >$scratch/trace'
check 0 "$ups"                   'CASCADE_TRACE=$pipe CASCADE_DELAY_MS=0 $run -k $is 3>&1 >&- | { sleep 9; cat; } >$scratch/trace' "libCascade: trace $pipe took nothing for a second (its reader fell behind); tracing to standard error from here"
check 0 ''                       '{ $fast timeout 3 $run -k $is 2>&1 >/dev/null; echo "status $?" >&2; } | sleep 4' 'status 0'
check 0 'f1'                     '{ sleep 3.5; echo 1; } | $fast $run -k $is -k u 2>&1 >/dev/null | { sleep 2.5; grep -v arrow-up >&2; }' '*libCascade: standard error took nothing for a second; * lines dropped'
check 0 ''                       '{ sleep 2.5; echo; } | $fast $run -k $is -k u 2>&1 >/dev/null | { sleep 3; grep -v arrow-up >&2; }' '*libCascade: standard error took nothing for a second; * lines dropped'
check 0 'arrow-up'               'CASCADE_DELAY_MS=10001 kestrov -k i' 'libCascade: CASCADE_DELAY_MS=10001 is not 0 to 10000 milliseconds; using ?'
check 0 'arrow-up'               'CASCADE_DELAY_MS=" 5" kestrov -k i' 'libCascade: CASCADE_DELAY_MS= 5 is not 0 to 10000 milliseconds; using ?'
check 0 'arrow-up'               'CASCADE_HOLD_MS=900 kestrov -k i & sleep 0.4; sed "s/^/at 0.4 s: /" $scratch/trace >&2; wait' 'at 0.4 s: down 0x1000C arrow-up'
check 143 'arrow-up'             'CASCADE_TRACE=$scratch/trace CASCADE_HOLD_MS=10000 $run -k il & sleep 0.4; kill -TERM $!; sleep 0.3; echo "at 0.7 s: $(cut -d" " -f1 $scratch/trace | tr "\\n" " ")" >&2; wait $!' '*at 0.7 s: down up *'
check 143 'arrow-up'             'CASCADE_TRACE=$scratch/trace CASCADE_DELAY_MS=1000 $run -k il & sleep 1.5; kill -TERM $!; sleep 0.3; s=$(cut -d" " -f3 /proc/$!/stat 2>&-); echo "0.3 s after: ${s:-Z}" >&2; wait $!' '0.3 s after: Z'
if [ "$(id -u)" = 0 ] && [ $# = 1 ]; then  # kestrov setuid root, run by nobody
check 0 ''                       'cp $run $scratch; chmod 4755 $scratch/kestrov; chmod 755 $scratch; su -s /bin/sh nobody -c "CASCADE_TRACE=$scratch/made $scratch/kestrov -k i" 2>&1 | grep -v "^down\|^up" >&2; test ! -e $scratch/made' 'libCascade: CASCADE_TRACE ignored: this process has more privilege than its user*'
else echo "skipped: the setuid case, which needs root and kestrov without an emulator"; fi

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
