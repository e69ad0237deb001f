#!/usr/bin/env bash
# Builds the programs (release preset) and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release
cmake --build --preset release
# The main job: a whole firmware update of the built-in virtual unit, with
# its versions read before and after. The unit's flash is kept in a file
# between the three runs, as a real unit keeps it.
flash=build/release/virtual-unit.flash
rm -f "$flash"
ql5=build/release/cli/ql5
"$ql5" version --virtual="$flash"
"$ql5" update --virtual="$flash"
"$ql5" version --virtual="$flash"
