// ps2sim: runs a program with a simulated PS/2 mouse at /dev/psaux, visible
// only in the program's private mount namespace. The program's standard
// output and error pass through; its exit status becomes ours.
#include "ps2sim.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

// Exit status when the mouse could not be set up (no namespace, no pty): the
// status by which test harnesses recognise a skip.
constexpr int EXIT_NO_SETUP = 77;
constexpr int EXIT_USAGE = 2;

int usage_error(const char *what)
{
    if (what != nullptr)
        fprintf(stderr, "ps2sim: %s\n", what);
    fprintf(stderr, "usage: ps2sim [--packet HEX] [--no-packet] [--silent] [--keep-leftovers]\n"
                    "              [--timeout SECONDS] [--] PROGRAM [ARGS...]\n"
                    "  --packet HEX       movement packet, up to 3 bytes (default 08 00 00)\n"
                    "  --no-packet        answer the commands but send no packet\n"
                    "  --silent           never answer and send nothing\n"
                    "  --keep-leftovers   do not drop unread replies on a new command\n"
                    "  --timeout SECONDS  kill PROGRAM after this long (default 60)\n");
    return EXIT_USAGE;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// "09" or "090102": one to three bytes, missing ones zero.
bool parse_packet(const char *text, std::vector<uint8_t> *packet)
{
    size_t len = strlen(text);
    if (len == 0 || len % 2 != 0 || len > 6)
        return false;
    packet->assign(3, 0);
    for (size_t i = 0; i < len; i += 2) {
        int hi = hex_digit(text[i]);
        int lo = hex_digit(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        (*packet)[i / 2] = static_cast<uint8_t>(hi * 16 + lo);
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    ps2sim_run run;
    run.out = ps2sim_stream::inherit;
    run.err = ps2sim_stream::inherit;
    run.deadline_ms = 60000;

    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        const char *arg = argv[i];
        if (strcmp(arg, "--") == 0) {
            i++;
            break;
        }
        if (strcmp(arg, "--packet") == 0 && i + 1 < argc) {
            if (!parse_packet(argv[++i], &run.mouse.packet))
                return usage_error("--packet takes 1 to 3 bytes in hex, such as 09");
        } else if (strcmp(arg, "--no-packet") == 0) {
            run.mouse.packet.clear();
        } else if (strcmp(arg, "--silent") == 0) {
            run.mouse.answers = false;
        } else if (strcmp(arg, "--keep-leftovers") == 0) {
            run.mouse.discard = false;
        } else if (strcmp(arg, "--timeout") == 0 && i + 1 < argc) {
            int seconds = atoi(argv[++i]);
            if (seconds <= 0 || seconds > 3600)
                return usage_error("--timeout takes 1 to 3600 seconds");
            run.deadline_ms = seconds * 1000;
        } else {
            return usage_error(nullptr);
        }
    }
    if (i >= argc)
        return usage_error("no program to run");
    run.program = argv[i];
    run.argv.assign(argv + i, argv + argc);

    ps2sim_result result;
    if (!ps2sim_run_program(run, &result)) {
        fprintf(stderr, "ps2sim: cannot run %s: %s\n", run.program.c_str(),
                result.setup_error.c_str());
        return result.no_namespace ? EXIT_NO_SETUP : 127;
    }
    fprintf(stderr, "mouse received: %s\n", ps2sim_hex(result.received).c_str());
    if (result.killed) {
        fprintf(stderr, "ps2sim: %s killed after %d s\n", run.program.c_str(),
                run.deadline_ms / 1000);
        return 124;
    }
    if (!result.exited)
        return 128 + result.term_signal;
    return result.exit_code;
}
