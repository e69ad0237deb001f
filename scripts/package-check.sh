#!/usr/bin/env bash
# Builds the Debian package (cpack -G DEB) and checks it with Debian's own
# tools: lintian (no error, no warning), desktop-file-validate on the desktop
# entry and appstreamcli on the AppStream metainfo, both as packaged.
# Usage: scripts/package-check.sh [BUILD_DIR]   (default: build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}

scripts/deps.sh build package

# Configured again so that a help2man installed just now is found.
if [ -f "$build/CMakeCache.txt" ]; then
  cmake "$build" >/dev/null
else
  cmake --preset release >/dev/null
fi
cmake --build "$build" -j"$(nproc)"
rm -f "$build"/ql5-updater_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/ql5-updater_*.deb)
echo "package: $deb"

status=0
echo "== lintian"
lintian --fail-on error,warning --display-info "$deb" || status=1

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
for f in usr/bin/ql5 usr/bin/ql5-updater usr/share/man/man1/ql5.1.gz \
         usr/share/man/man1/ql5-updater.1.gz usr/share/doc/ql5-updater/copyright \
         usr/share/doc/ql5-updater/changelog.gz usr/share/bash-completion/completions/ql5; do
  [ -e "$root/$f" ] || { echo "missing from the package: /$f"; status=1; }
done
echo "== desktop-file-validate"
desktop-file-validate "$root"/usr/share/applications/*.desktop || status=1
echo "== appstreamcli validate"
appstreamcli validate --no-net --pedantic "$root"/usr/share/metainfo/*.metainfo.xml || status=1
if [ "$status" -eq 0 ]; then echo "package checks passed"; else echo "package checks FAILED"; fi
exit "$status"
