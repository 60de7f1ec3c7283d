#!/usr/bin/env bash
# Runs the continuous-integration script from a fresh clone, several times in a row, while a second build of
# the same tree runs alongside (-j as ./run build picks, with ccache off so that it really loads the machine).
# Prints each run's time, result and the load average at its end; stops at the first failure.
#
#   tools/ci_loaded.sh [--runs N] [--no-load] [--rev REV]
set -euo pipefail

ROOT="$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/.." && pwd)"
runs=5
load=1
rev=HEAD
while (($#)); do
  case "$1" in
    --runs) runs="$2"; shift ;;
    --no-load) load=0 ;;
    --rev) rev="$2"; shift ;;
    *) echo "usage: $0 [--runs N] [--no-load] [--rev REV]" >&2; exit 2 ;;
  esac
  shift
done

commit="$(git -C "$ROOT" rev-parse "$rev")"
work="$(mktemp -d "${TMPDIR:-/tmp}/velp2p-ci.XXXXXX")"
load_pid=""
finish() {
  if [[ -n "$load_pid" ]]; then
    kill -- "-$load_pid" 2>/dev/null || true
    wait "$load_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap finish EXIT

clone() {
  git clone --quiet --no-local "$ROOT" "$1"
  git -C "$1" checkout --quiet "$commit"
}

if ((load)); then
  clone "$work/load"
  # Its own session, so that the whole build can be stopped through the one process id started here.
  setsid bash -c 'cd "$1" && while :; do CCACHE_DISABLE=1 bash ./run build >/dev/null 2>&1 || true; rm -rf build; done' \
    _ "$work/load" &
  load_pid=$!
fi

printf 'commit %s, %d runs, load: %s\n' "${commit:0:10}" "$runs" "$( ((load)) && echo 'second build' || echo none)"
for ((i = 1; i <= runs; ++i)); do
  clone "$work/run$i"
  start=$SECONDS
  rc=0
  (cd "$work/run$i" && CI=true bash .ci/run >"$work/run$i.log" 2>&1) || rc=$?
  printf 'run %d: %s in %d s, load average %s\n' "$i" "$( ((rc == 0)) && echo passed || echo "FAILED ($rc)")" \
    $((SECONDS - start)) "$(cut -d' ' -f1-3 /proc/loadavg)"
  if ((rc != 0)); then
    cp "$work/run$i.log" "${TMPDIR:-/tmp}/velp2p-ci-failed.log"
    echo "log: ${TMPDIR:-/tmp}/velp2p-ci-failed.log"
    exit 1
  fi
  rm -rf "$work/run$i"
done
