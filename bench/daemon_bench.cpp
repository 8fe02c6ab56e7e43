// mox2-daemon's whole run against the simulated PS/2 mouse, less the fixed
// settle delay it sleeps after the reset and identify exchange; beside it
// the same runner executing a program that does nothing, which is what the
// private namespace, the pseudo-terminal and fork/exec cost on their own.
#include <benchmark/benchmark.h>

#include <ctime>
#include <string>

#include "ps2sim.h"

namespace
{

// The daemon sleeps this long between the identify reply and its flush.
constexpr double SETTLE_DELAY_S = 0.030;

constexpr int RUNS_PER_REPETITION = 20;

double now_s()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void run_loop(benchmark::State &state, const char *program, double fixed_delay_s,
              bool (*check)(const ps2sim_result &))
{
    ps2sim_run run;
    run.program = program;
    run.argv = {program};
    run.deadline_ms = 10000;
    for (auto _ : state) {
        ps2sim_result result;
        double t0 = now_s();
        bool started = ps2sim_run_program(run, &result);
        double t1 = now_s();
        if (!started) {
            state.SkipWithError(("the mouse could not be set up: " + result.setup_error).c_str());
            return;
        }
        if (!check(result)) {
            state.SkipWithError(("unexpected run; output: " + result.out).c_str());
            return;
        }
        state.SetIterationTime(t1 - t0 - fixed_delay_s);
    }
}

// A whole run: reset and identify answered, packet read, exit status 1.
bool daemon_ran(const ps2sim_result &r)
{
    return r.exited && r.exit_code == 1 && r.packet_sent &&
           r.out.find("RX: 0xfa\n") != std::string::npos;
}

bool nothing_ran(const ps2sim_result &r)
{
    return r.exited && r.exit_code == 0;
}

void BM_RunnerAlone(benchmark::State &state)
{
    run_loop(state, "true", 0.0, nothing_ran);
}

void BM_DaemonRunLessSettle(benchmark::State &state)
{
    run_loop(state, MOX2_DAEMON_PATH, SETTLE_DELAY_S, daemon_ran);
}

BENCHMARK(BM_RunnerAlone)
    ->UseManualTime()
    ->Iterations(RUNS_PER_REPETITION)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DaemonRunLessSettle)
    ->UseManualTime()
    ->Iterations(RUNS_PER_REPETITION)
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
