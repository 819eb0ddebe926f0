#!/bin/sh
# The evdev library on a real kernel, one case a line: a command; the Linux keys that a reader of our
# virtual remote or of the PS/2 keyboard (busybox's dd, not ours) sees, in order, each pressed and
# released with a SYN_REPORT, one key down at a time; standard error, lines joined by " | ". Run as root on the virtual device.
scratch=$(mktemp -d) passed=0 failed=0
trap 'rm -rf "$scratch"' EXIT

brief() { if [ ${#1} -le 600 ]; then printf %s "$1"; else printf '%s\n' $1 | sort | uniq -c | tr -s ' \n' '  '; fi; }  # long: counted

check() {  # [keep=SECONDS] [order=1: key by key] [every30=1: the remote read every 30 ms, first in line for the processor] [ignore=KEY: not counted] check COMMAND KEYS [STDERR [SECONDS THE REMOTE'S READER LAGS]]
    rm -f "$scratch/remote"; dd if=/dev/input/event0 of="$scratch/keyboard" bs=16 2>/dev/null & reader=$!  # PS/2 keyboard
    (export CASCADE_SETTLE_MS=1000 CASCADE_KEEP_S=${keep:-0}; eval "$1") >/dev/null 2>"$scratch/err" & tool=$!
    until [ -e /dev/input/event1 ] || ! kill -0 $tool 2>/dev/null; do sleep 0.02; done  # our remote, when it comes
    slowly='dd bs=16'; [ -z "${every30-}" ] || slowly=/tests/reader
    { sleep "${4:-0}"; eval timeout 120 "$slowly"; } 2>/dev/null </dev/input/event1 >"$scratch/remote" &  # ends as the remote goes; 120 s: a bound, not a wait
    wait $tool; kill $reader; wait
    got=$(od -An -v -tu2 -w16 "$scratch/keyboard" "$scratch/remote" 2>/dev/null | awk -v norep="${norep-}" -v ignore="${ignore-}" '
        $5 == 20 { next }  # a new remote'"'"'s repeat settings
        $5 == 1 && $7 == 1 && down != "" { printf "(%s down too) ", down }  # a remote has one key down at a time
        $5 == 1 && $7 == 1 { down = $6 } $5 == 1 && $7 == 0 && $6 == down { down = "" }
        $5 == 1 && $6 == ignore { unreported = 1; next } unreported && $5 == 0 { unreported = 0; next }
        $5 == 1 && $7 == 2 { if (!repeats++ && !norep) printf "rep "; next }  # the kernel'"'"'s repeats of a held key, as one
        $5 == 0 && $7 == 1 { next }
        { repeats = 0; printf "%s ", $5 == 1 ? $6 ":" $7 : $5 $6 $7 == "000" ? "syn" : $5 "/" $6 "/" $7 }')
    [ -z "${order-}" ] || got=$(printf '%s %s\n' $got | sort -s -n -t: -k1,1 | tr '\n' ' ')  # calls at the same time
    want=$(for key in $2; do printf '%s:1 syn %s%s:0 syn ' "${key%r}" "${key#"${key%r}"}" "${key%r}"; done | sed 's/ r/ rep /g')
    err=$(sed ':a;N;$!ba;s/\n/ | /g' "$scratch/err")
    case $err in ${3-}) err= ;; *) err=${err:-(nothing)} ;; esac
    if [ "$got" = "$want" ] && [ -z "$err" ]; then passed=$((passed + 1)); else
        failed=$((failed + 1)) && printf 'FAIL: %s\n  got  %s%s\n  want %s\n' "$1" "$(brief "$got")" "${err:+ stderr: $err}" "$(brief "$want")"
    fi
}

# Every key, in both modes, as numbered in linux/input-event-codes.h: KEY_NUMERIC_0 is 512, KEY_OK 352, KEY_F1 59.
every="512 513 514 515 516 517 518 519 520 521 28 352 103 108 105 106 104 109 412 407 208 168 119 392 207
  128 365 364 158 372 388 167 139 358 174 357 116 113 59 60 61 62 63 64 65 66"
check 'printf 12345678 | kestrov -k "$(printf "0123456789\n ikjlUOJLFBPApsEfbzxrmneoWXuuuuuuuu")"' "$every"
check 'printf "0123456789\n ikjlUOJLFBPApsEfbzxrmneoWXu1u2u3u4u5u6u7u8Q" | kestrov' "$every"
check 'kestrov -k i & sleep 0.5; cat /sys/class/input/event1/device/name /sys/class/input/event1/device/id/bustype >&2; wait' '103' 'Kestrov remote | 0006'
check 'CASCADE_SETTLE_MS=x kestrov -k i'                      '103' 'libCascade: CASCADE_SETTLE_MS=x is not 0 to 10000 milliseconds; using 200'
check 'LD_PRELOAD=/tests/libOldKernel.so kestrov -k i1 & sleep 0.5; cat /sys/class/input/event1/device/name >&2; wait' '103 2' 'Kestrov remote'
norep=1 check 'CASCADE_DELAY_MS=3000 kestrov -k i & sleep 2; kill -TERM $!' '103' '' 2.3  # a reader that lags behind the signal
check 'mkfifo /tmp/k; kestrov </tmp/k & exec 3>/tmp/k; printf il >&3; sleep 0.5; printf jk >&3; exec 3>&-; wait' '103 106 105 108'
check 'cp /usr/bin/kestrov /tmp; chmod 4755 /tmp/kestrov; su nobody -c "CASCADE_DEVICE=/dev/null CASCADE_TRACE=/made /tmp/kestrov -k i"; kestrov -k ""; ls /made' '103' 'libCascade: CASCADE_TRACE ignored: * | libCascade: CASCADE_DEVICE ignored: * | ls: /made: No such file or directory'

# Into an existing device, with the first of a button's keys that it has, and every way the events can't go where they should.
check 'CASCADE_DEVICE=/dev/input/event0 kestrov -k ilj'               '103 106 105'
check 'CASCADE_DEVICE=/dev/input/event0 kestrov -k aAA0'              '28 11' 'libCascade: /dev/input/event* has no KEY_AUDIO or KEY_LANGUAGE for 0x10017, button audio (*); tracing the keys it lacks to standard error | down 0x10017 audio | up 0x10017 audio | down 0x10017 audio | up 0x10017 audio'
check '/tests/receiver 2 3 28 402 103 & sleep 1; CASCADE_DEVICE=/dev/input/event1 kestrov -k 12aUi; kill $!' '2 3 28 402 103'
check 'CASCADE_DEVICE=/dev/input/event9 kestrov -k i'         ''    'libCascade: cannot open /dev/input/event9: No such file or directory (*); tracing to standard error | down 0x1000C arrow-up | up 0x1000C arrow-up'
check 'CASCADE_DEVICE=/dev/null kestrov -k i'                 ''    'libCascade: cannot use /dev/null: not an input device (*); tracing to standard error | down 0x1000C arrow-up | up 0x1000C arrow-up'
check 'su nobody -c "kestrov -k i"'                           ''    'libCascade: cannot create a virtual remote through /dev/uinput: Permission denied (run as root*); tracing to standard error | down 0x1000C arrow-up | up 0x1000C arrow-up'
check 'mv /dev/uinput /tmp; kestrov -k i; mv /tmp/uinput /dev' ''    'libCascade: cannot create a virtual remote through /dev/uinput: No such file or directory (load the uinput module*); tracing to standard error | down 0x1000C arrow-up | up 0x1000C arrow-up'

# One remote kept for every call of its user: in order, whole presses at the same time, none held by any kill.
k20=$(printf '103 %.0s' $(seq 20); printf '106 %.0s' $(seq 20)) made='kestrov -k ""; sleep 0.5' gone='CASCADE_KEEP_S=0 kestrov -k'
slow='CASCADE_DELAY_MS=1000' kbd='CASCADE_DEVICE=/dev/input/event0' bound='for i in $(seq 50); do grep -q @kestrov/0/remote /proc/net/unix && break; sleep 0.1; done'
keep=9 check         "$made; kestrov -k i; kestrov -k l; $gone j"                                          '103 106 105'
keep=9 order=1 check "$made; for i in \$(seq 20); do kestrov -k il & done; wait; $gone ''"                  "$k20"
keep=9 check         "$slow kestrov -k i & sleep 1.5; kill -KILL \$!; sleep 0.3; $gone l"                   '103 106'
keep=9 check         "setsid sh -c '$slow kestrov -k i' & sleep 1.5; kill -KILL -\$!; sleep 0.3; $gone l"   '103 106'
keep=9 check         "$kbd $slow kestrov -k i & sleep 0.5; kill -KILL \$!; sleep 0.2; $kbd $gone l"         '103 106'
keep=1 check         'kestrov -k i; sleep 3; grep -c Kestrov /proc/bus/input/devices >&2; ps | grep -c [k]estrov >&2' '103' '0 | 0'
keep=9 check         "$made; su nobody -c '/tests/peer kestrov/0/remote 440000000c000100' >&2; $gone l"     '106' 'closed'
keep=9 check         "$made; /tests/peer kestrov/0/remote 440000000c00010000 >&2; kestrov -k i; $gone l"    '103 106' 'closed'
check                "su nobody -c 'exec /tests/peer kestrov/0/remote' & $bound; kestrov -k i; kill \$!"   '103' 'libCascade: uid 65534, another user, holds the name of the keeper for /dev/uinput; this call makes a keeper of its own'
check                "$kbd $slow kestrov -k il & sleep 0.5; killall -KILL kestrov-keeper; wait"            '103 106' 'libCascade: the keeper of /dev/input/event0 went away; starting a new one'
check 'mkfifo /tmp/f; exec 4<>/tmp/f; dd if=/dev/zero bs=4096 count=16 >&4 2>&-; /tests/receiver 103 & sleep 1; CASCADE_TRACE=/tmp/f CASCADE_DEVICE=/dev/input/event1 kestrov -k i; kill $!' '103' 'libCascade: trace /tmp/f took nothing for a second*'

# Under pressure: few descriptors (setuid too), what holds the keeper's name and does not answer, stopped keepers and
# callers, bursts of calls for a reader that reads every 30 ms (500 at once, with the listen queue of kernels before 5.4;
# one ended by SIGTERM as it waits its turn, its keys not counted; one as its new remote settles), two calls holding keys
# at once, a keep request of the wrong size; no keeper left behind, none spinning.
limits='for n in 4 5 6 7 8 9; do sh -c "ulimit -n $n; exec $k -k i"; done' other='su nobody -c "exec /tests/peer kestrov/0/remote'
backlog=/proc/sys/net/core/somaxconn
ended() { s=$(cut -d' ' -f3 "/proc/$1/stat" 2>&-); [ "${s:-Z}" = Z ]; }  # gone, or a zombie not yet waited for
idle='sleep 1; for p in $(pidof kestrov-keeper); do [ "$(cut -d" " -f14 /proc/$p/stat)" -lt 20 ] || echo "$p spinning" >&2; done'
emfile='Too many open files (raise the limit on open files: ulimit -n); tracing to standard error | down 0x1000C arrow-up | up 0x1000C arrow-up'
keep=9 check  "k=kestrov; $limits; $idle; $gone ''"   '103 103 103 103' "libCascade: cannot start a keeper for /dev/uinput: $emfile | libCascade: cannot create a virtual remote through /dev/uinput: $emfile"
keep=9 check  "cp /usr/bin/kestrov /tmp; chmod 4755 /tmp/kestrov; su nobody -c 'k=/tmp/kestrov; $limits'; $idle; $gone ''" '103 103 103 103' "*keeper for /dev/uinput: $emfile | *through /dev/uinput: $emfile | *capabilities)"
check         "$other\" & $bound; kill -STOP \$!; kestrov -k i; kill -KILL \$!"  '103' 'libCascade: uid 65534, another user, holds the name of the keeper for /dev/uinput; this call makes a keeper of its own'
keep=9 check  "$other listen\" & $bound; kestrov -k i; kill \$!; sleep 1.5; pidof kestrov-keeper >&2" '103' 'libCascade: uid 65534, another user, holds the name of the keeper for /dev/uinput; this call makes a keeper of its own'
check         "$other bind\" & $bound; kestrov -k i; kill \$!"               '103' 'libCascade: something holds the name of the keeper for /dev/uinput and does not answer; this call makes a keeper of its own'
keep=9 check  "$kbd LD_PRELOAD=/tests/libStopAfterListen.so kestrov -k i & sleep 3; killall -CONT kestrov kestrov-keeper 2>&-; wait; sleep 0.3; $kbd $gone l" '103 106' 'libCascade: the keeper of /dev/input/event0 (pid *) stopped answering; this call goes on with a keeper of its own'
keep=9 check  "$kbd kestrov -k ''; killall -STOP kestrov-keeper; $kbd kestrov -k i; killall -CONT kestrov-keeper 2>&-; $kbd $gone l" '103 106' 'libCascade: the keeper of /dev/input/event0 (pid *) is stopped; this call makes a keeper of its own (kill -CONT * lets it go on)'
keep=9 norep=1 check "$kbd kestrov -k ''; $kbd CASCADE_DELAY_MS=150 kestrov -k iiiiiiiiii & sleep 1.2; killall -STOP kestrov-keeper; wait \$!; killall -CONT kestrov-keeper 2>&-; sleep 0.5; $kbd $gone l" '103 103 103 103 103 103 103 103 103 103 106' 'libCascade: the keeper of /dev/input/event0 (pid *) stopped answering; this call goes on with a keeper of its own'
keep=20 check "$kbd CASCADE_HOLD_MS=10000 kestrov -k i & sleep 1; kill -STOP \$!; sleep 11; $kbd kestrov -k l; kill -CONT \$!; wait; $kbd $gone ''" '103 106'
keep=9 order=1 every30=1 check "for i in \$(seq 10); do kestrov -k ilil & done; wait; $gone ''"                "$(printf '103 %.0s' $(seq 20); printf '106 %.0s' $(seq 20))"
keep=9 order=1 every30=1 check "$made; for i in \$(seq 40); do kestrov -k ilil & done; wait; $gone ''"        "$(printf '103 %.0s' $(seq 80); printf '106 %.0s' $(seq 80))"
keep=9 order=1 every30=1 check "echo 128 >$backlog; $made; for i in \$(seq 500); do kestrov -k ilil & done; wait; $gone ''; echo 4096 >$backlog" "$(printf '103 %.0s' $(seq 1000); printf '106 %.0s' $(seq 1000))"
keep=9 order=1 every30=1 ignore=108 check "$made; for i in \$(seq 200); do kestrov -k $(printf %.0sil $(seq 10)) & done; kestrov -k kkkk & sleep 1; kill -TERM \$!; sleep 1; ended \$! || echo 'running a second after SIGTERM' >&2; wait; $gone ''" "$(printf '103 %.0s' $(seq 2000); printf '106 %.0s' $(seq 2000))"
check                "CASCADE_SETTLE_MS=5000 kestrov -k i & sleep 1; kill -TERM \$!; sleep 1; ended \$! || echo 'running a second after SIGTERM' >&2; wait" ''
keep=9 order=1 check "$made; CASCADE_HOLD_MS=300 kestrov -k iiii & CASCADE_HOLD_MS=300 kestrov -k llll & wait; $gone ''" '103 103 103 103 106 106 106 106'
keep=9 check         "$made; /tests/peer kestrov/0/remote 4b0000003c00000000 >&2; $gone l"                   '106' 'closed' 

# kestrovd with LIRC's irsend, on its socket and over TCP: keys, REPEATS and SEND_START held 2 s (repeated by our
# remote), a held key released by SIGTERM, and ended by kestrov's key, as a new key ends the last; a held press read
# from the remote while kestrovd holds it.
lircd='ifconfig lo 127.0.0.1 up; kestrovd --socket /tmp/l --listen 8765 >/dev/null & sleep 1;' stop='kill $!; wait $!' ir='irsend -d /tmp/l'
pressed='od -An -tu2 -w16 /tmp/p | awk '"'"'$5 != 20 { printf "%s:%s:%s ", $5, $6, $7 }'"'"' >&2'  # what a reader had: the held press, before its stop
check         "$lircd $ir SEND_ONCE kestrov KEY_UP KEY_RIGHT KEY_OK; $stop"                        '103 106 352'
check         "$lircd irsend -a 127.0.0.1:8765 SEND_ONCE kestrov KEY_DOWN; $stop"                   '108'
check         "$lircd $ir --count=3 SEND_ONCE kestrov KEY_LEFT; $stop"                            '105r'
check         "$lircd $ir SEND_START kestrov KEY_OK; sleep 2; $ir SEND_STOP kestrov KEY_OK; $stop"   '352r'
check         "$lircd irsend -a 127.0.0.1:8765 SEND_START kestrov KEY_OK; sleep 2; $ir SEND_STOP kestrov KEY_OK; $stop" '352r'
check         "$lircd $ir SEND_START kestrov KEY_OK; sleep 1.5; $stop"                           '352r'
norep=1 check "$lircd $ir SEND_START kestrov KEY_OK; kestrov -k i; $ir SEND_STOP kestrov KEY_OK; $stop" '352 103'
norep=1 check "$lircd k=\$!; dd if=/dev/input/event1 bs=16 count=4 of=/tmp/p 2>&- & sleep 0.5; $ir SEND_START kestrov KEY_OK; sleep 0.3; $pressed; $ir SEND_STOP kestrov KEY_OK; kill \$k; wait \$k" '352' '1:352:1 0:0:0 '

# kestrovd and irsend with no options meet at /run/lirc/lircd; at boot, busybox runs kestrovd's init script: status 0
# while it runs, 3 once stopped, its socket gone.
init='sh /etc/init.d/kestrovd'
check         'kestrovd >/dev/null & sleep 1; irsend SEND_ONCE kestrov KEY_OK; kill $!; wait $!' '352'
check         "$init start >&2; irsend SEND_ONCE kestrov KEY_OK; $init status >&2; echo \$? >&2; $init stop >&2; $init status >&2; echo \$? >&2; ls /run/lirc >&2" '352' \
              'kestrovd started (pid *), its lines in /var/log/kestrovd.log | kestrovd is running (pid *) | 0 | kestrovd stopped | kestrovd is not running | 3'

# Held keys: the press in the device for the whole hold, repeated by our remote (500 ms, then every 125 ms) and by a
# receiver with repeats of its own; a signal ends a hold at once, the key released first.
check         'CASCADE_HOLD_MS=2000 kestrov -k il'                    '103r 106r'
check         'CASCADE_HOLD_MS=400 kestrov -k il'                     '103 106'
check         "/tests/receiver 103 & sleep 1; CASCADE_HOLD_MS=1000 CASCADE_DEVICE=/dev/input/event1 kestrov -k i; kill \$!" '103r'
keep=9 norep=1 check "$made; CASCADE_HOLD_MS=10000 kestrov -k il & sleep 1; kill -TERM \$!; wait; $gone ''" '103'

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
