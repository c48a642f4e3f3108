#!/usr/bin/env bash
# Builds the installable packages into dist/, offline (no package index): a wheel for Debian's
# python3, one each for pyenv's Python 3.12 and 3.13, one linux_armv7l wheel cross-built for the
# board's CPython 3.11, and an sdist, which is then built back into a wheel of its own. Each wheel
# has its own kept build directory (build-wheel-*/meson), so that later runs rebuild only what
# changed.
# Usage: scripts/build-wheels.sh
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

scripts/setup-debian.sh patchelf python3-build python3-venv
ARMHF_HOME=${ARMHF_HOME:-$HOME/.cache/armhf}
export ARMHF_HOME
if [[ ! -x $ARMHF_HOME/qemu-arm || ! -f $ARMHF_HOME/armhf-cross.ini ]]; then
    ../shared/tools/armhf/setup.sh
fi

# shellcheck source=python-env.sh
source scripts/python-env.sh
# meson-python writes its machine file into the source tree; it is not ours to leave behind.
trap 'rm -f "$repo/.mesonpy-native-file.ini"' EXIT

# build_wheel NAME PYTHON [CONFIG-SETTING...]: one wheel into dist/, log in build-wheel-NAME/.
build_wheel() {
    local name=$1 python=$2 dir=build-wheel-$1
    shift 2
    mkdir -p "$dir"
    # meson-python reconfigures a kept build directory only when its machine file in the
    # source tree is unchanged (and fails to set up a new one if it is); the wheels take turns
    # with it, so it is written back first, or removed.
    rm -f "$repo/.mesonpy-native-file.ini"
    if [[ -f $dir/meson/build.ninja ]]; then
        "$python" -c 'import sys, textwrap; print(end=textwrap.dedent(f"""
            [binaries]
            python = {sys.executable!r}
        """))' > "$repo/.mesonpy-native-file.ini"
    fi
    local start=$SECONDS
    if ! "$python" -m build --wheel --no-isolation --outdir dist \
            -Cbuilddir="$repo/$dir/meson" "$@" . >"$dir/build.log" 2>&1; then
        tail -n 40 "$dir/build.log"
        echo "wheel $name: FAILED"
        exit 1
    fi
    echo "wheel $name: built in $((SECONDS - start)) s"
}

rm -rf dist
mkdir dist
build_wheel py311 "$debian_python"
for version in 3.12 3.13; do
    build_wheel "py${version/./}" "$(borrowing_venv "$(pyenv_python "$version")" "$repo/build-wheel-py${version/./}/venv")"
done
# The armhf module: the cross file makes Meson use the sysroot's compiler and CPython, and
# meson-python runs in the board's interpreter under qemu-arm, so that the wheel's tags and
# the module's suffix are that interpreter's. meson-python is pure Python and is borrowed
# from Debian's packages through a link (qemu would map a /usr path into the sysroot). It is
# called directly: the emulated interpreter cannot start itself as a child process.
mkdir -p build-wheel-armhf
ln -sfn "$("$debian_python" -c 'import os, mesonpy; print(os.path.dirname(os.path.dirname(mesonpy.__file__)))')" \
    build-wheel-armhf/debian-pure-python
rm -f "$repo/.mesonpy-native-file.ini"
start=$SECONDS
if ! PYTHONPATH=$repo/build-wheel-armhf/debian-pure-python "$ARMHF_HOME/bin/python3.11-armhf" -c '
import sys, mesonpy
mesonpy.build_wheel("dist", {"builddir": sys.argv[1], "setup-args": ["--cross-file=" + sys.argv[2]]})
' "$repo/build-wheel-armhf/meson" "$ARMHF_HOME/armhf-cross.ini" >build-wheel-armhf/build.log 2>&1; then
    tail -n 40 build-wheel-armhf/build.log
    echo "wheel armhf: FAILED"
    exit 1
fi
echo "wheel armhf: built in $((SECONDS - start)) s"

# The sdist is the committed tree (meson dist).
mkdir -p build-wheel-sdist
if ! "$debian_python" -m build --sdist --no-isolation --outdir dist \
        -Cbuilddir="$repo/build-wheel-sdist/meson" . >build-wheel-sdist/build.log 2>&1; then
    tail -n 40 build-wheel-sdist/build.log
    echo "sdist: FAILED"
    exit 1
fi
# The sdist must build on its own: unpacked into a fresh directory, it builds a wheel (kept out of
# dist/, which holds what ships) that scripts/test-wheels.sh installs and tests like the others.
# Its files must be those of the wheel built from the tree.
rm -rf build-wheel-sdist/src build-wheel-sdist/dist build-wheel-sdist/meson-from-sdist
mkdir -p build-wheel-sdist/src
tar -xzf dist/*.tar.gz -C build-wheel-sdist/src
start=$SECONDS
if ! (cd build-wheel-sdist/src/* && "$debian_python" -m build --wheel --no-isolation \
        --outdir "$repo/build-wheel-sdist/dist" -Cbuilddir="$repo/build-wheel-sdist/meson-from-sdist" .) \
        >build-wheel-sdist/build-from-sdist.log 2>&1; then
    tail -n 40 build-wheel-sdist/build-from-sdist.log
    echo "wheel from the sdist: FAILED"
    exit 1
fi
echo "wheel from the sdist: built in $((SECONDS - start)) s"
wheel_files() { "$debian_python" -c 'import sys, zipfile; print(*sorted(zipfile.ZipFile(sys.argv[1]).namelist()), sep="\n")' "$1"; }
if ! diff <(wheel_files dist/*-cp311-linux_x86_64.whl) <(wheel_files build-wheel-sdist/dist/*.whl); then
    echo "wheel from the sdist: FAILED (its files differ from the wheel built from the tree)"
    exit 1
fi
ls -l dist
echo "wheels: $(find dist -name '*.whl' | wc -l) wheels and $(find dist -name '*.tar.gz' | wc -l) sdist in dist/"
