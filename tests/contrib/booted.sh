#!/usr/bin/env bash
# The systemd units under a booted systemd: a Debian tree (prepared by
# scripts/test, see prepare_boot_root) boots in systemd-nspawn as the host
# of the NAT lab, behind a miniupnpd router, on the namespace netns-run
# made. There:
#   - vintrel-update@, started by its timer, with "-a auto -i auto",
#     registers the router's public address by value and the host's IPv6
#     address;
#   - vintrel-watch@ registers the public address by value, follows the
#     router's announcement of a new one, answers reload, and stops cleanly.
#   booted.sh VINTREL RESPONDER UNIT_DIR
# Needs root (systemd-nspawn); the tree comes from VINTREL_BOOT_ROOT.
#
# Where no container can boot (no systemd-nspawn, no usable cgroup
# hierarchy, no tree, or a container that does not come up within
# BOOT_SECONDS, as in a chroot or some containers), the test is not run
# (status 77) and its reason goes to VINTREL_NOT_RUN_FILE, which
# scripts/test names on its last line. Only once the container runs are
# our units involved; from then on every fault is a failure.
set -euo pipefail
vintrel=$1 responder=$2 units=$3
here=$(cd "$(dirname "$0")" && pwd)
root=${VINTREL_BOOT_ROOT:-/var/cache/vintrel-tests/bookworm}
BOOT_SECONDS=45
skip() { echo "SKIPPED: $*"; exit 77; }
cannot_boot() {
    if [ -n "${VINTREL_NOT_RUN_FILE:-}" ]; then
        mkdir -p "$(dirname "$VINTREL_NOT_RUN_FILE")"
        echo "$*" > "$VINTREL_NOT_RUN_FILE"
    fi
    skip "no container can boot here: $*"
}
[ -n "${VINTREL_IN_NETNS:-}" ] || skip "run through netns-run"
# Root of the machine, not of a user namespace (netns-run's for a normal user).
[ "$(awk '{print $1 $2}' /proc/self/uid_map)" = 00 ] || skip "systemd-nspawn needs root"
command -v miniupnpd >/dev/null || [ -x /usr/sbin/miniupnpd ] || skip "miniupnpd is not installed"
command -v systemd-nspawn >/dev/null || cannot_boot "systemd-nspawn is not installed (package systemd-container)"
[ -e "$root/.vintrel-complete" ] || cannot_boot "no Debian tree at $root (scripts/test prepares it as root)"
# What systemd-nspawn needs to place the container: the unified hierarchy,
# or the legacy one with systemd's own.
case $(stat -fc %T /sys/fs/cgroup 2>/dev/null) in
cgroup2fs) ;;
tmpfs) [ "$(stat -fc %T /sys/fs/cgroup/systemd 2>/dev/null)" = cgroupfs ] ||
    cannot_boot "/sys/fs/cgroup has no systemd hierarchy" ;;
*) cannot_boot "no cgroup hierarchy is mounted on /sys/fs/cgroup" ;;
esac
. "$here/../../scripts/nat-lab.sh"

NAME=host.dyn.example.test
IPV6=2001:db8:77::2
container=

fail() {
    echo "FAIL (booted): $*" >&2
    echo "--- registered:" >&2
    cat "$lab_work/registered" >&2
    [ -z "$container" ] || in_container journalctl --no-pager -q -u 'vintrel-*' >&2 || true
    exit 1
}
# Every step in the container has a bound, so that a unit that hangs fails
# the test in seconds, not at ctest's timeout.
in_container() { timeout 20 nsenter --target "$container" --mount --uts --ipc --pid -- "$@"; }

# What the container gets: the binary where the units look for it, the
# units, their settings.
lab_up "$responder"
lab_router_daemon natpmp-upnp
sysctl -qw net.ipv6.conf.vh.disable_ipv6=0
ip -6 addr add "$IPV6/64" dev vh nodad
binary=$(sed -n 's/^ExecStart=\([^ ]*\) .*/\1/p' "$units/vintrel-update@.service")
mkdir -p "$lab_work/etc"
cat > "$lab_work/etc/$NAME.conf" <<CONF
VINTREL_PASSWORD=secret
VINTREL_OPTIONS="-a auto -i auto -n 11.0.0.1"
CONF
cat > "$lab_work/etc/watch.dyn.example.test.conf" <<CONF
VINTREL_PASSWORD=secret
VINTREL_OPTIONS="-a auto -n 11.0.0.1"
CONF
chmod 0600 "$lab_work"/etc/*.conf
echo "nameserver 127.0.0.1" > "$lab_work/resolv.conf"
# The timer as shipped, but due a second after it starts instead of five
# minutes after boot.
mkdir -p "$lab_work/timer.d"
printf '[Timer]\nOnBootSec=\nOnUnitActiveSec=\nRandomizedDelaySec=0\nAccuracySec=1ms\nOnActiveSec=1s\n' > "$lab_work/timer.d/soon.conf"

# What nspawn binds must be there: a missing file of ours is our fault, not
# the machine's, and must not pass for "cannot boot here".
for file in "$vintrel" "$units"/vintrel-update@.service "$units"/vintrel-update@.timer \
        "$units"/vintrel-watch@.service; do
    [ -f "$file" ] || fail "no $file"
done
# The tree stays as it is: the container writes to a memory overlay.
systemd-nspawn --quiet --keep-unit --register=no --boot --volatile=overlay \
    --directory="$root" --network-namespace-path="/proc/$$/ns/net" --resolv-conf=off \
    --bind-ro="$vintrel:$binary" --bind-ro="$lab_work/etc:/etc/vintrel" \
    --bind-ro="$lab_work/resolv.conf:/etc/resolv.conf" \
    --bind-ro="$units/vintrel-update@.service:/etc/systemd/system/vintrel-update@.service" \
    --bind-ro="$units/vintrel-update@.timer:/etc/systemd/system/vintrel-update@.timer" \
    --bind-ro="$lab_work/timer.d:/etc/systemd/system/vintrel-update@.timer.d" \
    --bind-ro="$units/vintrel-watch@.service:/etc/systemd/system/vintrel-watch@.service" \
    > "$lab_work/console" 2>&1 < /dev/null &
nspawn=$!
lab_pids+=($nspawn)
# Halting the container ends nspawn; lab_down then finds nothing to end.
trap 'lab_end "$nspawn"; lab_down' EXIT

# Why the console says a container never came up: its last failure, else
# its last line.
console_reason() {
    local lines said
    lines=$(sed 's/\x1b\[[0-9;]*[a-zA-Z]//g; s/\r//g' "$lab_work/console" | grep -v '^[[:space:]]*$' || true)
    said=$(grep -i -E 'fail|error|cannot|can.t' <<<"$lines" | tail -n 1 || true)
    [ -n "$said" ] || said=$(tail -n 1 <<<"$lines")
    echo "${said:-the console said nothing}"
}

# The container's init is the child of nspawn that runs systemd in a pid
# namespace of its own (nspawn passes through an intermediate child first);
# once its manager listens, it must reach running (or degraded: a unit of
# the tree's own may fail) within BOOT_SECONDS.
boot_deadline=$((SECONDS + BOOT_SECONDS))
state=
while [ "$SECONDS" -lt "$boot_deadline" ]; do
    kill -0 "$nspawn" 2>/dev/null || cannot_boot "systemd-nspawn ended before the container booted: $(console_reason)"
    if [ -z "$container" ]; then
        for pid in $(cat "/proc/$nspawn/task/$nspawn/children" 2>/dev/null); do
            if [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = systemd ] &&
               [ "$(readlink "/proc/$pid/ns/pid")" != "$(readlink /proc/self/ns/pid)" ]; then
                container=$pid
            fi
        done
    else
        state=$(timeout 2 nsenter --target "$container" --mount --pid -- systemctl is-system-running 2>&1) || true
        case $state in
        running|degraded) break ;;
        esac
    fi
    sleep 0.1
done
case $state in
running|degraded) ;;
*) cannot_boot "the container did not boot within $BOOT_SECONDS s (${state:-no systemd started}): $(console_reason)" ;;
esac

# The timer starts the update service for its instance.
in_container systemctl start "vintrel-update@$NAME.timer" || fail "the timer did not start"
lab_await_registered "$NAME" 11.0.0.7 10 || fail "$NAME A 11.0.0.7 not registered by value"
for k in $(seq 50); do
    [ "$(in_container systemctl show -P Result "vintrel-update@$NAME.service")" = success ] &&
        [ "$(in_container systemctl is-active "vintrel-update@$NAME.service")" = inactive ] && break
    sleep 0.1
done
[ "$k" -lt 50 ] || fail "the update service did not end with success"
grep -qx "$NAME AAAA $IPV6" "$lab_work/registered" || fail "$NAME AAAA $IPV6 not registered"

# The watch service: ready once registered, follows the announced change.
in_container systemctl start vintrel-watch@watch.dyn.example.test.service || fail "the watch service did not start"
lab_await_registered watch.dyn.example.test 11.0.0.7 5 || fail "watch A 11.0.0.7 not registered by value"
status=$(in_container systemctl show -P StatusText vintrel-watch@watch.dyn.example.test.service)
case $status in
"Registrado: 11.0.0.7 em "*) ;;
*) fail "status line: $status" ;;
esac
lab_public_becomes 11.0.0.8
lab_await_registered watch.dyn.example.test 11.0.0.8 5 || fail "watch A 11.0.0.8 not registered after the announcement"
in_container systemctl reload vintrel-watch@watch.dyn.example.test.service || fail "reload refused"
in_container journalctl --no-pager -q -a -u vintrel-watch@watch.dyn.example.test.service > "$lab_work/journal"
in_container systemctl stop vintrel-watch@watch.dyn.example.test.service
result=$(in_container systemctl show -P Result vintrel-watch@watch.dyn.example.test.service)
[ "$result" = success ] || fail "the watch service ended with $result"
grep -q "sinal SIGHUP" "$lab_work/journal" || fail "no attempt after reload in the journal"
echo "booted: the timer's service and the watch service registered by value"
