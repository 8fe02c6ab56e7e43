#include <fcntl.h>
#include <unistd.h>

#include "mox2-daemon.h"

namespace
{
constexpr const char *PS2_DEVICE = "/dev/psaux";
}

/* The device step. A failed open is not checked: every later read and write
 * then fails on the invalid descriptor and the run still goes to its end. */
int mice_handler(void)
{
    int ps2test = open(PS2_DEVICE, O_RDWR);
    mox2_open_ps2(ps2test);
    mox2_decode_ps2(ps2test);
    close(ps2test);
    return 0;
}
