#!/usr/bin/env bash
# vintrel -a auto behind a real NAT router (miniupnpd on nftables), in
# namespaces made inside the one netns-run gives this script.
#   router-test.sh VINTREL RESPONDER CASE
# VINTREL_WRAPPER (valgrind) runs vintrel under a wrapper, with more time.
set -euo pipefail
vintrel=$1 responder=$2 case=$3
here=$(cd "$(dirname "$0")" && pwd)
[ -n "${VINTREL_IN_NETNS:-}" ] || { echo "router-test: run through netns-run" >&2; exit 77; }
command -v miniupnpd >/dev/null || [ -x /usr/sbin/miniupnpd ] || { echo "router-test: miniupnpd is not installed" >&2; exit 77; }
. "$here/../../scripts/nat-lab.sh"
export VINTREL_PASSWORD=secret
wrapper=(${VINTREL_WRAPPER:-})
slack=1
[ ${#wrapper[@]} -eq 0 ] || slack=5

fail() {
    echo "FAIL ($case): $*" >&2
    echo "--- datagrams: $(lab_count natpmps) NAT-PMP, $(lab_count myips) MYIP, $(lab_count updates) updates" >&2
    echo "--- vintrel said:" >&2
    cat "$lab_work"/out* >&2 2>/dev/null || true
    exit 1
}
expect_output() { grep -qF -- "$2" "$lab_work/$1" || fail "no line \"$2\" in $1"; }
expect_count() {
    local n
    n=$(lab_count "$1")
    [ "$n" -ge "$2" ] && [ "$n" -le "$3" ] || fail "$1: $n datagrams, expected $2 to $3"
}
registered_within() { lab_await_registered "${3:-$LAB_NAME}" "$1" $(($2 * slack)) || fail "${3:-$LAB_NAME} A $1 not registered within $(($2 * slack)) s"; }
# The watcher has had COUNT replies (its "; flags:" lines) within SECONDS:
# only then may the network change without stranding a reply on its way.
answered_within() {
    local k
    for k in $(seq $(($3 * slack * 20))); do
        [ "$(grep -c '^; flags:' "$lab_work/$1")" -ge "$2" ] && return 0
        sleep 0.05
    done
    fail "$1: fewer than $2 replies within $(($3 * slack)) s"
}
watchers=()
watch() {
    local out=$1
    shift
    lab_spawn 0 "${wrapper[@]}" "$vintrel" -t SET -a auto -w 3600 -n 11.0.0.1 "$@" > "$lab_work/$out" 2>&1
    watchers+=($!)
}
# SIGTERM ends each watcher cleanly (status 0), and the wrapper found nothing.
stop_watchers() {
    local pid status
    for pid in "${watchers[@]}"; do
        kill -TERM "$pid"
        status=0
        wait "$pid" || status=$?
        [ "$status" -eq 0 ] || fail "watcher ended with status $status"
    done
    ! grep -q '^==[0-9]*==' "$lab_work"/out* || fail "valgrind reported errors"
}
# Lets the checks that the last datagrams asked for happen before counting.
settle() { sleep $((2 * slack)); }

case $case in
oneshot)
    # Behind NAT the public address is registered by value (the server's
    # view: no NAT-PMP here); -a 0.0.0.0 keeps registering the local one; on
    # the router, whose address is public, the local one is registered.
    lab_up "$responder"
    "${wrapper[@]}" "$vintrel" -t SET -a auto -n 11.0.0.1 $LAB_NAME > "$lab_work/out" 2>&1 || fail "status $?"
    expect_output out "Endere"$'\xE7'"o local 192.168.77.2 n"$'\xE3'"o "$'\xE9'" p"$'\xFA'"blico (NAT)"
    registered_within 11.0.0.7 2
    "$vintrel" -t SET -a 0.0.0.0 -n 11.0.0.1 lan.dyn.example.test > "$lab_work/out-lan" 2>&1 || fail "status $?"
    registered_within 192.168.77.2 2 lan.dyn.example.test
    in_router "$vintrel" -t SET -a auto -n 11.0.0.1 router.dyn.example.test > "$lab_work/out-router" 2>&1 || fail "status $?"
    expect_output out-router "Registrando interface 11.0.0.7: endere"$'\xE7'"o p"$'\xFA'"blico"
    registered_within 11.0.0.7 2 router.dyn.example.test
    ;;
announced)
    # miniupnpd announces the change; two watchers on the host both hear it.
    lab_up "$responder"
    lab_router_daemon natpmp-upnp
    watch out $LAB_NAME
    watch out-second second.dyn.example.test
    registered_within 11.0.0.7 5
    registered_within 11.0.0.7 5 second.dyn.example.test
    expect_output out "Endere"$'\xE7'"o p"$'\xFA'"blico 11.0.0.7 (informado pelo roteador)"
    sleep 1
    lab_public_becomes 11.0.0.8
    registered_within 11.0.0.8 2
    registered_within 11.0.0.8 2 second.dyn.example.test
    expect_count myips 0 0
    ;;
checks)
    # No NAT-PMP on the router: the server's view, every -c seconds.
    lab_up "$responder"
    watch out -c 10 $LAB_NAME
    registered_within 11.0.0.7 5
    answered_within out 1 5
    expect_output out "Endere"$'\xE7'"o p"$'\xFA'"blico 11.0.0.7 (visto pelo servidor)"
    lab_public_becomes 11.0.0.8
    registered_within 11.0.0.8 12
    # Learned at start and by the check that found the change; the update
    # after it takes what the check learned instead of asking again.
    [ "$(LC_ALL=C grep -c "^Endere.o p.blico" "$lab_work/out")" -eq 2 ] || fail "the public address was not learned just twice"
    expect_count updates 2 2
    ;;
cgnat)
    # The router is itself behind carrier-grade NAT: miniupnpd answers with
    # an error for its reserved address, and the checks find the outer one.
    LAB_CGNAT=1 lab_up "$responder"
    lab_router_daemon natpmp-upnp
    watch out -c 10 $LAB_NAME
    registered_within 11.0.0.7 5
    lab_public_becomes 11.0.0.9
    registered_within 11.0.0.9 12
    ;;
hostile)
    # Announcements from another address, malformed datagrams and a flood
    # from the gateway: no update, bounded checks; a later change still counts.
    lab_up "$responder"
    lab_router_daemon natpmp-upnp
    watch out $LAB_NAME
    registered_within 11.0.0.7 5
    settle
    before=$(lab_count natpmps)
    lab_announce 192.168.77.9 300 1
    lab_announce 192.168.77.1 300 1 malformed
    settle
    expect_count natpmps "$before" "$before"
    lab_announce 192.168.77.1 1000 5
    settle
    expect_count natpmps $((before + 1)) $((before + 10))
    expect_count updates 1 1
    expect_count myips 0 0
    lab_public_becomes 11.0.0.8
    registered_within 11.0.0.8 2
    ;;
junk)
    # The gateway answers the NAT-PMP request with a malformed datagram every
    # 100 ms for 30 s: the episode still ends within its 2 s, and the server's
    # view is registered within 8 s of the start, by value.
    lab_up "$responder"
    lab_gateway junk
    started=$(date +%s)
    watch out $LAB_NAME
    registered_within 11.0.0.7 8
    [ $(( $(date +%s) - started )) -le $((8 * slack)) ] || fail "registered too late"
    expect_output out "Endere"$'\xE7'"o p"$'\xFA'"blico 11.0.0.7 (visto pelo servidor)"
    ;;
reserved)
    # A gateway that calls a reserved address its public one is not
    # believed: MYIP is asked, and the server's view registered.
    lab_up "$responder"
    for reserved in 255.255.255.255 224.0.0.1 192.0.0.2; do
        lab_gateway answer $reserved
        before=$(lab_count myips)
        "${wrapper[@]}" "$vintrel" -t SET -a auto -n 11.0.0.1 $LAB_NAME > "$lab_work/out-$reserved" 2>&1 || fail "status $?"
        expect_count myips $((before + 1)) $((before + 1))
        expect_output "out-$reserved" "Endere"$'\xE7'"o p"$'\xFA'"blico 11.0.0.7 (visto pelo servidor)"
        kill "${lab_pids[-1]}" && wait "${lab_pids[-1]}" 2>/dev/null || true
        unset 'lab_pids[-1]'
    done
    registered_within 11.0.0.7 2
    ;;
refreshes)
    # Router advertisements refresh the lifetimes of the host's global IPv6
    # address every 2 s for 50 s: IPv6 events bring no check and no update.
    lab_up "$responder"
    lab_router_daemon natpmp-upnp
    sysctl -qw net.ipv6.conf.vh.disable_ipv6=0
    ip -6 addr add 2001:db8:77::2/64 dev vh nodad valid_lft 600 preferred_lft 600
    watch out $LAB_NAME
    registered_within 11.0.0.7 5
    settle
    natpmps=$(lab_count natpmps) myips=$(lab_count myips)
    for k in $(seq 25); do
        ip -6 addr change 2001:db8:77::2/64 dev vh valid_lft $((600 - k)) preferred_lft $((600 - k))
        sleep 2
    done
    expect_count natpmps "$natpmps" "$natpmps"
    expect_count myips "$myips" "$myips"
    expect_count updates 1 1
    ;;
failures)
    # NAT-PMP error responses and PCP ANNOUNCEs with a failure result from
    # the gateway say nothing new: no check.
    lab_up "$responder"
    lab_router_daemon natpmp-upnp
    watch out $LAB_NAME
    registered_within 11.0.0.7 5
    settle
    before=$(lab_count natpmps)
    lab_announce 192.168.77.1 36 3 failure
    settle
    expect_count natpmps "$before" "$before"
    expect_count updates 1 1
    ;;
elsewhere)
    # An announcement from the gateway's address that arrives on another
    # interface (a LAN host claiming that address) brings no check.
    lab_up "$responder"
    lab_router_daemon natpmp-upnp
    lab_rogue_link
    watch out $LAB_NAME
    registered_within 11.0.0.7 5
    settle
    before=$(lab_count natpmps)
    lab_announce 192.168.77.1 20 2
    settle
    expect_count natpmps "$before" "$before"
    expect_count updates 1 1
    # The same from the real gateway does bring one.
    LAB_ANNOUNCER=in_router lab_announce 192.168.77.1 1 0.1
    settle
    expect_count natpmps $((before + 1)) $((before + 1))
    ;;
renumbered)
    # A new LAN address behind the same public one sends no update.
    lab_up "$responder"
    lab_router_daemon natpmp-upnp
    watch out $LAB_NAME
    registered_within 11.0.0.7 5
    answered_within out 1 5
    ip addr add 192.168.77.3/24 dev vh
    ip addr del 192.168.77.2/24 dev vh
    settle
    expect_count updates 1 1
    lab_public_becomes 11.0.0.8
    registered_within 11.0.0.8 2
    ;;
*)
    echo "router-test: no case $case" >&2
    exit 2
    ;;
esac
stop_watchers
echo "ok ($case)"
