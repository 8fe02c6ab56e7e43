// Runs a fuzz target over saved inputs without libFuzzer: every file named on
// the command line, and every regular file in each directory named there.
#include "fuzz_target.h"

#include <dirent.h>
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

namespace
{

int run_file(const char *path)
{
    FILE *f = fopen(path, "rb");
    if (f == nullptr) {
        fprintf(stderr, "replay: %s: %s\n", path, strerror(errno));
        return 0;
    }
    size_t cap = 4096, len = 0;
    uint8_t *buf = static_cast<uint8_t *>(malloc(cap));
    for (;;) {
        if (buf == nullptr)
            break;
        len += fread(buf + len, 1, cap - len, f);
        if (len < cap)
            break;
        cap *= 2;
        uint8_t *bigger = static_cast<uint8_t *>(realloc(buf, cap));
        if (bigger == nullptr)
            free(buf);
        buf = bigger;
    }
    int read_error = ferror(f);
    fclose(f);
    if (buf == nullptr || read_error) {
        fprintf(stderr, "replay: %s: cannot read\n", path);
        free(buf);
        return 0;
    }
    (void) LLVMFuzzerTestOneInput(buf, len);
    free(buf);
    return 1;
}

// Returns the number of inputs run, or -1 when a path could not be read.
long run_path(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0) {
        fprintf(stderr, "replay: %s: %s\n", path, strerror(errno));
        return -1;
    }
    if (!S_ISDIR(st.st_mode))
        return run_file(path) ? 1 : -1;

    DIR *dir = opendir(path);
    if (dir == nullptr) {
        fprintf(stderr, "replay: %s: %s\n", path, strerror(errno));
        return -1;
    }
    long count = 0;
    while (const dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        char child[4096];
        if (snprintf(child, sizeof child, "%s/%s", path, e->d_name) >= (int) sizeof child)
            continue;
        if (stat(child, &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (!run_file(child)) {
            count = -1;
            break;
        }
        ++count;
    }
    closedir(dir);
    return count;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s FILE-OR-DIRECTORY...\n", argv[0]);
        return 2;
    }
    long total = 0;
    for (int i = 1; i < argc; ++i) {
        long n = run_path(argv[i]);
        if (n < 0)
            return 1;
        total += n;
    }
    if (total == 0) {
        fprintf(stderr, "replay: no inputs found\n");
        return 1;
    }
    printf("replay: %ld inputs ran\n", total);
    return 0;
}
