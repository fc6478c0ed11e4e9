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

if ((${#missing[@]} == 0)); then
    exit 0
fi

echo "setup: installing ${missing[*]}"
sudo=()
if [[ $(id -u) -ne 0 ]]; then sudo=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
