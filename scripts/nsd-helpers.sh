# Shell helpers (POSIX sh) for running NSD as a local test peer on
# 127.0.0.1:53 and, where loopback has IPv6, [::1]:53, used by the demo, the end-to-end tests and the latency
# benchmark. Call them only inside a private network namespace.
#
#   start_nsd WORKDIR NAME=ZONEFILE...   starts it; sets nsd_pid
#   stop_nsd                             stops every process of it

start_nsd() {
    nsd_work=$1
    shift
    {
        echo "server:"
        echo "    ip-address: 127.0.0.1"
        ! ip -6 addr show dev lo 2>/dev/null | grep -q '::1/' || echo "    ip-address: ::1"
        echo "    port: 53"
        echo "    database: \"\""
        echo "    username: \"\""
        echo "    chroot: \"\""
        echo "    zonefiles-write: 0"
        echo "    pidfile: \"$nsd_work/nsd.pid\""
        echo "    xfrdfile: \"$nsd_work/xfrd.state\""
        echo "    zonelistfile: \"$nsd_work/zone.list\""
        echo "    logfile: \"$nsd_work/nsd.log\""
        echo "remote-control:"
        echo "    control-enable: no"
        for zone in "$@"; do
            echo "zone:"
            echo "    name: ${zone%%=*}"
            echo "    zonefile: \"${zone#*=}\""
        done
    } > "$nsd_work/nsd.conf"
    # NSD forks even with -d; a session of its own lets every one of its
    # processes be stopped through the process group.
    setsid "$(command -v nsd || echo /usr/sbin/nsd)" -d -c "$nsd_work/nsd.conf" &
    nsd_pid=$!
    for _ in $(seq 50); do
        ss -Hlun 'sport = :53' 2>/dev/null | grep -q 127.0.0.1 && return 0
        sleep 0.1
    done
    cat "$nsd_work/nsd.log" >&2
    echo "nsd did not start" >&2
    return 1
}

stop_nsd() {
    [ -n "${nsd_pid:-}" ] || return 0
    kill -TERM "-$nsd_pid" 2>/dev/null || true
    wait "$nsd_pid" 2>/dev/null || true
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        kill -0 "-$nsd_pid" 2>/dev/null || break
        sleep 0.2
    done
    kill -KILL "-$nsd_pid" 2>/dev/null || true
    nsd_pid=
    return 0
}
