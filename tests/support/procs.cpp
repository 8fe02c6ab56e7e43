#include "procs.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <grp.h>
#include <unistd.h>

bool become_nobody()
{
    return setgroups(0, nullptr) == 0 && setgid(NOBODY_GID) == 0 && setuid(NOBODY_UID) == 0;
}

void close_inherited(int keep_a, int keep_b)
{
    unsigned first = 3;
    int keep[2] = {std::min(keep_a, keep_b), std::max(keep_a, keep_b)};
    for (int k : keep) {
        if (k < static_cast<int>(first))
            continue;
        if (static_cast<unsigned>(k) > first)
            (void) close_range(first, static_cast<unsigned>(k) - 1, 0);
        first = static_cast<unsigned>(k) + 1;
    }
    (void) close_range(first, ~0U, 0);
}

std::vector<std::string> fd_listing()
{
    std::vector<std::string> out;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr)
        return out;
    int own = dirfd(d);
    while (const dirent *e = readdir(d)) {
        if (e->d_name[0] == '.' || atoi(e->d_name) == own)
            continue;
        char target[256] = "";
        std::string path = std::string("/proc/self/fd/") + e->d_name;
        ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        if (n > 0)
            target[n] = '\0';
        out.push_back(std::string(e->d_name) + " -> " + target);
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}
