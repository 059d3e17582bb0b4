#!/usr/bin/env bash
# A lab test killed in the middle, as ctest kills one at its timeout, leaves
# nothing behind: a router row runs through netns-run until its router and
# watchers are up, netns-run is sent SIGKILL, and then no process that
# carries the row's mark may still run.
#   killed.sh NETNS_RUN VINTREL RESPONDER
set -euo pipefail
netns_run=$1 vintrel=$2 responder=$3
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/common.sh"
command -v miniupnpd >/dev/null || [ -x /usr/sbin/miniupnpd ] || { echo "SKIPPED: miniupnpd is not installed"; exit 77; }
can_isolate || { echo "SKIPPED: no network namespace can be made here"; exit 77; }

mark=VINTREL_KILLED_ROW=$$.$RANDOM
env "$mark" "$netns_run" "$here/router-test.sh" "$vintrel" "$responder" announced > /dev/null 2>&1 &
row=$!
# Mid-run: the router and the watchers are running.
until=$((SECONDS + 30))
while :; do
    running=$(processes_left "$mark" /nonexistent)
    [[ $running != *miniupnpd* || $running != *" -w "* ]] || break
    kill -0 "$row" 2>/dev/null || { echo "FAIL: the row ended before its router and watchers ran"; exit 1; }
    [ "$SECONDS" -lt "$until" ] || { echo "FAIL: no router and watchers after 30 s"; kill -KILL "$row"; exit 1; }
    sleep 0.1
done
kill -KILL "$row"
wait "$row" 2>/dev/null || true
for k in $(seq 50); do
    left=$(processes_left "$mark" /nonexistent)
    [ -n "$left" ] || { echo "killed: nothing of the row is left"; exit 0; }
    sleep 0.1
done
echo "FAIL: still running 5 s after the row was killed:"
echo "$left"
exit 1
