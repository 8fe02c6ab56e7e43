#include "wire.h"

#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

Mox_Connect make_record(uint16_t event_mask, uint16_t default_mask, uint16_t min_mod,
                        uint16_t max_mod, int32_t pid, int32_t vc)
{
    Mox_Connect r;
    r.eventMask = event_mask;
    r.defaultMask = default_mask;
    r.minMod = min_mod;
    r.maxMod = max_mod;
    r.pid = pid;
    r.vc = vc;
    return r;
}

int connect_control()
{
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    static_assert(sizeof CONTROL_SOCKET_PATH <= sizeof addr.sun_path);
    memcpy(addr.sun_path, CONTROL_SOCKET_PATH, sizeof CONTROL_SOCKET_PATH);
    if (connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(s);
        return -1;
    }
    return s;
}

bool readable(int fd, int ms)
{
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}
