// Drives the option-string parser with arbitrary text.
//
// Input: the first byte is the separator (NUL included: one item), the rest,
// up to any NUL, the option text; an empty input stands for no text at all.
// The table holds every kind of row, names that are prefixes of each other,
// a row of a type the parser does not know, and an empty name.
#include "argsift.h"
#include "fuzz_target.h"

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace
{

constexpr int CANARY = 0x5AD;
char canary_text[] = "canary";

enum { DPI, RES, SWAP, DEV, DEVICE, MODE, ANY, ROWS };

void check(bool ok)
{
    if (!ok)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char sep = size > 0 ? static_cast<char>(data[0]) : '\0';
    char *text = nullptr;
    char *original = nullptr;
    if (size > 0) {
        size_t len = strnlen(reinterpret_cast<const char *>(data + 1), size - 1);
        // exact-size buffers, so a read past the end is caught
        text = static_cast<char *>(malloc(len + 1));
        original = static_cast<char *>(malloc(len + 1));
        if (text == nullptr || original == nullptr)
            abort();
        memcpy(text, data + 1, len);
        text[len] = '\0';
        memcpy(original, text, len + 1);
    }

    int ints[ROWS];
    for (int &v : ints)
        v = CANARY;
    char *dev = canary_text, *device = canary_text;
    option_helper table[ROWS + 1] = {
        {"dpi", OPT_DEC, {&ints[DPI]}, 0, 0},
        {"res", OPT_INT, {&ints[RES]}, 0, 0},
        {"swap", OPT_BOOL, {&ints[SWAP]}, 7, 0},
        {"dev", OPT_STRING, {.sptr = &dev}, 0, 0},
        {"device", OPT_STRING, {.sptr = &device}, 0, 0},
        {"mode", OPT_END, {&ints[MODE]}, 0, 0},
        {"", OPT_DEC, {&ints[ANY]}, 0, 0},
        {nullptr, OPT_END, {nullptr}, 0, 0},
    };
    // a type a C caller could write but the parser does not know
    const int32_t unknown_type = 9;
    memcpy(&table[MODE].type, &unknown_type, sizeof unknown_type);
    for (option_helper &row : table)
        row.present = 3; // must be cleared by the parse

    int r = parse_options("fuzz", text, sep, table);

    int present = 0;
    for (int i = 0; i < ROWS; ++i) {
        check(table[i].present == 0 || table[i].present == 1);
        present += table[i].present;
        check(is_option_present(table, table[i].name) == table[i].present);
    }
    check(table[ROWS].present == 3); // the end row is not written
    if (r >= 0)
        check(r == present);
    check(ints[MODE] == CANARY);
    if (!table[SWAP].present)
        check(ints[SWAP] == CANARY);
    else
        check(ints[SWAP] == 7);
    static constexpr int integer_rows[] = {DPI, RES, ANY};
    for (int i : integer_rows)
        if (!table[i].present)
            check(ints[i] == CANARY);
    if (!table[DEV].present)
        check(dev == canary_text);
    if (!table[DEVICE].present)
        check(device == canary_text);
    if (dev != canary_text)
        free(dev);
    if (device != canary_text)
        free(device);

    (void) is_option_present(table, text != nullptr ? text : "");

    // no option at all exactly when every item is empty
    bool empty = true;
    for (const char *p = text; p != nullptr && *p != '\0'; ++p)
        if (sep == '\0' || *p != sep)
            empty = false;
    check(check_no_options("fuzz", text, sep) == (empty ? 1 : 0));
    if (text != nullptr)
        check(strcmp(text, original) == 0);

    free(text);
    free(original);
    return 0;
}
