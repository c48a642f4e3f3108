#!/usr/bin/env bash
# Builds the Python module for one interpreter and tests it: the pytest suite against the
# simulated torso and, for Debian's own interpreter, the type stub (mypy's stubtest) and
# `pip install .` in a virtual environment. The last line of output is pytest's summary.
# Usage: scripts/test-python.sh [PYTHON]
#   PYTHON: a command, a path, or a version such as 3.13 (looked up among pyenv's versions
#   first); default: Debian's python3.
set -euo pipefail
# shellcheck source=python-build.sh
source "$(dirname "$0")/python-build.sh"

run=$(mktemp -d)
trap 'rm -rf "$run"' EXIT
status=0

if [[ $tag == $("$debian_python" -c 'import sys; print(f"{sys.version_info[0]}{sys.version_info[1]}")') ]]; then
    # stubtest imports the built module and compares it with the stub beside its sources.
    if ! (cd "$run" && MYPYPATH=$repo/src/bindings PYTHONPATH=$repo/$build/src/bindings \
            "$debian_python" -m mypy.stubtest kestro_motor_controller \
            >"$run/stubtest.log" 2>&1); then
        cat "$run/stubtest.log"
        echo "stubtest: FAILED"
        status=1
    fi

    # The package as a user installs it: meson-python builds the wheel with the Debian
    # packages of the build system, so no index is needed. The environment and the build
    # directory are kept, so that later runs rebuild only what changed; meson-python leaves
    # its machine file in the source tree, which is removed again. The bring-up tool is installed
    # with the module, onto the environment's PATH.
    pip_build=$repo/build-pip
    [[ -x $pip_build/venv/bin/python ]] || "$debian_python" -m venv --system-site-packages "$pip_build/venv"
    if ! "$pip_build/venv/bin/python" -m pip install --no-build-isolation --no-deps --no-index \
            --config-settings=builddir="$pip_build/meson" "$repo" >"$run/pip.log" 2>&1 ||
       ! (cd "$run" && "$pip_build/venv/bin/python" -c '
import os, kestro_motor_controller as k
here = os.path.dirname(k.__file__)
assert os.path.isfile(os.path.join(here, "kestro_motor_controller.pyi")), "no stub beside the module"
assert k.KestroMotorController.__name__ == "KestroMotorController"
' >>"$run/pip.log" 2>&1) ||
       [[ $(cd "$run" && env PATH="$pip_build/venv/bin:$PATH" kestro-torso --help 2>>"$run/pip.log") \
            != "usage: kestro-torso"* ]]; then
        cat "$run/pip.log"
        echo "pip install: FAILED"
        status=1
    fi
    rm -f "$repo/.mesonpy-native-file.ini"
fi

# The interpreter starts with the CAN preload library, so that the module reaches the
# simulated neck through its ordinary SocketCAN calls on interface can0.
simulator_env "$repo/$build/sim/can_preload/libkestro_can_preload.so" \
    "$repo/$build/sim/torso/kestro-torso-sim" "$run"
env PYTHONPATH="$repo/$build/src/bindings" "${sim_env[@]}" "$python" -m pytest -p no:cacheprovider -q tests/python \
    -W "ignore::DeprecationWarning:_pytest.assertion.rewrite" || status=$?
exit $status
