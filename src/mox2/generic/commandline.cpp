#include <unistd.h>

#include "mox2-daemon.h"

/* Walks the options with getopt. No option has an effect yet: every option
 * the scanner returns, unknown ones included, prints the usage text once.
 * Arguments that are not options are left alone. */
int commandline(int argc, char **argv)
{
    while (getopt(argc, argv, "c:f") != -1)
        usage();
    return 1;
}
