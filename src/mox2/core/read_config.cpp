#include "mox2-daemon.h"

/* Nothing is read yet: a configuration directory only has to be named. */
int read_config(const char *cconfig)
{
    return cconfig != nullptr ? 1 : 0;
}
