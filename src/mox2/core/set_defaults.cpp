#include "mox2-daemon.h"

namespace
{
constexpr const char *DEFAULT_CONFIG_DIR = "/etc/mox2";
}

/* The process-wide option record; empty until set_defaults fills it. */
mox2_options opts;

void set_defaults(void)
{
    opts.cconfig = DEFAULT_CONFIG_DIR;
}
