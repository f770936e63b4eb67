#!/bin/sh
# Months of uptime, compressed, on FreeBSD (scripts/freebsd-vm run
# tests/freebsd_vm/soak.sh): scrapes among hostile peers while memory disks
# come and go, interfaces are created, renamed and destroyed, and a ZFS pool is
# imported and exported, so that the GEOM tree reloads and the statistics
# remaps run thousands of times. Every scrape must be a complete 200 of well
# formed lines; resident size and descriptors must be those after warm-up;
# standard error must hold only the banner. SCRAPES (default 20000) sets the
# length, MINUTES (default 45) the most it may take. POSIX sh and the base
# system only.

P=/usr/local/bin/kelmar-host-perfdata
T=/tmp/kelmar-soak
PORT=9272
URL=http://127.0.0.1:$PORT/metrics
SCRAPES=${SCRAPES:-20000}
MINUTES=${MINUTES:-45}
BATCH=100
mkdir -p $T/s
kldload -n zfs if_epair accf_data accf_http

listening() { sockstat -4l -p $PORT | grep -q ":$PORT"; }
# Resident KiB, descriptors, and of those the kqueues.
state() {
	echo "rss $(ps -o rss= -p "$pid" | tr -d ' ') KiB," \
		"descriptors $(procstat -f "$pid" | awk 'NR > 1 && $3 ~ /^[0-9]+$/' | wc -l | tr -d ' ')," \
		"kqueues $(procstat -f "$pid" | awk 'NR > 1 && $4 == "k"' | wc -l | tr -d ' ')"
}
# Every line of every scrape a HELP, a TYPE or a sample, and each ends with
# build_info: a complete exposition.
well_formed() {
	awk '
	FNR == 1 && NR > 1 { if (last !~ /_build_info\{/) { print FILENAME ": cut short"; bad = 1 } }
	/^# HELP [a-zA-Z_:][a-zA-Z0-9_:]* ./ { last = $0; next }
	/^# TYPE [a-zA-Z_:][a-zA-Z0-9_:]* (counter|gauge)$/ { last = $0; next }
	/^[a-zA-Z_:][a-zA-Z0-9_:]*(\{[a-zA-Z_][a-zA-Z0-9_]*="([^"\\]|\\[\\"n])*"(,[a-zA-Z_][a-zA-Z0-9_]*="([^"\\]|\\[\\"n])*")*\})? -?[0-9.e+-]+$/ { last = $0; next }
	{ print FILENAME ": bad line " FNR ": " $0; bad = 1 }
	END { if (last !~ /_build_info\{/) { print "last scrape cut short"; bad = 1 }; exit bad }' "$@"
}

# The pool the churn imports and exports, on a memory disk of its own.
poolmd=$(mdconfig -a -t malloc -s 128m)
zpool create -f -m $T/pool kelmarsoak "$poolmd"

# Devices every few seconds, until the scrapes are done.
churn() {
	n=0
	while [ ! -e $T/done ]; do
		n=$((n + 1))
		md=$(mdconfig -a -t malloc -s 4m)
		a=$(ifconfig epair create) && ifconfig "$a" name "ks$n" >/dev/null
		sleep 2
		ifconfig "ks$n" destroy
		mdconfig -d -u "$md"
		case $((n % 5)) in
		0) zpool export kelmarsoak ;;
		1) zpool import -d /dev kelmarsoak 2>/dev/null ;;
		esac
		echo "$n" >$T/events
		sleep 1
	done
}

# A hostile peer every half second, each kind in turn: half-closing,
# resetting (gone with the answer unread), reading slowly, silent, trickling.
# Each holds the one server for a second at most, so scrapes go on between.
request='GET /metrics HTTP/1.1\r\nHost: soak\r\n\r\n'
hostile() {
	k=0
	while [ ! -e $T/done ]; do
		k=$((k + 1))
		case $((k % 5)) in
		0) printf %b "$request" | nc -N 127.0.0.1 $PORT >/dev/null 2>&1 ;;
		1) { printf %b "$request"; sleep 5; } | nc 127.0.0.1 $PORT >/dev/null 2>&1 &
			sleep 0.2
			kill -9 $! 2>/dev/null ;;
		2) { printf %b "$request"; sleep 0.5; } | nc -N 127.0.0.1 $PORT 2>/dev/null |
			{ sleep 0.5; cat >/dev/null; } ;;
		3) sleep 0.3 | nc -N 127.0.0.1 $PORT >/dev/null 2>&1 ;;
		4) { printf 'GET /metr'; sleep 0.3; printf 'ics HTTP/1.1\r\n'; sleep 0.3; printf '\r\n'; } |
			nc -N 127.0.0.1 $PORT >/dev/null 2>&1 ;;
		esac
		echo "$k" >$T/peers
		sleep 0.5
	done
}

$P -l 127.0.0.1:$PORT 2>$T/stderr &
pid=$!
n=0
while ! listening && [ $n -lt 50 ]; do sleep 0.1; n=$((n + 1)); done

# Warm-up, then the state the end is held to.
i=0
while [ $i -lt 200 ]; do fetch -q -o /dev/null $URL; i=$((i + 1)); done
before=$(state)
churn &
churner=$!
hostile &
peers=$!
started=$(date +%s)
done_scrapes=0
failures=0
while [ $done_scrapes -lt "$SCRAPES" ] && [ $(($(date +%s) - started)) -lt $((MINUTES * 60)) ]; do
	rm -f $T/s/*
	i=0
	while [ $i -lt $BATCH ]; do
		fetch -q -T 30 -o $T/s/$i $URL || failures=$((failures + 1))
		i=$((i + 1))
	done
	well_formed $T/s/* || failures=$((failures + 1))
	done_scrapes=$((done_scrapes + BATCH))
done
took=$(($(date +%s) - started))
touch $T/done
wait $churner $peers
sleep 3
after=$(state)
kill -TERM $pid
wait $pid
status=$?

echo "FreeBSD $(uname -r): $done_scrapes scrapes in $took s, $failures failed;" \
	"$(cat $T/events) device rounds (a memory disk, an epair renamed and destroyed," \
	"the pool exported or imported every fifth), $(cat $T/peers) hostile peers"
echo "after warm-up: $before"
echo "at the end:    $after"
echo "exit status $status; standard error:"
cat $T/stderr
[ "$failures" -eq 0 ] && [ $done_scrapes -ge "$SCRAPES" ] && [ "$before" = "$after" ] && [ $status -eq 0 ] &&
	[ "$(grep -vc 'listening on' $T/stderr)" -eq 0 ]
