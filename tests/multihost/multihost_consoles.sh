#!/usr/bin/env bash
# Three hosts on one LAN segment: three network namespaces, each with one veth port on a bridge that lives in
# a fourth namespace, multicast routed through the port. One console per host, first in collaboration mode
# on the default endpoints (the host name maps to 127.0.1.1 there, as on stock Debian, so each peer must
# find the address the others reach it at), then in standard mode on files that name every address. The
# peers find each other, exchange status, messages and sessions, groups and a search, and see departures.
#
# Needs root for ip netns; skips (77) where namespaces cannot be made (tests/multihost/lan.sh).
# Arguments: CONSOLE
set -uo pipefail
console="$1"

LAN_HOSTS=3
# shellcheck source=lan.sh
source "$(dirname "${BASH_SOURCE[0]}")/lan.sh"

# --- collaboration mode, default endpoints ----------------------------------------------------------------
people=(alice bob carol)
for i in 1 2 3; do start "${people[$((i - 1))]}" "$i" --login "${people[$((i - 1))]}"; done
for a in "${people[@]}"; do
  for b in "${people[@]}"; do
    [ "$a" = "$b" ] || expect "$a sees $b arrive" "$a" "$(event VELP2PPeerBirthNotif)" "$(name "${b}_KVZ")"
  done
done

run alice 'ChangeP2PStatus 3 "in a meeting"'
for p in bob carol; do
  expect "$p sees alice's status" "$p" "$(event VELP2PChangeStatusNotif)" "$(name alice_KVZ)" '"status":3' \
    '"description":"in a meeting"'
done

# Messages and sessions go point to point, to the address each peer announced.
run bob 'SendP2PMessage carol_KVZ 1 greeting "hello carol"'
expect "carol gets bob's message" carol "$(event VELP2PMessageReceivedNotif)" "$(name bob_KVZ)" \
  "\"dataHex\":\"$(hex 'hello carol')\""
run carol 'SendP2PMessage alice_KVZ 2 "" hex:00ff0a0d'
expect "alice gets carol's bytes" alice "$(event VELP2PMessageReceivedNotif)" "$(name carol_KVZ)" \
  '"dataHex":"00ff0a0d"'

run carol 'OpenP2PSession alice_KVZ 7'
expect "alice sees carol's session open" alice "$(event VELP2PSessionNotif)" "$(name carol_KVZ)" \
  '"sessionType":7' '"eventType":48'
run carol 'CloseP2PSession alice_KVZ 7'
expect "alice sees carol's session close" alice "$(event VELP2PSessionNotif)" "$(name carol_KVZ)" \
  '"sessionType":7' '"eventType":49'

leave bob
for p in alice carol; do
  expect "$p sees bob leave" "$p" "$(event VELP2PPeerDeathNotif)" "$(name bob_KVZ)"
done
leave carol
expect "alice sees carol leave" alice "$(event VELP2PPeerDeathNotif)" "$(name carol_KVZ)"
leave alice

# --- standard mode, every address named -------------------------------------------------------------------
hosts_std=(xena yuri zack)
declare -A peer
for i in 1 2 3; do
  label="${hosts_std[$((i - 1))]}"
  printf 'VELP2PMultiCastEndPoint|224.0.1.85|26790\nVELP2PTCPEndPoint|%s|0\n' "$(address "$i")" \
    >"$scratch/$label.cfg"
  start "$label" "$i" --standard --config "$scratch/$label.cfg"
  expect "$label starts" "$label" "$(event VELP2PInitPeerNotif)"
  lines=()
  mapfile -t lines <"$scratch/$label.out"
  for line in "${lines[@]}"; do
    [[ "$line" =~ \"event\":\"VELP2PInitPeerNotif\".*\"peerName\":\"([^\"]*)\" ]] && peer[$label]="${BASH_REMATCH[1]}"
  done
done
created() { echo "$(event VELP2PPeerCreatNotif)"; }
for a in "${hosts_std[@]}"; do
  for b in "${hosts_std[@]}"; do
    [ "$a" = "$b" ] || expect "$a sees $b in /P2PRoot" "$a" "$(created)" "$(name "${peer[$b]}")"
  done
done

leave zack
for p in xena yuri; do
  expect "$p sees zack leave" "$p" "$(event VELP2PPeerDestructNotif)" "$(name "${peer[zack]}")"
done

run yuri 'CreateAndOrJoinSubGroup Design'
expect "xena sees yuri leave /P2PRoot" xena "$(event VELP2PPeerDestructNotif)" "$(name "${peer[yuri]}")"
expect "xena learns of Design" xena "$(event VELP2PSubGroupModifNotif)" '"Design"'

run xena CrossGroupPeerSearch
expect "xena finds yuri in Design" xena "$(event VELP2PSearchResultNotif)" "$(name "${peer[yuri]}")" \
  '"groupName":"/P2PRoot/Design"'
expect "yuri hears xena's search" yuri "$(event VELP2PCrossGroupPeerCreatNotif)" "$(name "${peer[xena]}")" \
  '"groupName":"/P2PRoot"'
leave yuri
leave xena

echo "PASS: three namespaces, both modes, in ${SECONDS} s"
