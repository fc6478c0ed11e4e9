#!/usr/bin/env bash
# Runs the libFuzzer harnesses of fuzz/ (the double formatter, the encoder
# round trip and the renderer's structure), each for a bounded time.
#
#   bash scripts/fuzz.sh                 # 20 s each: what CI runs (make check-fuzz)
#   bash scripts/fuzz.sh 3600            # an hour each (make fuzz FUZZ_SECONDS=3600)
#   bash scripts/fuzz.sh 14400 encode_settings   # four hours, one harness
#
# Each harness starts from its committed seeds (fuzz/corpus/NAME, never
# written to) and keeps what it finds in build/fuzz/corpus/NAME, so a
# later run goes on from there. An input that breaks a property, crashes,
# or trips AddressSanitizer or UndefinedBehaviorSanitizer is saved under
# build/fuzz/artifacts/NAME/ and fails the run; reproduce it with
#   build/fuzz/fuzz/NAME_fuzzer build/fuzz/artifacts/NAME/crash-...
#
# Environment: B_FUZZ (build directory, default build/fuzz), FUZZ_CXX
# (default clang++-19: clang 14 cannot compile libstdc++ 12's <expected>),
# FUZZ_ARGS (more libFuzzer flags, e.g. "-jobs=2 -workers=2").
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
shift || true
harnesses=("$@")
if ((${#harnesses[@]} == 0)); then
    harnesses=(format_double encode_settings pretty_protocol)
fi
build=${B_FUZZ:-build/fuzz}

if [[ ! -f $build/build.ninja ]]; then
    # shellcheck disable=SC2086
    CXX=${FUZZ_CXX:-clang++-19} meson setup "$build" \
        -Dmodule=false -Dmodel_tests=false -Dfuzz=true ${MESON_FLAGS:-}
fi
ninja -C "$build" fuzzers

summary=()
failed=0
for name in "${harnesses[@]}"; do
    fuzzer=$build/fuzz/${name}_fuzzer
    seeds=fuzz/corpus/$name
    work=$build/corpus/$name
    artifacts=$build/artifacts/$name
    log=$build/$name.log
    [[ -x $fuzzer ]] || { echo "fuzz: no harness named $name" >&2; exit 2; }
    mkdir -p "$work" "$artifacts"
    echo "fuzz: $name for $seconds s"
    status=0
    # -timeout: one input taking 10 s is a hang; -rss_limit_mb: the
    # harnesses bound every list, so 2 GiB is a leak or runaway growth.
    # shellcheck disable=SC2086
    "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" ${FUZZ_ARGS:-} \
        "$work" "$seeds" >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    corpus=$(find "$work" -type f | wc -l)
    if ((status != 0)); then
        failed=1
        tail -n 60 "$log"
        summary+=("$name: FAILED (exit $status) after ${runs:-?} executions; input in $artifacts/")
    else
        summary+=("$name: ${runs:-?} executions in $seconds s, 0 failures, corpus $corpus inputs")
    fi
done

printf 'fuzz: %s\n' "${summary[@]}"
exit "$failed"
