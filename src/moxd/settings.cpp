/* settings.cpp: the device option string. */
#include "settings.h"

#include "argsift.h"
#include "moxInt.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

constexpr const char SRC_FILE[] = "settings.cpp";

/* A text that names one of a few choices. */
struct choice {
    const char *name;
    int value;
};

constexpr choice ACCEL_CHOICES[] = {{"adaptive", ACCEL_ADAPTIVE}, {"flat", ACCEL_FLAT}};
constexpr choice SCROLL_CHOICES[] = {{"two-finger", SCROLL_TWO_FINGER},
                                     {"edge", SCROLL_EDGE},
                                     {"button", SCROLL_BUTTON},
                                     {"none", SCROLL_NONE}};

/* Argsift's own complaint, so that every fault in the string reads alike. */
void invalid(const char *name, const char *arg)
{
    mox_report(__LINE__, SRC_FILE, MOX_SEV_WARN, "%s: Invalid argument \"%s\" for option \"%s\"",
               option.progname, arg, name);
}

template <size_t N> int pick(const choice (&table)[N], const char *name, const char *arg, int *out)
{
    for (const choice &c : table) {
        if (strcmp(c.name, arg) == 0) {
            *out = c.value;
            return 0;
        }
    }
    invalid(name, arg);
    return 1;
}

int read_speed(const char *arg, device_settings *s)
{
    char *end = nullptr;
    errno = 0;
    double v = strtod(arg, &end);
    if (end == arg || *end != '\0' || errno != 0 || !std::isfinite(v) || v < -1.0 || v > 1.0) {
        invalid("speed", arg);
        return 1;
    }
    s->speed = v;
    s->has_speed = 1;
    return 0;
}

int read_cell(const char *name, int value, int *out)
{
    if (value < 1 || value > CELL_SIZE_MAX) {
        char text[16];
        (void) snprintf(text, sizeof text, "%d", value);
        invalid(name, text);
        return 1;
    }
    *out = value;
    return 0;
}

} // namespace

void settings_defaults(device_settings *s)
{
    memset(s, 0, sizeof *s);
    s->accel = ACCEL_DEFAULT;
    s->scroll = SCROLL_DEFAULT;
    s->cell_width = CELL_WIDTH_DEFAULT;
    s->cell_height = CELL_HEIGHT_DEFAULT;
}

int settings_parse(device_settings *s, const char *text)
{
    char *speed = nullptr, *accel = nullptr, *scroll = nullptr;
    int tap = 0, natural = 0, left = 0, middle = 0;
    int cell_w = s->cell_width, cell_h = s->cell_height;
    option_helper table[] = {
        {"speed", OPT_STRING, {.sptr = &speed}, 0, 0},
        {"accel", OPT_STRING, {.sptr = &accel}, 0, 0},
        {"tap", OPT_BOOL, {.iptr = &tap}, 1, 0},
        {"natural-scroll", OPT_BOOL, {.iptr = &natural}, 1, 0},
        {"left-handed", OPT_BOOL, {.iptr = &left}, 1, 0},
        {"middle-emulation", OPT_BOOL, {.iptr = &middle}, 1, 0},
        {"scroll", OPT_STRING, {.sptr = &scroll}, 0, 0},
        {"cell-width", OPT_DEC, {.iptr = &cell_w}, 0, 0},
        {"cell-height", OPT_DEC, {.iptr = &cell_h}, 0, 0},
        {nullptr, OPT_END, {nullptr}, 0, 0},
    };
    int got = parse_options(SETTINGS_PROTOCOL, text, ',', table);
    int errors = got < 0 ? -got : 0;

    if (speed != nullptr)
        errors += read_speed(speed, s);
    if (accel != nullptr)
        errors += pick(ACCEL_CHOICES, "accel", accel, &s->accel);
    if (scroll != nullptr)
        errors += pick(SCROLL_CHOICES, "scroll", scroll, &s->scroll);
    if (table[2].present)
        s->tap = tap;
    if (table[3].present)
        s->natural_scroll = natural;
    if (table[4].present)
        s->left_handed = left;
    if (table[5].present)
        s->middle_emulation = middle;
    if (table[7].present && cell_w != s->cell_width)
        errors += read_cell("cell-width", cell_w, &s->cell_width);
    if (table[8].present && cell_h != s->cell_height)
        errors += read_cell("cell-height", cell_h, &s->cell_height);

    free(speed);
    free(accel);
    free(scroll);
    return errors;
}
