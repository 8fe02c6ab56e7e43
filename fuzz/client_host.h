/* What the client module's fuzzer sees of its host (client_host.cpp). */
#ifndef MOX_FUZZ_CLIENT_HOST_H
#define MOX_FUZZ_CLIENT_HOST_H

#include <sys/types.h>

/* get_console_state answers with these. */
constexpr int HOST_CONSOLE_VC = 7;
constexpr unsigned char HOST_MODIFIERS = 0x05;

/* is_console_owner's answer (asked only when not running as root). */
extern int host_owner_answer;
/* Calls of selection_disable_paste. */
extern int host_paste_disabled;

/* The pids the module signalled with SIGWINCH, in order; the count goes on
 * past the log's size. */
constexpr int HOST_SIGNAL_LOG = 64;
extern pid_t host_signalled[HOST_SIGNAL_LOG];
extern int host_signal_count;

#endif /* MOX_FUZZ_CLIENT_HOST_H */
