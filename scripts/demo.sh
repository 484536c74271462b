#!/usr/bin/env bash
# The first thing to run on a fresh machine: installs what is missing, builds the Release tree
# in build/ and shows the main job.
#
# Until the converter exists, the main job is to print the FAT32 layout (FAT size, reserved
# sectors, cluster count, first data sector) chosen for the reference volumes, or for one
# volume size given on the command line.
#
# Usage: scripts/demo.sh                      the reference volumes
#        scripts/demo.sh SIZE [CLUSTER_BYTES] one volume, e.g. scripts/demo.sh 64GiB 4096
set -euo pipefail
cd "$(dirname "$0")/.."

# Programs the demo runs; a later step adds the converter and a sample image.
DEMO_TARGETS=(velundra-fat32layout)

demo_setup() {
  # shellcheck source=scripts/deps.sh
  source scripts/deps.sh
  velundra_deps
}

demo_build() {
  echo "== Building (build/, Release)"
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build -j"$(nproc)" --target "${DEMO_TARGETS[@]}"
}

demo_layout() {
  echo "== FAT32 layout"
  build/bin/velundra-fat32layout "$@"
}

demo_setup
demo_build
demo_layout "$@"
