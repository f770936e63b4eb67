#!/bin/sh
# Runs inside the FreeBSD test VM (scripts/freebsd-vm run bench/freebsd-vm-hostile.sh):
# scrape latency among hostile peers of every kind mixed (the floor's `peers`),
# 0, 5, 100 and 1,000 of them, ours beside the peer exporter where
# bench/build-freebsd-peer has built it, and each server's resident size under
# the most. The VM is emulated: compare the two side by side, and each with its
# own unloaded figure. POSIX sh and the base system only.
#
#   SCRAPES (default 40)  COUNTS (default "0 5 100 1000")

P=/usr/local/bin/kelmar-host-perfdata
FLOOR=/usr/local/libexec/kelmar-host-perfdata/floor
PEER=./node_exporter
SCRAPES=${SCRAPES:-40}
COUNTS=${COUNTS:-0 5 100 1000}
KINDS=silent,stalled,trickle,never_reads,oversize,reset
T=/tmp/kelmar-hostile
mkdir -p $T
kldload -n accf_http accf_data

listening() {
	n=100
	until sockstat -4l -p "$1" | grep -q ":$1 "; do
		n=$((n - 1))
		[ $n -gt 0 ] || return 1
		sleep 0.1
	done
}
# Milliseconds: median, p99 and worst of the nanoseconds on standard input.
summary() {
	sort -n | awk '{ v[NR] = $1 } END { i = int(NR * 0.99 + 0.999)
		printf "median %8.2f ms  p99 %8.2f ms  worst %8.2f ms\n", v[int((NR + 1) / 2)] / 1e6, v[i] / 1e6, v[NR] / 1e6 }'
}

# NAME PORT: each count of peers in turn, SCRAPES scrapes a tenth of a second apart.
measure() {
	for count in $COUNTS; do
		holder=
		if [ "$count" -gt 0 ]; then
			$FLOOR peers "$2" "$count" $KINDS &
			holder=$!
			sleep 4
		fi
		i=0
		while [ $i -lt "$SCRAPES" ]; do
			$FLOOR scrape "$2" 1 | head -1
			sleep 0.1
			i=$((i + 1))
		done >$T/lat
		rss=$(ps -o rss= -p "$3" | tr -d ' ')
		[ -n "$holder" ] && { kill -TERM $holder; wait $holder; sleep 3; }
		printf '%-6s %5d mixed  %s  rss %s KiB\n' "$1" "$count" "$(summary <$T/lat)" "$rss"
	done
}

echo "FreeBSD $(uname -r), kern.osreldate $(sysctl -n kern.osreldate)"
$P -l 127.0.0.1:9272 2>$T/stderr &
ours=$!
listening 9272 || { echo "ours did not listen"; exit 1; }
measure ours 9272 $ours
kill -TERM $ours
wait $ours
echo "ours: exit status $?, standard error: $(cat $T/stderr)"
if [ -x $PEER ]; then
	$PEER --web.listen-address=127.0.0.1:9273 --collector.disable-defaults \
		--collector.cpu --collector.meminfo --collector.loadavg --collector.devstat \
		--collector.netdev >$T/peer.log 2>&1 &
	peer=$!
	if listening 9273; then measure peer 9273 $peer; else echo "the peer did not listen"; fi
	kill -TERM $peer
else
	echo "no peer exporter (bench/build-freebsd-peer builds one): no peer rows"
fi
