#!/usr/bin/env bash
# Builds a Release tree and an AddressSanitizer+UndefinedBehaviorSanitizer tree, runs every
# test of the Release tree and the unit tests of the sanitizer tree, and exits non-zero on
# any failure. Usage: scripts/test.sh
set -u
cd "$(dirname "$0")/.."
. scripts/deps.sh
velundra_deps || exit 1
export TZ=UTC
jobs=$(nproc)
status=0

echo "== Release build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null || exit 1
cmake --build build -j"$jobs" || exit 1
echo "== Sanitizer build"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVELUNDRA_SANITIZE=ON >/dev/null || exit 1
cmake --build build-asan -j"$jobs" || exit 1

echo "== Tests (Release)"
(cd build && ctest --output-on-failure -j"$jobs" --timeout 900) || status=1
echo "== Unit tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build-asan && ctest --output-on-failure -j"$jobs" -L unit --timeout 900) || status=1
exit $status
