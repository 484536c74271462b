#!/usr/bin/env bash
# Wizard benchmark: a conversion through the conversion page against the command line on
# the same volume in the same run, and the time the volume list takes to enumerate 26 drive
# letters.
#
# Usage: bench/wizard.sh [BUILD_DIR]     (default: build; needs BUILD_DIR/bin/velundra-convert
#                                         and BUILD_DIR/bin/bench-wizard_convert)
#
# Environment:
#   BENCH_RUNS   rounds of the conversion comparison (default 5)
#   BENCH_CACHE  where bench/convert.sh keeps its images (default BUILD_DIR/bench-cache)
#
# Steps:
#   1. the volume of bench/convert.sh (2 GiB, 4 KiB clusters, 20,000 small files and 40 of
#      16 MiB), built by running that script once when it is not in the cache;
#   2. each round, on a fresh sparse copy each time, in turns: `velundra-convert --yes --quiet
#      --undo FILE` (wall time of the whole process; the page keeps an undo file of every
#      conversion, so the command line keeps one too), the conversion page (`bench-wizard_convert convert E`
#      with VELUNDRA_DRIVES=E=COPY: from pressing Convert to the finished page, the own-volume
#      check, the lock, the engine with the page as its progress sink and the release), and the
#      engine alone in the same program (`engine E`: lock, engine without a sink and without
#      an undo file, release);
#      fsck.fat -n judges every result;
#   3. the medians and the ratios page / engine and page / command line;
#   4. enumeration: letters D..Z given to 23 small images by VELUNDRA_DRIVES (NTFS and FAT32
#      in turns, none of them mounted, so free space is counted from $Bitmap and the FAT),
#      besides C and whatever block devices the machine has; the mean time of one list.
set -euo pipefail

BUILD_DIR=${1:-build}
convert=$BUILD_DIR/bin/velundra-convert
wizard=$BUILD_DIR/bin/bench-wizard_convert
for p in "$convert" "$wizard"; do
    [[ -x $p ]] || { echo "wizard.sh: $p is missing; build it first" >&2; exit 1; }
done
cache=${BENCH_CACHE:-$BUILD_DIR/bench-cache}
runs=${BENCH_RUNS:-5}
export QT_QPA_PLATFORM=offscreen TZ=UTC

image=$(ls -t "$cache"/convert-4096-*.img 2>/dev/null | head -1 || true)
if [[ -z $image ]]; then
    BENCH_VARIANTS=4096 "$(dirname "${BASH_SOURCE[0]}")/convert.sh" "$BUILD_DIR" >&2
    image=$(ls -t "$cache"/convert-4096-*.img | head -1)
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The page's undo files go here, not to the user's data folder.
export VELUNDRA_DATA_DIR=$work/data
echo "volume: $image"

now() { date +%s.%N; }
judge() { fsck.fat -n "$1" >"$work/fsck.txt" 2>&1 || { echo "fsck.fat -n failed on $2:"; cat "$work/fsck.txt"; exit 1; }; }

cli=() page=() engine=()
for ((r = 1; r <= runs; r++)); do
    cp --sparse=always "$image" "$work/v.img"; sync "$work/v.img"
    rm -rf "$work/cli.undo" "$VELUNDRA_DATA_DIR"
    t0=$(now); "$convert" --yes --quiet --undo "$work/cli.undo" "$work/v.img" >/dev/null 2>&1; t1=$(now)
    judge "$work/v.img" "the command line"
    cli+=("$(echo "$t1 - $t0" | bc -l)")

    cp --sparse=always "$image" "$work/v.img"; sync "$work/v.img"
    rm -rf "$VELUNDRA_DATA_DIR"
    out=$(VELUNDRA_DRIVES="E=$work/v.img" "$wizard" convert E 2>/dev/null)
    judge "$work/v.img" "the page"
    page+=("${out%% *}")

    cp --sparse=always "$image" "$work/v.img"; sync "$work/v.img"
    out=$(VELUNDRA_DRIVES="E=$work/v.img" "$wizard" engine E 2>/dev/null)
    judge "$work/v.img" "the engine"
    engine+=("$out")
    printf 'round %d: command line %.2f s, page %.2f s, engine alone %.2f s\n' "$r" "${cli[-1]}" "${page[-1]}" "${engine[-1]}"
done
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
mc=$(median "${cli[@]}") mp=$(median "${page[@]}") me=$(median "${engine[@]}")
printf 'median: command line %.2f s (whole process), page %.2f s, engine alone %.2f s\n' "$mc" "$mp" "$me"
printf 'page / engine alone: %.3f   page / command line: %.3f\n' "$(echo "$mp / $me" | bc -l)" "$(echo "$mp / $mc" | bc -l)"

# Enumeration over 26 letters.
drives=""
for l in D E F G H I J K L M N O P Q R S T U V W X Y Z; do
    f=$work/drive-$l.img
    truncate -s 64M "$f"
    if [[ $(( $(printf '%d' "'$l") % 2 )) == 0 ]]; then
        mkntfs -F -Q -q -L "V$l" "$f" >/dev/null 2>&1
    else
        mkfs.fat -F 32 -n "V$l" "$f" >/dev/null
    fi
    drives+="$l=$f;"
done
VELUNDRA_DRIVES=$drives "$wizard" enumerate 10 2>/dev/null | sed 's/^/enumeration of C..Z: /'
