#!/bin/sh
# kestrov-record on a real kernel, one case a line: the exit status; the command, whose standard output is the
# script; the keys that the script's kestrov calls send (held ones after a +, f1 to f8 as u1 to u8, comments in
# parentheses, "-" for no output); standard error. `play` starts a receiver (tests/Receiver.cpp) that presses its
# KEY:HOLD:PAUSE arguments from a second on. Run as root on the virtual device. Usage: record.sh [PATTERN OF COMMANDS]
scratch=$(mktemp -d) passed=0 failed=0 only=${1:-*} node=/dev/input/event1  # the receiver's, and the remote's once it is gone
trap 'rm -rf "$scratch"' EXIT

appear() { i=0; until [ -e $node ] || [ $((i += 1)) -gt 500 ]; do sleep 0.02; done; }  # the node, within 10 s
play() { /tests/receiver "$@" & receiver=$!; appear; }
keys() {  # the script run with a kestrov that prints its key string
    { echo 'kestrov() { printf %s "${CASCADE_HOLD_MS:++}$2"; [ "$2" != u ] || printf %s "$(cat)"; }; sleep() { :; }'
      sed '2d; s/^# \(.*\)/printf "(%s)" "\1"/' "$1"; } | sh | sed ':a;N;$!ba;s/\n/\\n/g'
}

check() {  # check STATUS COMMAND KEYS [STDERR]
    case $2 in $only) ;; *) return ;; esac
    eval "$2" >"$scratch/script" 2>"$scratch/err"; status=$?
    [ -z "${receiver-}" ] || kill "$receiver" 2>/dev/null; receiver=; wait
    got=$(if [ -s "$scratch/script" ]; then keys "$scratch/script"; else echo -; fi)
    err=$(sed ':a;N;$!ba;s/\n/ | /g' "$scratch/err")
    case $err in ${4-}) err= ;; *) err=${err:-(nothing)} ;; esac
    if [ "$status $got" = "$1 $3" ] && [ -z "$err" ]; then passed=$((passed + 1)); else
        failed=$((failed + 1)) && printf 'FAIL: %s\n  got  %s: %s%s\n  want %s: %s\n' "$2" "$status" "$got" "${err:+ stderr: $err}" "$1" "$3"
    fi
}

# The presses of an event dump (busybox dd of a node): key, when pressed and how long held in ms, repeats.
summary() {
    od -An -v -tu4 -w16 "$1" | awk '$3 % 65536 == 1 { k = int($3 / 65536); t = $1 * 1000 + int($2 / 1000)
        if ($4 == 1) { n++; key[n] = k; at[n] = t; down[k] = n } else if ($4 == 2) rep[down[k]]++; else held[down[k]] = t - at[down[k]] }
        END { for (i = 1; i <= n; i++) print key[i], at[i], held[i], rep[i] + 0 }'
}
# Each replayed key; :gap=PLAYED/REPLAYED (ms) when a gap is off by more than 100 ms or 10 %, whichever is more;
# for a key held (500 ms or repeated), :held, or :hold=PLAYED/REPLAYED when off so; :repeated when the kernel repeated it.
compare() {  # compare PLAYED REPLAYED; FIGURES=FILE: both summaries appended to FILE side by side
    summary "$1" >"$scratch/played.keys"; summary "$2" >"$scratch/replayed.keys"
    [ -z "${FIGURES-}" ] || { paste -d' ' "$scratch/played.keys" "$scratch/replayed.keys"; echo; } >>"$FIGURES"
    awk 'function off(a, b) { return (a > b ? a - b : b - a) > (a > 1000 ? a / 10 : 100) }
        NR == FNR { at[FNR] = $2; held[FNR] = $3; long[FNR] = $3 >= 500 || $4 > 0; next }
        { gap = at[FNR] - at[FNR - 1]; replayed = $2 - last; last = $2; printf "%s%s", (FNR > 1 ? " " : ""), $1
          if (FNR > 1 && off(gap, replayed)) printf ":gap=%d/%d", gap, replayed
          if (long[FNR]) printf "%s", off(held[FNR], $3) ? ":hold=" held[FNR] "/" $3 : ":held"
          if ($4 > 0) printf ":repeated" }' "$scratch/played.keys" "$scratch/replayed.keys"
}
# A session played (recorded by a reader too), recorded, and replayed into the kept remote with a reader:
# the script on standard output, the comparison on standard error.
session() {
    play "$@"; dd if=$node of="$scratch/played" bs=16 2>/dev/null &
    kestrov-record -n $# $node >"$scratch/recorded"; status=$?
    kill $receiver; wait
    (CASCADE_SETTLE_MS=1000 sh "$scratch/recorded"; CASCADE_KEEP_S=0 kestrov -k '') &
    appear; dd if=$node of="$scratch/replayed" bs=16 2>/dev/null; wait
    compare "$scratch/played" "$scratch/replayed" >&2; cat "$scratch/recorded"; return $status
}

# Taps, pauses, a hold of two seconds; KEY_CHANNELUP, KEY_NUMERIC_5 and KEY_OK are page-up, 5 and select.
check 0 'session 103:60:300 402:80:700 517:40:1500 352:2000:400 103:60:0' 'iU5+ai' '103 104 517 352:held:repeated 103'
# Every Linux key of platform/Buttons.h and one of no button; the device by its name.
check 0 'play buttons:20:60 115:20:60; kestrov-record -n 68 "Test receiver"' \
    '00112233445566778899\na\naikjlUUOOJJLLFFBPPAApPsEfbzxrmneoWWXu1u2u3u4u5u6u7u8(KEY_VOLUMEUP)'

# The end: SIGTERM (or SIGINT, SIGHUP) or a count ends it whole, a kill leaves it whole to the last release, a device gone,
# events lost (what the kernel still held then is in the keys read again: k taps, then j held, not repeated, give j, l). SIGINT
# ends it when a script started it in the background (with SIGINT ignored). A script that can't be written is status 1.
held='play 103:60:200 352:3000:0; kestrov-record $node & sleep 2.5;' taps=$(printf '108:5:5 %.0s' $(seq 100))
check 0   "$held kill -TERM \$!; wait \$!"                        'i(KEY_OK still down at the end)'
check 137 "$held kill -KILL \$!; wait \$!"                        'i' 'Killed'
check 1   "$held kill \$receiver; wait \$!"                       'i+a' 'kestrov-record: /dev/input/event1 went away (No such device); *'
check 0   'play 103:60:100 108:60:100 105:60:100; kestrov-record -n 2 $node' 'ik'
check 0   'play buttons:5:5; (kestrov-record $node & sleep 0.5; kill -STOP $!; sleep 3; kill -CONT $!; sleep 1; kill $!) | grep lost' \
    '(events were lost here (SYN_DROPPED); the keys down were read again)'
check 0   "play delay=9000 $taps 105:3000:0 106:60:0; kestrov-record \$node & sleep 0.5; kill -STOP \$!; sleep 3.5; kill -CONT \$!; sleep 4; kill \$!; wait \$!" \
    '(events were lost here (SYN_DROPPED); the keys down were read again)+jl'
check 0   "play 103:60:0; sh -c 'kestrov-record $node & sleep 2; kill -INT \$!; sleep 1; kill -KILL \$! 2>&-; wait \$!'" 'i'
check 1   'play 103:60:100 108:60:100; kestrov-record -n 2 $node >/dev/full' - 'kestrov-record: cannot write the script: No space left on device; it is not whole'
check 1   'play 103:60:100 108:60:100; kestrov-record -n 2 $node >&-'       - 'kestrov-record: cannot write the script: Bad file descriptor; it is not whole'
check 0   'play 103:60:100 108:60:100; { kestrov-record -n 2 $node; echo "status $?" >&2; } | true' - 'kestrov-record: cannot write the script: Broken pipe; it is not whole | status 1'

# No device: the ones with our keys, status 2, its example valid sh whatever the name. Names with a slash or a quote, or
# like a file here, name the device; one with control characters is listed by its node.
# Bad input: one line on standard error, status 2, nothing on standard output.
bob="name=IR/Bob's remote" example='s/^for example: kestrov-record \(.*\) >session.sh$/kestrov-record -n 1 \1/p'
check 2 'play 103 402 517 352 115; kestrov-record' - 'kestrov-record: name the device to record, * | */dev/input/event1 * "Test receiver", 4 of our 46 buttons | for example: *'
check 0 'play "$bob" 103:60:0; kestrov-record -n 1 "IR/Bob'"'"'s remote"' 'i'
check 0 'play "$bob" 103:60:0; sh -c "$(kestrov-record 2>&1 | sed -n "$example")"' 'i'
check 0 'play 103:60:0; cd $scratch && : >"Test receiver" && kestrov-record -n 1 "Test receiver"' 'i'
check 2 'play "name=$(printf "IR\\nremote")" 103; kestrov-record' - '* | */dev/input/event1 * (a name with control characters: use the node), 1 of our 46 buttons | for example: kestrov-record '"'/dev/input/event1'"' >session.sh'
check 2 'kestrov-record /init'                  - 'kestrov-record: /init: not an input device (kestrov-record alone lists the input devices)'
check 2 'kestrov-record /dev/null'              - 'kestrov-record: /dev/null: not an input device (*)'
check 2 'kestrov-record /tmp'                   - 'kestrov-record: /tmp: not an input device (*)'
check 2 'mkfifo /tmp/fifo; kestrov-record /tmp/fifo' - 'kestrov-record: /tmp/fifo: not an input device (*)'
check 2 'kestrov-record /dev/input/event9'      - 'kestrov-record: /dev/input/event9: No such file or directory (*)'
check 2 'kestrov-record "No remote"'            - 'kestrov-record: No remote: no input device has this name or path (*)'
check 2 'play 103; su nobody -c "kestrov-record $node"' - 'kestrov-record: /dev/input/event1: Permission denied (run as root or as a member of its group, input on most systems, or give your user read access with a udev rule)'

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
