# Sourced by the Python test scripts and the demo (bash): builds the module, the simulated
# torso and the CAN preload library for one interpreter, after installing the Debian packages
# the tests need.
# In:  $1 the interpreter (a command, a path, or a version such as 3.13, looked up among
#      pyenv's versions first; default: Debian's python3); optional variables
#      build_suffix (appended to the build directory's name) and extra_setup_args (an array of
#      further meson options, e.g. a sanitizer) and werror (default true).
# Out: repo, debian_python, python (the interpreter to run pytest with), tag (e.g. 311),
#      build (the build directory, relative to repo). The working directory becomes the repo.
cd "$(dirname "${BASH_SOURCE[0]}")/.."
repo=$PWD

scripts/setup-debian.sh python3-mypy python3-numpy python3-venv

# shellcheck source=python-env.sh
source scripts/python-env.sh
# shellcheck source=lib.sh
source scripts/lib.sh

interpreter() {
    if [[ $1 =~ ^[0-9]+\.[0-9]+$ ]]; then
        pyenv_python "$1" 2>/dev/null || command -v "python$1"
    else
        command -v "$1"
    fi
}
python=$(interpreter "${1:-$debian_python}")
tag=$("$python" -c 'import sys; print(f"{sys.version_info[0]}{sys.version_info[1]}")')
build=build-py$tag${build_suffix:-}

# Another interpreter (pyenv's 3.13, say) has neither pytest nor the distutils that Meson 1.0
# asks the interpreter about: a virtual environment of it borrows Debian's.
if ! "$python" -c 'import pytest, distutils.command.install' 2>/dev/null; then
    python=$(borrowing_venv "$python" "$repo/$build/venv")
fi

setup_args=(-Dpython="$python" -Dtests=disabled -Dbenchmarks=disabled -Dwerror="${werror:-true}" ${extra_setup_args[@]+"${extra_setup_args[@]}"})
configure_build "$build" "${setup_args[@]}"
suffix=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX").removesuffix(".so"))')
if ! meson compile -C "$build" -j 2 "kestro_motor_controller$suffix" kestro-torso-sim kestro_can_preload \
        >"$build/python-build.log" 2>&1; then
    tail -n 40 "$build/python-build.log"
    echo "build of $build: FAILED"
    exit 1
fi
