# A home network in namespaces, for bench/nat and the router tests (bash,
# sourced inside a private network namespace: this one is the host).
#
#   host 192.168.77.2/24 (vh) --- (vl) 192.168.77.1  router  $PUBLIC (vp) --- (vs) 11.0.0.1 server
#
# The router masquerades its LAN onto vp and may run miniupnpd (NAT-PMP,
# PCP). The server runs ddns-responder; nftables counters there and on the
# router count MYIP questions, updates and NAT-PMP requests. With
# LAB_CGNAT=1 the router's own side is 100.64.0.7, behind a second router
# (100.64.0.1 / $PUBLIC) that masquerades again. 11.0.0.0/24 stands for the
# Internet: miniupnpd refuses to report reserved ranges.
#   lab_up RESPONDER_BINARY        lab_router_daemon natpmp|natpmp-upnp
#   lab_public_becomes ADDRESS     lab_count natpmps|myips|updates
#   lab_await_registered NAME ADDRESS SECONDS
#   lab_announce FROM COUNT SECONDS [malformed|failure]
#   lab_gateway junk|answer ADDRESS   a scripted NAT-PMP gateway instead of miniupnpd
#   lab_rogue_link                    a second link to the host, from a LAN host
#                                     that claims the gateway's address
# Everything started is ended by lab_down (trap EXIT).

export PATH=$PATH:/usr/sbin:/sbin
LAB_NAME=host.dyn.example.test
PUBLIC=11.0.0.7
lab_work=$(mktemp -d)
lab_pids=()

# Ends the processes PID...: SIGTERM, up to 5 s to go, then SIGKILL. Never
# fails, so that a trap calling it always runs to its end.
lab_end() {
    local pid k alive
    for pid; do kill -TERM "$pid" 2>/dev/null || true; done
    for k in $(seq 50); do
        alive=
        for pid; do kill -0 "$pid" 2>/dev/null && alive=1; done
        [ -n "$alive" ] || break
        sleep 0.1
    done
    for pid; do kill -KILL "$pid" 2>/dev/null || true; done
    for pid; do wait "$pid" 2>/dev/null || true; done
}

lab_down() {
    lab_end "${lab_pids[@]}"
    rm -rf "$lab_work"
}
trap lab_down EXIT

# A namespace held by a sleeping process; its pid names it.
lab_namespace() {
    unshare --net sleep infinity &
    lab_pids+=($!)
    eval "$1=$!"
    # Until unshare has made it, /proc/PID/ns/net is still this namespace:
    # anything set through it before then would land here.
    local k
    for k in $(seq 100); do
        [ "$(readlink "/proc/$!/ns/net")" != "$(readlink /proc/self/ns/net)" ] && return 0
        sleep 0.05
    done
    echo "lab: no network namespace for pid $!" >&2
    return 1
}
in_router() { nsenter --net="/proc/$router/ns/net" "$@"; }
in_server() { nsenter --net="/proc/$server/ns/net" "$@"; }
in_outer() { nsenter --net="/proc/$outer/ns/net" "$@"; }
# PROGRAM... in the background in the namespace of pid NS (0: this one),
# as a process of its own (nsenter becomes the program), to be ended.
lab_spawn() {
    local ns=$1
    shift
    if [ "$ns" = 0 ]; then
        "$@" &
    else
        nsenter --net="/proc/$ns/ns/net" "$@" &
    fi
    lab_pids+=($!)
}

# Every namespace: loopback up, no IPv6 (no DAD, no stray events), and a
# deleted primary address promotes the next one.
lab_quiet() {
    "$@" ip link set lo up
    "$@" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1 \
        net.ipv4.conf.all.promote_secondaries=1 net.ipv4.conf.default.promote_secondaries=1
}

lab_wait_links() {
    local k
    for k in $(seq 100); do
        if ! { ip -o link; in_router ip -o link; in_server ip -o link; } | grep -v LOOPBACK | grep -vq LOWER_UP; then
            return 0
        fi
        sleep 0.1
    done
    echo "lab: links did not come up" >&2
    return 1
}

lab_up() {
    local responder=$1 wan=vp
    lab_namespace router
    lab_namespace server
    sleep 0.1
    lab_quiet env
    lab_quiet in_router
    lab_quiet in_server
    ip link add vh type veth peer name vl netns "$router"
    ip addr add 192.168.77.2/24 dev vh
    ip link set vh up
    ip route add default via 192.168.77.1 2>/dev/null || { sleep 0.2; ip route add default via 192.168.77.1; }
    in_router ip addr add 192.168.77.1/24 dev vl
    in_router ip link set vl up
    in_router sysctl -qw net.ipv4.ip_forward=1
    if [ -n "${LAB_CGNAT:-}" ]; then
        lab_namespace outer
        lab_quiet in_outer
        in_router ip link add vp type veth peer name vo netns "$outer"
        in_router ip addr add 100.64.0.7/24 dev vp
        in_router ip link set vp up
        in_router ip route add default via 100.64.0.1
        in_outer ip addr add 100.64.0.1/24 dev vo
        in_outer ip link set vo up
        in_outer sysctl -qw net.ipv4.ip_forward=1
        in_outer ip link add vq type veth peer name vs netns "$server"
        lab_nat in_outer vq
        wan=vq
        lab_wan=in_outer
    else
        in_router ip link add vp type veth peer name vs netns "$server"
        lab_wan=in_router
    fi
    $lab_wan ip addr add "$PUBLIC/24" dev $wan
    $lab_wan ip link set $wan up
    lab_wan_dev=$wan
    lab_nat in_router vp
    in_server ip addr add 11.0.0.1/24 dev vs
    in_server ip link set vs up
    in_server nft -f - <<'NFT'
table ip count {
    counter myips {}
    counter updates {}
    chain input {
        type filter hook input priority 0;
        udp dport 53 @th,96,16 1 counter name myips
        udp dport 53 @th,96,16 0 counter name updates
    }
}
NFT
    in_router nft -f - <<'NFT'
table ip count {
    counter natpmps {}
    chain input {
        type filter hook input priority 0;
        iifname "vl" udp dport 5351 counter name natpmps
    }
}
NFT
    lab_wait_links
    touch "$lab_work/registered"
    lab_spawn "$server" "$responder" 11.0.0.1 secret "$lab_work/registered"
}

# Masquerades what leaves by DEV, in the namespace `$1` enters.
lab_nat() {
    "$1" nft -f - <<NFT
table ip nat {
    chain postrouting {
        type nat hook postrouting priority srcnat;
        oifname "$2" masquerade
    }
}
NFT
}

# miniupnpd in the foreground on the router: NAT-PMP and PCP; with UPnP
# too, it watches its public address and announces each change.
lab_router_daemon() {
    local upnp=no
    [ "$1" = natpmp-upnp ] && upnp=yes
    cat > "$lab_work/miniupnpd.conf" <<CONF
ext_ifname=vp
listening_ip=vl
enable_natpmp=yes
enable_upnp=$upnp
secure_mode=yes
system_uptime=yes
uuid=3a8e1c2d-0000-4000-8000-000000000001
allow 1024-65535 192.168.77.0/24 1024-65535
deny 0-65535 0.0.0.0/0 0-65535
CONF
    lab_spawn "$router" miniupnpd -d -f "$lab_work/miniupnpd.conf" -P "$lab_work/miniupnpd.pid" \
        2>"$lab_work/miniupnpd.log"
    lab_await_natpmp miniupnpd || { cat "$lab_work/miniupnpd.log" >&2; return 1; }
}

# True once something listens on the router's NAT-PMP port, within 5 s.
lab_await_natpmp() {
    local k
    for k in $(seq 50); do
        in_router ss -Hlun 'sport = :5351' | grep -q . && return 0
        sleep 0.1
    done
    echo "lab: $1 did not start" >&2
    return 1
}

# The public address changes as an ISP's would: the new one comes, the old
# one goes.
lab_public_becomes() {
    $lab_wan ip addr add "$1/24" dev "$lab_wan_dev"
    $lab_wan ip addr del "$PUBLIC/24" dev "$lab_wan_dev"
    PUBLIC=$1
}

lab_count() {
    local where=in_server
    [ "${1%s}" = natpmp ] && where=in_router
    $where nft list counter ip count "${1%s}s" | sed -n 's/.*packets \([0-9]*\).*/\1/p'
}

# True once the server has registered NAME at ADDRESS, within SECONDS, the
# update carrying ADDRESS itself (not address 0, "the one you see").
lab_await_registered() {
    local k
    for k in $(seq $(($3 * 20))); do
        grep -qx "$1 A $2" "$lab_work/registered" && return 0
        sleep 0.05
    done
    return 1
}

# COUNT datagrams to 224.0.0.1:5350 from the router's address FROM (added
# to its LAN side when it has not got it), spread over SECONDS: a valid
# NAT-PMP announcement, or with "malformed" a mix of short, long and
# foreign ones, or with "failure" NAT-PMP and PCP announcements whose result
# is an error. LAB_ANNOUNCER (default in_router) is where they leave from.
lab_announce() {
    local from=${LAB_ANNOUNCER:-in_router}
    [ "$from" != in_router ] || in_router ip addr add "$1/24" dev vl 2>/dev/null || true
    $from python3 - "$@" <<'PY'
import socket, struct, sys, time
source, count, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
kind = sys.argv[4] if len(sys.argv) > 4 else "good"
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(source))
s.bind((source, 0))
good = struct.pack("!BBHI4s", 0, 128, 0, 1, socket.inet_aton("11.0.0.7"))
bad = [b"", b"\0", good[:11], good + b"\0", b"\0\x80" + b"\0" * 1500, b"\x02\x80" + b"\0" * 22 + b"\0",
       struct.pack("!BBHI4s", 0, 129, 0, 1, b"\0" * 4), b"\x01" + good[1:]]
# NAT-PMP results 1-5 (RFC 6886), PCP ANNOUNCE results 1-13 (RFC 6887).
failed = [struct.pack("!BBHI4s", 0, 128, r, 1, socket.inet_aton("11.0.0.7")) for r in range(1, 6)] + \
         [bytes([2, 0x80, 0, r]) + b"\0" * 20 for r in range(1, 14)]
sent = {"good": [good], "malformed": bad, "failure": failed}[kind]
for k in range(count):
    s.sendto(sent[k % len(sent)], ("224.0.0.1", 5350))
    time.sleep(seconds / count)
PY
}

# A scripted gateway on the router's 5351, instead of miniupnpd: "junk"
# answers each request with a 2-byte datagram every 100 ms for 30 s; "answer
# ADDRESS" answers with a NAT-PMP external address of ADDRESS.
lab_gateway() {
    # A background job reads no here-document: the script goes to a file.
    cat > "$lab_work/gateway.py" <<'PY'
import socket, struct, sys, threading, time
mode = sys.argv[1]
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("192.168.77.1", 5351))
def junk(to):
    until = time.time() + 30
    while time.time() < until:
        s.sendto(b"\0\x80", to)
        time.sleep(0.1)
while True:
    request, asker = s.recvfrom(64)
    if mode == "junk":
        threading.Thread(target=junk, args=(asker,), daemon=True).start()
    else:
        s.sendto(struct.pack("!BBHI4s", 0, 128, 0, 1, socket.inet_aton(sys.argv[2])), asker)
PY
    lab_spawn "$router" python3 "$lab_work/gateway.py" "$@"
    lab_await_natpmp "the scripted gateway"
}

# A second link to the host (vx, 10.99.0.2/24) from another LAN host (rx)
# that also holds the gateway's address, 192.168.77.1: what it multicasts
# arrives on the host's other interface. Sets LAB_ANNOUNCER for it.
lab_rogue_link() {
    lab_namespace rogue
    lab_quiet nsenter --net="/proc/$rogue/ns/net"
    ip link add vx type veth peer name rx netns "$rogue"
    ip addr add 10.99.0.2/24 dev vx
    ip link set vx up
    sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.vx.rp_filter=0
    nsenter --net="/proc/$rogue/ns/net" ip addr add 192.168.77.1/24 dev rx
    nsenter --net="/proc/$rogue/ns/net" ip addr add 10.99.0.1/24 dev rx
    nsenter --net="/proc/$rogue/ns/net" ip link set rx up
    LAB_ANNOUNCER="nsenter --net=/proc/$rogue/ns/net"
    lab_wait_links
}
