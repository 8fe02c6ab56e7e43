#!/usr/bin/env bash
# Builds everything and runs every test, as root on Debian 12:
#   1. the native suite, warnings as errors (benchmarks built, not timed),
#      built with g++; then the Debian packages (scripts/package.sh: built,
#      checked with lintian, installed with no service started, used and
#      purged); then the suite again built with clang;
#   2. the same suite under AddressSanitizer + UndefinedBehaviorSanitizer;
#   3. a short libFuzzer run of each fuzz target;
#   4. under QEMU: the guest-only test programs of the native build in the
#      amd64 test guest (real consoles, uinput, udev, libinput), then the
#      daemon on a real i386 kernel and the whole suite built for i386 and
#      run inside the i386 guest.
# Set MOX_SKIP_VM=1 to leave out step 4, MOX_SKIP_PACKAGE=1 to leave out the
# packages, and MOX_FUZZ_SECONDS to change the length of each fuzz run
# (default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh

jobs=$(nproc)
fuzz_seconds=${MOX_FUZZ_SECONDS:-60}

echo "== native build and tests"
cmake --preset ci >/dev/null
cmake --build --preset ci -j "$jobs"
ctest --preset ci -j "$jobs"

if [ -z "${MOX_SKIP_PACKAGE:-}" ]; then
    echo "== Debian packages: built, lintian, installed with no service started, used, purged"
    ./scripts/package.sh
fi

echo "== clang build and tests, warnings as errors"
cmake --preset clang >/dev/null
cmake --build --preset clang -j "$jobs"
ctest --preset clang -j "$jobs"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build and tests"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"

echo "== fuzzing"
for target in fuzz/corpus/*/; do
    ./scripts/fuzz.sh "$(basename "$target")" "$fuzz_seconds"
done

if [ -z "${MOX_SKIP_VM:-}" ]; then
    echo "== the amd64 test guest: consoles and input devices of a real amd64 kernel under QEMU"
    tests/vm/run-vm.sh prepare amd64
    cmake --preset ci -B build-vm -DMOX_VM_GUEST_TESTS=ON -DMOX_BUILD_BENCH=OFF >/dev/null
    cmake --build build-vm -j "$jobs" --target vm_guest_programs
    ctest --test-dir build-vm -L vm --output-on-failure

    echo "== real kernels under QEMU: the daemon on i386's /dev/psaux, the suite built for i386"
    tests/vm/run-vm.sh prepare i386
    cmake --preset i386 >/dev/null
    cmake --build --preset i386
    ctest --preset i386
fi
