#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when any is missing.
# Sourced by demo.sh and test.sh; runs apt-get update at most once.
velundra_deps() {
  local pkgs=(cmake make g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev
              libbenchmark-dev ntfs-3g dosfstools mtools sleuthkit fuse3 python3 xz-utils
              util-linux coreutils fdisk libblkid-dev libfdisk-dev libzip-dev
              qt6-base-dev qt6-svg-dev fonts-wine xvfb xauth xdotool imagemagick python3-pil
              lldb zip unzip libfsntfs-utils desktop-file-utils libxml2-utils)
  local missing=()
  for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}"
  fi
}
