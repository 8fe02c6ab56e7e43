/* host.h: EXAMPLE host services for the console mouse server's modules.
 *
 * This is example code, not part of the product: the client and argsift
 * modules are meant to be linked into a real console mouse server, which
 * supplies mox_report, the console and option records and the console
 * queries declared in moxInt.h and console.h. mox-refserver links this file
 * instead, so that the modules can run without that server. */
#ifndef MOX_EXAMPLE_HOST_H
#define MOX_EXAMPLE_HOST_H

#include "console.h"
#include "moxInt.h"

/* Sets option.progname from argv0 (directories dropped) and the console size
 * from the running console, or zeros where the machine has none. */
void host_init(const char *argv0);

/* Reports below this severity are not printed (default MOX_SEV_TRACE). */
void host_set_report_threshold(int severity);

/* 1 once selection_disable_paste has been called, else 0. */
int host_paste_disabled(void);

#endif /* MOX_EXAMPLE_HOST_H */
