/* c_check.h: what the C test programs share: a CHECK that counts failures
 * and goes on, and the private /dev they run in. Include once per program,
 * after defining _GNU_SOURCE. */
#ifndef MOX_C_CHECK_H
#define MOX_C_CHECK_H

#include <errno.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>

static int failures;

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);               \
            failures++;                                                                            \
        }                                                                                          \
    } while (0)

/* A private mount namespace with an empty tmpfs over /dev, so that the
 * control socket never touches the machine's /dev. 0 (with the reason
 * printed) when it cannot be had: the program then counts as skipped. */
static int private_dev(void)
{
    if (unshare(CLONE_NEWNS) != 0) {
        printf("skipped: no private mount namespace: %s\n", strerror(errno));
        return 0;
    }
    if (mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0 ||
        mount("tmpfs", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755,size=64k") != 0) {
        printf("skipped: cannot mount a private /dev: %s\n", strerror(errno));
        return 0;
    }
    return 1;
}

#endif /* MOX_C_CHECK_H */
