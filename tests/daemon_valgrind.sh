#!/bin/sh
# Memcheck over whole runs of mox2-daemon against the simulated mouse (valgrind
# on the daemon, not on the ps2sim runner), one run per path through the
# program: every button, left-overs and options with their diagnostics, a
# mouse that sends no packet. Any memcheck error or leak makes valgrind exit
# 99; the daemon itself always ends with status 1. Exit 77 is a skip: no
# valgrind, or no namespace for the mouse.
#
#   daemon_valgrind.sh VALGRIND PS2SIM DAEMON
set -u
vg=$1
ps2sim=$2
daemon=$3

if [ ! -x "$vg" ]; then
    echo "valgrind is not installed"
    exit 77
fi

failed=0
run() {
    label=$1
    shift
    # "$@": the runner's options, then -- and the daemon's arguments.
    n=0
    for a in "$@"; do
        n=$((n + 1))
        [ "$a" = "--" ] && break
    done
    sim_opts=$(printf '%s\n' "$@" | head -n $((n - 1)))
    daemon_args=$(printf '%s\n' "$@" | tail -n +$((n + 1)))
    # shellcheck disable=SC2086 # the option lists are split on purpose
    "$ps2sim" $sim_opts -- "$vg" -q --error-exitcode=99 --leak-check=full \
        --errors-for-leak-kinds=all --show-leak-kinds=all "$daemon" $daemon_args \
        >/dev/null 2>"$tmp"
    status=$?
    case $status in
    1) echo "$label: no error, no leak" ;;
    77)
        cat "$tmp"
        exit 77
        ;;
    *)
        echo "$label: exit status $status (99: memcheck found errors)"
        cat "$tmp"
        failed=1
        ;;
    esac
}

tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT

run "three buttons" --packet 0f --
run "left-overs, options" --keep-leftovers --packet 09 -- -f -x -c /etc -c
run "no packet" --no-packet --
exit $failed
