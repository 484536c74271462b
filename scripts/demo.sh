#!/usr/bin/env bash
# The first thing to run on a fresh machine: installs what is missing, builds the demo's
# programs (Release, in build/) and converts an NTFS image to FAT32 in place:
#   1. unpacks the bundled sample volume (tests/fixtures/sample-ntfs.img.xz: 48 MiB, 512-byte
#      clusters, label VELUNDRA) to build/demo/sample.img, or copies the image you name;
#   2. lists the NTFS tree the reader finds (velundra-ntfsls);
#   3. converts the copy (velundra-convert --yes, log in build/demo/convert.log);
#   4. checks the result with fsck.fat -n and lists it with mtools (mdir).
# Your own image is never converted itself, only a copy of it in build/demo/.
# The sample was made with the "sample" recipe of tests/fixtures/make_ntfs.py, then packed with
# `xz --delta=dist=2 --lzma2=preset=9e` (the delta filter shrinks NTFS's $UpCase table tenfold).
#
# Usage: scripts/demo.sh                            the bundled sample volume
#        scripts/demo.sh IMAGE                      a copy of your NTFS image (or block device)
#        scripts/demo.sh --layout [SIZE [CLUSTER]]  the FAT32 layouts of the reference volumes,
#                                                   or of one volume, e.g. --layout 64GiB 4096
# VELUNDRA_BUILD_DIR chooses another build directory than build/.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${VELUNDRA_BUILD_DIR:-build}
DEMO_DIR=$BUILD_DIR/demo
SAMPLE=tests/fixtures/sample-ntfs.img.xz
DEMO_TARGETS=(velundra-convert velundra-ntfsls velundra-fat32layout)

# Prints the usage; exits with $1 (0 when asked for, 2 after wrong usage).
usage() {
  if [ "$1" -eq 0 ]; then
    sed -n '/^# Usage:/,/^# VELUNDRA_BUILD_DIR/s/^# \{0,1\}//p' "$0"
  else
    sed -n '/^# Usage:/,/^# VELUNDRA_BUILD_DIR/s/^# \{0,1\}//p' "$0" >&2
  fi
  exit "$1"
}

demo_setup() {
  # shellcheck source=scripts/deps.sh
  source scripts/deps.sh
  velundra_deps
}

demo_build() {
  echo "== Building ($BUILD_DIR/, Release)"
  cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$BUILD_DIR" -j"$(nproc)" --target "${DEMO_TARGETS[@]}"
}

demo_layout() {
  echo "== FAT32 layout"
  "$BUILD_DIR"/bin/velundra-fat32layout "$@"
}

# Bytes an image (or device) needs on disk when copied sparsely.
allocated_bytes() {
  if [ -b "$1" ]; then
    blockdev --getsize64 "$1"
  else
    du -B1 "$1" | cut -f1
  fi
}

# Puts the volume to convert at $IMAGE: the bundled sample, or a copy of the user's image.
demo_prepare() {
  mkdir -p "$DEMO_DIR"
  if [ $# -eq 0 ]; then
    IMAGE=$DEMO_DIR/sample.img
    echo "== Unpacking the sample NTFS volume to $IMAGE"
    rm -f "$IMAGE"
    xz -dc "$SAMPLE" | dd of="$IMAGE" bs=64K iflag=fullblock conv=sparse status=none
    return
  fi
  local source=$1
  if [ ! -f "$source" ] && [ ! -b "$source" ]; then
    echo "demo.sh: $source is neither an image file nor a block device" >&2
    exit 1
  fi
  IMAGE=$DEMO_DIR/copy-of-$(basename "$source")
  case "$IMAGE" in *.img) ;; *) IMAGE=$IMAGE.img ;; esac
  if [ -e "$IMAGE" ] && [ "$(realpath "$source")" = "$(realpath "$IMAGE")" ]; then
    echo "demo.sh: $source is the demo's own copy; name the original image instead" >&2
    exit 1
  fi
  local need have
  need=$(allocated_bytes "$source")
  have=$(df -B1 --output=avail "$DEMO_DIR" | tail -n 1)
  if [ "$need" -gt "$have" ]; then
    echo "demo.sh: a copy of $source needs $need bytes, $DEMO_DIR has $have free" >&2
    exit 1
  fi
  echo "== Copying $source to $IMAGE (the original stays as it is)"
  rm -f "$IMAGE"
  cp --sparse=always "$source" "$IMAGE"
}

demo_convert() {
  echo "== The NTFS tree (velundra-ntfsls: record, size, path)"
  "$BUILD_DIR"/bin/velundra-ntfsls "$IMAGE"

  echo "== Converting $IMAGE to FAT32"
  local status=0
  "$BUILD_DIR"/bin/velundra-convert --yes --log "$DEMO_DIR/convert.log" "$IMAGE" || status=$?
  if [ $status -ne 0 ]; then
    echo "== velundra-convert ended with status $status:" \
         "see its message above and $DEMO_DIR/convert.log" >&2
    exit $status
  fi

  echo "== Checking the FAT32 volume (fsck.fat -n)"
  fsck.fat -n "$IMAGE"

  echo "== The FAT32 volume (mdir)"
  MTOOLS_SKIP_CHECK=1 mdir -/ -i "$IMAGE" ::/

  echo "== Done: $IMAGE is FAT32 now (log: $DEMO_DIR/convert.log)"
}

case "${1:-}" in
  -h|--help) usage 0 ;;
  --layout)
    shift
    [ $# -le 2 ] || usage 2
    demo_setup
    demo_build
    demo_layout "$@"
    ;;
  -*) usage 2 ;;
  *)
    [ $# -le 1 ] || usage 2
    demo_setup
    demo_build
    demo_prepare "$@"
    demo_convert
    ;;
esac
