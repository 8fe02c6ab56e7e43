#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehavior-
# Sanitizer) and runs one of them for a while over a scratch copy of its seed
# corpus. Fails on any crash, sanitizer report, leak or timeout.
#
#   scripts/fuzz.sh [TARGET [SECONDS]]      defaults: argsift 60
#   MOX_FUZZ_BUILD_DIR=dir scripts/fuzz.sh  builds there instead of build-fuzz
set -euo pipefail
cd "$(dirname "$0")/.."

target=${1:-argsift}
seconds=${2:-60}
corpus=fuzz/corpus/$target
if [ ! -d "$corpus" ]; then
    echo "fuzz.sh: no seed corpus $corpus" >&2
    exit 2
fi

if [ -n "${MOX_FUZZ_BUILD_DIR:-}" ]; then
    build=$MOX_FUZZ_BUILD_DIR
    cmake --preset fuzz -B "$build" >/dev/null
else
    build=build-fuzz
    cmake --preset fuzz >/dev/null
fi
cmake --build "$build" -j 2 --target "${target}_fuzz"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus" "$work/artifacts"
cp -r "$corpus/." "$work/corpus/"

# -error_exitcode: findings exit with 77, so any other failure is told apart;
# leak detection is on by default with AddressSanitizer.
status=0
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
    "$build/fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -detect_leaks=1 -error_exitcode=77 -timeout_exitcode=78 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" "$work/corpus" >"$work/log" 2>&1 || status=$?

found=$(grep -E 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|SUMMARY:' \
    "$work/log" || true)
execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -n 1)
secs=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$work/log" | tail -n 1)
echo "fuzz $target: ${execs:-?} executions in ${secs:-?} s, corpus $(ls "$work/corpus" | wc -l) inputs"

if [ "$status" -ne 0 ] || [ -n "$found" ] || [ -n "$(ls -A "$work/artifacts")" ]; then
    tail -n 60 "$work/log" >&2
    mkdir -p "$build/fuzz-findings"
    cp -r "$work/artifacts/." "$build/fuzz-findings/" 2>/dev/null || true
    echo "fuzz $target: FAILED (exit $status); reproducers in $build/fuzz-findings" >&2
    exit 1
fi
echo "fuzz $target: no findings"
