#!/bin/sh
# The evdev library on a real kernel: keys as a reader of the event device
# sees them (busybox dd and od, nothing of ours), on our virtual remote or on
# the device CASCADE_DEVICE names. Each line: a command; the Linux keys that
# must come out, in order, each pressed, reported, released and reported; and
# standard error, its lines joined by " | ". Usage: tests/evdev.sh (as root)
scratch=$(mktemp -d) && trap 'rm -rf "$scratch"' EXIT
passed=0 failed=0
grep -qs ^nobody: /etc/passwd || echo 'nobody:x:65534:65534::/:/bin/sh' >>/etc/passwd  # a user who isn't root

node() {  # the event device of the input device named $1
    for name in /sys/class/input/event*/device/name; do
        [ "$(cat "$name")" = "$1" ] && echo "/dev/input/$(basename "${name%/device/name}")" && return
    done
    false
}
keyboard=$(node "AT Raw Set 2 keyboard")
events() {  # what a reader saw: code:value for a key, "syn" for a report
    od -An -v -tu2 -w16 "$@" 2>/dev/null | awk '{ print $5 == 1 ? $6 ":" $7 : $5 == 0 && $6 == 0 ? "syn" : $5 "/" $6 "/" $7 }'
}

check() {  # check COMMAND KEYS [STDERR]
    dd if="$keyboard" of="$scratch/keyboard" bs=16 2>/dev/null & reader=$!
    (export CASCADE_SETTLE_MS=1000; eval "$1") >/dev/null 2>"$scratch/err" & tool=$!
    rm -f "$scratch/remote"
    until remote=$(node "Kestrov remote") || ! kill -0 $tool 2>/dev/null; do sleep 0.02; done
    [ -n "$remote" ] && dd if="$remote" of="$scratch/remote" bs=16 2>/dev/null &
    wait $tool
    kill $reader && wait  # the remote's reader ends when the remote goes
    got=$(events "$scratch/keyboard" "$scratch/remote" | tr '\n' ' ')
    want=$(for key in $2; do printf '%s:1 syn %s:0 syn ' "$key" "$key"; done)
    err=$(sed ':a;N;$!ba;s/\n/ | /g' "$scratch/err")
    # shellcheck disable=SC2254
    case $err in ${3-}) ok=yes ;; *) ok= ;; esac
    if [ "$got" = "$want" ] && [ "$ok" ]; then passed=$((passed + 1)); else
        failed=$((failed + 1))
        printf 'FAIL: %s\n  events %s\n  want   %s\n  stderr %s\n' "$1" "$got" "$want" "$err"
    fi
}

# Every key, in both modes: 0-9 are KEY_NUMERIC_0-9 (512-521), enter 28, select KEY_OK 352, up 103, down 108,
# left 105, right 106, page up 104, down 109, previous 412, next 407, fast forward 208, rewind 168, pause 119,
# audio 392, play 207, stop 128, guide KEY_EPG 365, favourites 364, back 158, zoom 372, text 388, record 167,
# menu 139, info 358, exit 174, options 357, power 116, mute 113, f1-f8 59-66.
every="512 513 514 515 516 517 518 519 520 521 28 352 103 108 105 106 104 109 412 407 208 168 119 392 207
  128 365 364 158 372 388 167 139 358 174 357 116 113 59 60 61 62 63 64 65 66"
check 'printf 12345678 | kestrov -k "$(printf "0123456789\n ikjlUOJLFBPApsEfbzxrmneoWXuuuuuuuu")"' "$every"
check 'printf "0123456789\n ikjlUOJLFBPApsEfbzxrmneoWXu1u2u3u4u5u6u7u8Q" | kestrov' "$every"
check 'kestrov -k "" -k xQ'                                  '388'
check 'CASCADE_TRACE=/proc/self/fd/2 kestrov -k i'               '103' 'down 0x1000C arrow-up | up 0x1000C arrow-up'

# Into an existing device, and every way the events can't go where they should.
check 'CASCADE_DEVICE=$keyboard kestrov -k ilj'              '103 106 105'
check 'CASCADE_DEVICE=$keyboard kestrov -k aia' '103' 'libCascade: /dev/input/event* has no Linux key 352 for 0x1000B, button select (*); tracing the keys it lacks to standard error | down 0x1000B select | up 0x1000B select | down 0x1000B select | up 0x1000B select'
check 'CASCADE_DEVICE=/dev/input/event9 kestrov -k i'        '' 'libCascade: cannot open /dev/input/event9: No such file or directory (*); tracing to standard error | down 0x1000C arrow-up | up 0x1000C arrow-up'
check 'CASCADE_DEVICE=/dev/null kestrov -k i'                '' 'libCascade: cannot use /dev/null: not an input device (*); tracing to standard error | down 0x1000C arrow-up | up 0x1000C arrow-up'
check 'su nobody -c "kestrov -k i"' '' 'libCascade: cannot create a virtual remote through /dev/uinput: Permission denied (run as root*); tracing to standard error | down 0x1000C arrow-up | up 0x1000C arrow-up'
check 'mv /dev/uinput /dev/uinput.off; kestrov -k i; mv /dev/uinput.off /dev/uinput' '' 'libCascade: cannot create a virtual remote through /dev/uinput: No such file or directory (load the uinput module*); tracing to standard error | down 0x1000C arrow-up | up 0x1000C arrow-up'
check 'CASCADE_SETTLE_MS=x kestrov -k i'                     '103' 'libCascade: CASCADE_SETTLE_MS=x is not 0 to 10000 milliseconds; using 200'

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
