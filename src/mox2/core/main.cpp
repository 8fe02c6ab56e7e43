#include "mox2-daemon.h"

/* One pass: defaults, command line, configuration check, device step. A step
 * that yields 0 ends the run with status 1; the device step always does. */
int main(int argc, char **argv)
{
    set_defaults();
    if (commandline(argc, argv) == 0)
        return 1;
    if (read_config(opts.cconfig) == 0)
        return 1;
    if (mice_handler() == 0)
        return 1;
    return 0;
}
