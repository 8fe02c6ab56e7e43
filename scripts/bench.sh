#!/usr/bin/env bash
# Builds the optimised benchmarks (preset "bench") and runs every one of them,
# each module beside its reference, then prints the ratios of the medians.
# Run as root: the client benchmark makes its /dev/moxctl in a private mount
# namespace, and the daemon benchmark mounts its simulated mouse there too.
# moxd's benchmark needs uinput devices and a console: it runs first, in the
# amd64 test guest (tests/vm), booted once for it: the floor, moxd and moxd
# with a client attached side by side on the same streams (1 kHz, bursts,
# 8 kHz bursts), with strace for the system calls per frame; its ratios are
# printed before the other modules run.
#   BENCH_REPETITIONS  repetitions per benchmark (default 7); medians are used
#   BENCH_FILTER       --benchmark_filter regular expression (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
    echo "bench.sh: run as root (the benchmarks need a private mount namespace)" >&2
    exit 1
fi

./scripts/deps.sh python3 strace

reps=${BENCH_REPETITIONS:-7}
filter=${BENCH_FILTER:-.}
out=build-bench/bench/results
cmake --preset bench >/dev/null
cmake --build --preset bench -j 2 --target bench_client bench_argsift bench_daemon bench_moxd moxd
mkdir -p "$out"

echo "== moxd beside the floor (in the amd64 test guest, one boot)"
tests/vm/run-vm.sh prepare amd64
tests/vm/run-vm.sh guest --timeout 1800 --file build-bench/moxd --file "$(command -v strace)" \
    build-bench build-bench/bench/bench_moxd --benchmark_repetitions="$reps" \
    --benchmark_report_aggregates_only=true --benchmark_filter="$filter" \
    --benchmark_format=json >"$out/moxd.log" 2>&1 || { tail -n 20 "$out/moxd.log"; exit 1; }
sed -n '/^== bench_moxd output$/,/^== bench_moxd in the amd64 guest/{//!p}' "$out/moxd.log" \
    | sed -n '/^{/,/^}/p' >"$out/moxd.json"
echo "== moxd ratios (medians of $reps repetitions)"
python3 bench/ratios.py --moxd "$out/moxd.json"

for b in client argsift daemon; do
    echo "== $b"
    "build-bench/bench/bench_$b" --benchmark_repetitions="$reps" \
        --benchmark_report_aggregates_only=true --benchmark_filter="$filter" \
        --benchmark_out="$out/$b.json" --benchmark_out_format=json
done

echo "== ratios (medians of $reps repetitions)"
python3 bench/ratios.py "$out/client.json" "$out/argsift.json" "$out/daemon.json" "$out/moxd.json"
