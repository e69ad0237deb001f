#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail
pkgs=(cmake ninja-build g++ clang clang-format libclang-rt-14-dev pkg-config zlib1g-dev
      libgtest-dev libgmock-dev libbenchmark-dev libasound2-dev
      qt6-base-dev qt6-base-dev-tools libgl-dev fonts-ipafont-gothic xvfb xauth help2man)
"$(dirname "$0")/ensure-packages.sh" "${pkgs[@]}"
