#!/bin/sh
# Records what the shipped alerts see on FreeBSD (scripts/freebsd-vm run
# tests/freebsd_vm/pressure.sh): the exporter scraped every 15 s, as
# Prometheus would, first on the VM healthy after reading a file larger than
# its free memory (the inactive queue full), then under memory pressure: the
# ARC filled from a pool, then memory taken a few MiB at a time until the host
# pages out, and on at that pace. Each scrape's series that the rules read
# come out as "SECONDS PHASE NAME{LABELS} VALUE", SECONDS from the start.
# HEALTHY and PRESSURE set each phase's minutes (default 25 and 40).

P=/usr/local/bin/kelmar-host-perfdata
T=/tmp/kelmar-pressure
URL=http://127.0.0.1:9272/metrics
HEALTHY=${HEALTHY:-25}
PRESSURE=${PRESSURE:-40}
mkdir -p $T
kldload -n zfs
start=$(date +%s)

# Swap of 1 GiB on a file-backed memory disk, so that paging has room.
truncate -s 1g $T/swapfile
swapon "/dev/$(mdconfig -a -t vnode -f $T/swapfile)"

$P 2>$T/stderr &
sleep 1

# One scrape's series for the rules: CPU, memory, swap, ARC, disks' busy time,
# interfaces' errors and drops.
record() {
	fetch -q -o $T/scrape $URL || return
	awk -v t=$(($(date +%s) - start)) -v phase="$1" '
	/^kelmar_host_(cpu_seconds|disk_busy_seconds|network_(receive|transmit)_errors|network_receive_drops)_total|^kelmar_host_(memory|swap)_|^kelmar_host_zfs_arc_/ {
		print t, phase, $1, $2 }' $T/scrape
}
# Scrapes every 15 s for MINUTES, running COMMAND after each.
phase() {
	name=$1 minutes=$2
	shift 2
	until=$(($(date +%s) + minutes * 60))
	while [ "$(date +%s)" -lt $until ]; do
		record "$name"
		"$@"
		sleep 15
	done
}
swap_used_kib() { swapinfo -k | awk 'NR > 1 && $1 != "Total" { u += $3 } END { print u + 0 }'; }
nothing() { :; }

# Healthy: a file of three quarters of the memory (the root file system has
# no room for more) read through, again every minute, fills the inactive queue
# with its pages. A sparse file would not: UFS caches no pages for its holes.
dd if=/dev/random of=$T/big bs=1m count=$(($(sysctl -n hw.physmem) * 3 / 4 / 1048576)) 2>/dev/null
dd if=$T/big of=/dev/null bs=1m 2>/dev/null
reread() { [ $(($(date +%s) % 60)) -ge 15 ] || dd if=$T/big of=/dev/null bs=1m 2>/dev/null; }
phase healthy "$HEALTHY" reread
rm -f $T/big

# Pressure: a pool on a file-backed memory disk, a file written and read so
# that the ARC holds it; then swap-backed memory filled with random bytes,
# 64 MiB a step until swap is in use, then 4 MiB every 15 s.
truncate -s 1g $T/pooldisk
zpool create -f -m $T/pool kelmarpressure "$(mdconfig -a -t vnode -f $T/pooldisk)"
dd if=/dev/random of=$T/pool/data bs=1m count=768 2>/dev/null
dd if=$T/pool/data of=/dev/null bs=1m 2>/dev/null
hog=$(mdconfig -a -t swap -s 4g)
taken=0
take() {
	step=4
	[ "$(swap_used_kib)" -gt 16384 ] || step=64
	dd if=/dev/random of="/dev/$hog" bs=1m count=$step oseek=$taken conv=notrunc 2>/dev/null
	taken=$((taken + step))
}
phase pressure "$PRESSURE" take
echo "# memory taken: $taken MiB; swap used at the end: $(swap_used_kib) KiB; standard error:"
sed 's/^/# /' $T/stderr
