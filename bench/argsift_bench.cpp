// The option-string parser against the C library's own option splitter:
// getsubopt(3) plus strtol doing the same splitting and conversion on a heap
// copy of the same text, storing into the same variables.
#include <benchmark/benchmark.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "argsift.h"

namespace
{

constexpr int ROWS_MAX = 20;

// Where a parse puts its results; one set per parser so they can be compared.
struct targets {
    int ints[ROWS_MAX];
    char *strings[ROWS_MAX];
};

struct row_spec {
    const char *name;
    option_type type;
    int value; // stored by a flag
};

// A protocol with the usual handful of options.
constexpr row_spec SHORT_ROWS[] = {
    {"dpi", OPT_DEC, 0}, {"swap", OPT_BOOL, 1}, {"rate", OPT_INT, 0}, {"device", OPT_STRING, 0}};
constexpr const char SHORT_TEXT[] = "dpi=400,swap";

// Twenty options, five of every kind, all given.
constexpr row_spec LONG_ROWS[] = {
    {"swap", OPT_BOOL, 1},      {"irq", OPT_INT, 0},       {"dpi", OPT_DEC, 0},
    {"device", OPT_STRING, 0},  {"noreset", OPT_BOOL, 1},  {"port", OPT_INT, 0},
    {"timeout", OPT_DEC, 0},    {"name", OPT_STRING, 0},   {"wheel", OPT_BOOL, 2},
    {"mask", OPT_INT, 0},       {"buttons", OPT_DEC, 0},   {"proto", OPT_STRING, 0},
    {"debug", OPT_BOOL, 1},     {"rate", OPT_INT, 0},      {"delay", OPT_DEC, 0},
    {"charset", OPT_STRING, 0}, {"invert", OPT_BOOL, 1},   {"accel", OPT_INT, 0},
    {"threshold", OPT_DEC, 0},  {"layout", OPT_STRING, 0},
};
constexpr const char LONG_TEXT[] =
    "swap,irq=0x0c,dpi=400,device=/dev/input/mice,noreset,port=0x60,timeout=250,"
    "name=pad,wheel,mask=017,buttons=3,proto=imps2,debug,rate=100,delay=15,"
    "charset=latin1,invert,accel=-2,threshold=8,layout=us";
static_assert(sizeof LONG_ROWS / sizeof LONG_ROWS[0] == ROWS_MAX, "twenty rows");

// One option table for the module and one token list for getsubopt, over the
// same names, types and targets.
struct parser_setup {
    option_helper table[ROWS_MAX + 1];
    char *tokens[ROWS_MAX + 1];
    int rows;
};

void setup(const row_spec *desc, int rows, targets *t, parser_setup *p)
{
    memset(t, 0, sizeof *t);
    p->rows = rows;
    for (int i = 0; i < rows; i++) {
        option_helper &h = p->table[i];
        h.name = desc[i].name;
        h.type = desc[i].type;
        if (desc[i].type == OPT_STRING)
            h.u.sptr = &t->strings[i];
        else
            h.u.iptr = &t->ints[i];
        h.value = desc[i].value;
        h.present = 0;
        p->tokens[i] = const_cast<char *>(desc[i].name);
    }
    p->table[rows] = option_helper{nullptr, OPT_END, {nullptr}, 0, 0};
    p->tokens[rows] = nullptr;
}

void free_strings(targets *t)
{
    for (char *&s : t->strings) {
        free(s);
        s = nullptr;
    }
}

// What a C programmer writes with the C library: split with getsubopt,
// convert with strtol, clamp to int, copy strings. Same results and the
// same result count as parse_options for well-formed text.
int libc_parse(const char *opts, parser_setup *p)
{
    for (int i = 0; i < p->rows; i++)
        p->table[i].present = 0;
    char *copy = strdup(opts);
    if (copy == nullptr)
        return -1;
    int matched = 0, errors = 0;
    char *rest = copy;
    while (*rest != '\0') {
        char *value = nullptr;
        int i = getsubopt(&rest, p->tokens, &value);
        if (i < 0) {
            errors++;
            continue;
        }
        option_helper &row = p->table[i];
        if (row.present)
            continue;
        row.present = 1;
        matched++;
        switch (row.type) {
        case OPT_BOOL:
            if (value != nullptr)
                errors++;
            *row.u.iptr = row.value;
            break;
        case OPT_INT:
        case OPT_DEC: {
            if (value == nullptr || *value == '\0')
                break;
            char *end = nullptr;
            long v = strtol(value, &end, row.type == OPT_INT ? 0 : 10);
            if (end == value || *end != '\0') {
                errors++;
                break;
            }
            *row.u.iptr = static_cast<int>(v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : v);
            break;
        }
        case OPT_STRING:
            if (value != nullptr && *value != '\0')
                *row.u.sptr = strdup(value);
            break;
        default:
            break;
        }
    }
    free(copy);
    return errors > 0 ? -errors : matched;
}

// Both parsers must agree before either is timed.
bool same_results(const row_spec *desc, int rows, const char *text)
{
    targets a, b;
    parser_setup pa, pb;
    setup(desc, rows, &a, &pa);
    setup(desc, rows, &b, &pb);
    int ra = parse_options("bench", text, ',', pa.table);
    int rb = libc_parse(text, &pb);
    bool same = ra == rb && ra > 0 && memcmp(a.ints, b.ints, sizeof a.ints) == 0;
    for (int i = 0; same && i < ROWS_MAX; i++)
        same = (a.strings[i] == nullptr) == (b.strings[i] == nullptr) &&
               (a.strings[i] == nullptr || strcmp(a.strings[i], b.strings[i]) == 0);
    free_strings(&a);
    free_strings(&b);
    return same;
}

template <typename Parse>
void parse_loop(benchmark::State &state, const row_spec *desc, int rows, const char *text,
                Parse parse)
{
    if (!same_results(desc, rows, text)) {
        state.SkipWithError("parse_options and getsubopt disagree");
        return;
    }
    targets t;
    parser_setup p;
    setup(desc, rows, &t, &p);
    for (auto _ : state) {
        int r = parse(text, &p);
        benchmark::DoNotOptimize(r);
        // The caller owns the stored string copies: both parsers made them.
        free_strings(&t);
    }
    state.SetItemsProcessed(state.iterations());
}

int module_parse(const char *text, parser_setup *p)
{
    return parse_options("bench", text, ',', p->table);
}

constexpr int SHORT_COUNT = sizeof SHORT_ROWS / sizeof SHORT_ROWS[0];

void BM_GetsuboptShort(benchmark::State &state)
{
    parse_loop(state, SHORT_ROWS, SHORT_COUNT, SHORT_TEXT, libc_parse);
}
void BM_ParseOptionsShort(benchmark::State &state)
{
    parse_loop(state, SHORT_ROWS, SHORT_COUNT, SHORT_TEXT, module_parse);
}
void BM_GetsuboptLong(benchmark::State &state)
{
    parse_loop(state, LONG_ROWS, ROWS_MAX, LONG_TEXT, libc_parse);
}
void BM_ParseOptionsLong(benchmark::State &state)
{
    parse_loop(state, LONG_ROWS, ROWS_MAX, LONG_TEXT, module_parse);
}

BENCHMARK(BM_GetsuboptShort);
BENCHMARK(BM_ParseOptionsShort);
BENCHMARK(BM_GetsuboptLong);
BENCHMARK(BM_ParseOptionsLong);

} // namespace

BENCHMARK_MAIN();
