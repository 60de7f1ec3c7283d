#!/usr/bin/env bash
# Two hosts lose their link for a while and get it back: both peers report the other gone while it is down
# (silent, then unanswered checks), and both list each other again once it is up, nobody restarted. The
# host whose link went down sees its carrier come back and announces itself at once. A one-second liveness
# interval keeps it short; the waits are generous.
#
# Needs root for ip netns; skips (77) where namespaces cannot be made (tests/multihost/lan.sh).
# Arguments: CONSOLE
set -uo pipefail
console="$1"

LAN_HOSTS=2
LAN_TAG=voh
# shellcheck source=lan.sh
source "$(dirname "${BASH_SOURCE[0]}")/lan.sh"

export VELP2PLiveness=1
start alice 1 --login alice
start bob 2 --login bob
arrived() { echo "$(event VELP2PPeerBirthNotif)"; }
expect "alice sees bob" alice "$(arrived)" "$(name bob_KVZ)"
expect "bob sees alice" bob "$(arrived)" "$(name alice_KVZ)"

ip -n "$switch" link set port2 down || fail "cannot take bob's link down"
note "bob's link is down"
for pair in "alice bob" "bob alice"; do
  set -- $pair
  expect "$1 reports $2 gone" "$1" "$(event VELP2PPeerDeathNotif)" "$(name "${2}_KVZ")" '"reason":"expired"'
done

ip -n "$switch" link set port2 up || fail "cannot bring bob's link up"
note "bob's link is up"
again() { count "$1" "$(arrived)" "$(name "${2}_KVZ")" && [ "$counted" -ge 2 ]; }
within "alice lists bob again" again alice bob
within "bob lists alice again" again bob alice
leave bob
leave alice

echo "PASS: two namespaces heal after an outage, in ${SECONDS} s"
