#!/bin/sh
# Months of uptime, compressed, on FreeBSD (scripts/freebsd-vm run
# tests/freebsd_vm/soak.sh), in two parts. First the device paths alone, as
# fast as they go: RELOADS rounds (default 1000) of a memory disk attached, a
# scrape that must list it (the GEOM tree reloaded and the statistics
# remapped for its record), the disk detached, an epair created, a scrape,
# the epair destroyed, after 400 rounds of warm-up. Then SCRAPES scrapes
# (default 100000, MINUTES at most, default 60) among hostile peers while
# memory disks come and go, epairs are created, renamed and destroyed and a
# ZFS pool is imported and exported every few seconds; its warm-up, a tenth
# of the scrapes and at least 100 device rounds, runs all of it too. Every
# scrape must be a complete 200 of well-formed lines, and in each part
# descriptors and kqueues must end as they were after warm-up. Resident size
# may grow by at most 64 KiB: a rare path taken late for the first time maps
# pages once and then stays (in one run, eight pages of libm's text and
# three of the heap, after round 400 and flat for 1,500 rounds after), and
# each mapping that changed is printed. Standard error must hold only the banner. The scrapes are the
# floor's (a plain client, with no process per scrape). POSIX sh and the
# base system only.

P=/usr/local/bin/kelmar-host-perfdata
FLOOR=/usr/local/libexec/kelmar-host-perfdata/floor
T=/tmp/kelmar-soak
PORT=9272
SCRAPES=${SCRAPES:-100000}
RELOADS=${RELOADS:-1000}
MINUTES=${MINUTES:-60}
BATCH=100
mkdir -p $T/s $T/r
kldload -n zfs if_epair accf_data accf_http

listening() { sockstat -4l -p $PORT | grep -q ":$PORT"; }
# Resident KiB, descriptors, and of those the kqueues; each mapping's
# resident pages go to $T/map.NAME, so that a change can be told where.
state() {
	procstat -v "$pid" | awk 'NR > 1 && $10 != "dv" { print $10, $4, $11, $5 }' >"$T/map.$1"
	echo "rss $(ps -o rss= -p "$pid" | tr -d ' ') KiB," \
		"descriptors $(procstat -f "$pid" | awk 'NR > 1 && $3 ~ /^[0-9]+$/' | wc -l | tr -d ' ')," \
		"kqueues $(procstat -f "$pid" | awk 'NR > 1 && $4 == "k"' | wc -l | tr -d ' ')"
}
# The mappings (type, protection, file, resident pages) that differ between
# two states.
moved() {
	diff "$T/map.$1" "$T/map.$2" | sed -n 's/^< /  was: /p; s/^> /  now: /p'
}
# Every response a 200 whose body is as long as it says, every body line a
# HELP, a TYPE or a sample, and each body ends with build_info: a complete
# exposition.
well_formed() {
	awk '
	function close_one() {
		if (head || last !~ /_build_info\{/ || got != length_said) { print name ": cut short"; bad = 1 }
	}
	FNR == 1 {
		if (NR > 1) close_one()
		name = FILENAME; head = 1; got = 0; length_said = -1; last = ""
		if ($0 !~ /^HTTP\/1\.1 200 /) { print name ": " $0; bad = 1 }
		next
	}
	head && /^Content-Length: / { length_said = $2 + 0; next }
	head && $0 == "\r" { head = 0; next }
	head { next }
	{ got += length($0) + 1 }
	/^# HELP [a-zA-Z_:][a-zA-Z0-9_:]* ./ { last = $0; next }
	/^# TYPE [a-zA-Z_:][a-zA-Z0-9_:]* (counter|gauge)$/ { last = $0; next }
	/^[a-zA-Z_:][a-zA-Z0-9_:]*(\{[a-zA-Z_][a-zA-Z0-9_]*="([^"\\]|\\[\\"n])*"(,[a-zA-Z_][a-zA-Z0-9_]*="([^"\\]|\\[\\"n])*")*\})? -?[0-9.e+-]+$/ { last = $0; next }
	{ print FILENAME ": bad line " FNR ": " $0; bad = 1 }
	END { if (NR == 0) bad = 1; else close_one(); exit bad }' "$@"
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

# One round of the device paths; false when a scrape failed or left out the disk.
reload_round() {
	round_ok=yes
	md=$(mdconfig -a -t malloc -s 1m)
	if ! $FLOOR scrape $PORT 1 $T/r >/dev/null || ! well_formed $T/r/0; then
		echo "the scrape after attaching $md failed" && round_ok=no
	elif ! grep -q "device=\"$md\"" $T/r/0; then
		echo "the scrape after attaching $md did not list it" && round_ok=no
	fi
	mdconfig -d -u "$md"
	e=$(ifconfig epair create)
	if ! $FLOOR scrape $PORT 1 $T/r >/dev/null || ! well_formed $T/r/0; then
		echo "the scrape after creating $e failed" && round_ok=no
	fi
	ifconfig "$e" destroy
	[ "${round_ok:-yes}" = yes ]
}
i=0
while [ $i -lt 400 ]; do reload_round || echo "warm-up round failed"; i=$((i + 1)); done
reloads_before=$(state warm)
reload_failures=0
i=0
while [ $i -lt "$RELOADS" ]; do
	reload_round || reload_failures=$((reload_failures + 1))
	i=$((i + 1))
done
reloads_after=$(state reloads)

# BATCH scrapes, kept and checked; false when any failed.
batch() {
	rm -f $T/s/*
	$FLOOR scrape $PORT $BATCH $T/s >/dev/null && well_formed $T/s/*
}

# Warm-up: plain scrapes, then the churn and the peers, as long as set above.
# Then the state the end is held to.
i=0
while [ $i -lt 2 ]; do batch || echo "warm-up batch failed"; i=$((i + 1)); done
churn &
churner=$!
hostile &
peers=$!
warm=0
while [ $warm -lt $((SCRAPES / 10)) ] || [ "$(cat $T/events 2>/dev/null || echo 0)" -lt 100 ]; do
	batch || echo "warm-up batch failed"
	warm=$((warm + BATCH))
done
warm_events=$(cat $T/events)
before=$(state before)
started=$(date +%s)
done_scrapes=0
failures=0
while [ $done_scrapes -lt "$SCRAPES" ] && [ $(($(date +%s) - started)) -lt $((MINUTES * 60)) ]; do
	batch || failures=$((failures + 1))
	done_scrapes=$((done_scrapes + BATCH))
	[ $done_scrapes -eq $((SCRAPES / 2)) ] && half=$(state half)
done
took=$(($(date +%s) - started))
touch $T/done
wait $churner $peers
sleep 3
after=$(state after)
kill -TERM $pid
wait $pid
status=$?

rss() { echo "$1" | sed 's/^rss \([0-9]*\) .*/\1/'; }
others() { echo "$1" | sed 's/^rss [0-9]* KiB, //'; }
echo "FreeBSD $(uname -r): $RELOADS device rounds alone (a memory disk attached, listed and detached," \
	"an epair created and destroyed, a scrape after each), $reload_failures failed"
echo "after their warm-up: $reloads_before"
echo "at their end:        $reloads_after"
moved warm reloads
echo "$done_scrapes scrapes in $took s among hostile peers, $failures batches of $BATCH failed;" \
	"$(cat $T/events) device rounds (a memory disk, an epair renamed and destroyed," \
	"the pool exported or imported every fifth), $warm_events of them in the warm-up of $warm scrapes;" \
	"$(cat $T/peers) hostile peers"
echo "after warm-up: $before"
echo "half-way:      ${half:-}"
echo "at the end:    $after"
moved before after
echo "exit status $status; standard error:"
cat $T/stderr
[ "$reload_failures" -eq 0 ] && [ "$(others "$reloads_before")" = "$(others "$reloads_after")" ] &&
	[ "$(rss "$reloads_after")" -le $(($(rss "$reloads_before") + 64)) ] &&
	[ "$failures" -eq 0 ] && [ $done_scrapes -ge "$SCRAPES" ] && [ $status -eq 0 ] &&
	[ "$(others "$before")" = "$(others "$after")" ] &&
	[ "$(rss "$after")" -le $(($(rss "$before") + 64)) ] &&
	[ "$(grep -vc 'listening on' $T/stderr)" -eq 0 ]
