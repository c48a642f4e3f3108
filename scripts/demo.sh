#!/usr/bin/env bash
# The main job: drive the simulated torso. Until the torso simulator and the Python module
# exist, it builds the project and lists the programs that can already be run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
[[ -f build/build.ninja ]] || meson setup build >/dev/null
meson compile -C build >/dev/null
echo "Built. Runnable now:"
echo "  meson test -C build --list        # the C++ test programs"
find build -path "*/bench/*" -type f -executable -name "*_bench" -printf "  %p   (benchmark)\n" 2>/dev/null || true
