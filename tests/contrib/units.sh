#!/bin/sh
# The systemd units as cmake configures them: systemd-analyze verifies an
# instance of each with no complaint but the binary not yet installed, and
# each service's sandbox scores an exposure of 2.0 or lower.
set -u
units=$1
command -v systemd-analyze >/dev/null || { echo "SKIPPED: systemd-analyze is not installed (package systemd)"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$units"/vintrel-update@.service "$units"/vintrel-update@.timer "$units"/vintrel-watch@.service "$work/"
status=0
for service in vintrel-update@myhost.example.test.service vintrel-watch@myhost.example.test.service; do
    complaints=$(systemd-analyze verify --man=no "$work/$service" "$work/vintrel-update@myhost.example.test.timer" 2>&1 |
                 grep -v 'is not executable: No such file')
    [ -z "$complaints" ] || { echo "$service: $complaints"; status=1; }
    score=$(systemd-analyze security --offline=yes "$work/$service" 2>&1 |
            sed -n 's/.*Overall exposure level.*: \([0-9.]*\).*/\1/p')
    echo "$service: exposure level ${score:-unknown}"
    awk -v s="$score" 'BEGIN { exit !(s != "" && s <= 2.0) }' || status=1
done
exit $status
