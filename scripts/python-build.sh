# Sourced by the Python test scripts (bash): builds the module, the simulated torso and the CAN
# preload library for one interpreter, after installing the Debian packages the tests need.
# In:  $1 the interpreter (a command, a path, or a version such as 3.13, looked up among
#      pyenv's versions first; default: Debian's python3); optional variables
#      build_suffix (appended to the build directory's name) and extra_setup_args (an array of
#      further meson options, e.g. a sanitizer) and werror (default true).
# Out: repo, debian_python, python (the interpreter to run pytest with), tag (e.g. 311),
#      build (the build directory, relative to repo). The working directory becomes the repo.
cd "$(dirname "${BASH_SOURCE[0]}")/.."
repo=$PWD

scripts/setup-debian.sh python3-mypy python3-numpy python3-venv

debian_python=/usr/bin/python3

interpreter() {
    local wanted=$1
    if [[ $wanted =~ ^[0-9]+\.[0-9]+$ ]]; then
        # pyenv may be installed without being on PATH (a CI shell, say): look in its root too.
        local root
        for root in "$(pyenv root 2>/dev/null)" "${PYENV_ROOT:-$HOME/.pyenv}"; do
            for candidate in "$root"/versions/"$wanted"*/bin/python"$wanted"; do
                [[ -x $candidate ]] && { echo "$candidate"; return; }
            done
        done
        wanted=python$wanted
    fi
    command -v "$wanted"
}
python=$(interpreter "${1:-$debian_python}")
tag=$("$python" -c 'import sys; print(f"{sys.version_info[0]}{sys.version_info[1]}")')
build=build-py$tag${build_suffix:-}

# Another interpreter (pyenv's 3.13, say) has neither pytest nor the distutils that Meson 1.0
# asks the interpreter about. A virtual environment of it borrows both from Debian's packages,
# which are pure Python: pytest, and setuptools' copy of distutils.
if ! "$python" -c 'import pytest, distutils.command.install' 2>/dev/null; then
    venv=$repo/$build/venv
    if [[ ! -x $venv/bin/python ]]; then
        "$python" -m venv --without-pip "$venv"
        site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
        debian_site=$("$debian_python" -c 'import os, pytest; print(os.path.dirname(os.path.dirname(pytest.__file__)))')
        printf '%s\nimport _distutils_hack; _distutils_hack.add_shim()\n' "$debian_site" \
            > "$site/debian-pure-python.pth"
    fi
    python=$venv/bin/python
fi

setup_args=(-Dpython="$python" -Dtests=disabled -Dbenchmarks=disabled -Dwerror="${werror:-true}" ${extra_setup_args[@]+"${extra_setup_args[@]}"})
if [[ -f $build/build.ninja ]]; then
    # configure, not setup --reconfigure: Meson 1.0 keeps old compiler arguments on the latter.
    meson configure "$build" "${setup_args[@]}" >/dev/null
else
    meson setup "$build" "${setup_args[@]}" >/dev/null
fi
suffix=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX").removesuffix(".so"))')
if ! meson compile -C "$build" -j 2 "kestro_motor_controller$suffix" kestro-torso-sim kestro_can_preload \
        >"$build/python-build.log" 2>&1; then
    tail -n 40 "$build/python-build.log"
    echo "build of $build: FAILED"
    exit 1
fi
