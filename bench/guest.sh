# The benchmarks' helpers on the virtual device (busybox sh): the guest's clock without a fork,
# short naps, waits, a device by its name, a reader on it and the keys it read.
now() { { read -r _; read -r _; read -r _ _ ns _; } </proc/timer_list; }
mkfifo /tmp/nap; exec 4<>/tmp/nap; nap() { read -t 0.005 _ <&4; }   # 5 ms, no fork
poll() { n=0; until "$@"; do n=$((n+1)); [ $n -le 600 ] || return 1; nap; done; }   # ~4 s at most
named() { for f in /sys/class/input/event*/device/name; do read -r m <"$f" 2>/dev/null || continue
  e=${f%/device/name}; dev=/dev/input/${e##*/}; [ "$m" = "$1" ] && [ -e $dev ] && return; done; return 1; }
remote() { named "Kestrov remote"; }
gone() { ! remote; }
opened() { [ /proc/$1/fd/0 -ef $dev ]; }   # busybox dd reads its input as fd 0
# reader FILE [EVENTS [SECONDS]]: a dd on $dev, open before this returns; 3>&-: only we hold the FIFO
reader() { timeout ${3:-20} dd if=$dev bs=16 of=$1 ${2:+count=$2} 2>$1.err 3>&- & d=$!; poll opened $d; }
keys() { od -An -tu2 -w16 -v "$1" | awk '$5==1{printf " %d:%d", $6, $7} $5>1 && $5!=20{printf " type%d", $5}'; }   # 20: a new remote's repeat rate
ms() { echo $(( (ns-a)/1000 )); }   # us since $a, for the host's sums
