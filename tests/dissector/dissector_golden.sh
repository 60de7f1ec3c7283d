#!/usr/bin/env bash
# Decodes every block of tests/golden with the velp2p Lua dissector and holds each field to what
# tests/golden/decoded.txt says every decoder reads from it (the library and the spy are held to the same
# table by GoldenDecodingTest); then filters on a non-ASCII description. The blocks are wrapped in UDP
# datagrams of a capture file: nothing goes on the network.
# Arguments: DISSECTOR GOLDEN_DIRECTORY
set -euo pipefail
dissector="$1" golden="$2"

for tool in tshark text2pcap xxd od; do
  command -v "$tool" >/dev/null 2>&1 || {
    echo "SKIP: $tool is not installed (Debian packages tshark, xxd)"
    exit 77
  }
done
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# The table: the blocks in order, and "block|field" -> value.
names=() fields=()
declare -A expected=()
while IFS= read -r line; do
  case "$line" in
    '' | '#'*) ;;
    '['*']')
      name="${line:1:${#line}-2}"
      names+=("$name")
      ;;
    *)
      field="${line%% *}" value=""
      [ "$field" = "$line" ] || value="${line#* }"
      [ -n "${expected["*|$field"]+set}" ] || fields+=("$field")
      expected["*|$field"]=1
      expected["$name|$field"]="$value"
      ;;
  esac
done <"$golden/decoded.txt"
[ "${#names[@]}" -gt 0 ] || fail "no block in $golden/decoded.txt"
for file in "$golden"/*.hex; do
  file="$(basename "$file" .hex)"
  [[ " ${names[*]} " == *" $file "* ]] || fail "$file.hex is not in $golden/decoded.txt"
done

# One datagram per block, in the table's order, as text2pcap reads a hex dump.
for name in "${names[@]}"; do
  [ -f "$golden/$name.hex" ] || fail "no $golden/$name.hex"
  sed 's/#.*//' "$golden/$name.hex" | xxd -r -p | od -Ax -tx1 -v | awk 'NF > 1'
done >"$scratch/blocks.txt"
text2pcap -q -u 2678,2678 "$scratch/blocks.txt" "$scratch/blocks.pcap" >/dev/null 2>"$scratch/text2pcap.err" ||
  fail "text2pcap: $(cat "$scratch/text2pcap.err")"

decode() {
  tshark -n -X lua_script:"$dissector" -r "$scratch/blocks.pcap" "$@" 2>"$scratch/tshark.err" ||
    fail "tshark: $(cat "$scratch/tshark.err")"
}
# "refused" is no field of the dissector: it marks the block with an error.
columns=()
for field in "${fields[@]}"; do
  [ "$field" = refused ] || columns+=(-e "velp2p.$field")
done
decode -T fields -E separator='|' -E occurrence=a -E aggregator=, "${columns[@]}" -e _ws.expert.severity \
  >"$scratch/fields.txt"
[ "$(wc -l <"$scratch/fields.txt")" -eq "${#names[@]}" ] || fail "$(wc -l <"$scratch/fields.txt") rows decoded"

errors=0
row=0
while IFS='|' read -r -a values; do
  name="${names[$row]}"
  row=$((row + 1))
  column=0
  refused=""
  severities="${values[${#columns[@]} / 2]-}"
  for severity in ${severities//,/ }; do
    [ "$severity" -lt 8388608 ] || refused=yes
  done
  for field in "${fields[@]}"; do
    want="${expected["$name|$field"]-}"
    if [ "$field" = refused ]; then
      got="$refused"
    else
      got="${values[$column]-}"
      column=$((column + 1))
      # What the dissector shows of a payload that peers refuse is left to it.
      [ -n "${expected["$name|$field"]+set}" ] || [ -z "$got" ] || [ -n "$refused" ] || {
        echo "$name: velp2p.$field is '$got', a field the block does not have" >&2
        errors=$((errors + 1))
      }
      [ -n "${expected["$name|$field"]+set}" ] || continue
    fi
    [ "$got" = "$want" ] || {
      echo "$name: velp2p.$field is '$got', not '$want'" >&2
      errors=$((errors + 1))
    }
  done
done <"$scratch/fields.txt"
[ "$errors" -eq 0 ] || fail "$errors fields differ from $golden/decoded.txt"

# Texts are decoded as UTF-8: a filter on a description with accents and a symbol finds its block alone.
frame="$(decode -Y 'velp2p.status.description == "café ☕" && velp2p.senderName == "zoë_KVZ"' -T fields \
  -e frame.number)"
wanted=""
for i in "${!names[@]}"; do
  [ "${names[$i]}" != status_unicode ] || wanted="$((i + 1))"
done
[ -n "$frame" ] && [ "$frame" = "$wanted" ] || fail "the filter on \"café ☕\" found frame '$frame', not '$wanted'"
echo "${#names[@]} golden blocks decoded as the table says"
