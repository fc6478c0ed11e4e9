#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and runs with.
# Idempotent: when every package is already installed it does nothing.
set -euo pipefail

packages=(
    g++ pkg-config meson ninja-build
    googletest libgtest-dev libbenchmark-dev
    clang-format
    pypy3 pypy3-dev
    python3-dev python3-numpy python3-matplotlib
    python3-pytest python3-pluggy python3-iniconfig python3-packaging
    python3-exceptiongroup python3-tomli
    python3-mesonpy
    # Packaging checks: install into throwaway venvs, check the type stubs.
    python3-venv python3-pip pypy3-venv python3-mypy
    # Fuzzing: clang 14 cannot compile libstdc++ 12's <expected>; clang 19 can.
    clang-19 libclang-rt-19-dev
    # Symbolized stacks in sanitizer and fuzzer reports.
    llvm
)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    sudo=()
    if [[ $(id -u) -ne 0 ]]; then sudo=(sudo); fi
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -q
    "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# NumPy for PyPy (NUMPY_PYPY, set by the Makefile): built offline by the
# shared tool beside the clone, once per machine (about 3 minutes; the tool
# does nothing when the directory already holds a working build). Without
# the tool or its source archive, the PyPy NumPy tests are skipped.
root=$(cd "$(dirname "$0")/.." && pwd)
build_numpy=$root/../shared/tools/build-numpy-pypy.sh
archive=${NUMPY_SOURCE:-$root/../shared/vendor/numpy-1.24.4.tar.xz}
if [[ -z "${NUMPY_PYPY:-}" ]]; then
    :
elif [[ -x "$build_numpy" && -f "$archive" ]]; then
    if [[ ! -f "$NUMPY_PYPY/numpy/__init__.py" ]]; then
        echo "setup: building NumPy for PyPy into $NUMPY_PYPY (a few minutes, once per machine)"
    fi
    NUMPY_SOURCE=$archive "$build_numpy" "$NUMPY_PYPY" >/dev/null
elif [[ ! -f "$NUMPY_PYPY/numpy/__init__.py" ]]; then
    echo "setup: NOTE: no $build_numpy or no $archive:" \
        "NumPy for PyPy cannot be built, so its tests are skipped under PyPy"
fi
