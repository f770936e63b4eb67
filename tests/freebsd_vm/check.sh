#!/bin/sh
# Runs inside the FreeBSD test VM (scripts/freebsd-vm check) as root: every
# family against FreeBSD's own account of the same thing, the serve mode, the
# dashboard and the rc.d service. POSIX sh and the base system only.
#
# Counters are bracketed: ours before, FreeBSD's tool, ours after, so a moving
# counter needs no tolerance beyond the tool's own rounding.

# shellcheck disable=SC2086 # word splitting of the set-up commands is wanted
P=/usr/local/bin/kelmar-host-perfdata
T=/tmp/kelmar-check
PORT=9272
URL=http://127.0.0.1:$PORT/metrics
passed=0
failed=0
mkdir -p $T && rm -f $T/failures

ok() { passed=$((passed + 1)); echo "ok   $*"; }
bad() { failed=$((failed + 1)); echo "FAIL $*" | tee -a $T/failures; }
check() { # NAME COMMAND...: passes when the command does
	name=$1
	shift
	if "$@"; then ok "$name"; else bad "$name"; fi
}
dump() { $P --dump >"$1"; }
val() { awk -v k="$2" '$1 == k { print $2; exit }' "$1"; }
# LOW VALUE HIGH SLACK: LOW - SLACK <= VALUE <= HIGH + SLACK, in floating point.
within() {
	awk -v a="$1" -v v="$2" -v b="$3" -v s="$4" 'BEGIN {
		if (a > b) { t = a; a = b; b = t }
		exit !(v != "" && a != "" && v >= a - s && v <= b + s) }'
}
# NAME KEY SCALE SLACK THEIRS: FreeBSD's figure times SCALE (a number or an
# awk expression) lies between ours in $T/a and $T/b.
bracket() {
	a=$(val $T/a "$2")
	b=$(val $T/b "$2")
	v=$(awk "BEGIN { printf \"%.9f\", $5 * ($3) }")
	if within "$a" "$v" "$b" "$4"; then ok "$1: ours $a..$b, FreeBSD $v"; else
		bad "$1: ours $a..$b, FreeBSD $v (slack $4)"; fi
}
# Every line of an exposition is a HELP, a TYPE or a sample of a known form.
lines_ok() {
	awk '
	/^# HELP [a-zA-Z_:][a-zA-Z0-9_:]* ./ { next }
	/^# TYPE [a-zA-Z_:][a-zA-Z0-9_:]* (counter|gauge)$/ { next }
	/^[a-zA-Z_:][a-zA-Z0-9_:]*(\{[a-zA-Z_][a-zA-Z0-9_]*="([^"\\]|\\[\\"n])*"(,[a-zA-Z_][a-zA-Z0-9_]*="([^"\\]|\\[\\"n])*")*\})? -?[0-9.e+-]+$/ { n++; next }
	{ print "bad line " NR ": " $0; bad = 1 }
	END { exit bad || n == 0 }' "$1"
}
seconds() { /usr/bin/time -p "$@" 2>&1 >/dev/null | awk '$1 == "real" { print $2 }'; }
listening() { sockstat -4l -p $PORT | grep -q ":$PORT"; }
wait_for() { # SECONDS COMMAND...
	n=$(($1 * 10))
	shift
	while ! "$@"; do
		n=$((n - 1))
		[ $n -gt 0 ] || return 1
		sleep 0.1
	done
}
# Duplicate address detection over: until then the link-local address is
# tentative, and a ping sent from it counts as a transmit error, not a packet.
dad_done() { ifconfig "$1" inet6 | grep 'inet6 fe80' | grep -qv tentative; }

# Where releases differ, each is held to what its kernel does, known by this.
osrel=$(sysctl -n kern.osreldate)
echo "$(uname -s) $(uname -r) (kern.osreldate $osrel), $(sysctl -n hw.ncpu) CPUs, $(sysctl -n hw.physmem) bytes"

# --- the host: swap, a pool, interfaces with odd names, memory disks ---
kldload zfs if_epair 2>/dev/null
swapmd=$(mdconfig -a -t malloc -s 64m) && swapon /dev/$swapmd
poolmd=$(mdconfig -a -t malloc -s 128m)
zpool create -f -m /$T/pool kelmartest $poolmd &&
	dd if=/dev/random of=$T/pool/data bs=1m count=32 2>/dev/null && sync
odd=$(printf 'u\377\376z')
a=$(ifconfig epair create) && b=${a%a}b
ifconfig "$a" name kb0123456789abc >/dev/null && ifconfig "$b" name "$odd" >/dev/null
ifconfig kb0123456789abc inet6 -ifdisabled up && ifconfig "$odd" inet6 -ifdisabled up
wait_for 10 dad_done kb0123456789abc
ping -6 -c 3 -i 0.2 ff02::1%kb0123456789abc >/dev/null 2>&1
ping -c 2 -i 0.2 127.0.0.1 >/dev/null 2>&1
dd if=/dev/$poolmd of=/dev/null bs=64k count=100 2>/dev/null
# The VM's NVMe disk: nda by default, nvd with hw.nvme.use_nvd=1.
nvme=$(sysctl -n kern.disks | tr ' ' '\n' | grep -E '^(nda|nvd)[0-9]+$' | head -1)
dd if=/dev/random of=/dev/$nvme bs=64k count=64 2>/dev/null
dd if=/dev/$nvme of=/dev/null bs=64k count=160 2>/dev/null

# --- scalar families ---
dump $T/a
cp_time=$(sysctl -n kern.cp_time)
stathz=$(sysctl -n kern.clockrate | sed 's/.*stathz = \([0-9]*\).*/\1/')
pages=$(sysctl -n vm.stats.vm.v_page_count)
free=$(sysctl -n vm.stats.vm.v_free_count)
pagesize=$(sysctl -n hw.pagesize)
loadavg=$(sysctl -n vm.loadavg)
arc=$(sysctl -n kstat.zfs.misc.arcstats.size)
arcmax=$(sysctl -n kstat.zfs.misc.arcstats.c_max)
swapinfo -k | awk 'NR > 1 && $1 != "Total" { t += $2; u += $3 } END { print t, u }' >$T/swap
dump $T/b
i=1
for mode in user nice system interrupt idle; do
	ticks=$(echo "$cp_time" | cut -d' ' -f$i)
	bracket "cpu $mode seconds (kern.cp_time / stathz $stathz)" \
		"kelmar_host_cpu_seconds_total{mode=\"$mode\"}" "1/$stathz" "0.000001" "$ticks"
	i=$((i + 1))
done
total=$(val $T/a kelmar_host_memory_total_bytes)
check "memory total: ours $total, v_page_count x page size $((pages * pagesize))" \
	[ "$total" = $((pages * pagesize)) ]
bracket "memory used (v_page_count - v_free_count)" kelmar_host_memory_used_bytes 1 \
	4194304 $(((pages - free) * pagesize))
read -r swaptotal swapused <$T/swap
check "swap total: ours $(val $T/a kelmar_host_swap_total_bytes), swapinfo -k $((swaptotal * 1024))" \
	[ "$(val $T/a kelmar_host_swap_total_bytes)" = $((swaptotal * 1024)) -a "$swaptotal" -gt 0 ]
bracket "swap used (swapinfo -k)" kelmar_host_swap_used_bytes 1024 0 "$swapused"
i=2
for n in 1 5 15; do
	bracket "load$n (vm.loadavg, two decimals)" kelmar_host_load$n 1 0.005 \
		"$(echo "$loadavg" | cut -d' ' -f$i)"
	i=$((i + 1))
done
bracket "ZFS ARC size (arcstats.size)" kelmar_host_zfs_arc_size_bytes 1 1048576 "$arc"
check "ZFS ARC c_max: ours $(val $T/a kelmar_host_zfs_arc_c_max_bytes), arcstats $arcmax" \
	[ "$(val $T/a kelmar_host_zfs_arc_c_max_bytes)" = "$arcmax" ]

# --- disks: iostat's totals since boot, bracketed ---
dump $T/a
iostat -x -I -d >$T/iostat
dump $T/b
ours=$(sed -n 's/^kelmar_host_disk_read_bytes_total{device="\([^"]*\)"}.*/\1/p' $T/a | sort | xargs)
# CAM's pass devices keep statistics but are no GEOM disks (gstat leaves them out too).
sed -i '' -e '1,2d' -e '/^pass[0-9]/d' $T/iostat
theirs=$(awk '{ print $1 }' $T/iostat | sort | xargs)
check "disk names: ours '$ours', iostat without pass devices '$theirs'" [ "$ours" = "$theirs" ]
geomdisks=$(geom disk list | awk '$2 == "Name:" { print $3 }' | sort | xargs)
for d in $geomdisks; do
	check "geom disk $d is a disk of ours" grep -q "device=\"$d\"" $T/a
done
while read -r dev rops wops rkb wkb _ _ busy; do
	bracket "$dev read ops (iostat -xI)" "kelmar_host_disk_read_ops_total{device=\"$dev\"}" 1 0 "$rops"
	bracket "$dev write ops" "kelmar_host_disk_write_ops_total{device=\"$dev\"}" 1 0 "$wops"
	bracket "$dev read bytes" "kelmar_host_disk_read_bytes_total{device=\"$dev\"}" 1024 52 "$rkb"
	bracket "$dev write bytes" "kelmar_host_disk_write_bytes_total{device=\"$dev\"}" 1024 52 "$wkb"
	bracket "$dev busy seconds" "kelmar_host_disk_busy_seconds_total{device=\"$dev\"}" 1 0.0501 "$busy"
done <$T/iostat
check "NVMe disk: ${nvme:-none} is a disk of ours" grep -q "device=\"${nvme:-none}\"" $T/a
wrote=$(val $T/a "kelmar_host_disk_write_bytes_total{device=\"$nvme\"}")
check "NVMe disk: the 4 MiB written counted ($wrote bytes)" [ "${wrote:-0}" -ge 4194304 ]
# 15.0 registers NVMe disks' statistics as DEVSTAT_TYPE_IF_NVME; 14.x as "other".
type=other
[ "$osrel" -ge 1500000 ] && type=nvme
typed=$(iostat -x -I -d -t $type | awk 'NR > 2 && !/^pass/ { print $1 }' | xargs)
check "NVMe disk: its statistics of devstat type $type on this kernel (iostat -t $type: $typed)" \
	sh -c "echo ' $typed ' | grep -q ' ${nvme:-none} '"

# --- interfaces: netstat -ibnW's link rows ---
dump $T/a
netstat -ibnW -f link >$T/netstat
dump $T/b
ours=$(sed -n 's/^kelmar_host_network_receive_bytes_total{device="\([^"]*\)"}.*/\1/p' $T/a | sort | xargs)
theirs=$(ifconfig -l | tr ' ' '\n' | sed "s/$odd/u\xef\xbf\xbd\xef\xbf\xbdz/" | sort | xargs)
check "interface names: ours '$ours', ifconfig -l '$theirs'" [ "$ours" = "$theirs" ]
for name in $(ifconfig -l); do
	label=$name
	[ "$name" = "$odd" ] && label=$(printf 'u\357\277\275\357\277\275z')
	# A '*' marks an interface that is down; netstat (libxo) writes no name at
	# all for one that is not UTF-8, so its row starts with the MTU.
	row=$(awk -v n="$name" -v odd="$odd" '(n == odd ? $2 ~ /^<Link#/ : $1 == n || $1 == n "*") && /<Link#/' $T/netstat)
	set -- $row
	[ $# -ge 11 ] || { bad "$label: no link row in netstat -ibnW"; continue; }
	# netstat's columns, counted from the end of the row.
	for column in receive_packets:7 receive_errors:6 receive_drops:5 receive_bytes:4 \
		transmit_packets:3 transmit_errors:2 transmit_bytes:1; do
		bracket "$label ${column%:*} (netstat)" "kelmar_host_network_${column%:*}_total{device=\"$label\"}" \
			1 0 "$(echo "$row" | awk -v n="${column#*:}" '{ print $(NF - n) }')"
	done
done
check "the epair and lo0 carried the pings" [ "$(val $T/a 'kelmar_host_network_transmit_packets_total{device="kb0123456789abc"}')" -ge 3 \
	-a "$(val $T/a 'kelmar_host_network_transmit_packets_total{device="lo0"}')" -ge 2 ]

# --- serve mode ---
kldunload accf_http accf_data 2>/dev/null
$P -l 127.0.0.1:$PORT 2>$T/stderr &
pid=$!
wait_for 5 listening
check "serve: 200 from /metrics (fetch)" fetch -q -o $T/scrape $URL
check "serve: every line well formed" lines_ok $T/scrape
check "serve: 23 families" [ "$(grep -c '^# TYPE' $T/scrape)" -eq 23 ]
kill -TERM $pid
wait $pid
check "serve: SIGTERM ends it with status 0 (got $?)" [ $? -eq 0 ]
diag=$(grep -vc 'listening on' $T/stderr)
check "no accept filter module: exactly one diagnostic ($diag)" [ "$diag" -eq 1 ]

kldload accf_data accf_http
$P -l 127.0.0.1:$PORT 2>$T/stderr &
pid=$!
wait_for 5 listening
check "accf_http loaded: no diagnostic" [ "$(grep -vc 'listening on' $T/stderr)" -eq 0 ]
# Silent peers and peers stalled after one byte just before a scrape: every
# connection is served side by side, so none of them holds the scrape up.
# Whether the server sees them at all is the kernel's: 15.0 passes the
# listener's accept filter on to each new connection (solisten_clone() copies
# SO_ACCEPTFILTER), so httpready keeps all ten on the listen queue's incomplete
# side, never accepted, until a request arrives; 14.x takes the filter and does
# not apply it, so they are queued complete and accepted.
for _ in 1 2 3 4 5; do sleep 20 | nc 127.0.0.1 $PORT >/dev/null & done
for _ in 1 2 3 4 5; do (printf G; sleep 20) | nc 127.0.0.1 $PORT >/dev/null & done
# Measured once all ten are connected, well inside the server's 2 s for a head,
# however slowly the emulated machine starts ten nc processes.
peers() { [ "$(sockstat -4 -c -P tcp -p $PORT | awk '$2 == "nc"' | wc -l)" -ge 10 ]; }
wait_for 10 peers
delay=$(seconds fetch -q -o /dev/null $URL)
held=$(sockstat -4 -c -P tcp -p $PORT | awk -v p=$pid '$3 == p' | wc -l | tr -d ' ')
queue=$(netstat -Lan -p tcp | awk -v a=127.0.0.1.$PORT '$3 == a { print $2 }')
echo "scrape behind 5 silent and 5 stalled peers: $delay s (accept filter httpready set; the server holds $held; listen queue $queue)"
check "scrape behind 5 silent and 5 stalled peers not held by them ($delay s)" within 0 "$delay" 1.9 0
if [ "$osrel" -ge 1500000 ]; then
	check "15.0 applies the accept filter: none of the 10 peers accepted ($held held), all incomplete (qlen/incqlen/max $queue)" \
		[ "$held" -eq 0 -a "${queue%/*}" = 0/10 ]
	check "15.0: a peer is accepted once it sends its request" sh -c \
		"(sleep 1; printf 'GET /metrics HTTP/1.0\r\n\r\n') | nc -w 10 127.0.0.1 $PORT | head -1 | grep -q ' 200 '"
else
	check "14.x applies no accept filter: none of the 10 peers held incomplete (qlen/incqlen/max $queue); the server holds $held, at least the 5 that sent a byte" \
		[ "$(echo "$queue" | cut -d/ -f2)" = 0 -a "$held" -ge 5 ]
fi
# Whole seconds of the shell's clock; a server that does not stop is killed
# after 5.
(sleep 5 && kill -KILL $pid) 2>/dev/null &
dog=$!
start=$(date +%s)
kill -TERM $pid
wait $pid
status=$?
stop=$(($(date +%s) - start))
kill $dog 2>/dev/null
check "SIGTERM with the peers connected: status 0 ($status) within about a second ($stop s)" \
	[ "$status" -eq 0 -a "$stop" -le 2 ]
pkill -f "nc 127.0.0.1 $PORT"

# --- disks come and go while it serves, and on the dashboard ---
$P -l 127.0.0.1:$PORT 2>/dev/null &
pid=$!
wait_for 5 listening
fetch -q -o $T/a $URL
new=$(mdconfig -a -t malloc -s 8m)
fetch -q -o $T/b $URL
mdconfig -d -u "$new"
fetch -q -o $T/c $URL
check "serve: $new absent before it is attached" sh -c "! grep -q 'device=\"$new\"' $T/a"
check "serve: $new at the next scrape after attaching" grep -q "device=\"$new\"" $T/b
check "serve: $new gone at the next scrape after detaching" sh -c "! grep -q 'device=\"$new\"' $T/c"
kill -TERM $pid
wait $pid

script -q $T/top $P -t >/dev/null 2>&1 &
spid=$!
sleep 3
new=$(mdconfig -a -t malloc -s 8m)
sleep 3
mdconfig -d -u "$new"
sleep 3
pkill -INT -f "$P -t"
wait $spid
frames=$(tr -d '\r' <$T/top | awk -v d=$T '/\033\[2J/ { n++ } { print >(d "/frame." n) } END { print n }')
first=$T/frame.2
last=$T/frame.$((frames - 1))
check "-t: frames drawn ($frames)" [ "$frames" -ge 6 ]
for line in CPU: Mem: Load: Swap:; do
	check "-t: a $line line" grep -q "$line" "$first"
done
for d in $geomdisks lo0 kb0123456789abc 'u??z'; do
	check "-t: a row for $d" grep -q "^$d " "$first"
done
check "-t: $new appears while attached" sh -c "cat $T/frame.* | grep -q '^$new '"
check "-t: $new gone once detached" sh -c "! grep -q '^$new ' $last"

# --- the rc.d service under daemon(8) ---
sysrc kelmar_host_perfdata_enable=YES >/dev/null
check "service start" service kelmar_host_perfdata start
wait_for 5 listening
check "service: serving" fetch -q -o /dev/null $URL
check "service status" service kelmar_host_perfdata status
user=$(ps -o user= -p "$(pgrep -f "^$P --listen" | head -1)")
check "service: the program runs as nobody ($user)" [ "$user" = nobody ]
pkill -9 -f "^$P"
sleep 0.5
check "service: back after kill -9 of the program" wait_for 5 listening
check "service: serving again" fetch -q -o /dev/null $URL
check "service restart" service kelmar_host_perfdata restart
wait_for 5 listening
check "service: serving after restart" fetch -q -o /dev/null $URL
check "service stop" service kelmar_host_perfdata stop
# An account, address and prefix of the administrator's, set while stopped (rc.subr
# signals as the account set); daemon(8) sends the program's standard error to
# syslog under the service's name.
sysrc kelmar_host_perfdata_user=operator kelmar_host_perfdata_listen=127.0.0.1:9273 \
	kelmar_host_perfdata_prefix=site >/dev/null
check "service start with account, address and prefix set" service kelmar_host_perfdata start
wait_for 5 sh -c "sockstat -4l -p 9273 | grep -q :9273"
check "service: site_ families on port 9273" sh -c \
	"fetch -q -o - http://127.0.0.1:9273/metrics | grep -q '^site_build_info{'"
user=$(ps -o user= -p "$(pgrep -f "^$P --listen" | head -1)")
check "service: the program runs as operator ($user)" [ "$user" = operator ]
check "service: its banner in syslog" grep -q "kelmar_host_perfdata.*listening on 127.0.0.1:9273" \
	/var/log/messages
check "service stop" service kelmar_host_perfdata stop
sysrc -x kelmar_host_perfdata_user kelmar_host_perfdata_listen kelmar_host_perfdata_prefix
check "service: nothing listens after stop" sh -c "! sockstat -4l | grep -q ':927[23] '"
check "service status after stop fails" sh -c '! service kelmar_host_perfdata status >/dev/null'

# --- jails: the default devfs ruleset, one that unhides devstat, VNET, the service ---
# The jail's root is the host's system, read-only, with an /etc of its own.
J=$T/jail
mkdir -p $J/dev $J/tmp $J/var/run $J/var/log
for d in bin sbin lib libexec usr; do mkdir -p $J/$d && mount -t nullfs -o ro /$d $J/$d; done
cp -Rp /etc $J/etc
families() { sed -n 's/^# TYPE \([^ ]*\) .*/\1/p' "$1" | grep -v _disk_ | xargs; }
labels() { sed -n "s/^kelmar_host_$2_total{device=\"\\([^\"]*\\)\"}.*/\\1/p" "$1" | sort | xargs; }
dump $T/a
jail -c name=plain path=$J ip4=inherit mount.devfs devfs_ruleset=4 command=$P --dump >$T/j 2>$T/j.err
check "jail, devfs ruleset 4: one line says why there are no disks ($(cat $T/j.err))" [ "$(cat $T/j.err)" = \
	"cannot open /dev/devstat: No such file or directory; the disk families are left out" ]
check "jail, devfs ruleset 4: every other family, as the host's" [ "$(families $T/j)" = "$(families $T/a)" ]
check "jail, devfs ruleset 4: the host's interfaces" [ "$(labels $T/j network_receive_bytes)" = \
	"$(labels $T/a network_receive_bytes)" ]
check "jail, devfs ruleset 4: no disk family" sh -c "! grep -q _disk_ $T/j"
# shellcheck disable=SC2016 # devfs.rules names the jail ruleset by its variable
printf '%s\n' '[devfsrules_jail_devstat=10]' 'add include $devfsrules_jail' 'add path devstat unhide' \
	>/etc/devfs.rules
service devfs restart >/dev/null
jail -c name=disks path=$J ip4=inherit mount.devfs devfs_ruleset=10 command=$P --dump >$T/j 2>$T/j.err
check "jail, devstat unhidden: nothing on standard error" [ ! -s $T/j.err ]
check "jail, devstat unhidden: the host's disks ($(labels $T/j disk_read_bytes))" \
	[ "$(labels $T/j disk_read_bytes)" = "$(labels $T/a disk_read_bytes)" ]
ea=$(ifconfig epair create) && eb=${ea%a}b
jail -c name=vnet path=$J vnet vnet.interface=$eb mount.devfs devfs_ruleset=4 persist
ifconfig $ea inet6 -ifdisabled up && jexec vnet ifconfig $eb inet6 -ifdisabled up
jexec vnet ifconfig lo0 up
wait_for 10 dad_done $ea
ping -6 -c 3 -i 0.2 ff02::1%$ea >/dev/null 2>&1
jexec vnet $P --dump >$T/a 2>/dev/null
jexec vnet netstat -ibnW -f link >$T/netstat
jexec vnet $P --dump >$T/b 2>/dev/null
check "VNET jail: its own interfaces ($(labels $T/a network_receive_bytes))" \
	[ "$(labels $T/a network_receive_bytes)" = "$(jexec vnet ifconfig -l | tr ' ' '\n' | sort | xargs)" ]
row=$(awk -v n=$eb '($1 == n || $1 == n "*") && /<Link#/' $T/netstat)
for column in receive_packets:7 receive_bytes:4 transmit_packets:3 transmit_bytes:1; do
	bracket "VNET jail: $eb ${column%:*} (its netstat)" "kelmar_host_network_${column%:*}_total{device=\"$eb\"}" \
		1 0 "$(echo "$row" | awk -v n="${column#*:}" '{ print $(NF - n) }')"
done
jail -r vnet && ifconfig $ea destroy
jail -c name=svc path=$J ip4=inherit mount.devfs devfs_ruleset=4 persist
check "jail: service start" jexec svc service kelmar_host_perfdata onestart
wait_for 5 listening
fetch -q -o $T/j $URL
check "jail: the service serves every line well formed" lines_ok $T/j
check "jail: the service has no disk family" sh -c "! grep -q _disk_ $T/j"
check "jail: service stop" jexec svc service kelmar_host_perfdata onestop
jail -r svc
for d in bin sbin lib libexec usr; do umount $J/$d; done

# --- a large host: a thousand more interfaces and 64 memory disks, each once ---
# shellcheck disable=SC1091 # the VM puts it beside every job
. ./large_host.sh
started=$(date +%s)
large_interfaces 1000 && large_disks 64
sample_disks=$(sed -n '1p;32p;64p' $T/large.disks | xargs)
for md in $sample_disks; do
	dd if=/dev/zero of=/dev/$md bs=64k count=8 2>/dev/null
	dd if=/dev/$md of=/dev/null bs=64k count=4 2>/dev/null
done
# Two pairs carry pings: one renamed (its b side out of UTF-8), one as created.
plain=$(grep -m1 '^epair' $T/large.interfaces)
sample_interfaces="kl0000000000000 $plain"
ifconfig "$(printf 'kb\3770')" inet6 -ifdisabled up && ifconfig "${plain%a}b" inet6 -ifdisabled up
for name in $sample_interfaces; do ifconfig $name inet6 -ifdisabled up; done
for name in $sample_interfaces; do wait_for 10 dad_done $name; done
for name in $sample_interfaces; do ping -6 -c 2 -i 0.2 ff02::1%$name >/dev/null 2>&1; done
echo "large host made in $(($(date +%s) - started)) s"
dump $T/a
ifconfig -l >$T/names
netstat -ibnW -f link >$T/netstat
iostat -x -I -d | sed -e '1,2d' -e '/^pass[0-9]/d' >$T/iostat
dump $T/b
# NAME FAMILY: ours in $T/a against the list in $T/theirs, each name once.
same_names() {
	labels $T/a $2 | tr ' ' '\n' >$T/ours
	count=$(wc -l <$T/theirs | tr -d ' ')
	differ=$(comm -3 $T/ours $T/theirs | head -5 | xargs)
	twice=$(uniq -d $T/ours | head -5 | xargs)
	check "large host: $count $1, each once, as ours${differ:+ (differ: $differ)}${twice:+ (twice: $twice)}" \
		[ -z "$differ" -a -z "$twice" ]
}
tr ' ' '\n' <$T/names | large_label | sort >$T/theirs
same_names "interfaces of ifconfig -l" network_receive_bytes
check "large host: more than 1000 interfaces ($count)" [ "$count" -gt 1000 ]
awk '{ print $1 }' $T/iostat | sort >$T/theirs
same_names "disks of iostat -x -I" disk_read_bytes
check "large host: more than 64 disks ($count)" [ "$count" -gt 64 ]
for name in $sample_interfaces; do
	row=$(awk -v n=$name '($1 == n || $1 == n "*") && /<Link#/' $T/netstat)
	for column in receive_packets:7 receive_bytes:4 transmit_packets:3 transmit_bytes:1; do
		bracket "large host: $name ${column%:*} (netstat)" \
			"kelmar_host_network_${column%:*}_total{device=\"$name\"}" \
			1 0 "$(echo "$row" | awk -v n="${column#*:}" '{ print $(NF - n) }')"
	done
done
check "large host: both pairs carried traffic" [ \
	"$(val $T/a "kelmar_host_network_transmit_packets_total{device=\"kl0000000000000\"}")" -ge 2 -a \
	"$(val $T/a "kelmar_host_network_transmit_packets_total{device=\"$plain\"}")" -ge 2 ]
for md in $sample_disks; do
	# shellcheck disable=SC2046 # its columns, one word each
	set -- $(awk -v d=$md '$1 == d' $T/iostat)
	bracket "large host: $md read ops (iostat)" "kelmar_host_disk_read_ops_total{device=\"$md\"}" 1 0 "$2"
	bracket "large host: $md write ops" "kelmar_host_disk_write_ops_total{device=\"$md\"}" 1 0 "$3"
	bracket "large host: $md read bytes" "kelmar_host_disk_read_bytes_total{device=\"$md\"}" 1024 52 "$4"
	bracket "large host: $md write bytes" "kelmar_host_disk_write_bytes_total{device=\"$md\"}" 1024 52 "$5"
done
large_host_remove

# Again at the end, where a log cut short in the middle still shows them.
cat $T/failures 2>/dev/null
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
