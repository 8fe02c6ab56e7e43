/* argsift.cpp: the table-driven parser of protocol option strings.
 *
 * A protocol driver hands over a text such as "dpi=400,swap" and a table of
 * the options it accepts; every item is matched against the table, its
 * argument converted into the caller's variable, and every problem in the
 * text reported. The caller's text is never written: the items are cut on a
 * private heap copy that is released before returning. */

#include "argsift.h"
#include "moxInt.h"

#include <ctype.h>
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

/* The table rows travel between modules built by different compilers. */
static_assert(sizeof(option_type) == 4, "option_type is 32 bits");

namespace
{

constexpr const char *SOURCE_FILE = "argsift.cpp";

/* Integer arguments are stored in an int, which is 32 bits on every target;
 * a 64-bit long must saturate at the same limits a 32-bit one does. */
constexpr long ARG_MAX = INT32_MAX;
constexpr long ARG_MIN = INT32_MIN;

/* The table used to find out whether a protocol was given any option. */
option_helper no_options[] = {{nullptr, OPT_END, {nullptr}, 0, 0}};

/* The character classes take an unsigned char value: a byte 0x80 and above
 * in a plain char is negative and must not index the class table as such. */
int is_name_char(char c)
{
    return isalnum(static_cast<unsigned char>(c)) != 0;
}

const char *skip_blanks(const char *p)
{
    while (*p != '\0' && isspace(static_cast<unsigned char>(*p)))
        ++p;
    return p;
}

/* A row's name matches a text that starts with it when the name is not
 * merely the start of a longer word: "dev" leaves "device=1" alone. One pass
 * that stops at the first differing byte: most rows of a table differ from
 * an item in its first byte, and measuring every name first made the table
 * search the parser's main cost. */
int name_matches(const char *name, const char *text)
{
    while (*name != '\0' && *name == *text) {
        ++name;
        ++text;
    }
    if (*name != '\0')
        return 0;
    return !is_name_char(*text);
}

/* A C caller may leave any int in a row's type; loading an enum outside its
 * range is undefined in C++, so the field is read as the integer it is. */
int32_t row_type(const option_helper *row)
{
    int32_t type;
    memcpy(&type, &row->type, sizeof type);
    return type;
}

option_helper *find_row(option_helper *info, const char *text)
{
    for (option_helper *row = info; row_type(row) != OPT_END; ++row)
        if (name_matches(row->name, text))
            return row;
    return nullptr;
}

char *copy_string(const char *s)
{
    size_t len = strlen(s) + 1;
    char *copy = static_cast<char *>(malloc(len));
    if (copy != nullptr)
        memcpy(copy, s, len);
    return copy;
}

/* Converts an integer argument; 0 when the text is not entirely a number. */
int convert_integer(const char *arg, int base, int *out)
{
    char *end = nullptr;
    long v = strtol(arg, &end, base);
    if (end == arg || *end != '\0')
        return 0;
    if (v > ARG_MAX)
        v = ARG_MAX;
    else if (v < ARG_MIN)
        v = ARG_MIN;
    *out = static_cast<int>(v);
    return 1;
}

/* Stores the argument of a newly matched row; returns the errors to count. */
int store_argument(const option_helper *row, const char *arg)
{
    const char *prog = option.progname;

    int32_t type = row_type(row);
    switch (type) {
    case OPT_BOOL: {
        int bad = *arg != '\0';
        if (bad)
            mox_report(__LINE__, SOURCE_FILE, MOX_SEV_WARN,
                       "%s: Option \"%s\" takes no argument: ignoring \"%s\"", prog, row->name,
                       arg);
        *row->u.iptr = row->value;
        return bad;
    }
    case OPT_INT:
    case OPT_DEC: {
        if (*arg == '\0') {
            mox_report(__LINE__, SOURCE_FILE, MOX_SEV_WARN,
                       "%s: Option \"%s\" requires an argument", prog, row->name);
            return 0;
        }
        int v = 0;
        if (!convert_integer(arg, type == OPT_INT ? 0 : 10, &v)) {
            mox_report(__LINE__, SOURCE_FILE, MOX_SEV_WARN,
                       "%s: Invalid argument \"%s\" for option \"%s\"", prog, arg, row->name);
            return 1;
        }
        *row->u.iptr = v;
        return 0;
    }
    case OPT_STRING:
        if (*arg == '\0') {
            mox_report(__LINE__, SOURCE_FILE, MOX_SEV_WARN,
                       "%s: Option \"%s\" requires an argument", prog, row->name);
            return 0;
        }
        /* The previous pointer may be a literal or the caller's: not ours. */
        *row->u.sptr = copy_string(arg);
        return 0;
    default:
        return 0;
    }
}

} // namespace

extern "C" int parse_options(const char *proto, const char *opts, char sep, option_helper *info)
{
    for (option_helper *row = info; row_type(row) != OPT_END; ++row)
        row->present = 0;
    if (opts == nullptr)
        return 0;

    char *copy = copy_string(opts);
    if (copy == nullptr) {
        mox_report(__LINE__, SOURCE_FILE, MOX_SEV_FATAL, "allocation failed!");
        /* A host whose fatal report returns gets an error and no parse. */
        return -1;
    }

    /* Cut the copy into items, one NUL-terminated string after another. */
    size_t items = 1;
    if (sep != '\0') {
        for (char *p = copy; *p != '\0'; ++p) {
            if (*p == sep) {
                *p = '\0';
                ++items;
            }
        }
    }

    int errors = 0;
    int matched = 0;
    const char *item = copy;
    for (size_t i = 0; i < items; ++i, item += strlen(item) + 1) {
        if (*item == '\0')
            continue;
        option_helper *row = find_row(info, item);
        if (row == nullptr) {
            mox_report(__LINE__, SOURCE_FILE, MOX_SEV_WARN,
                       "%s: Uknown option \"%s\" for protocol \"%s\"\n", option.progname, item,
                       proto);
            if (errors < INT_MAX)
                ++errors;
            continue;
        }
        if (row->present) {
            mox_report(__LINE__, SOURCE_FILE, MOX_SEV_WARN,
                       "%s: option \"%s\" has already been seen, ignored (\"%s\")\n",
                       option.progname, item, proto);
            continue;
        }
        ++matched;
        row->present = 1;

        const char *arg = skip_blanks(item + strlen(row->name));
        if (*arg == '=')
            arg = skip_blanks(arg + 1);
        if (store_argument(row, arg) != 0 && errors < INT_MAX)
            ++errors;
    }
    free(copy);

    if (errors > 0) {
        mox_report(__LINE__, SOURCE_FILE, MOX_SEV_WARN,
                   "%s: Continuing despite errors in option parsing", option.progname);
        return -errors;
    }
    return matched;
}

extern "C" int is_option_present(option_helper *info, const char *name)
{
    const option_helper *row = find_row(info, name);
    if (row == nullptr) {
        mox_report(__LINE__, SOURCE_FILE, MOX_SEV_WARN, "%s: Uknown option \"%s\"\n",
                   option.progname, name);
        return 0;
    }
    return row->present;
}

extern "C" int check_no_options(const char *proto, const char *opts, char sep)
{
    return parse_options(proto, opts, sep, no_options) == 0;
}
