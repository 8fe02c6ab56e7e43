#!/usr/bin/env python3
"""Prints each module's figure over its reference's, from the medians that
Google Benchmark wrote as JSON (bench_client, bench_argsift, bench_daemon,
bench_moxd).

Socket sends and the parser are compared in thread CPU time (the machine
may be shared: wall time would mostly measure the neighbours); admission is
timed manually in thread CPU time by the benchmark itself, and the daemon's
run in wall time, as it spans several processes, as do moxd's figures."""
import json
import sys

# (label, measured, reference, goal or None, field)
RATIOS = [
    ("do_client, top client takes the event / bare send", "BM_DoClient/passed_over:0",
     "BM_BareSend", 1.10, "cpu_time"),
    ("do_client, 64 passed over first / bare send", "BM_DoClient/passed_over:64",
     "BM_BareSend", 1.25, "cpu_time"),
    ("  the walk past 64 alone / bare send", "BM_DoClientWalkOnly/passed_over:64",
     "BM_BareSend", None, "cpu_time"),
    ("parse_options short / getsubopt+strtol", "BM_ParseOptionsShort", "BM_GetsuboptShort",
     1.5, "cpu_time"),
    ("parse_options long / getsubopt+strtol", "BM_ParseOptionsLong", "BM_GetsuboptLong",
     1.5, "cpu_time"),
    ("admission, 0 linked / bare accept+read", "BM_AcceptClientConnection/linked:0/manual_time",
     "BM_BareAcceptRead/linked:0/manual_time", 1.25, "real_time"),
    ("admission, 1000 linked / bare accept+read",
     "BM_AcceptClientConnection/linked:1000/manual_time",
     "BM_BareAcceptRead/linked:1000/manual_time", 1.25, "real_time"),
    ("admission, 1000 linked / 0 linked", "BM_AcceptClientConnection/linked:1000/manual_time",
     "BM_AcceptClientConnection/linked:0/manual_time", None, "real_time"),
    ("  accept+poll+read / bare accept+read", "BM_BareAcceptPollRead/linked:0/manual_time",
     "BM_BareAcceptRead/linked:0/manual_time", None, "real_time"),
    ("  accept+read+SO_PEERCRED / bare accept+read",
     "BM_BareAcceptReadCred/linked:0/manual_time", "BM_BareAcceptRead/linked:0/manual_time",
     None, "real_time"),
    ("daemon run less settle / runner alone", "BM_DaemonRunLessSettle/iterations:20/manual_time",
     "BM_RunnerAlone/iterations:20/manual_time", None, "real_time"),
    ("moxd, motion to client / bare server", "BM_Moxd_MotionToClient/min_time:2.000/real_time",
     "BM_Floor_BareServer/min_time:2.000/real_time", 1.5, "real_time"),
    ("  bare server / the same calls in one process", "BM_Floor_BareServer/min_time:2.000/real_time",
     "BM_Floor_ReadIoctlSend/min_time:2.000/real_time", None, "real_time"),
    ("moxd pointer, beside a client never reading / alone",
     "BM_Moxd_Pointer/1/min_time:2.000/real_time", "BM_Moxd_Pointer/0/min_time:2.000/real_time",
     None, "real_time"),
    ("moxd pointer, beside a client flooding requests / alone",
     "BM_Moxd_Pointer/2/min_time:2.000/real_time", "BM_Moxd_Pointer/0/min_time:2.000/real_time",
     None, "real_time"),
]

# Counters reported as they are: (label, benchmark, counter)
COUNTERS = [
    ("moxd wake-ups over 10 s of idle", "BM_Moxd_IdleWakeups/iterations:1/real_time", "wakeups"),
]

# moxd's streams beside the floor's, from the counters of BM_Stream/TARGET/STREAM
# (targets: 0 floor, 1 moxd, 2 moxd with a client, 3 floor that sends the
# record too; streams: 0 1 kHz, 1 bursts, 2 8 kHz bursts):
# (label, measured target, reference target)
STREAM_PAIRS = [("moxd / floor", 1, 0), ("moxd+client / floor+send", 2, 3)]
STREAMS = ["1 kHz", "bursts", "8 kHz"]
# (counter, label, goal or None)
STREAM_COUNTERS = [
    ("lat_p50_us", "latency median", 1.3),
    ("lat_p99_us", "latency p99", None),
    ("cpu_per_1000_us", "CPU per 1000 frames", 1.5),
]
SYSCALL_NAME = "BM_SyscallsPerFrame/%d/iterations:1/real_time"
TARGETS = ["floor", "moxd", "moxd+client", "floor+send"]


def stream_name(target, stream):
    return "BM_Stream/%d/%d/iterations:1/real_time" % (target, stream)


def stream_ratios(med):
    """moxd's ratios first: per stream, latency and CPU against the floor."""
    for stream, sname in enumerate(STREAMS):
        for plabel, a, r in STREAM_PAIRS:
            ma, mr = med.get(stream_name(a, stream)), med.get(stream_name(r, stream))
            if ma is None or mr is None:
                print(f"{sname + ', ' + plabel:58} (not run)")
                continue
            for counter, clabel, goal in STREAM_COUNTERS:
                if counter not in ma or counter not in mr or mr[counter] == 0:
                    continue
                ratio = ma[counter] / mr[counter]
                verdict = "" if goal is None else ("  goal <= %.2f: %s" % (goal, "met" if ratio <= goal else "MISSED"))
                label = f"{sname}, {plabel}, {clabel}"
                print(f"{label:58} {ma[counter]:10.1f} / {mr[counter]:10.1f} us = {ratio:5.2f}{verdict}")
            if stream == 2 and "cpu_per_motion_s_ms" in ma and "cpu_per_motion_s_ms" in mr:
                a_ms, r_ms = ma["cpu_per_motion_s_ms"], mr["cpu_per_motion_s_ms"]
                label = f"{sname}, {plabel}, CPU per second of motion"
                print(f"{label:58} {a_ms:10.1f} / {r_ms:10.1f} ms = {a_ms / r_ms:5.2f}")
    for t, tname in enumerate(TARGETS):
        m = med.get(SYSCALL_NAME % t)
        if m is not None and "syscalls_per_frame" in m:
            print(f"{'system calls per frame (1 kHz), ' + tname:58} {m['syscalls_per_frame']:g}")


def medians(paths):
    found = {}
    for path in paths:
        try:
            with open(path) as f:
                data = json.load(f)
        except (OSError, ValueError):
            continue
        for b in data.get("benchmarks", []):
            if b.get("aggregate_name") == "median":
                found[b["run_name"]] = b
    return found


def main():
    moxd_only = len(sys.argv) > 1 and sys.argv[1] == "--moxd"
    med = medians(sys.argv[2:] if moxd_only else sys.argv[1:])
    stream_ratios(med)
    if moxd_only:
        return
    for label, name, ref, goal, field in RATIOS:
        if name not in med or ref not in med:
            print(f"{label:58} (not run)")
            continue
        a, r = med[name], med[ref]
        ratio = a[field] / r[field]
        verdict = "" if goal is None else ("  goal <= %.2f: %s" % (goal, "met" if ratio <= goal else "MISSED"))
        print(f"{label:58} {a[field]:10.1f} / {r[field]:10.1f} {a['time_unit']:2} = {ratio:5.2f}{verdict}")
    for label, name, counter in COUNTERS:
        if name not in med or counter not in med[name]:
            print(f"{label:58} (not run)")
            continue
        print(f"{label:58} {med[name][counter]:g}")


if __name__ == "__main__":
    main()
