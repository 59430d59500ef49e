#!/usr/bin/env bash
# How long `strandel list` takes with no daemon running, over many tasks whose
# source trees hold many directories: the command should answer from the task
# store alone, however large the trees are.
# Usage: bench/cli_list.sh [path/to/strandel] [tasks] [directories per tree] [runs]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
strandel=${1:-$root/build/src/entry/strandel}
tasks=${2:-50}
per_tree=${3:-2000}
runs=${4:-5}
if [[ ! -x $strandel ]]; then
  echo "no $strandel: build it first (ninja -C build strandel_cli)" >&2
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/strandel-cli-list-XXXXXX")
trap 'rm -rf "$work"' EXIT
data=$work/data

# Tasks first, over empty trees, so that setting up costs little whatever the
# program does on each command; the trees are filled afterwards.
for ((t = 1; t <= tasks; t++)); do
  mkdir -p "$work/src$t"
  "$strandel" --data-dir "$data" add "task$t" "$work/src$t" "$work/dst$t" >/dev/null
done
# per_tree directories in two levels (a square-root fan-out), made by a few
# mkdir calls per tree.
for ((t = 1; t <= tasks; t++)); do
  (cd "$work/src$t" && awk -v n="$per_tree" 'BEGIN {
    fan = int(sqrt(n)); if (fan < 1) fan = 1
    for (a = 0; made < n; a++) {
      print "d" a; made++
      for (b = 0; b < fan - 1 && made < n; b++) { print "d" a "/e" b; made++ }
    }
  }' | xargs mkdir -p)
done
echo "$tasks tasks, $(find "$work"/src* -type d | wc -l) directories in their source trees"

times=()
for ((r = 1; r <= runs; r++)); do
  start=$(date +%s%N)
  "$strandel" --data-dir "$data" list >/dev/null
  end=$(date +%s%N)
  times+=($(((end - start) / 1000000)))
done
sorted=$(printf '%s\n' "${times[@]}" | sort -n)
echo "strandel list, $runs runs (ms): $(echo $sorted)"
echo "median: $(echo "$sorted" | sed -n "$(((runs + 1) / 2))p") ms"
