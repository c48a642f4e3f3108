# Sourced by the scripts that build for several interpreters (bash): how they find pyenv's
# Pythons and give them Debian's pure-Python packages.
# Out: debian_python; functions pyenv_python and borrowing_venv.

debian_python=/usr/bin/python3

# pyenv_python VERSION: the path of pyenv's Python VERSION (e.g. 3.13). pyenv may be installed
# without being on PATH (a CI shell, say), so its root is looked in too.
pyenv_python() {
    local root candidate
    for root in "$(pyenv root 2>/dev/null)" "${PYENV_ROOT:-$HOME/.pyenv}"; do
        for candidate in "$root"/versions/"$1"*/bin/python"$1"; do
            [[ -x $candidate ]] && { echo "$candidate"; return; }
        done
    done
    echo "no Python $1 in pyenv" >&2
    return 1
}

# borrowing_venv PYTHON VENV: the interpreter of a virtual environment of PYTHON (made once) that
# borrows Debian's packages, which are pure Python: pytest, meson-python, the build front end,
# and setuptools' copy of the distutils that Meson 1.0 asks the interpreter about.
borrowing_venv() {
    local python=$1 venv=$2 site debian_site
    if [[ ! -x $venv/bin/python ]]; then
        "$python" -m venv --without-pip "$venv"
        site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
        debian_site=$("$debian_python" -c 'import os, pytest; print(os.path.dirname(os.path.dirname(pytest.__file__)))')
        printf '%s\nimport _distutils_hack; _distutils_hack.add_shim()\n' "$debian_site" \
            > "$site/debian-pure-python.pth"
    fi
    echo "$venv/bin/python"
}
