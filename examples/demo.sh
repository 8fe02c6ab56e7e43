#!/usr/bin/env bash
# demo.sh: EXAMPLE run of the console mouse server's client module.
#
# Starts the example server mox-refserver in a private mount namespace with a
# fresh tmpfs over /dev, so that its control socket /dev/moxctl never appears
# in the machine's real /dev; attaches two example clients (mox-client) to
# console 2 with different masks; feeds the server a short scripted stream of
# mouse events and a console resize; then prints what the server decided for
# each event and what each client received.
#
# usage: examples/demo.sh [BUILD_DIR]     (as root; BUILD_DIR defaults to build)
# Exit status: 0 after a complete run, 77 when not run as root, 1 otherwise.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
build=$(cd "$build" && pwd)
server=$build/mox-refserver
client=$build/mox-client
for prog in "$server" "$client"; do
    [ -x "$prog" ] || { echo "demo: $prog not built (cmake --build $build)" >&2; exit 1; }
done

if [ "${MOX_DEMO_INSIDE:-}" != 1 ]; then
    if [ "$(id -u)" != 0 ]; then
        echo "demo: run as root (it needs a private mount namespace)" >&2
        exit 77
    fi
    MOX_DEMO_INSIDE=1 exec unshare --mount --propagation private "$0" "$build"
fi

# Inside the namespace: a private /dev with the few nodes a shell needs.
mount -t tmpfs -o mode=0755,size=1m tmpfs /dev
mknod -m 666 /dev/null c 1 3
ln -s /proc/self/fd /dev/fd

work=$(mktemp -d /tmp/mox-demo.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkfifo "$work/input"

# Waits (up to 5 s) until FILE has a line containing TEXT.
wait_for() {
    local file=$1 text=$2 i
    for ((i = 0; i < 100; i++)); do
        grep -qF -- "$text" "$file" 2>/dev/null && return 0
        sleep 0.05
    done
    echo "demo: gave up waiting for \"$text\" in $(basename "$file")" >&2
    exit 1
}

"$server" --options 'dpi=400,swap' <"$work/input" >"$work/server" 2>&1 &
server_pid=$!
exec 3>"$work/input"            # the server's standard input, fed step by step
echo "resize cols=80 rows=25" >&3
echo "state x=40 y=12 buttons=0 clicks=0" >&3
echo "event vc=3 type=move x=5 y=5 dx=-1" >&3  # console 3 has no client
wait_for "$work/server" "listening on"

# B attaches first, so A, attached later, is the top of console 2's stack.
# B takes moves, presses and releases with any modifier; with "hard" in its
# default mask a release it receives still reaches the server's own handling.
"$client" --name B --vc 2 --events move,down,up --default hard,up \
    --request state --request nopaste --request buttons >"$work/B" 2>&1 &
b_pid=$!
wait_for "$work/B" "answer to buttons"
# A takes moves only while no modifier is held, and leaves presses and
# releases to the clients below it (its default mask has them).
"$client" --name A --vc 2 --events move --default down,up --max-mod 0 \
    --request buttons >"$work/A" 2>&1 &
a_pid=$!
wait_for "$work/A" "answer to buttons"

cat >&3 <<'SCRIPT'
wait clients=2
# 2: a plain move: A, on top, wants moves
event vc=2 type=move x=41 y=12 dx=1 dy=0
# 3: a press: A passes it on (down is in its default mask), B takes it
event vc=2 type=down x=41 y=12 buttons=4 clicks=1
# 4: a move with Ctrl (mod 4) held: A allows no modifier, so B gets it
event vc=2 type=move x=42 y=12 dx=1 mod=4
# 5: a drag: A does not want it and its default mask lacks it: the walk stops
event vc=2 type=drag x=43 y=13 dx=1 dy=1 buttons=4
# 6: a release: B takes it, and "hard" in its default mask lets it go on
event vc=2 type=up x=43 y=13 buttons=0 clicks=1
resize cols=100 rows=40
SCRIPT
wait_for "$work/A" "SIGWINCH"
wait_for "$work/B" "SIGWINCH"
echo quit >&3
exec 3>&-
wait "$server_pid"
wait "$a_pid" "$b_pid"

echo "== mox-refserver (stdout, and its module reports on stderr)"
cat "$work/server"
echo
echo "== client A (top of console 2)"
cat "$work/A"
echo
echo "== client B (below A)"
cat "$work/B"
