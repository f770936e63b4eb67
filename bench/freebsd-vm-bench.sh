#!/bin/sh
# Runs inside the FreeBSD test VM (scripts/freebsd-vm run bench/freebsd-vm-bench.sh):
# our scrape beside the floor (its bare reads plus a minimal server answering
# a body of our size) and beside the peer exporter, where bench/build-freebsd-peer
# has built it, all in one boot: on the VM as it is, then with INTERFACES more
# interfaces, then with DISKS more memory disks as well. Their names are all
# UTF-8: the peer ends at the first that is not (shown at the end). At each size the
# servers take turns of SCRAPES sequential scrapes, ROUNDS times, and the
# floor's bare reads take theirs. The VM is emulated: only the ratios, taken
# side by side, mean something. POSIX sh and the base system only.
#
#   ROUNDS (default 8)  SCRAPES (default 16)  INTERFACES (1000)  DISKS (64)

# shellcheck disable=SC1091 # the VM puts it beside every job
. ./large_host.sh
T=/tmp/kelmar-bench
P=/usr/local/bin/kelmar-host-perfdata
FLOOR=/usr/local/libexec/kelmar-host-perfdata/floor
PEER=./node_exporter
ROUNDS=${ROUNDS:-8}
SCRAPES=${SCRAPES:-16}
INTERFACES=${INTERFACES:-1000}
DISKS=${DISKS:-64}
mkdir -p $T
kldload -n zfs if_epair
# A pool, so that the ARC families have something to report on both sides.
zpool create -f -m $T/pool kelmarbench "$(mdconfig -a -t malloc -s 128m)"

listening() {
	n=100
	until sockstat -4l -p "$1" | grep -q ":$1 "; do
		n=$((n - 1))
		[ $n -gt 0 ] || return 1
		sleep 0.1
	done
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
p99() { sort -n | awk '{ v[NR] = $1 } END { i = int(NR * 0.99 + 0.999); print v[i < 1 ? 1 : i] }'; }
# Microseconds a process has spent on the CPU, user and system.
cpu_us() {
	procstat -r "$1" | awk '/ (user|system) time / { split($NF, t, ":"); s += t[1] * 3600 + t[2] * 60 + t[3] }
		END { printf "%.0f\n", s * 1e6 }'
}
us() { awk -v n="$1" 'BEGIN { printf "%.0f us", n / 1000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2fx", a / b; else print "-" }'; }
# A / B against a target ratio: the ratio and ok, or MISSED.
against() {
	awk -v a="$1" -v b="$2" -v t="$3" -v w="$4" 'BEGIN {
		if (b <= 0) { print "-"; exit }
		printf "%.2fx (target <= %s) %s\n", a / b, w, (a / b <= t ? "ok" : "MISSED") }'
}
row() { printf '  %-30s %-14s %-14s %s\n' "$@"; }

$P -l 127.0.0.1:9272 2>$T/stderr &
ours=$!
listening 9272 || { echo "ours did not listen"; exit 1; }
peer=
if [ -x $PEER ]; then
	$PEER --web.listen-address=127.0.0.1:9273 --collector.disable-defaults \
		--collector.cpu --collector.meminfo --collector.loadavg --collector.devstat \
		--collector.netdev --collector.zfs >$T/peer.log 2>&1 &
	peer=$!
	listening 9273 || { echo "the peer did not listen: $(tail -3 $T/peer.log)"; peer=; }
fi
[ -n "$peer" ] || echo "no peer exporter (bench/build-freebsd-peer builds one): no peer column"

# SIZE PEER-TARGET TARGET-TEXT: one size's turns; its medians are kept in $T/SIZE.* for the
# costs below.
measure() {
	body=$(fetch -q -o - http://127.0.0.1:9272/metrics | wc -c | tr -d ' ')
	$FLOOR serve 9274 "$body" &
	floor=$!
	listening 9274
	servers="ours:9272 floor:9274"
	[ -n "$peer" ] && servers="$servers peer:9273"
	for s in $servers; do $FLOOR scrape "${s#*:}" 4 >/dev/null; done
	rm -f $T/*.lat $T/reads $T/interfaces $T/iflist $T/disks
	cpu_ours=$(cpu_us $ours)
	[ -n "$peer" ] && cpu_peer=$(cpu_us $peer)
	r=0
	while [ $r -lt "$ROUNDS" ]; do
		for s in $servers; do $FLOOR scrape "${s#*:}" "$SCRAPES" | sed '$d' >>"$T/${s%:*}.lat"; done
		$FLOOR read "$SCRAPES" all | cut -d' ' -f1 >>$T/reads
		# Elapsed, not CPU: this VM's process CPU clock counts whole statclock ticks.
		for part in interfaces iflist disks; do $FLOOR read 64 $part >>$T/$part; done
		r=$((r + 1))
	done
	n=$((ROUNDS * SCRAPES))
	echo $((($(cpu_us $ours) - cpu_ours) * 1000 / n)) >"$T/$1.cpu"
	median <$T/ours.lat >"$T/$1.ours"
	median <$T/reads >"$T/$1.reads"
	echo $(($(median <$T/floor.lat) + $(cat "$T/$1.reads"))) >"$T/$1.floor"
	for part in interfaces iflist disks; do cut -d' ' -f1 $T/$part | median >"$T/$1.$part"; done
	kill -TERM $floor
	wait $floor

	server=$(median <$T/floor.lat)
	reads=$(cat "$T/$1.reads")
	echo "$1: $(grep -c '^kelmar_host_network_receive_bytes' $T/scrape) interfaces," \
		"$(grep -c '^kelmar_host_disk_read_bytes' $T/scrape) disks, $body bytes; $n scrapes each"
	row "" ours "floor / peer" ratio
	row "median latency vs floor" "$(us "$(cat "$T/$1.ours")")" "$(us $((server + reads)))" \
		"$(against "$(cat "$T/$1.ours")" $((server + reads)) 1.5 1.5x), server $(us "$server") + reads $(us "$reads")"
	row "p99 latency" "$(us "$(p99 <$T/ours.lat)")" "$(us "$(p99 <$T/floor.lat)")" "(floor's server alone)"
	if [ -n "$peer" ] && ! kill -0 "$peer" 2>/dev/null; then
		echo "the peer has ended: $(grep -m1 -E 'panic|fatal' $T/peer.log)"
		peer=
	fi
	if [ -n "$peer" ]; then
		cpu_peer=$((($(cpu_us $peer) - cpu_peer) * 1000 / n))
		row "median latency vs peer" "$(us "$(cat "$T/$1.ours")")" "$(us "$(median <$T/peer.lat)")" \
			"$(against "$(cat "$T/$1.ours")" "$(median <$T/peer.lat)" "$2" "$3")"
		row "p99 latency vs peer" "$(us "$(p99 <$T/ours.lat)")" "$(us "$(p99 <$T/peer.lat)")" \
			"$(ratio "$(p99 <$T/ours.lat)" "$(p99 <$T/peer.lat)")"
		row "server CPU per scrape" "$(us "$(cat "$T/$1.cpu")")" "$(us $cpu_peer)" \
			"$(ratio "$(cat "$T/$1.cpu")" $cpu_peer)"
		row "RSS" "$(ps -o rss= -p $ours | tr -d ' ') KiB" "$(ps -o rss= -p "$peer" | tr -d ' ') KiB"
	else
		row "server CPU per scrape" "$(us "$(cat "$T/$1.cpu")")"
		row "RSS" "$(ps -o rss= -p $ours | tr -d ' ') KiB"
	fi
	row "bare reads: interfaces" "$(us "$(cat "$T/$1.interfaces")")" \
		"$(us "$(cat "$T/$1.iflist")")" "(one MIB record per index / one NET_RT_IFLIST)"
	row "bare reads: disks" "$(us "$(cat "$T/$1.disks")")"
}

# NAME FROM TO COUNT: the cost of one more device between two sizes: in
# latency, in all and above the floor's (its server sends the same bytes, its
# reads are the same); in our server's CPU; and in the bare reads' CPU.
cost() {
	awk -v n="$4" -v name="$1" -v o0="$(cat "$T/$2.ours")" -v o1="$(cat "$T/$3.ours")" \
		-v r0="$(cat "$T/$2.floor")" -v r1="$(cat "$T/$3.floor")" \
		-v c0="$(cat "$T/$2.cpu")" -v c1="$(cat "$T/$3.cpu")" \
		-v i0="$(cat "$T/$2.interfaces")" -v i1="$(cat "$T/$3.interfaces")" \
		-v l0="$(cat "$T/$2.iflist")" -v l1="$(cat "$T/$3.iflist")" \
		-v d0="$(cat "$T/$2.disks")" -v d1="$(cat "$T/$3.disks")" 'BEGIN {
		printf "  one more %s: latency %.1f us, above the floor %.1f us; server CPU %.1f us;",
			name, (o1 - o0) / n / 1000, ((o1 - r1) - (o0 - r0)) / n / 1000, (c1 - c0) / n / 1000
		if (name == "interface")
			printf " bare reads %.1f us per MIB record, %.1f us in one NET_RT_IFLIST\n",
				(i1 - i0) / n / 1000, (l1 - l0) / n / 1000
		else
			printf " bare reads %.1f us\n", (d1 - d0) / n / 1000 }'
}

echo "FreeBSD $(uname -r), $(sysctl -n hw.ncpu) CPUs (emulated); rounds $ROUNDS of $SCRAPES scrapes"
fetch -q -o $T/scrape http://127.0.0.1:9272/metrics
measure small 0.125 1/8
started=$(date +%s)
large_interfaces "$INTERFACES" utf8
echo "$INTERFACES more interfaces made in $(($(date +%s) - started)) s"
fetch -q -o $T/scrape http://127.0.0.1:9272/metrics
measure interfaces 0.0667 1/15
large_disks "$DISKS"
fetch -q -o $T/scrape http://127.0.0.1:9272/metrics
measure large 0.0667 1/15
cost interface small interfaces "$INTERFACES"
cost disk interfaces large "$DISKS"

if [ -n "$peer" ]; then
	# The same readings from both, one after the other: they agree within what
	# moved in between (the second dump of ours brackets the peer's).
	fetch -q -o $T/a http://127.0.0.1:9272/metrics
	fetch -q -o $T/p http://127.0.0.1:9273/metrics
	fetch -q -o $T/b http://127.0.0.1:9272/metrics
	# WHAT OURS PEER SLACK: our sample OURS brackets the sum of the peer's
	# samples whose name and labels match the pattern PEER. (On 14.2 the
	# peer's meminfo stops at vm.stats.vm.v_cache_count, which is gone, and
	# reports no memory size.)
	agree() {
		a=$(awk -v k="$2" '$1 == k { print $2 }' $T/a)
		b=$(awk -v k="$2" '$1 == k { print $2 }' $T/b)
		v=$(awk -v p="$3" '$1 ~ p { s += $2; n++ } END { if (n) printf "%.6f\n", s }' $T/p)
		if [ -z "$v" ]; then
			echo "  absent from the peer: $1"
		elif awk -v a="$a" -v b="$b" -v v="$v" -v s="$4" 'BEGIN { exit !(v >= a - s && v <= b + s) }'; then
			echo "  agree: $1: ours $a..$b, peer $v"
		else
			echo "  DISAGREE: $1: ours $a..$b, peer $v"
			disagreed=1
		fi
	}
	disagreed=0
	for mode in user system idle; do
		agree "cpu $mode seconds" "kelmar_host_cpu_seconds_total{mode=\"$mode\"}" \
			"^node_cpu_seconds_total[{].*mode=\"$mode\"" 0.05
	done
	agree "load1" kelmar_host_load1 "^node_load1\$" 0.01
	agree "memory total" kelmar_host_memory_total_bytes "^node_memory_size_bytes\$" 0
	agree "vtbd0 bytes read" "kelmar_host_disk_read_bytes_total{device=\"vtbd0\"}" \
		"^node_devstat_bytes_total[{]device=\"vtbd0\",type=\"read\"" 0
	agree "lo0 bytes received" "kelmar_host_network_receive_bytes_total{device=\"lo0\"}" \
		"^node_network_receive_bytes_total[{]device=\"lo0\"" 0
fi
if [ -n "$peer" ]; then
	# One name outside UTF-8, as any administrator may give: ours writes
	# U+FFFD, the peer's client library panics on the label value.
	odd=$(ifconfig epair create) && ifconfig "$odd" name "$(printf 'kx\377')" >/dev/null
	fetch -q -o $T/a http://127.0.0.1:9272/metrics && grep -c 'device="kx' $T/a | sed 's/^/  a name outside UTF-8: ours serves it, lines: /'
	fetch -q -o /dev/null http://127.0.0.1:9273/metrics
	sleep 1
	if kill -0 "$peer" 2>/dev/null; then echo "  a name outside UTF-8: the peer still serves"; else
		echo "  a name outside UTF-8: the peer has ended: $(grep -m1 -E 'panic' $T/peer.log)"
		peer=
	fi
	ifconfig "$(printf 'kx\377')" destroy
fi
large_host_remove
kill -TERM $ours
wait $ours
echo "ours: exit status $?, standard error: $(grep -v 'listening on' $T/stderr)"
[ -n "$peer" ] && kill -TERM "$peer"
[ "${disagreed:-0}" -eq 0 ]
