#!/usr/bin/env bash
# The main job: builds the project, then
#   1. runs mox2-daemon once against a PS/2 mouse: the machine's /dev/psaux when
#      it has one, else a simulated mouse (a pseudo-terminal that answers like
#      the kernel's /dev/psaux, visible at /dev/psaux only inside the daemon's
#      private mount namespace) that reports the left button held;
# MOX_DEMO_SIMULATED=1 uses the simulated mouse even where /dev/psaux exists.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh

cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" >/dev/null

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
