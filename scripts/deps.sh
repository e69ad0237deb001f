#!/usr/bin/env bash
# Installs the Debian packages a job needs, when missing, in one apt-get run.
# Usage: scripts/deps.sh [GROUP...]   (default: build)
#   build    compilers, CMake, GoogleTest, Qt 6, ALSA headers (build and tests)
#   package  the Debian package and its checks
#   windows  the MinGW-w64 cross-build, Wine and the installer
#   kernel   the QEMU guest with Debian's kernel
#   web      Emscripten, Chromium and Node for the page
#   all      every group (what CI needs)
set -euo pipefail
build=(cmake ninja-build g++ clang clang-format libclang-rt-14-dev pkg-config zlib1g-dev
       libgtest-dev libgmock-dev libbenchmark-dev libasound2-dev
       qt6-base-dev qt6-base-dev-tools libgl-dev fonts-ipafont-gothic xvfb xauth help2man ccache)
package=(lintian desktop-file-utils appstream help2man)
windows=(cmake ninja-build g++ g++-mingw-w64-x86-64-posix libz-mingw-w64-dev googletest
         wine wine64 xvfb xauth nsis)
kernel=(qemu-system-x86 busybox-static kmod cpio alsa-utils python3)
web=(emscripten chromium)   # Node.js and npm come with the machine
groups=("$@")
((${#groups[@]})) || groups=(build)
pkgs=()
for g in "${groups[@]}"; do
  case "$g" in
    build) pkgs+=("${build[@]}") ;;
    package) pkgs+=("${package[@]}") ;;
    windows) pkgs+=("${windows[@]}") ;;
    kernel) pkgs+=("${kernel[@]}") ;;
    web) pkgs+=("${web[@]}") ;;
    all) pkgs+=("${build[@]}" "${package[@]}" "${windows[@]}" "${kernel[@]}" "${web[@]}") ;;
    *) echo "usage: $0 [build|package|windows|kernel|web|all]..." >&2; exit 2 ;;
  esac
done
"$(dirname "$0")/ensure-packages.sh" "${pkgs[@]}"
