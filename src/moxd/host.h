/* host.h: what the client and argsift modules take from the server around
 * them (declared in moxInt.h and console.h), and the server's log.
 *
 * mox_report writes one line per report to standard error with a level
 * name; under systemd's journal each line starts with its syslog priority
 * instead, so that the journal files it at the right level. */
#ifndef MOXD_HOST_H
#define MOXD_HOST_H

#include "console.h"
#include "moxInt.h"

/* Reports below this severity are dropped (default MOX_SEV_WARN). */
void host_set_log_level(int severity);
int host_log_level(void);

/* The severity named by text ("detail", "trace", "warning", "refusal",
 * "fatal", or the number 2 to 6), or -1. */
int host_level_from_name(const char *text);
const char *host_level_name(int severity);

/* The console control device (/dev/tty0) the console queries go through,
 * or -1 while there is none. */
void host_set_control_fd(int fd);

/* 1 when a client asked to switch pasting off since the last call (the
 * request being served when selection_disable_paste was called). */
int host_take_no_paste_request(void);

/* Writes what the log still holds back (refusals past their rate limit),
 * before the server stops. */
void host_flush_reports(void);

/* Called by a fatal report before the process ends, to leave the consoles
 * and the control socket tidy. */
void host_set_fatal_hook(void (*hook)(void));

#endif /* MOXD_HOST_H */
