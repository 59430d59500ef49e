#!/usr/bin/env bash
# Runs realtime_bench against the library, then the same measurements against
# lsyncd with default.direct and with default.rsync (delay = 0), in one run so
# the figures share the machine's state.
# Usage: bench/realtime_peers.sh [path/to/realtime_bench]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bench=${1:-$root/build-bench/bench/realtime_bench}
if [[ ! -x $bench ]]; then
  echo "no $bench: build it first (make bench, or cmake --build build-bench --target realtime_bench)" >&2
  exit 1
fi

if ! command -v lsyncd >/dev/null || ! command -v rsync >/dev/null; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y lsyncd rsync
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/strandel-peers-XXXXXX")
lsyncd_pid=
cleanup() {
  if [[ -n $lsyncd_pid ]]; then
    kill "$lsyncd_pid" 2>/dev/null || true
    wait "$lsyncd_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

"$bench"

for mode in direct rsync; do
  dir=$work/$mode
  mkdir -p "$dir/src" "$dir/dst"
  cat >"$dir/lsyncd.conf" <<CONF
settings { nodaemon = true }
sync { default.$mode, source = "$dir/src", target = "$dir/dst", delay = 0 }
CONF
  lsyncd "$dir/lsyncd.conf" >"$dir/lsyncd.log" 2>&1 &
  lsyncd_pid=$!
  # The program waits (bounded) for lsyncd to start mirroring before it measures.
  if ! timeout 600 "$bench" --external "$dir/src" "$dir/dst" "lsyncd $mode"; then
    echo "lsyncd $mode: measurement failed; last log lines:" >&2
    tail -n 5 "$dir/lsyncd.log" >&2
  fi
  kill "$lsyncd_pid" 2>/dev/null || true
  wait "$lsyncd_pid" 2>/dev/null || true
  lsyncd_pid=
  rm -rf "$dir"
done
