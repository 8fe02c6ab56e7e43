#include "client_table.h"

#include <unistd.h>

int linked_clients()
{
    int n = 0;
    for (int vc = 0; vc <= LAST_VC; vc++)
        for (const client_info *c = cinfo[vc]; c != nullptr; c = c->next)
            n++;
    return n;
}

int stack_of(const client_info *ci)
{
    for (int vc = 0; vc <= LAST_VC; vc++)
        for (const client_info *c = cinfo[vc]; c != nullptr; c = c->next)
            if (c == ci)
                return vc;
    return -1;
}

void drop_all_clients()
{
    for (int vc = 0; vc <= LAST_VC; vc++) {
        while (cinfo[vc] != nullptr) {
            client_info *ci = cinfo[vc];
            if (ci->fd >= 0)
                close(ci->fd);
            remove_client(ci, vc);
        }
    }
}
