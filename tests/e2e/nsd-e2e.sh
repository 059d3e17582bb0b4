#!/bin/sh
# End-to-end run of the vintrel binary against NSD, an authoritative name
# server, on 127.0.0.1 inside the isolated test namespace (see netns-run).
# Each line of cases.txt is "name|status|arguments"; the tool's standard
# output must equal expected/<name>.out byte for byte. VINTREL_WRAPPER (for
# example a valgrind command line) runs the tool under another program.
set -u
vintrel=$1
here=$(cd "$(dirname "$0")" && pwd)
skip() { echo "SKIPPED: $*"; exit 77; }

[ -z "${VINTREL_NETNS_SKIP:-}" ] || skip "$VINTREL_NETNS_SKIP"
[ -n "${VINTREL_IN_NETNS:-}" ] && [ "$(ip -o link | wc -l)" -eq 1 ] ||
    skip "not inside an isolated network namespace"
nsd=$(command -v nsd || echo /usr/sbin/nsd)
[ -x "$nsd" ] || skip "nsd is not installed"

work=$(mktemp -d)
nsd_pid=
cleanup() {
    if [ -n "$nsd_pid" ]; then
        kill -TERM "-$nsd_pid" 2>/dev/null
        wait "$nsd_pid" 2>/dev/null
        for _ in 1 2 3 4 5 6 7 8 9 10; do
            kill -0 "-$nsd_pid" 2>/dev/null || break
            sleep 0.2
        done
        kill -KILL "-$nsd_pid" 2>/dev/null
    fi
    umount /etc/resolv.conf 2>/dev/null
    [ -n "${VINTREL_KEEP_OUTPUT:-}" ] && cp "$work"/*.out "$VINTREL_KEEP_OUTPUT"/
    rm -rf "$work"
}
trap cleanup EXIT

cat > "$work/nsd.conf" <<CONF
server:
    ip-address: 127.0.0.1
    port: 53
    database: ""
    username: ""
    chroot: ""
    zonefiles-write: 0
    pidfile: "$work/nsd.pid"
    xfrdfile: "$work/xfrd.state"
    zonelistfile: "$work/zone.list"
    logfile: "$work/nsd.log"
    verbosity: 1
remote-control:
    control-enable: no
zone:
    name: example.test
    zonefile: "$here/example.test.zone"
zone:
    name: 2.0.192.in-addr.arpa
    zonefile: "$here/2.0.192.in-addr.arpa.zone"
CONF

echo "nameserver 127.0.0.1" > "$work/resolv.conf"
mount --bind "$work/resolv.conf" /etc/resolv.conf || { echo "cannot bind resolv.conf"; exit 1; }

# NSD forks even with -d; a session of its own lets every process of it be
# stopped through its process group.
setsid "$nsd" -d -c "$work/nsd.conf" &
nsd_pid=$!
for _ in $(seq 50); do
    ss -Hlun 'sport = :53' 2>/dev/null | grep -q 127.0.0.1 && break
    sleep 0.1
done
ss -Hlun 'sport = :53' | grep -q 127.0.0.1 || { cat "$work/nsd.log"; echo "nsd did not start"; exit 1; }

failures=0
while IFS='|' read -r name status args; do
    case "$name" in ''|'#'*) continue ;; esac
    # shellcheck disable=SC2086 # words are meant to split
    ${VINTREL_WRAPPER:-} "$vintrel" $args > "$work/$name.out" 2> "$work/$name.err"
    got=$?
    if [ "$got" -ne "$status" ] || ! cmp -s "$work/$name.out" "$here/expected/$name.out"; then
        echo "FAIL $name: vintrel $args (exit $got, expected $status)"
        diff "$here/expected/$name.out" "$work/$name.out" | head -20
        cat "$work/$name.err"
        failures=$((failures + 1))
    else
        echo "ok   $name"
    fi
done < "$here/cases.txt"

[ "$failures" -eq 0 ] || { echo "$failures case(s) failed"; exit 1; }
