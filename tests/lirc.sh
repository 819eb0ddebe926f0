#!/bin/sh
# kestrovd and LIRC's own clients, one case a line: the exit status; the keys pressed and released, in order (the
# trace's lines); the command, with a kestrovd of its own at $S and 127.0.0.1:$P; what the command and kestrovd print
# (kestrovd's start line aside), lines joined by " | ". Then kestrovd must end on SIGTERM with status 0, its socket gone.
# handed=ARGS: kestrovd started by its first client, through systemd-socket-activate with those arguments more, and its
# socket must stay; serve=true: no kestrovd (the command starts its own). `peer` is tests/lircpeer.py at $S. A failing line
# prints its replay. Usage: tests/lirc.sh HOW-TO-RUN-KESTROVD...
run="$*" scratch=$(mktemp -d) passed=0 failed=0 here=$(cd "$(dirname "$0")" && pwd)
trap 'rm -rf "$scratch"' EXIT
S=$scratch/lircd P=$((20000 + $$ % 20000)) X=$scratch/x H=$((20002 + $$ % 20000)) A=$((20003 + $$ % 20000)) E=$((20004 + $$ % 20000))
peer() { timeout 20 /usr/bin/python3 "$here/lircpeer.py" "${peer:-$S}" "$@"; }  # at $S, or at $peer
irsend() { timeout 15 /usr/bin/irsend "$@"; }  # a server that holds a client up fails its case, and no more
U=http://127.0.0.1:$E ecp=; [ "${KESTROV_PAGE-ON}" = ON ] && ecp=" --ecp \$E"  # ECP, where kestrovd has it; for cases in $web
curl() { timeout 15 /usr/bin/curl -s -w '%{http_code}/%{num_connects}\n' "$@"; }  # each answer's status, 1: a new connection
own="env CASCADE_TRACE=/dev/null timeout 10 $run"  # a kestrovd more, for where it listens

twice='bash -c "(LISTEN_PID=\$BASHPID exec \"\$@\"); LISTEN_PID=\$\$ exec \"\$@\"" twice'  # again on the same sockets
fetch() { /usr/bin/python3 -c 'import sys, http.client as h; c = h.HTTPConnection(*sys.argv[1:3]); c.request("GET", sys.argv[3]); print(c.getresponse().status)' "$@"; }  # HOST PORT PATH
daemon=$1  # for the init script, when it runs without an emulator
init() { env KESTROVD="$daemon" KESTROVD_PIDFILE="$X.pid" KESTROVD_LOG="$X.log" KESTROVD_OPTS="--socket $S" CASCADE_TRACE="$scratch/trace" sh "$here/../doc/kestrovd.init" "$1"; }
activate="systemd-socket-activate -E CASCADE_TRACE -E ASAN_OPTIONS -E UBSAN_OPTIONS"  # no other variable goes through
check() {  # [handed=ARGS] [serve=true] check STATUS KEYS COMMAND [OUTPUT]
    rm -rf "$scratch/trace" "$X"* "$S"  # a socket left by the system's stand-in
    how="$run --socket \$S --listen \$P${web-}"  # civetweb's faces only where asked: they take 1.5 s to stop
    [ -z "${handed-}" ] || how="$activate -l \$S $handed $run"
    [ -z "${serve-}" ] || how=$serve
    eval "CASCADE_TRACE=\$scratch/trace exec $how" >"$scratch/server" 2>&1 & server=$!
    i=0; until [ -S "$S" ] || [ "$how" = true ] || [ $((i += 1)) -gt 500 ]; do sleep 0.02; done
    case $how in *--ecp*) until grep -qs '^kestrovd: ECP at' "$scratch/server" || [ $((i += 1)) -gt 500 ]; do sleep 0.02; done ;; esac
    eval "$3" >"$scratch/out" 2>&1 </dev/null; status=$?
    kill -TERM $server 2>/dev/null; wait $server; ended=$?
    if [ -n "${handed-}" ]; then [ -S "$S" ] || ended="$ended, $S gone"; elif [ -e "$S" ]; then ended="$ended, $S left"; fi
    out=$(awk 'started && !/^kestrovd: ECP at/; /^kestrovd: remote kestrov/ { started = 1 }' "$scratch/server" | cat "$scratch/out" - | sed ':a;N;$!ba;s/\n/ | /g')
    got=$(awk '{ printf "%s %s ", $1, $3 }' "$scratch/trace" 2>/dev/null)
    want=$(for key in $2; do printf 'down %s up %s ' "$key" "$key"; done)
    case $out in ${4-}) out= ;; *) out=${out:-(nothing)} ;; esac
    if [ "$status $ended $got" = "$1 0 $want" ] && [ -z "$out" ]; then passed=$((passed + 1)); else
        failed=$((failed + 1)) && printf 'FAIL: S=%s P=%s; %s\n  got  %s (kestrovd ended %s): %s%s\n  want %s: %s\n' \
            "$S" "$P" "$3" "$status" "$ended" "$got" "${out:+ printed: $out}" "$1" "$want" | cut -c 1-600
    fi
}

# irsend on the socket and over TCP, irw seeing what any client sends; codes whatever their case, alternates as the first
# button that has them; REPEATS held; a START held past its connection, to its STOP, the next key or the server's end.
check 0 'arrow-up'                'irsend -d $S SEND_ONCE kestrov KEY_UP'
check 0 'arrow-up arrow-down'     'irsend -a 127.0.0.1:$P SEND_ONCE kestrov KEY_UP KEY_DOWN'
check 0 'select enter pause 1'    'irsend -d $S SEND_ONCE KESTROV key_select KEY_ENTER KEY_PLAYPAUSE KEY_1'
check 0 'arrow-left'              'irsend -d $S --count=3 SEND_ONCE kestrov KEY_LEFT; tail -n1 $scratch/trace'  'up 0x1000E arrow-left'
check 0 'select'                  'irsend -d $S SEND_START kestrov KEY_OK; sleep 0.3; cat $scratch/trace; irsend -d $S SEND_STOP kestrov KEY_OK' 'down 0x1000B select'
check 0 'select arrow-up'         'irsend -d $S SEND_START kestrov KEY_OK; irsend -d $S SEND_ONCE kestrov KEY_UP; irsend -d $S SEND_STOP kestrov KEY_OK'
check 1 'select arrow-up'         'irsend -d $S SEND_START kestrov KEY_OK; irsend -d $S SEND_START kestrov KEY_UP; irsend -d $S SEND_STOP kestrov KEY_OK; irsend -d $S SEND_STOP kestrov KEY_OK' 'specified code does not match*'
check 0 'select'                  'irsend -d $S SEND_START kestrov KEY_OK'
check 0 'select'                  'irsend -d $S SEND_START kestrov KEY_OK; sleep 10.5; cat $scratch/trace; irsend -d $S SEND_STOP kestrov KEY_OK' 'down 0x1000B select | up 0x1000B select'
check 0 'arrow-up f8'             'irw $S & sleep 0.5; irsend -a 127.0.0.1:$P SEND_ONCE kestrov KEY_UP KEY_F8; sleep 0.5; kill $!' '000000000001000c 00 KEY_UP kestrov | 000000000001002e 00 KEY_F8 kestrov'
check 1 ''                        'irsend -d $S SEND_ONCE kestrov KEY_VOLUMEUP' 'unknown command: "KEY_VOLUMEUP"*'
check 1 ''                        'irsend -d $S SEND_ONCE tv KEY_UP'            'unknown remote: "tv"*'
check 1 ''                        'irsend -d $S SEND_STOP kestrov KEY_UP'       'not repeating*'
check 0 'arrow-up'                'irsend -d $S --count=76 SEND_ONCE kestrov KEY_UP >/dev/null 2>&1 & sleep 0.5; cut -d" " -f1 $scratch/trace' 'down'
check 0 ''                        'irsend -d $S SET_TRANSMITTERS kestrov 1 2'

# The replies as lircd frames them (| for a line feed), a key's broadcast to its sender after its reply; a malformed line
# gets its ERROR and the connection goes on; the next command waits for a held SEND_ONCE's reply; a count of repeats
# that a 10 s hold can't hold is refused as lircd refuses 601.
check 0 ''           'peer "VERSION\n" "LIST\n" "LIST kestrov KEY_SELECT\n"' 'BEGIN|VERSION|SUCCESS|DATA|1|kestrovd 0.2|END|BEGIN|LIST|SUCCESS|DATA|1|kestrov|END|BEGIN|LIST kestrov KEY_SELECT|SUCCESS|DATA|1|000000000001000b KEY_SELECT|END|'
check 0 ''           'peer "LIST kestrov\n"'                           'BEGIN|LIST kestrov|SUCCESS|DATA|46|0000000000010000 KEY_NUMERIC_0|*|000000000001000b KEY_OK|*|0000000000010025 KEY_POWER|*|000000000001002e KEY_F8|END|'
check 0 'arrow-up'   'peer "send_once  kestrov\tkey_up \r\n"'         'BEGIN|send_once  kestrov?key_up ?|SUCCESS|END|000000000001000c 00 KEY_UP kestrov|'
check 0 'arrow-down' 'peer "FOO\n" "\n" "SEND_ONCE\n" "SEND_ONCE kestrov\n" "SEND_ONCE kestrov KEY_UP x\n" "SEND_ONCE kestrov KEY_UP 1 2\n" "SEND_START kestrov KEY_UP 1\n" "LIST tv\n" "SEND_ONCE kestrov KEY_DOWN\n"' \
    'BEGIN|FOO|ERROR|DATA|1|unknown directive: "FOO"|END|BEGIN||ERROR|DATA|1|bad send packet|END|BEGIN|SEND_ONCE|ERROR|DATA|1|remote missing|END|BEGIN|SEND_ONCE kestrov|ERROR|DATA|1|code missing|END|BEGIN|SEND_ONCE kestrov KEY_UP x|ERROR|DATA|1|bad send packet (reps/eol)|END|BEGIN|SEND_ONCE kestrov KEY_UP 1 2|ERROR|DATA|1|bad send packet (trailing ws)|END|BEGIN|SEND_START kestrov KEY_UP 1|ERROR|DATA|1|bad send packet (trailing ws)|END|BEGIN|LIST tv|ERROR|DATA|1|unknown remote: "tv"|END|BEGIN|SEND_ONCE kestrov KEY_DOWN|SUCCESS|END|000000000001000d 00 KEY_DOWN kestrov|'
check 0 'select'     'peer "SEND_START kestrov KEY_OK\n" "SEND_STOP kestrov KEY_UP\n" "SEND_STOP kestrov KEY_OK\n"' 'BEGIN|SEND_START kestrov KEY_OK|SUCCESS|END|000000000001000b 00 KEY_OK kestrov|BEGIN|SEND_STOP kestrov KEY_UP|ERROR|DATA|1|specified code does not match|END|BEGIN|SEND_STOP kestrov KEY_OK|SUCCESS|END|'
check 0 'arrow-up arrow-down' 'peer "SEND_ONCE kestrov KEY_UP 1\n" "SEND_ONCE kestrov KEY_UP 77\n" "SEND_ONCE kestrov KEY_UP 99999999999999999999\n" "set_transmitters 1\n" "SEND_ONCE kestrov KEY_DOWN\n"' \
    'BEGIN|SEND_ONCE kestrov KEY_UP 1|SUCCESS|END|000000000001000c 00 KEY_UP kestrov|BEGIN|SEND_ONCE kestrov KEY_UP 77|ERROR|DATA|1|too many repeats: "77" > "76"|END|BEGIN|SEND_ONCE kestrov KEY_UP 99999999999999999999|ERROR|DATA|1|too many repeats: "99999999999999999999" > "76"|END|BEGIN|set_transmitters 1|SUCCESS|END|BEGIN|SEND_ONCE kestrov KEY_DOWN|SUCCESS|END|000000000001000d 00 KEY_DOWN kestrov|'

# ECP (curl with its URLs on one connection): every verb; a key held by keydown until its keyup, 10 s, or a LIRC
# client's key; keyup of a key not held; names whatever their case, Lit_ percent-encoded, Linux's key names; the keys
# to LIRC's clients; those with no button refused; queries.
if [ -n "$ecp" ]; then
    web=$ecp
    check 0 'select'              'curl -d "" $U/keypress/Select'                                                   '200/1'
    check 0 'select 1 f1 menu'    'curl -d "" $U/keypress/select $U/keypress/Lit_%31 $U/keypress/key_f1 $U/keypress/HOME' '200/1 | 200/0 | 200/0 | 200/0'
    check 0 '0 1 2 3 4 5 6 7 8 9 arrow-up arrow-down' 'curl -d "" $(for d in 0 1 2 3 4 5 6 7 8 9; do echo $U/keypress/Lit_$d; done) $U/keypress/Up $U/keypress/Down | tr "\n" " "' \
        '200/1 200/0 200/0 200/0 200/0 200/0 200/0 200/0 200/0 200/0 200/0 200/0 '
    check 0 'arrow-left'          'curl -d "" $U/keydown/Left; sleep 0.3; cat $scratch/trace; curl -d "" $U/keyup/Left $U/keyup/Left' '200/1 | down 0x1000E arrow-left | 200/1 | 200/0'
    check 0 'arrow-left'          'curl -d "" $U/keydown/Left; sleep 10.5; cat $scratch/trace; curl -d "" $U/keyup/Left' '200/1 | down 0x1000E arrow-left | up 0x1000E arrow-left | 200/1'
    check 0 'arrow-left arrow-up' 'curl -d "" $U/keydown/Left; irsend -d $S SEND_ONCE kestrov KEY_UP; curl -d "" $U/keyup/Left' '200/1 | 200/1'
    check 0 'arrow-left'          'irsend -d $S SEND_START kestrov KEY_LEFT; curl -d "" $U/keyup/Left; irsend -d $S SEND_STOP kestrov KEY_LEFT' '200/1'
    check 0 'select'              'irw $S & sleep 0.5; curl -d "" $U/keypress/Select; sleep 0.5; kill $!'              '*000000000001000b 00 KEY_OK kestrov*'
    check 0 'pause'               'curl -d "" $U/keyup/Play $U/keypress/PowerOff $U/keypress/Lit_a $U/keypress/KEY_VOLUMEUP $U/keypress/KEY_PAUSE' \
        '200/1 | no button for PowerOff: the remote*s one power button toggles: send Power | 404/0 | no button for Lit_a: * | 404/0 | no button for KEY_VOLUMEUP: * | 404/0 | 200/0'
    check 0 ''                    'curl $U/keypress/Select; curl -d "" $U/query/apps; curl -X PUT $U/keyup/Up; curl $U/nothing; curl -d "" $U/' \
        'a key is a POST | 405/1 | a query is a GET | 405/1 | a key is a POST | 405/1 | no such path: * | 404/1 | no such path: * | 404/1'
    check 0 ''                    'curl $U/query/device-info $U/query/apps $U/query/active-app | grep -v "^.<\(is\|supports\|has\|[a-z-]*enabled\|headphones\)"' \
        '<?xml version="1.0" encoding="UTF-8" ?> | <device-info> | ?<udn>kestrov-[0-9A-F][0-9A-F]*</udn> | ?<serial-number>[0-9A-F]*</serial-number> | ?<device-id>* | ?<vendor-name>Kestrov</vendor-name> | ?<model-name>kestrovd</model-name> | * | ?<software-version>0.2</software-version> | * | </device-info> | 200/1 | <?xml version="1.0" encoding="UTF-8" ?> | <apps> | </apps> | 200/0 | <?xml version="1.0" encoding="UTF-8" ?> | <active-app> | ?<app>kestrov</app> | </active-app> | 200/0'
    check 0 ''                    '$own --socket $X --ecp $((E + 1)) & sleep 1; for port in $E $((E + 1)); do curl http://127.0.0.1:$port/query/device-info | grep serial; done | uniq | wc -l; kill $!' '*1'

# What a web page can make a browser send (an Origin; a Host that is a name, as DNS rebinding gives) and what no
# client should (a 10 KB path, a long body, a byte a second, 9 connections from one address): refused or cut short,
# nothing pressed, the next client served.
    check 0 'arrow-up'   'curl -d "" -H "Origin: http://127.0.0.1:$E" $U/keypress/Power; curl -d "" -H "Origin: null" $U/keydown/Power; curl -d "" $U/keypress/Up' \
        'ECP takes no request that a web page can make: * | 403/1 | ECP takes no * | 403/1 | 200/1'
    check 0 'arrow-up'   'curl -d "" -H "Host: kestrov.example:$E" $U/keypress/Power; curl -d "" -H "Host: localhost:$E" $U/keypress/Up' 'ECP takes no * | 403/1 | 200/1'
    check 0 'arrow-up'   'curl -d "" $U/keypress/Power$(printf %010000d 0) | tail -n1; curl -d "$(printf %02000d 0)" $U/keypress/Power; curl -d "" $U/keypress/Up' \
        '*400/1 | a body of 1024 bytes at most: ECP*s are empty | 413/1 | 200/1'
    check 0 'arrow-up'   'peer=127.0.0.1:$E peer --drip 1 "POST /keypress/Power HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" & sleep 1; curl -d "" $U/keypress/Up; wait $!' '200/1 | HTTP/1.? 400 Bad Request*(closed)'
    check 0 'arrow-up'   'peer=127.0.0.1:$E peer --from 127.0.0.2 --crowd 8 --stay 2 "" & sleep 1; curl -d "" $U/keypress/Up; wait $!' \
        'HTTP/1.1 429 Too Many Requests*|too many connections from 127.0.0.2: 8 at once, 64 from all|(closed) | 200/1'
    web=
fi

# Bad clients: each gets its ERROR or is closed, and the others are served meanwhile; out of descriptors, the next
# client waits, without the server spinning.
long=$(printf '%01100d' 0)
check 0 'arrow-up'   'peer "$long"; irsend -d $S SEND_ONCE kestrov KEY_UP'                   'BEGIN||ERROR|DATA|1|line too long|END|(closed) | kestrovd: a client sent a line longer than 1024 bytes; closed it'
check 0 'arrow-up'   'peer "SEND_ONCE kestrov KEY_DOWN\0\n"; irsend -d $S SEND_ONCE kestrov KEY_UP' '(closed) | kestrovd: a client sent bytes that are not a command; closed it'
check 0 'arrow-up'   'peer --crowd 63 --stay 3 "VERSION\n" >/dev/null & sleep 1; peer "VERSION\n"; wait $!; irsend -d $S SEND_ONCE kestrov KEY_UP' 'BEGIN||ERROR|DATA|1|too many clients: 64 at once|END|(closed) | kestrovd: a client came while 64 were connected; told it so and closed it'
check 0 'arrow-up'   'peer --hang "SEND_ONCE kestrov KEY_DOWN" & sleep 1; irsend -d $S SEND_ONCE kestrov KEY_UP; wait $!' '000000000001000c 00 KEY_UP kestrov|(closed) | kestrovd: a client sent half a line and nothing for 10 s; closed it'
check 0 'arrow-up'   'peer --deaf 5000 "LIST kestrov\n"; irsend -d $S SEND_ONCE kestrov KEY_UP'   'kestrovd: a client took nothing of 16384 bytes; closed it'
check 0 'arrow-up'   'peer --crowd 20; irsend -d $S SEND_ONCE kestrov KEY_UP'
check 0 ''           'sh -c "ulimit -n 20; exec env CASCADE_TRACE=/dev/null $run --socket $X" & sleep 1; peer=$X peer --crowd 15 --stay 2 VERSION >/dev/null; echo "ticks $(cut -d" " -f14 /proc/$!/stat)"; irsend -d $X VERSION "" ""; kill $!; wait $!' \
    'kestrovd: remote kestrov at */x | kestrovd: cannot take a client: Too many open files (raise the limit: ulimit -n) | *ticks [0-9] | *kestrovd 0.2 | '

# What a browser sends when a web page aims at LIRC's port or socket (cross-protocol scripting): HTTP, each line of it
# the end of its connection, nothing of it run, the body's command neither; said once a minute. Then irsend is served.
post='POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\nContent-Length: 28\r\n\r\nSEND_ONCE kestrov KEY_POWER\n'
http='(closed) | kestrovd: a client sent HTTP, as a browser does for a web page: closed it, nothing it sent run (said at most once a minute)'
check 0 'arrow-up'   'peer=127.0.0.1:$P peer "$post"; irsend -d $S SEND_ONCE kestrov KEY_UP'                                         "$http"
check 0 'arrow-up'   'peer "$post"; irsend -d $S SEND_ONCE kestrov KEY_UP'                                                             "$http"
check 0 'arrow-up'   'peer=127.0.0.1:$P peer "post / http/1.1\r\nhost: x\r\n\r\nSEND_ONCE kestrov KEY_POWER\n"; irsend -a 127.0.0.1:$P SEND_ONCE kestrov KEY_UP' "$http"
check 0 'arrow-up'   'peer "GET /?k=1 HTTP/1.0\r\n\r\nSEND_ONCE kestrov KEY_POWER\n"; irsend -d $S SEND_ONCE kestrov KEY_UP'       "$http"
check 0 'arrow-up'   'peer=127.0.0.1:$P peer "GET / HTTP/1.1\r\nContent-Length: 28\r\n\r\nSEND_ONCE kestrov KEY_POWER\n"; irsend -d $S SEND_ONCE kestrov KEY_UP' "$http"
check 0 'arrow-up'   'peer "Host: 127.0.0.1:8765\nSEND_ONCE kestrov KEY_POWER\n"; irsend -d $S SEND_ONCE kestrov KEY_UP'           "$http"
check 0 ''           'peer "$post"; peer "$post"; peer=127.0.0.1:$P peer "$post"'                                                     "(closed) | (closed) | $http"

# No one address holds LIRC over TCP: 8 connections from 127.0.0.2 at most, the 9th told why and closed; another
# address (here 127.0.0.1) served meanwhile.
check 0 'arrow-up'   'peer=127.0.0.1:$P peer --from 127.0.0.2 --crowd 60 --stay 2 "VERSION\n" & sleep 1; irsend -a 127.0.0.1:$P SEND_ONCE kestrov KEY_UP; wait $!' \
    'BEGIN||ERROR|DATA|1|too many clients from 127.0.0.2: 8 at once|END|(closed) | kestrovd: a client came from an address that had 8 connected; told it so and closed it (said at most once a minute)'

# Where it listens: something that answers there stops a second server; a stale socket is replaced, a file is not;
# the folder made; --permission; TCP on 127.0.0.1 unless told; settings that would hold it up refused.
check 1 ''           '$own --socket $S'                                          'kestrovd: something answers at */lircd (lircd?): stop it, or give another --socket'
check 0 ''           'stat -c %A $S; grep -ci "^ *[0-9]*: 0100007F:$(printf %04X $P) 00000000:0000 0A" /proc/net/tcp' 'srw-rw---- | 1'
check 0 ''           '/usr/bin/python3 -c "import socket; socket.socket(socket.AF_UNIX).bind(\"$X\")"; $own --socket $X & sleep 1; irsend -d $X VERSION "" ""; kill $!; wait $!; echo "status $?"; test -e $X || echo removed' 'kestrovd: remote kestrov at */x | kestrovd 0.2 |  | status 0 | removed'
check 1 ''           ': >$X; $own --socket $X'                                    'kestrovd: */x: not a socket; remove it, or give another --socket'
check 0 ''           '$own --socket $X/a/b --permission 0600 --listen 0.0.0.0:$((P + 1)) & sleep 1; stat -c %A $X/a/b; kill $!; wait $!' 'kestrovd: remote kestrov at */x/a/b and 0.0.0.0:* | srw-------'
check 1 ''           'CASCADE_HOLD_MS=100 $own --socket $X'                       'kestrovd: CASCADE_HOLD_MS is set: each key would hold the server up; unset it (SEND_ONCE*s REPEATS hold a key)'
check 2 ''           '$own --socket $X --permission 9'                             'kestrovd: usage: kestrovd *'

# Started by the system (systemd-socket-activate, as systemd does it): the first client starts kestrovd and is served;
# the sockets it is handed stay as they are (not removed nor chmodded), for a second start; no place of its own.
lirc='--fdname=lirc:lirc' token=0123456789abcdef0123456789abcdef
handed=$lirc check 0 'arrow-up'            'irsend -d $S SEND_ONCE kestrov KEY_UP; stat -c %A $S'  'srw-r--r--'
handed="-l 127.0.0.1:$A $lirc" check 0 'arrow-down' 'irsend -a 127.0.0.1:$A SEND_ONCE kestrov KEY_DOWN'
check 0 'arrow-up'   'CASCADE_TRACE=$scratch/trace $activate -l $X --fdname=lirc $run --token-file $X.t 2>/dev/null & sleep 0.5; irsend -d $X SEND_ONCE kestrov KEY_UP; kill $!' 'kestrovd: remote kestrov at */x'
handed="$lirc $twice" check 0 'arrow-up arrow-down' 'irsend -d $S SEND_ONCE kestrov KEY_UP; pkill -TERM -P $server; sleep 1; irsend -d $S SEND_ONCE kestrov KEY_DOWN' 'kestrovd: remote kestrov at */lircd'
check 2 ''           '$activate -l $X $run --socket $X 2>&1 & sleep 0.5; irsend -d $X SEND_ONCE kestrov KEY_UP >/dev/null 2>&1; wait $!' '* | kestrovd: the system hands this kestrovd its sockets: give their places and modes in its socket units, *'

# The page: its socket handed to kestrovd, named http; its token file made owner only with a new token, the same at the
# next start, refused when others may read it; ECP's socket, named ecp. Built without them, kestrovd refuses them,
# handed or asked for.
if [ "${KESTROV_PAGE-ON}" = ON ]; then
    check 0 ''       'echo $token >$X.t; chmod 600 $X.t; $activate -l $X -l 127.0.0.1:$H --fdname=lirc:http $run --token-file $X.t 2>&1 & got=$(fetch 127.0.0.1 $H /?token=$token); kill $!; wait $!; echo $got' \
        'Listening on * | Communication attempt on fd 4. | * | kestrovd: remote kestrov at */x | kestrovd: the page at http://127.0.0.1:*/?token=0123456789abcdef0123456789abcdef | 303'
    check 0 ''       'for i in 1 2; do $own --http $H --token-file $X.t --socket $X & sleep 1; kill $!; wait $!; done | grep -o "token=.*" | uniq -c; stat -c %a $X.t; grep -c "^[0-9a-f]\{32\}$" $X.t' '      2 token=* | 600 | 1'
    grep -qs . /proc/net/if_inet6 && check 1 '' '$activate -l [::1]:$H --fdname=http $run 2>&1 & sleep 0.5; fetch ::1 $H / 2>/dev/null; wait $!' \
        '* | kestrovd: the page*s socket is not IPv4: give it an address such as 127.0.0.1:8080 (ListenStream=)'
    check 0 'select' 'CASCADE_TRACE=$scratch/trace $activate -l $X -l 127.0.0.1:$H --fdname=lirc:ecp $run 2>/dev/null & sleep 0.5; /usr/bin/curl -s -d "" http://127.0.0.1:$H/keypress/Select; kill $!; wait $!' 'kestrovd: remote kestrov at */x | kestrovd: ECP at http://127.0.0.1:*/'
    check 1 ''       'echo $token >$X.t; chmod 640 $X.t; $own --http $H --token-file $X.t --socket $X' 'kestrovd: the token file */x.t may be read or changed by others (mode 0640): chmod 600 it, or remove it for a new token'
else
    check 2 ''       '$own --http $H --socket $X' 'kestrovd: the page and ECP were not built into this kestrovd: build it with civetweb (apt-get install libcivetweb-dev), or leave out --http and --ecp'
    check 2 ''       '$own --ecp $E --socket $X' 'kestrovd: the page and ECP were not built into this kestrovd: *'
    check 2 ''       '$activate -l 127.0.0.1:$H --fdname=http $run 2>&1 & sleep 0.5; irsend -a 127.0.0.1:$H VERSION "" "" >/dev/null 2>&1; wait $!' '* | kestrovd: the page and ECP were not built into this kestrovd: *'
    check 2 ''       '$activate -l 127.0.0.1:$H --fdname=ecp $run 2>&1 & sleep 0.5; irsend -a 127.0.0.1:$H VERSION "" "" >/dev/null 2>&1; wait $!' '* | kestrovd: the page and ECP were not built into this kestrovd: *'
fi

# Where LIRC's clients look, with no --socket: /run/lirc/lircd, and /var/run/lirc/lircd where /var/run is a folder of
# its own (here in a mount namespace of the case's own, as root).
if [ "$(id -u)" = 0 ]; then
    apart='unshare -m sh -c "mount -t tmpfs none /run; mount -t tmpfs none /var; mkdir /var/run; CASCADE_TRACE=$scratch/trace $run & sleep 1; irsend SEND_ONCE kestrov KEY_UP; irsend -d /var/run/lirc/lircd SEND_ONCE kestrov KEY_DOWN; kill \$!; wait \$!; ls /run/lirc /var/run/lirc"'
    check 0 'arrow-up arrow-down' "$apart"                                         'kestrovd: remote kestrov at /run/lirc/lircd and /var/run/lirc/lircd | /run/lirc: |  | /var/run/lirc:'
    check 0 'arrow-up arrow-down' "$(echo "$apart" | sed 's|mkdir /var/run|ln -s /run /var/run|')" 'kestrovd: remote kestrov at /run/lirc/lircd | /run/lirc: |  | /var/run/lirc:'
else echo "skipped: the cases of kestrovd with no --socket, which need root"; fi

# The init script, for devices without systemd: status 3 while none runs and 0 while one does, one daemon however often
# started, its lines in its log; stop lets the held key go and removes the socket; restart; a pid file left by another;
# a system slow to start it (a wrapper that waits before it becomes kestrovd).
if [ $# = 1 ]; then
    serve=true check 0 'select' 'init status; echo $?; init start; init start; echo "daemons $(pgrep -cf -- "--socket $S")"; init status; irsend -d $S SEND_START kestrov KEY_OK; init stop; init status; echo $?; cat $X.log; test -e $S || echo "socket removed"' \
        'kestrovd is not running | 3 | kestrovd started (pid *), its lines in */x.log | kestrovd is running (pid *) | daemons 1 | kestrovd is running (pid *) | kestrovd stopped | kestrovd is not running | 3 | kestrovd: remote kestrov at */lircd | socket removed'
    serve=true check 0 'select arrow-up' 'init start >/dev/null; irsend -d $S SEND_START kestrov KEY_OK; init restart; irsend -d $S SEND_ONCE kestrov KEY_UP; init stop' 'kestrovd stopped | kestrovd started * | kestrovd stopped'
    serve=true check 0 '' 'printf "#!/bin/sh\nsleep 0.5; exec %s \"\$@\"\n" "$daemon" >$X.slow; chmod +x $X.slow; (daemon=$X.slow; init start); init status; init stop' \
        'kestrovd started (pid *), its lines in */x.log | kestrovd is running (pid *) | kestrovd stopped'
    serve=true check 0 '' 'echo $$ >$X.pid; init status; echo $?; init start >/dev/null; init status >/dev/null; echo $?; init stop' 'kestrovd is not running, but */x.pid is there | 1 | 0 | kestrovd stopped'
else echo "skipped: the init script's cases, which run kestrovd without an emulator"; fi

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
