# shellcheck shell=sh
# A large host, made inside the test VM by a job that sources this file (the
# VM puts it beside every job): more interfaces, as cloned loopbacks and
# epairs, some renamed to names of the full 15 bytes and some to names that are
# not UTF-8, and more memory disks. What it made is listed in "$T"/large.*, so
# that large_host_remove undoes exactly that. POSIX sh and the base system.

# The label our exposition gives a name: each byte that is not UTF-8 becomes
# U+FFFD (the test names use only the bytes 0xfe and 0xff for it).
large_label() {
	sed -e "s/$(printf '\377')/$(printf '\357\277\275')/g" -e "s/$(printf '\376')/$(printf '\357\277\275')/g"
}

# COUNT [utf8]: COUNT more interfaces, a third as epairs of two; with utf8,
# the b sides renamed to 15 bytes too, not out of UTF-8.
large_interfaces() {
	large_pairs=$(($1 / 3))
	large_i=0
	while [ $large_i -lt $(($1 - 2 * large_pairs)) ]; do
		ifconfig lo create >>"$T"/large.interfaces
		large_i=$((large_i + 1))
	done
	large_i=0
	while [ $large_i -lt $large_pairs ]; do
		large_a=$(ifconfig epair create) || return 1
		# Every tenth pair renamed: the a side to 15 bytes, the b side out of UTF-8.
		if [ $((large_i % 10)) -eq 0 ]; then
			if [ "${2:-}" = utf8 ]; then
				ifconfig "${large_a%a}b" name "$(printf 'kb%013d' $large_i)" >/dev/null
			else
				ifconfig "${large_a%a}b" name "$(printf 'kb\377%d' $large_i)" >/dev/null
			fi
			ifconfig "$large_a" name "$(printf 'kl%013d' $large_i)" >/dev/null
			large_a=$(printf 'kl%013d' $large_i)
		fi
		echo "$large_a" >>"$T"/large.interfaces
		large_i=$((large_i + 1))
	done
}

# COUNT: COUNT more memory disks of a megabyte.
large_disks() {
	large_i=0
	while [ $large_i -lt "$1" ]; do
		mdconfig -a -t malloc -s 1m >>"$T"/large.disks || return 1
		large_i=$((large_i + 1))
	done
}

# Destroying one side of an epair destroys both.
large_host_remove() {
	while read -r name; do ifconfig "$name" destroy; done <"$T"/large.interfaces 2>/dev/null
	while read -r md; do mdconfig -d -u "$md"; done <"$T"/large.disks 2>/dev/null
	rm -f "$T"/large.interfaces "$T"/large.disks
}
