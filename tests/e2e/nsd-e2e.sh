#!/bin/sh
# End-to-end run of the vintrel binary against NSD, an authoritative name
# server, inside the isolated test namespace (see netns-run): every case
# over IPv4 (127.0.0.1), then again over IPv6 (::1, in -n and in
# resolv.conf). Each line of cases.txt is "name|status|arguments[|type
# name]"; the tool's standard output must equal expected/<name>.out byte for
# byte in both runs, and with a type and name its answers must be those dig
# lists over TCP from the same server (for replies that do not fit in a
# datagram). VINTREL_WRAPPER (for example a valgrind
# command line) runs the tool under another program.
set -u
vintrel=$1
here=$(cd "$(dirname "$0")" && pwd)
skip() { echo "SKIPPED: $*"; exit 77; }

[ -z "${VINTREL_NETNS_SKIP:-}" ] || skip "$VINTREL_NETNS_SKIP"
[ -n "${VINTREL_IN_NETNS:-}" ] && [ "$(ip -o link | wc -l)" -eq 1 ] ||
    skip "not inside an isolated network namespace"
command -v nsd >/dev/null || [ -x /usr/sbin/nsd ] || skip "nsd is not installed"
command -v dig >/dev/null || skip "dig is not installed"

. "$here/../../scripts/nsd-helpers.sh"
work=$(mktemp -d)
cleanup() {
    stop_nsd
    umount /etc/resolv.conf 2>/dev/null
    [ -n "${VINTREL_KEEP_OUTPUT:-}" ] && cp "$work"/*.out "$VINTREL_KEEP_OUTPUT"/
    rm -rf "$work"
}
trap cleanup EXIT

ip -6 addr show dev lo | grep -q '::1/' || { echo "loopback has no ::1"; exit 1; }
echo "nameserver 127.0.0.1" > "$work/resolv.conf"
mount --bind "$work/resolv.conf" /etc/resolv.conf || { echo "cannot bind resolv.conf"; exit 1; }
start_nsd "$work" "example.test=$here/example.test.zone" \
    "2.0.192.in-addr.arpa=$here/2.0.192.in-addr.arpa.zone" || exit 1

# "owner TYPE data" of each answer: the tool's listing, and dig's (names
# without the final dot, a TXT record's first string, as the tool lists it).
listed_answers() {
    awk '/^;/ { if (on) exit; next } { on = 1; o = $1; t = $2; $1 = $2 = ""; print o, t, substr($0, 3) }' "$1"
}
dig_answers() {
    # shellcheck disable=SC2086 # type and name
    dig +tcp +norecurse +noall +answer "@$server" -t $1 |
        awk '{ o = $1; sub(/\.$/, "", o); t = $4; $1 = $2 = $3 = $4 = ""; d = substr($0, 5)
               sub(/\.$/, "", d); if (t == "TXT") sub(/" ".*/, "\"", d); print o, t, d }'
}

same_answers() {
    dig_answers "$1" > "$work/dug"
    listed_answers "$2" > "$work/listed"
    [ -s "$work/dug" ] && cmp -s "$work/dug" "$work/listed"
}

failures=0
# run_cases SERVER: every case, with SERVER in -n and in resolv.conf.
run_cases() {
    server=$1
    echo "nameserver $server" > "$work/resolv.conf"
    while IFS='|' read -r name status args question; do
        case "$name" in ''|'#'*) continue ;; esac
        args=$(echo "$args" | sed "s/127\.0\.0\.1/$server/g")
        # shellcheck disable=SC2086 # words are meant to split
        ${VINTREL_WRAPPER:-} "$vintrel" $args > "$work/$name.out" 2> "$work/$name.err"
        got=$?
        if [ "$got" -ne "$status" ] || ! cmp -s "$work/$name.out" "$here/expected/$name.out"; then
            echo "FAIL $name: vintrel $args (exit $got, expected $status)"
            diff "$here/expected/$name.out" "$work/$name.out" | head -20
            cat "$work/$name.err"
            failures=$((failures + 1))
        elif [ -n "$question" ] && ! same_answers "$question" "$work/$name.out"; then
            echo "FAIL $name: the answers differ from those of dig +tcp @$server -t $question"
            diff "$work/dug" "$work/listed" | head -10
            failures=$((failures + 1))
        else
            echo "ok   $name ($server)"
        fi
    done < "$here/cases.txt"
}
run_cases 127.0.0.1
run_cases ::1

[ "$failures" -eq 0 ] || { echo "$failures case(s) failed"; exit 1; }
