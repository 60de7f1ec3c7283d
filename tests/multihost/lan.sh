# LAN_HOSTS hosts on one LAN segment for the multi-host tests, sourced by each: network namespaces, each with
# one veth port (portN on the bridge side, eth0 in the host) on a bridge that lives in a namespace of its own,
# multicast routed through the port, the host name mapped to 127.0.1.1 as on stock Debian; and the helpers
# that start consoles in them and wait for what they print. Everything it creates (namespaces, veth pairs, the
# bridge, /etc/netns entries) is removed on every exit. Needs root for ip netns; skips (77) where namespaces
# cannot be made.
# Expects: console (the console binary), LAN_HOSTS; optional LAN_TAG (a prefix for the namespace names).
skip() {
  echo "SKIP: $*"
  exit 77
}
[ -x "$console" ] || {
  echo "FAIL: no console at $console" >&2
  exit 1
}
command -v ip >/dev/null 2>&1 || skip "ip (iproute2) is not installed"
[ "$(id -u)" -eq 0 ] || skip "creating network namespaces needs root"

tag="${LAN_TAG:-vmh}$$"
switch="${tag}sw"
hosts=()
for ((i = 1; i <= LAN_HOSTS; i++)); do hosts+=("${tag}h$i"); done
subnet="10.213.$(($$ % 250)).0"
scratch="$(mktemp -d)"
declare -A pid input
made_netns_dir=0
deadline=$((SECONDS + 250))  # well inside the CTest time-out, cleaning up included
# Builtins only while waiting: on a loaded machine every process started costs tens of milliseconds.
now_ms() { local t="${EPOCHREALTIME/./}"; echo $((t / 1000)); }
started_ms=$(now_ms)
note() { printf '%6d ms  %s\n' $(($(now_ms) - started_ms)) "$*"; }

cleanup() {
  local label ns
  for label in "${!pid[@]}"; do kill "${pid[$label]}" 2>/dev/null || true; done
  local until=$((SECONDS + 3))
  for label in "${!pid[@]}"; do
    while kill -0 "${pid[$label]}" 2>/dev/null && [ "$SECONDS" -lt "$until" ]; do sleep 0.05; done
    kill -KILL "${pid[$label]}" 2>/dev/null || true
    wait "${pid[$label]}" 2>/dev/null || true
  done
  for ns in "${hosts[@]}" "$switch"; do
    ip netns del "$ns" 2>/dev/null || true
    rm -rf "/etc/netns/$ns"
  done
  [ "$made_netns_dir" -eq 0 ] || rmdir /etc/netns 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

fail() {
  echo "FAIL: $*" >&2
  local f
  for f in "$scratch"/*.out "$scratch"/*.err; do
    [ -s "$f" ] && { echo "--- $(basename "$f")" >&2; tail -n 40 "$f" >&2; }
  done
  exit 1
}

address() { echo "${subnet%.0}.$1"; }

# --- the segment ------------------------------------------------------------------------------------------
ip netns add "$switch" 2>"$scratch/netns.err" || skip "ip netns add fails here: $(cat "$scratch/netns.err")"
[ -d /etc/netns ] || { mkdir /etc/netns 2>/dev/null && made_netns_dir=1; }
{
  echo "link add br0 type bridge mcast_snooping 0"
  echo "link set br0 up"
  for ((i = 1; i <= LAN_HOSTS; i++)); do
    ip netns add "${hosts[$((i - 1))]}" || fail "cannot create namespace ${hosts[$((i - 1))]}"
    echo "link add port$i type veth peer name eth0 netns ${hosts[$((i - 1))]}"
    echo "link set port$i master br0 up"
  done
} >"$scratch/switch.batch"
ip -n "$switch" -batch "$scratch/switch.batch" || fail "cannot build the bridge and its ports"
for ((i = 1; i <= LAN_HOSTS; i++)); do
  ns="${hosts[$((i - 1))]}"
  printf '%s\n' "link set lo up" "addr add $(address "$i")/24 dev eth0" "link set eth0 up" \
    "route add 224.0.0.0/4 dev eth0" >"$scratch/$ns.batch"
  ip -n "$ns" -batch "$scratch/$ns.batch" || fail "cannot set up $ns"
  # ip netns exec mounts these over /etc: the host name resolves to loopback only.
  if mkdir -p "/etc/netns/$ns" 2>/dev/null; then
    printf '127.0.0.1 localhost\n127.0.1.1 %s\n' "$HOSTNAME" >"/etc/netns/$ns/hosts"
  fi
done
note "$LAN_HOSTS hosts on a bridge"

# --- consoles ---------------------------------------------------------------------------------------------
# start LABEL HOST(1-3) ARGS...: a console in that host's namespace, commands through a FIFO.
start() {
  local label="$1" ns="${hosts[$(($2 - 1))]}"
  shift 2
  mkfifo "$scratch/$label.in"
  # Made here rather than by the redirection of the background job, which may come after the first look.
  : >"$scratch/$label.out"
  ip netns exec "$ns" "$console" --json "$@" <"$scratch/$label.in" >"$scratch/$label.out" \
    2>"$scratch/$label.err" &
  pid[$label]=$!
  exec {fd}>"$scratch/$label.in"
  input[$label]=$fd
}

# count LABEL PATTERN...: sets counted to the number of lines of LABEL's output that hold every fixed string.
count() {
  local label="$1" line p
  local -a lines=()
  shift
  counted=0
  mapfile -t lines <"$scratch/$label.out" || return 1
  for line in "${lines[@]}"; do
    for p in "$@"; do [[ "$line" == *"$p"* ]] || continue 2; done
    counted=$((counted + 1))
  done
}
seen() { count "$@" && [ "$counted" -gt 0 ]; }

# A short wait without starting a process: a read that times out on a FIFO nobody writes.
mkfifo "$scratch/idle"
exec {idle}<>"$scratch/idle"
pause() { read -r -t 0.01 -u "$idle" || true; }

# within WHAT COMMAND...: repeats COMMAND until it succeeds, for at most 60 s (a sanitized build on a loaded
# machine; a passing step takes a fraction of a second) and within the run's budget.
within() {
  local what="$1" step=$((SECONDS + 60))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$step" ] && [ "$SECONDS" -lt "$deadline" ] || fail "$what"
    pause
  done
  note "$what"
}

# expect WHAT LABEL PATTERN...: waits for such a line in LABEL's output.
expect() {
  local what="$1"
  shift
  within "$what" seen "$@"
}

event() { echo "\"event\":\"$1\""; }
name() { echo "\"peerName\":\"$1\""; }

# run LABEL COMMAND-LINE: sends it and waits for its reply, which must succeed.
declare -A replies
replied() { count "$1" "\"command\":\"$2\"" '"result":0' && [ "$counted" -ge "$3" ]; }
run() {
  local label="$1" line="$2" command="${2%% *}"
  local key="$label:$command"
  replies[$key]=$((${replies[$key]:-0} + 1))
  echo "$line" >&"${input[$label]}"
  within "$label: $line" replied "$label" "$command" "${replies[$key]}"
}

# leave LABEL: quit, then the console must end with status 0.
ended() { ! kill -0 "$1" 2>/dev/null; }
leave() {
  local label="$1" status=0
  echo quit >&"${input[$label]}"
  eval "exec ${input[$label]}>&-"
  within "$label quits" ended "${pid[$label]}"
  wait "${pid[$label]}" || status=$?
  unset "pid[$label]"
  [ "$status" -eq 0 ] || fail "$label's console ended with status $status"
}

hex() { printf '%s' "$1" | od -An -tx1 | tr -d ' \n'; }

