#!/usr/bin/env bash
# Tests the wheels in dist/ (scripts/build-wheels.sh) as a user installs them: each x86-64
# wheel, and the one built back from the sdist, into a fresh virtual environment of its Python;
# the armhf wheel into a fresh target directory for the board's interpreter under qemu-arm. From
# there, with no source tree or build directory on the path, it runs the Python suite (the armhf
# subset on armhf), mypy's stubtest against the installed stub, and checks where the module was
# imported from.
# Usage: scripts/test-wheels.sh
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

scripts/setup-debian.sh python3-installer python3-mypy python3-numpy python3-venv
ARMHF_HOME=${ARMHF_HOME:-$HOME/.cache/armhf}
# shellcheck source=python-env.sh
source scripts/python-env.sh
# shellcheck source=lib.sh
source scripts/lib.sh

# The simulator and the CAN preload library (not part of a wheel), from build directories of
# their own: the wheels' directories depend on meson-python's machine file in the source tree.
helpers() {
    local dir=$1
    shift
    setup_only=("$@")
    configure_build "$dir" -Dtests=disabled -Dbenchmarks=disabled
    if ! meson compile -C "$dir" -j 2 kestro-torso-sim kestro_can_preload >"$dir/test-build.log" 2>&1; then
        tail -n 40 "$dir/test-build.log"
        echo "build of the test helpers in $dir: FAILED"
        exit 1
    fi
}
helpers build-wheel-host
helpers build-wheel-host-armhf --cross-file "$ARMHF_HOME/armhf-cross.ini"
sim=$repo/build-wheel-host/sim/torso/kestro-torso-sim
preload=$repo/build-wheel-host/sim/can_preload/libkestro_can_preload.so
armhf_preload=$repo/build-wheel-host-armhf/sim/can_preload/libkestro_can_preload.so

places=$repo/build-wheel-test
rm -rf "$places"
mkdir -p "$places"
run=$(mktemp -d)
trap 'rm -rf "$run"' EXIT
status=0
failed() { echo "$1: FAILED"; status=1; }

# Checks, inside the installed place, that the module and its stub come from there and the
# tool runs; argument: the directory the module must lie in.
where_check='
import os, sys, kestro_motor_controller as k
place = os.path.realpath(sys.argv[1])
here = os.path.realpath(os.path.dirname(k.__file__))
assert os.path.commonpath([here, place]) == place, f"module imported from {here}, not from {place}"
assert "build" not in os.path.relpath(here, place).split(os.sep), here
assert os.path.isfile(os.path.join(here, "kestro_motor_controller.pyi")), "no stub beside the module"
print("installed module:", os.path.relpath(k.__file__, place))
'

# The x86-64 wheels, and the wheel scripts/build-wheels.sh built from the sdist (named -sdist).
for wheel in dist/*-linux_x86_64.whl build-wheel-sdist/dist/*-linux_x86_64.whl; do
    tag=$(basename "$wheel" | sed -E 's/.*-cp([0-9]+)-cp[0-9]+-linux_x86_64\.whl/\1/')
    [[ $wheel == build-wheel-sdist/* ]] && name=py$tag-sdist || name=py$tag
    venv=$places/venv-$name
    echo "== $(basename "$wheel") ($name)"
    if [[ $tag == 311 ]]; then
        # Debian's own interpreter: pip installs the wheel, as on the board; pytest and mypy
        # come from the system packages.
        "$debian_python" -m venv --system-site-packages "$venv"
        "$venv/bin/python" -m pip install --no-index --no-deps -q "$wheel" || { failed "install $wheel"; continue; }
    else
        # pyenv's interpreter has no pip or pytest: a fresh venv borrows Debian's pure-Python
        # pytest and installer.
        borrowing_venv "$(pyenv_python "${tag:0:1}.${tag:1}")" "$venv" >/dev/null
        "$venv/bin/python" -m installer "$wheel" || { failed "install $wheel"; continue; }
    fi
    site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
    (cd "$run" && env -u PYTHONPATH "$venv/bin/python" -c "$where_check" "$venv") || failed "installed module $name"
    [[ $(cd "$run" && env -u PYTHONPATH "$venv/bin/kestro-torso" --help 2>&1) == "usage: kestro-torso"* ]] ||
        failed "installed kestro-torso $name"
    if [[ $tag == 311 ]]; then
        # mypy is Debian's only. It reads a module's stub from site-packages only for a package
        # marked typed, so it gets a copy of the installed stub.
        mkdir -p "$run/stub"
        cp "$site/kestro_motor_controller.pyi" "$run/stub/"
        (cd "$run" && env -u PYTHONPATH MYPYPATH="$run/stub" "$venv/bin/python" -m mypy.stubtest \
            kestro_motor_controller >"$run/stubtest.log" 2>&1) || { cat "$run/stubtest.log"; failed "stubtest $name"; }
        tail -n 1 "$run/stubtest.log"
    fi
    # The suite from outside the source tree: pytest's rootdir puts only tests/python on the path.
    simulator_env "$preload" "$sim" "$run"
    (cd "$run" && env -u PYTHONPATH "${sim_env[@]}" "$venv/bin/python" -m pytest -p no:cacheprovider -q "$repo/tests/python" \
        -W "ignore::DeprecationWarning:_pytest.assertion.rewrite") || failed "pytest $name"
done

# armhf: the sysroot has no pip or venv, so Debian's installer unpacks the wheel into a target
# directory, which the board's interpreter then finds through PYTHONPATH alone.
wheel=$(ls dist/*-linux_armv7l.whl)
echo "== $(basename "$wheel")"
target=$places/armhf-target
"$debian_python" -c '
import sys
from installer import install
from installer.destinations import SchemeDictionaryDestination
from installer.sources import WheelFile
target = sys.argv[2]
scheme = {"purelib": target, "platlib": target, "scripts": target + "/bin",
          "headers": target + "/include", "data": target + "/data"}
with WheelFile.open(sys.argv[1]) as source:
    install(source, SchemeDictionaryDestination(scheme, interpreter="/usr/bin/python3",
                                                script_kind="posix"), {"INSTALLER": b"installer"})
' "$wheel" "$target" || failed "install $wheel"
armhf_python=$ARMHF_HOME/bin/python3.11-armhf
(cd "$run" && PYTHONPATH=$target "$armhf_python" -c "$where_check" "$target") || failed "installed module armhf"
# The subset names its tests from the source tree, which safe-path mode (-P) keeps off the
# interpreter's path.
simulator_env "$armhf_preload" "$sim" "$run" qemu
env "${sim_env[@]}" PYTHONPATH="$target" "$armhf_python" -P -m pytest -p no:cacheprovider -q \
    "${armhf_python_tests[@]}" || failed "pytest armhf"

((status == 0)) && echo "wheel tests: all passed" || echo "wheel tests: FAILED"
exit $status
