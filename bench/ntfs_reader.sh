#!/usr/bin/env bash
# Benchmarks the NTFS reader on two large ntfs-3g volumes:
#   bench-flat-100k  100,000 files in one directory
#   bench-tree-200k  200,000 files in 2,000 directories
# For each it prints bench-ntfs_reader's figures (records read per second, the in-process
# tree walk) and the time to list the volume with velundra-ntfsls beside `fls -r -p` on the
# same image in the same run, best of N runs after a warm-up (the images are then in the page
# cache, so the figures compare the programs, not the disk).
#
# Usage: bench/ntfs_reader.sh [BUILD_DIR] [RUNS]     (defaults: build, 3)
# The images are built once (minutes) and cached in BUILD_DIR/fixture-cache, or in
# $VELUNDRA_FIXTURE_CACHE.
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-3}
cache=${VELUNDRA_FIXTURE_CACHE:-$build/fixture-cache}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target bench-ntfs_reader velundra-ntfsls >/dev/null
bench=$build/bin/bench-ntfs_reader
ntfsls=$build/bin/velundra-ntfsls

# Best wall-clock seconds of a command over $runs runs (after one unmeasured run).
best_of() {
  "$@" >/dev/null 2>&1
  local best="" t0 t1 t
  for _ in $(seq "$runs"); do
    t0=$(date +%s%N)
    "$@" >/dev/null 2>&1
    t1=$(date +%s%N)
    t=$(( (t1 - t0) / 1000 ))
    if [ -z "$best" ] || [ "$t" -lt "$best" ]; then best=$t; fi
  done
  printf '%d.%06d' $((best / 1000000)) $((best % 1000000))
}

for recipe in bench-flat-100k bench-tree-200k; do
  echo "== $recipe"
  start=$(date +%s)
  image=$(python3 tests/fixtures/make_ntfs.py cached "$recipe" "$cache")
  echo "image: $image (ready in $(( $(date +%s) - start )) s)"
  "$bench" "$image" "$runs"
  names=$("$ntfsls" "$image" | wc -l)
  ours=$(best_of "$ntfsls" "$image")
  theirs=$(best_of fls -f ntfs -r -p "$image")
  awk -v n="$names" -v a="$ours" -v b="$theirs" 'BEGIN {
    printf "listing %d names: velundra-ntfsls %.3f s, fls -r -p %.3f s: %.1fx faster\n", n, a, b, b / a }'
done
