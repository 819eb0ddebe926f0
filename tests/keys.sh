#!/bin/sh
# The key cases. Each line runs a shell command that calls `kestrov` and
# names what must come of it: the exit status, the keys that arrive (button
# names, each a press followed by its release, in order), and what stands
# on standard error besides the keys. Live mode must also print its usage.
# A failing line prints the command that replays it.
# Usage: tests/keys.sh COMMAND...   how to run kestrov, e.g. build/default/kestrov
#        or qemu-mipsel -L /usr/mipsel-linux-gnu build/mipsel/kestrov
run="$*"
scratch=$(mktemp -d) && trap 'rm -rf "$scratch"' EXIT
mkfifo "$scratch/fifo"
passed=0 failed=0

# kestrov as the cases call it: traced to a file, noting when it should
# show its usage (live mode with standard output open).
kestrov() {
    [ $# -gt 0 ] || { true >&1; } 2>/dev/null && : >"$scratch/live"
    CASCADE_TRACE=${CASCADE_TRACE-$scratch/trace} $run "$@"
}
# kestrov in the background with each key held 500 ms, sent SIGNAL while its first key is down.
killWhileDown() {  # killWhileDown SIGNAL ARGUMENT...
    signal=$1 && shift && n=0
    exec 3<&0  # a job started with & would read /dev/null otherwise
    CASCADE_TRACE=$scratch/trace CASCADE_DELAY_MS=500 $run "$@" <&3 >/dev/null &
    until grep -q down "$scratch/trace" 2>/dev/null || [ $((n += 1)) -gt 200 ]; do sleep 0.05; done
    kill -"$signal" $! && wait $! 2>/dev/null
}
bytes() { i=$1; while [ "$i" -le "$2" ]; do printf "\\$(printf %o "$i")"; i=$((i + 1)); done; }
usage="i, j, k, l, and space for basic navigation and select, capital Q exits"

check() {  # check STATUS KEYS COMMAND [MESSAGE]
    rm -f "$scratch/live" "$scratch/trace"
    eval "$3" </dev/null >"$scratch/out" 2>"$scratch/err"
    status=$?
    got=$(cat "$scratch/trace" "$scratch/err" 2>/dev/null | awk '/^(down|up) 0x/ { printf "%s%s %s", s, $1, $3; s = ", " }')
    want=$(s=; for key in $2; do printf '%sdown %s, up %s' "$s" "$key" "$key"; s=", "; done)
    message=$(grep -v '^down 0x\|^up 0x' "$scratch/err")
    shown=$(cat "$scratch/out")
    if [ -e "$scratch/live" ]; then
        banner=$(head -n 1 "$scratch/out")
        case $banner in "Kestrov "*" by "*" -- "?*) ;; *) banner="(no banner)" ;; esac
        [ "$shown" = "$banner
$usage" ] && [ "$(wc -l <"$scratch/out")" -eq 3 ] && shown=
    fi
    ok=yes
    case $message in ${4-}) ;; *) ok= ;; esac
    if [ "$status" = "$1" ] && [ "$got" = "$want" ] && [ -z "$shown" ] && [ "$ok" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAIL: kestrov() { %s "$@"; }; %s\n  status %s, want %s\n  keys   %s\n  want   %s\n  stdout %s\n  stderr %s\n' \
            "$run" "$3" "$status" "$1" "$got" "$want" "$shown" "$message"
    fi
}

# Key strings: every byte is a key or nothing; the argument after each -k is its key string.
every="enter select 0 1 2 3 4 5 6 7 8 9 audio rewind guide fast-forward previous next page-down pause
  page-up power mute select back exit favourites arrow-up arrow-left arrow-down arrow-right menu info
  options play exit record stop f5 text zoom"
check 0 "$every"                 'echo 5 | kestrov -k "$(bytes 1 255)"'
check 0 'arrow-up arrow-right arrow-up arrow-right' 'kestrov -k ilil'
check 0 ''                       'kestrov -k ""'
check 0 ''                       'printf ilQ | kestrov -h'
check 0 'select back 1 2'        'kestrov -k abc -k 12'
check 0 '5'                      'kestrov -kfoo 5'
check 0 'arrow-down'             'kestrov -k -k'
check 0 '3'                      'kestrov x -k 3 y'
check 0 ''                       'kestrov --k 3 -K 3 "" -'
check 0 'arrow-up arrow-right'   'kestrov -k iQl'
check 0 'exit exit'              'kestrov -k qe'
check 0 ''                       "kestrov -k \"\$(printf '\\r\\t\\033\\177\\200\\240\\377')\""
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
check 0 'f1 f2'                  '{ sleep 1; printf 12; } | { dd iflag=nonblock count=0 2>/dev/null; kestrov -k uu; }'

# Live mode on a pipe or a file: a key per character up to Q or the end of input.
check 0 'arrow-up arrow-right'   'printf ilQx | kestrov'
check 0 'arrow-up arrow-right'   'printf il | kestrov'
check 0 ''                       'kestrov'
check 0 'f1'                     'printf u1u9uuQ | kestrov'
check 0 'arrow-right select'     "printf 'uQl Q' | kestrov"
check 0 ''                       'printf u | kestrov'
check 0 'arrow-up arrow-right'   "printf '\\200i\\377u\\261u\\321l\\321Q' | kestrov"
check 0 'audio enter exit'       "printf '\\033[A\\r\\nqQq' | kestrov"
check 0 'arrow-up arrow-right'   'printf ilQx | kestrov >&-'
check 0 'arrow-up arrow-right'   '{ sleep 1; printf ilQ; } | { dd iflag=nonblock count=0 2>/dev/null; kestrov; }'
check 0 'arrow-up'               'printf iQrest | { kestrov; cat >"$scratch/rest"; } && [ "$(cat "$scratch/rest")" = rest ]'
check 1 ''                       'kestrov </'                    'kestrov: standard input: Is a directory'
check 1 ''                       'kestrov <&-'                   'kestrov: standard input: Bad file descriptor'

# A signal while a key is down acts only once the key is released.
check 142 'arrow-right'          'killWhileDown ALRM -k l'
check 129 'arrow-right'          'killWhileDown HUP -k l'
check 143 'arrow-right'          'echo l | killWhileDown TERM'

# The trace library: a trace that can't be opened, never waiting for one, and its delay.
check 0 'arrow-up arrow-right'   'CASCADE_TRACE=/nonexistent/trace kestrov -k il' \
    'libCascade: cannot open trace /nonexistent/trace: No such file or directory; tracing to standard error'
check 0 'arrow-up'               'CASCADE_TRACE=$scratch/fifo kestrov -k i' \
    'libCascade: cannot open trace */fifo: No such device or address; tracing to standard error'
check 0 'arrow-up'               'CASCADE_DELAY_MS=20 kestrov -k i'
check 0 'arrow-up'               'CASCADE_DELAY_MS=10001 kestrov -k i' \
    'libCascade: CASCADE_DELAY_MS=10001 is not 0 to 10000 milliseconds; using 0'
check 0 'arrow-up'               'CASCADE_DELAY_MS=1s kestrov -k i' \
    'libCascade: CASCADE_DELAY_MS=1s is not 0 to 10000 milliseconds; using 0'

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
