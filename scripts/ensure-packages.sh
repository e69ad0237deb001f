#!/usr/bin/env bash
# Installs the named Debian packages that are not installed yet (one
# apt-get run for all of them; nothing when all are there).
# Usage: scripts/ensure-packages.sh PACKAGE...
set -euo pipefail
missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  timeout 900 $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive timeout 1800 $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
