#!/usr/bin/env bash
# The sanitizer suite: the C++ model tests and the CPython module built
# with AddressSanitizer (leak detection on) and UndefinedBehaviorSanitizer,
# then every model test, the whole Python suite and the stress tier's
# thread stress run against that build.
# Any report, from any process, fails the check: reports are written to
# files (see sanitizer_env in meson.build) and counted at the end.
#
#   bash scripts/check-sanitize.sh        (make check-sanitize)
#
# Environment: B_SANITIZE (build directory, default build/sanitize),
# CPYTHON (default /usr/bin/python3), MESON_FLAGS (e.g. -Dwerror=true).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${B_SANITIZE:-build/sanitize}
cpython=${CPYTHON:-/usr/bin/python3}

if [[ ! -f $build/build.ninja ]]; then
    # -fno-sanitize-recover: undefined behaviour ends the process, so no
    # report can go unnoticed. GCC's flow-based warnings give false
    # positives on instrumented code (GCC's manual says so for
    # -fsanitize=address); -Wmaybe-uninitialized is the one that fires here.
    # shellcheck disable=SC2086
    meson setup "$build" -Dpython="$cpython" \
        -Db_sanitize=address,undefined -Db_lundef=false \
        -Dcpp_args="-fno-sanitize-recover=all -fno-omit-frame-pointer -Wno-maybe-uninitialized" \
        ${MESON_FLAGS:-}
fi
ninja -C "$build"

reports=$build/sanitizer-reports
rm -rf "$reports"
mkdir -p "$reports"
chmod 1777 "$reports" # tests run some children as an unprivileged user

status=0
meson test -C "$build" --print-errorlogs || status=$?
# The stress tier's thread stress too: more interleavings for the sanitizer
# to see (the leak check's full run is left out there, see pyvexa/meson.build).
meson test -C "$build" --print-errorlogs --suite stress || status=$?

mapfile -t found < <(find "$reports" -type f | sort)
if ((${#found[@]} > 0)); then
    for f in "${found[@]}"; do
        echo "===== $f"
        cat "$f"
    done
    echo "check-sanitize: ${#found[@]} sanitizer report(s), listed above" >&2
    exit 1
fi
if ((status != 0)); then
    echo "check-sanitize: tests failed (exit $status), no sanitizer report" >&2
    exit "$status"
fi
echo "check-sanitize: 0 sanitizer reports (AddressSanitizer, LeakSanitizer, UndefinedBehaviorSanitizer)"
