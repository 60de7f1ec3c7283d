#!/usr/bin/env bash
# Records on lo what two consoles exchange (presence, status, a message, a session, departures), decodes the
# capture with the velp2p Lua dissector, and checks that every service's fields come out and that nothing is
# malformed. Runs peers, so only inside the private network namespace.
# Arguments: CONSOLE DISSECTOR
set -euo pipefail
console="$1" dissector="$2"

if [ -z "${VELP2P_SANDBOX:-}" ]; then
  echo "SKIP: not inside the private network namespace (run it through ./run test)"
  exit 77
fi
for tool in tshark dumpcap; do
  command -v "$tool" >/dev/null 2>&1 || {
    echo "SKIP: $tool is not installed (Debian package tshark)"
    exit 77
  }
done

scratch="$(mktemp -d)"
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  for f in "$scratch"/*.out "$scratch"/*.err; do
    [ -f "$f" ] && { echo "--- $f" >&2; cat "$f" >&2; }
  done
  exit 1
}

# Ports of this run only, chosen like the other tests of the suite, which share lo: by process id.
base=$((20000 + ($$ % 400) * 100))
mcast=$base tcp_alice=$((base + 1)) tcp_bob=$((base + 2))

# Waits until FILE holds a line matching REGEX, for at most 60 s (a sanitized build on a loaded machine).
wait_for() {
  local file="$1" regex="$2" deadline=$((SECONDS + 60))
  until grep -q -- "$regex" "$file" 2>/dev/null; do
    [ "$SECONDS" -lt "$deadline" ] || fail "no '$regex' in $file"
    sleep 0.05
  done
}

dumpcap -q -i lo -f "udp port $mcast or tcp port $tcp_alice or tcp port $tcp_bob" -w "$scratch/cap.pcapng" \
  2>"$scratch/dumpcap.err" &
pids+=($!)
# The capture holds what it was handed, which lags the wire: a marker datagram seen in the file shows that
# the capture has started, and a second one that everything before it is in.
mark() {
  local deadline=$((SECONDS + 60))
  until grep -q -a "$1" "$scratch/cap.pcapng" 2>/dev/null; do
    [ "$SECONDS" -lt "$deadline" ] || fail "marker $1 never reached the capture"
    printf '%s' "$1" >"/dev/udp/127.0.0.1/$mcast" || true
    sleep 0.1
  done
}
mark capture-start

start_console() {
  local name="$1" port="$2"
  printf 'VELP2PMultiCastEndPoint|224.0.1.85|%d\nVELP2PTCPEndPoint|127.0.0.1|%d\n' "$mcast" "$port" \
    >"$scratch/$name.cfg"
  mkfifo "$scratch/$name.in"
  "$console" --json --login "$name" --config "$scratch/$name.cfg" <"$scratch/$name.in" >"$scratch/$name.out" \
    2>"$scratch/$name.err" &
  pids+=($!)
}
start_console alice "$tcp_alice"
exec 3>"$scratch/alice.in"
# Bob starts once alice is up, so that alice hears his birth and answers it point to point.
wait_for "$scratch/alice.out" '"event":"VELP2PInitPeerNotif"'
start_console bob "$tcp_bob"
exec 4>"$scratch/bob.in"

wait_for "$scratch/alice.out" '"event":"VELP2PPeerBirthNotif",.*"peerName":"bob_KVZ"'
wait_for "$scratch/bob.out" '"event":"VELP2PPeerBirthNotif",.*"peerName":"alice_KVZ"'
echo 'ChangeP2PStatus 3 busy' >&3
wait_for "$scratch/bob.out" '"event":"VELP2PChangeStatusNotif",.*"peerName":"alice_KVZ","status":3'
echo 'SendP2PMessage bob_KVZ 7 abc hex:0102030405' >&3
wait_for "$scratch/bob.out" '"event":"VELP2PMessageReceivedNotif",.*"peerName":"alice_KVZ"'
echo 'OpenP2PSession bob_KVZ 3' >&3
wait_for "$scratch/bob.out" '"event":"VELP2PSessionNotif",.*"eventType":48'
echo 'CloseP2PSession bob_KVZ 3' >&3
wait_for "$scratch/bob.out" '"event":"VELP2PSessionNotif",.*"eventType":49'
echo quit >&4
exec 4>&-
wait_for "$scratch/alice.out" '"event":"VELP2PPeerDeathNotif",.*"peerName":"bob_KVZ"'
echo quit >&3
exec 3>&-
wait "${pids[1]}" || fail "alice's console failed"
wait "${pids[2]}" || fail "bob's console failed"
mark capture-end
kill -INT "${pids[0]}"
wait "${pids[0]}" || true
pids=()

decode() {
  tshark -n -X lua_script:"$dissector" -o "velp2p.udp_ports:$mcast" -r "$scratch/cap.pcapng" "$@"
}
decode -Y velp2p.serviceName -T fields -E separator='|' -e velp2p.serviceName -e velp2p.senderName -e velp2p.mode \
  -e velp2p.awareness.command -e velp2p.record.address -e velp2p.status.description -e velp2p.chat.header \
  -e velp2p.chat.data -e velp2p.session.event -e velp2p.session.peerName >"$scratch/fields.txt" \
  2>"$scratch/tshark.err" || fail "tshark: $(cat "$scratch/tshark.err")"
cat "$scratch/fields.txt"

# A connection that carries many blocks may carry several in one packet, whose row then lists each column's
# values separated by commas. Each kind of block the exchange must have produced is looked for as values of
# the columns above, in order: "-" takes anything, "a+b" wants both a and b in the column.
expect_block() {
  awk -F'|' -v wanted="$*" '
    BEGIN { columns = split(wanted, want, " ") }
    {
      ok = 1
      for (i = 1; i <= columns && ok; i++) {
        if (want[i] == "-") continue
        split($i, listed, ",")
        wanted = split(want[i], values, "+")
        for (v = 1; v <= wanted && ok; v++) {
          found = 0
          for (j in listed) if (listed[j] == values[v]) found = 1
          ok = found
        }
      }
      if (ok) { hit = 1; exit }
    }
    END { exit hit ? 0 : 1 }' "$scratch/fields.txt" || fail "no decoded block has $*"
}
expect_block AwarenessService alice_KVZ 0x12 0x30 224.0.1.85+127.0.0.1
expect_block AwarenessService bob_KVZ 0x12 0x30
expect_block AwarenessService alice_KVZ 0x0a 0x31
expect_block AwarenessService bob_KVZ 0x12 0x32
expect_block StatusService alice_KVZ 0x12 - - busy
expect_block VELP2PChatService alice_KVZ 0x0a - - - abc 0102030405
expect_block VELP2PSessionService alice_KVZ 0x0a - - - - - 0x30 bob_KVZ
expect_block VELP2PSessionService alice_KVZ 0x0a - - - - - 0x31 bob_KVZ
# Peers that both take many blocks per connection open theirs with the hello and acknowledge what they took.
for field in velp2p.hello.version velp2p.ack.count; do
  [ -n "$(decode -Y "$field" 2>/dev/null)" ] || fail "no packet shows $field"
done

# 8388608 is the severity "error"; the marker datagrams are not velp2p blocks.
suspect='_ws.malformed || _ws.expert.severity >= 8388608 || (tcp.len > 0 && !velp2p)'
problems="$(decode -Y "!(udp contains \"capture-\") && ($suspect)" 2>"$scratch/tshark.err")" ||
  fail "tshark: $(cat "$scratch/tshark.err")"
[ -z "$problems" ] || fail "malformed, erroneous or undecoded packets: $problems"
echo "decoded $(wc -l <"$scratch/fields.txt") velp2p blocks"
