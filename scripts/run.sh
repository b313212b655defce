#!/usr/bin/env bash
# Builds the plug-in for the installed OBS and runs it in a real OBS, serving
# the link until stopped (Ctrl-C). Arguments go to scripts/run-obs.sh.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/setup.sh
cmake -S . -B build/qt5 -DQT_VERSION=AUTO -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/qt5 -j "$(nproc 2>/dev/null || echo 2)" --target tessil-link >/dev/null
exec bash scripts/run-obs.sh "$@"
