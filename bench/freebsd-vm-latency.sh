#!/bin/sh
# Runs inside the FreeBSD test VM (scripts/freebsd-vm run bench/freebsd-vm-latency.sh):
# our scrape against the floor's bare reads plus its minimal server, 200
# sequential scrapes each, in the same boot. The VM is emulated: only the
# ratio means something.
P=/usr/local/bin/kelmar-host-perfdata
FLOOR=/usr/local/libexec/kelmar-host-perfdata/floor
PORT=9272
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
listening() {
	n=50
	until sockstat -4l -p $PORT | grep -q ":$PORT"; do
		n=$((n - 1))
		[ $n -gt 0 ] || exit 1
		sleep 0.1
	done
}

$P -l 127.0.0.1:$PORT 2>/dev/null &
pid=$!
listening
size=$(fetch -q -o - http://127.0.0.1:$PORT/metrics | wc -c)
ours=$($FLOOR scrape $PORT 200 | sed '$d' | median)
kill -TERM $pid
wait $pid
$FLOOR serve $PORT "$size" &
fpid=$!
listening
server=$($FLOOR scrape $PORT 200 | sed '$d' | median)
kill -TERM $fpid
reads=$($FLOOR read 200 sysctl | cut -d' ' -f1)
echo "latency: ours $ours ns, floor $((server + reads)) ns (server $server + reads $reads):" \
	"$(awk -v o="$ours" -v f=$((server + reads)) 'BEGIN { printf "%.2f", o / f }')x"
