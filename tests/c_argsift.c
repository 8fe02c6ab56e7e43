/* Links the option-string parser into a program built by the C compiler
 * alone, as a server written in C would, and parses a real option string. */
#include "argsift.h"
#include "moxInt.h"

#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

_Static_assert(sizeof(option_type) == 4, "option_type is 32 bits");

options option = {0, 0, "cserver"};

static int warnings;

void mox_report(int line, const char *file, int severity, const char *fmt, ...)
{
    va_list ap;
    (void) line;
    (void) file;
    if (severity == MOX_SEV_FATAL)
        abort();
    va_start(ap, fmt);
    (void) vfprintf(stderr, fmt, ap);
    va_end(ap);
    (void) fputc('\n', stderr);
    ++warnings;
}

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "c_argsift: check failed: %s\n", #cond);                               \
            return 1;                                                                              \
        }                                                                                          \
    } while (0)

int main(void)
{
    int dpi = 0, res = 0, swap = 0;
    char *dev = NULL;
    option_helper table[] = {
        {"dpi", OPT_DEC, {&dpi}, 0, 0},    {"res", OPT_INT, {&res}, 0, 0},
        {"swap", OPT_BOOL, {&swap}, 1, 0}, {"dev", OPT_STRING, {.sptr = &dev}, 0, 0},
        {NULL, OPT_END, {NULL}, 0, 0},
    };

    CHECK(parse_options("ps2", "dpi=400,res=0x20,dev=/dev/ttyS0,swap", ',', table) == 4);
    CHECK(dpi == 400 && res == 32 && swap == 1);
    CHECK(dev != NULL && strcmp(dev, "/dev/ttyS0") == 0);
    CHECK(warnings == 0);
    CHECK(is_option_present(table, "dev") == 1);
    free(dev);

    CHECK(parse_options("ps2", "dpi=x,zoom", ',', table) == -2);
    CHECK(dpi == 400 && warnings == 3);
    CHECK(is_option_present(table, "dev") == 0);

    /* the same limits whatever the width of long */
    CHECK(parse_options("ps2", "dpi=99999999999;res=-99999999999", ';', table) == 2);
    CHECK(dpi == INT_MAX && res == INT_MIN);
    CHECK(parse_options("ps2", "dpi=2147483647;res=-0x80000000", ';', table) == 2);
    CHECK(dpi == INT_MAX && res == INT_MIN);

    CHECK(check_no_options("ms", "", ',') == 1);
    CHECK(check_no_options("ms", "dpi=1", ',') == 0);
    puts("c_argsift: ok");
    return 0;
}
