#!/usr/bin/env bash
# The main job: builds the project, then
#   1. shows moxd, the console mouse server, at work on a real Linux console:
#      this kind of machine has no mouse and no console to look at, so an
#      amd64 kernel boots under QEMU (tests/vm), where a virtual mouse and
#      tablet point, select and paste while an example client program
#      receives the events; the console's screen is printed as text, the
#      selection and the pointer in reverse video;
#   2. runs mox2-daemon once against a PS/2 mouse: the machine's /dev/psaux
#      when it has one, else a simulated mouse (a pseudo-terminal that answers
#      like the kernel's /dev/psaux, visible at /dev/psaux only inside the
#      daemon's private mount namespace) that reports the left button held.
# MOX_DEMO_SIMULATED=1 uses the simulated mouse even where /dev/psaux exists.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
tests/vm/run-vm.sh prepare amd64

cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" >/dev/null

echo "== moxd (booting a guest: about 15 seconds)"
set +e
out=$(tests/vm/run-vm.sh guest --timeout 120 --file build/moxd --file build/mox-client \
    build build/moxd_demo 2>&1)
status=$?
set -e
printf '%s\n' "$out" | sed -n '/^== moxd_demo output$/,/^== moxd_demo in the amd64 guest/{//!p}'
if [ "$status" -ne 0 ]; then
    printf '%s\n' "$out" | tail -n 20 >&2
    echo "demo: the guest run failed (status $status)" >&2
    exit 1
fi

echo
echo "== mox2-daemon"
# Through a pipe, as a log would take it: the button lines, written straight
# to the output, come before the buffered probe lines.
set +e
if [ -c /dev/psaux ] && [ -z "${MOX_DEMO_SIMULATED:-}" ]; then
    echo "(on this machine's /dev/psaux: move the mouse or press a button within 5 s)"
    ./build/mox2-daemon | cat
    status=${PIPESTATUS[0]}
else
    echo "(against the simulated PS/2 mouse, left button held)"
    ./build/tests/ps2sim --packet 09 -- ./build/mox2-daemon | cat
    status=${PIPESTATUS[0]}
    if [ "$status" -eq 77 ]; then
        echo "demo: no private mount namespace for the simulated mouse (run as root)" >&2
        exit 1
    fi
fi
set -e
echo "mox2-daemon exit status: $status"
