// Tests of the option-string parser against a recording host.
#include "argsift.h"
#include "moxInt.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

// ---- the host services the module takes from the server -------------------

options option = {0, 0, "moxd"};

namespace
{

struct Report {
    int line;
    std::string file;
    int severity;
    std::string text;
};

std::vector<Report> reports;

} // namespace

extern "C" void mox_report(int line, const char *file, int severity, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    char text[1024];
    (void) vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    reports.push_back({line, file, severity, text});
}

// The parser's allocations fail on demand: the binary is linked with
// --wrap=malloc, and only a request of exactly fail_alloc_size bytes fails,
// so the test's own bookkeeping still gets memory.
static size_t fail_alloc_size = 0;

extern "C" {
void *__real_malloc(size_t size);
void *__wrap_malloc(size_t size);
}

void *__wrap_malloc(size_t size)
{
    return fail_alloc_size != 0 && size == fail_alloc_size ? nullptr : __real_malloc(size);
}

namespace
{

constexpr int CANARY = 0xAD;
char canary_text[] = "canary";

// The texts of the reports made since the last call, each checked for its
// severity-4 origin in the module.
std::vector<std::string> take_warnings()
{
    std::vector<std::string> texts;
    for (const Report &r : reports) {
        EXPECT_EQ(r.severity, MOX_SEV_WARN) << r.text;
        EXPECT_EQ(r.file, "argsift.cpp");
        EXPECT_GT(r.line, 0);
        texts.push_back(r.text);
    }
    reports.clear();
    return texts;
}

const std::string CONTINUING = "moxd: Continuing despite errors in option parsing";

std::string unknown(const std::string &item, const char *proto = "ps2")
{
    return "moxd: Uknown option \"" + item + "\" for protocol \"" + proto + "\"\n";
}

std::string invalid(const std::string &arg, const char *name)
{
    return "moxd: Invalid argument \"" + arg + "\" for option \"" + name + "\"";
}

std::string needs_arg(const char *name)
{
    return std::string("moxd: Option \"") + name + "\" requires an argument";
}

// A protocol's table: a decimal, a free-base integer and a flag.
struct Vars {
    int dpi = CANARY;
    int res = CANARY;
    int swap = CANARY;
    option_helper table[4] = {
        {"dpi", OPT_DEC, {&dpi}, 0, 0},
        {"res", OPT_INT, {&res}, 0, 0},
        {"swap", OPT_BOOL, {&swap}, 1, 0},
        {nullptr, OPT_END, {nullptr}, 0, 0},
    };
    Vars() = default;
    Vars(const Vars &) = delete;
};

// A decimal and a string.
struct StringVars {
    int dpi = CANARY;
    char *dev = canary_text;
    option_helper table[3] = {
        {"dpi", OPT_DEC, {&dpi}, 0, 0},
        {"dev", OPT_STRING, {.sptr = &dev}, 0, 0},
        {nullptr, OPT_END, {nullptr}, 0, 0},
    };
    StringVars() = default;
    StringVars(const StringVars &) = delete;
};

struct Case {
    const char *opts;
    char sep;
    int result;
    int dpi, res, swap;
    std::vector<std::string> warnings;
};

void run_cases(const std::vector<Case> &cases)
{
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "opts «" << (c.opts ? c.opts : "(none)") << "» sep " << int(c.sep));
        reports.clear();
        Vars v;
        EXPECT_EQ(parse_options("ps2", c.opts, c.sep, v.table), c.result);
        EXPECT_EQ(v.dpi, c.dpi);
        EXPECT_EQ(v.res, c.res);
        EXPECT_EQ(v.swap, c.swap);
        EXPECT_EQ(take_warnings(), c.warnings);
    }
}

TEST(Argsift, NothingToParse)
{
    run_cases({
        {nullptr, ',', 0, CANARY, CANARY, CANARY, {}},
        {"", ',', 0, CANARY, CANARY, CANARY, {}},
        {"", '\0', 0, CANARY, CANARY, CANARY, {}},
        {",,,", ',', 0, CANARY, CANARY, CANARY, {}},
    });
}

TEST(Argsift, SplittingIntoItems)
{
    run_cases({
        {"swap", ',', 1, CANARY, CANARY, 1, {}},
        {"dpi=3,swap,res=4", ',', 3, 3, 4, 1, {}},
        {",dpi=3,,swap,", ',', 2, 3, CANARY, 1, {}},
        // the middle of three items is empty and passed over silently
        {"a,,b", ',', -2, CANARY, CANARY, CANARY, {unknown("a"), unknown("b"), CONTINUING}},
        // no separator: the whole text is the argument of the first name
        {"dpi=5,res=6", '\0', -1, CANARY, CANARY, CANARY, {invalid("5,res=6", "dpi"), CONTINUING}},
        {"dpi=5;res=6", ';', 2, 5, 6, CANARY, {}},
        // a separator byte above 0x7f is still just a byte
        {"dpi=1\xE9swap", '\xE9', 2, 1, CANARY, 1, {}},
        // items are not trimmed: a leading blank matches no named row
        {"dpi=1, swap", ',', -1, 1, CANARY, CANARY, {unknown(" swap"), CONTINUING}},
    });
}

TEST(Argsift, NamesAndEquals)
{
    run_cases({
        {"dpi=400", ',', 1, 400, CANARY, CANARY, {}},
        {"dpi = 400", ',', 1, 400, CANARY, CANARY, {}},
        {"dpi\t=\t400", ',', 1, 400, CANARY, CANARY, {}},
        {"dpi 400", ',', 1, 400, CANARY, CANARY, {}},
        {"dpi-5", ',', 1, -5, CANARY, CANARY, {}},
        {"dpi=400 ", ',', -1, CANARY, CANARY, CANARY, {invalid("400 ", "dpi"), CONTINUING}},
        {"dpi==5", ',', -1, CANARY, CANARY, CANARY, {invalid("=5", "dpi"), CONTINUING}},
        {"dpix=5", ',', -1, CANARY, CANARY, CANARY, {unknown("dpix=5"), CONTINUING}},
        {"dpi2=5", ',', -1, CANARY, CANARY, CANARY, {unknown("dpi2=5"), CONTINUING}},
        {"DPI=5", ',', -1, CANARY, CANARY, CANARY, {unknown("DPI=5"), CONTINUING}},
        {"dp=5", ',', -1, CANARY, CANARY, CANARY, {unknown("dp=5"), CONTINUING}},
        // bytes above 0x7f are not letters: the name ends before them
        {"dpi\xE9=5", ',', -1, CANARY, CANARY, CANARY, {invalid("\xE9=5", "dpi"), CONTINUING}},
        {"swap\xFF",
         ',',
         -1,
         CANARY,
         CANARY,
         1,
         {"moxd: Option \"swap\" takes no argument: ignoring \"\xFF\"", CONTINUING}},
    });
}

// Every white-space byte of the C locale counts as a blank around '=' and at
// the end of an item, not only spaces and tabs.
TEST(Argsift, EveryWhiteSpaceByteIsABlank)
{
    run_cases({
        {"dpi\n=\v400", ',', 1, 400, CANARY, CANARY, {}},
        {"dpi\f=\r400", ',', 1, 400, CANARY, CANARY, {}},
        {"dpi \t\n\v\f\r= \t\n\v\f\r400", ',', 1, 400, CANARY, CANARY, {}},
        {"dpi\r7", ',', 1, 7, CANARY, CANARY, {}},
        {"swap\r", ',', 1, CANARY, CANARY, 1, {}},
        {"swap\t\n\v\f\r", ',', 1, CANARY, CANARY, 1, {}},
        {"swap\v=\f", ',', 1, CANARY, CANARY, 1, {}},
        {"swap\n,res\f=\n0x10", ',', 2, CANARY, 16, 1, {}},
        {"dpi=\n", ',', 1, CANARY, CANARY, CANARY, {needs_arg("dpi")}},
        {"res\v", ',', 1, CANARY, CANARY, CANARY, {needs_arg("res")}},
    });
}

TEST(Argsift, IntegerConversion)
{
    run_cases({
        {"res=0x10", ',', 1, CANARY, 16, CANARY, {}},
        {"res=0X1f", ',', 1, CANARY, 31, CANARY, {}},
        {"res=010", ',', 1, CANARY, 8, CANARY, {}},
        {"res=-0x10", ',', 1, CANARY, -16, CANARY, {}},
        {"dpi=010", ',', 1, 10, CANARY, CANARY, {}},
        {"dpi=+7", ',', 1, 7, CANARY, CANARY, {}},
        {"dpi=0x10", ',', -1, CANARY, CANARY, CANARY, {invalid("0x10", "dpi"), CONTINUING}},
        {"res=08", ',', -1, CANARY, CANARY, CANARY, {invalid("08", "res"), CONTINUING}},
        {"res=0x", ',', -1, CANARY, CANARY, CANARY, {invalid("0x", "res"), CONTINUING}},
        {"dpi=abc", ',', -1, CANARY, CANARY, CANARY, {invalid("abc", "dpi"), CONTINUING}},
        {"dpi=-", ',', -1, CANARY, CANARY, CANARY, {invalid("-", "dpi"), CONTINUING}},
        {"dpi=12k", ',', -1, CANARY, CANARY, CANARY, {invalid("12k", "dpi"), CONTINUING}},
        // a missing argument is reported but is no error
        {"dpi=", ',', 1, CANARY, CANARY, CANARY, {needs_arg("dpi")}},
        {"res", ',', 1, CANARY, CANARY, CANARY, {needs_arg("res")}},
        {"dpi= ,swap", ',', 2, CANARY, CANARY, 1, {needs_arg("dpi")}},
    });
}

TEST(Argsift, IntegersSaturateAt32Bits)
{
    run_cases({
        {"dpi=2147483647", ',', 1, INT_MAX, CANARY, CANARY, {}},
        {"dpi=-2147483648", ',', 1, INT_MIN, CANARY, CANARY, {}},
        {"dpi=2147483648", ',', 1, INT_MAX, CANARY, CANARY, {}},
        {"dpi=-2147483649", ',', 1, INT_MIN, CANARY, CANARY, {}},
        {"dpi=99999999999", ',', 1, INT_MAX, CANARY, CANARY, {}},
        {"dpi=-99999999999", ',', 1, INT_MIN, CANARY, CANARY, {}},
        {"dpi=999999999999999999999999", ',', 1, INT_MAX, CANARY, CANARY, {}},
        {"res=0xffffffff", ',', 1, CANARY, INT_MAX, CANARY, {}},
        {"res=-0x80000001", ',', 1, CANARY, INT_MIN, CANARY, {}},
    });
}

TEST(Argsift, FlagsAndRepeats)
{
    run_cases({
        {"swap=1",
         ',',
         -1,
         CANARY,
         CANARY,
         1,
         {"moxd: Option \"swap\" takes no argument: ignoring \"1\"", CONTINUING}},
        {"swap =", ',', 1, CANARY, CANARY, 1, {}},
        // the first occurrence wins, the second is reported but no error
        {"dpi=5,dpi=6",
         ',',
         1,
         5,
         CANARY,
         CANARY,
         {"moxd: option \"dpi=6\" has already been seen, ignored (\"ps2\")\n"}},
        {"swap,swap=1",
         ',',
         1,
         CANARY,
         CANARY,
         1,
         {"moxd: option \"swap=1\" has already been seen, ignored (\"ps2\")\n"}},
        // a row is seen even when its argument was wrong
        {"dpi=x,dpi=6",
         ',',
         -1,
         CANARY,
         CANARY,
         CANARY,
         {invalid("x", "dpi"), "moxd: option \"dpi=6\" has already been seen, ignored (\"ps2\")\n",
          CONTINUING}},
        {"dpi=x,res=y,zoom",
         ',',
         -3,
         CANARY,
         CANARY,
         CANARY,
         {invalid("x", "dpi"), invalid("y", "res"), unknown("zoom"), CONTINUING}},
    });
}

// The first row in table order whose name ends where a word ends wins.
TEST(Argsift, FirstMatchingRow)
{
    char *dev = canary_text, *device = canary_text;
    int any = CANARY;
    option_helper table[] = {
        {"dev", OPT_STRING, {.sptr = &dev}, 0, 0},
        {"device", OPT_STRING, {.sptr = &device}, 0, 0},
        {"", OPT_DEC, {&any}, 0, 0},
        {nullptr, OPT_END, {nullptr}, 0, 0},
    };
    struct {
        const char *opts;
        int result;
        const char *dev, *device;
        int any;
    } cases[] = {
        {"device=1", 1, "canary", "1", CANARY},
        {"dev=2", 1, "2", "canary", CANARY},
        {"dev=2,device=3", 2, "2", "3", CANARY},
        // the empty name matches whatever does not start with a letter or digit
        {"=5", 1, "canary", "canary", 5},
        {" 6", 1, "canary", "canary", 6},
        {"\xE9", -1, "canary", "canary", CANARY},
        {"-7", 1, "canary", "canary", -7},
        {"devices=1", -1, "canary", "canary", CANARY},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.opts);
        reports.clear();
        dev = device = canary_text;
        any = CANARY;
        EXPECT_EQ(parse_options("ps2", c.opts, ',', table), c.result);
        EXPECT_STREQ(dev, c.dev);
        EXPECT_STREQ(device, c.device);
        EXPECT_EQ(any, c.any);
        if (dev != canary_text)
            free(dev);
        if (device != canary_text)
            free(device);
    }
    reports.clear();
}

// A row of a type the parser does not know (a C caller may write any int
// there) is matched and counted like any other, and nothing else happens.
TEST(Argsift, RowOfUnknownTypeIsCountedOnly)
{
    int mode = CANARY, dpi = CANARY;
    option_helper table[] = {
        {"mode", OPT_END, {&mode}, 5, 0},
        {"dpi", OPT_DEC, {&dpi}, 0, 0},
        {nullptr, OPT_END, {nullptr}, 0, 0},
    };
    const int32_t unknown_type = 9;
    memcpy(&table[0].type, &unknown_type, sizeof unknown_type);
    for (const char *opts : {"mode=x,dpi=3", "mode,dpi=3", "mode 7,dpi=3"}) {
        SCOPED_TRACE(opts);
        reports.clear();
        mode = dpi = CANARY;
        EXPECT_EQ(parse_options("ps2", opts, ',', table), 2);
        EXPECT_EQ(mode, CANARY);
        EXPECT_EQ(dpi, 3);
        EXPECT_EQ(table[0].present, 1);
        EXPECT_EQ(take_warnings(), std::vector<std::string>{});
    }
}

// The caller's text lives in a read-only page: any write to it would fault.
TEST(Argsift, StringsAreFreshCopiesAndInputIsOnlyRead)
{
    long page = sysconf(_SC_PAGESIZE);
    void *map = mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED) << strerror(errno);
    char *text = static_cast<char *>(map);
    strcpy(text, "dev = /dev/ttyS0 ,dpi=2,dev=/dev/ttyS1");
    ASSERT_EQ(mprotect(map, page, PROT_READ), 0) << strerror(errno);

    char *dev = canary_text;
    int dpi = CANARY;
    option_helper table[] = {
        {"dev", OPT_STRING, {.sptr = &dev}, 0, 0},
        {"dpi", OPT_DEC, {&dpi}, 0, 0},
        {nullptr, OPT_END, {nullptr}, 0, 0},
    };
    reports.clear();
    EXPECT_EQ(parse_options("ps2", text, ',', table), 2);
    EXPECT_EQ(take_warnings(),
              std::vector<std::string>{
                  "moxd: option \"dev=/dev/ttyS1\" has already been seen, ignored (\"ps2\")\n"});
    ASSERT_NE(dev, canary_text);
    EXPECT_STREQ(dev, "/dev/ttyS0 "); // trailing blanks belong to the argument
    EXPECT_TRUE(dev < text || dev >= text + page) << "stored pointer into the caller's text";
    EXPECT_EQ(dpi, 2);

    // The pointer a new copy replaces stays the caller's: freeing it twice
    // below would be caught by the allocator or the sanitizer.
    char *first = dev;
    EXPECT_EQ(parse_options("ps2", "dev=x", ',', table), 1);
    ASSERT_NE(dev, first);
    EXPECT_STREQ(dev, "x");
    EXPECT_STREQ(first, "/dev/ttyS0 ");
    free(first);
    free(dev);

    // no argument: reported, target untouched
    dev = canary_text;
    EXPECT_EQ(parse_options("ps2", "dev=", ',', table), 1);
    EXPECT_EQ(dev, canary_text);
    EXPECT_EQ(take_warnings(), std::vector<std::string>{needs_arg("dev")});
    ASSERT_EQ(munmap(map, page), 0);
}

TEST(Argsift, PresentReflectsTheLastParse)
{
    Vars v;
    reports.clear();
    ASSERT_EQ(parse_options("ps2", "dpi=1,res=q", ',', v.table), -1);
    EXPECT_EQ(v.table[0].present, 1);
    EXPECT_EQ(v.table[1].present, 1);
    EXPECT_EQ(v.table[2].present, 0);
    EXPECT_EQ(is_option_present(v.table, "dpi"), 1);
    EXPECT_EQ(is_option_present(v.table, "res"), 1);
    EXPECT_EQ(is_option_present(v.table, "swap"), 0);
    (void) take_warnings();

    ASSERT_EQ(parse_options("ps2", "swap", ',', v.table), 1);
    EXPECT_EQ(is_option_present(v.table, "dpi"), 0);
    EXPECT_EQ(is_option_present(v.table, "swap"), 1);
    EXPECT_EQ(take_warnings(), std::vector<std::string>{});

    // a none text clears too
    ASSERT_EQ(parse_options("ps2", nullptr, ',', v.table), 0);
    EXPECT_EQ(is_option_present(v.table, "swap"), 0);

    EXPECT_EQ(is_option_present(v.table, "zoom"), 0);
    EXPECT_EQ(is_option_present(v.table, "swapped"), 0);
    EXPECT_EQ(take_warnings(), (std::vector<std::string>{"moxd: Uknown option \"zoom\"\n",
                                                         "moxd: Uknown option \"swapped\"\n"}));
}

TEST(Argsift, CheckNoOptions)
{
    struct {
        const char *opts;
        char sep;
        int result;
        std::vector<std::string> warnings;
    } cases[] = {
        {nullptr, ',', 1, {}},
        {"", ',', 1, {}},
        {",,", ',', 1, {}},
        {"dpi=1", ',', 0, {unknown("dpi=1", "ms"), CONTINUING}},
        {" ", ',', 0, {unknown(" ", "ms"), CONTINUING}},
        {"a,b", '\0', 0, {unknown("a,b", "ms"), CONTINUING}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.opts ? c.opts : "(none)");
        reports.clear();
        EXPECT_EQ(check_no_options("ms", c.opts, c.sep), c.result);
        EXPECT_EQ(take_warnings(), c.warnings);
    }
}

// The working copy cannot be made: a fatal report. This host's report
// returns, and the parser must then give up without touching the copy.
TEST(Argsift, AllocationFailures)
{
    // Each of the parser's allocations has the length of its text plus one:
    // the working copy that of the whole option string, a stored string that
    // of its argument. The two lengths differ, so each failure is aimed.
    const char text[] = "dpi=7,dev=/dev/input/mice-of-a-long-name";
    const size_t copy_size = sizeof text;
    const size_t arg_size = strlen("/dev/input/mice-of-a-long-name") + 1;
    ASSERT_NE(copy_size, arg_size);

    // The working copy: a fatal report, no parse (and -1 from a host whose
    // fatal report returns, as this one does).
    {
        StringVars v;
        reports.clear();
        fail_alloc_size = copy_size;
        int r = parse_options("ps2", text, ',', v.table);
        fail_alloc_size = 0;
        EXPECT_LT(r, 0);
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(reports[0].severity, MOX_SEV_FATAL);
        EXPECT_EQ(reports[0].file, "argsift.cpp");
        EXPECT_EQ(reports[0].text, "allocation failed!");
        EXPECT_EQ(v.dpi, CANARY);
        EXPECT_EQ(v.dev, canary_text);
        EXPECT_EQ(v.table[0].present, 0);
        reports.clear();
    }
    // A stored string: the target receives none, nothing is reported, the
    // row still counts.
    {
        StringVars v;
        reports.clear();
        fail_alloc_size = arg_size;
        int r = parse_options("ps2", text, ',', v.table);
        fail_alloc_size = 0;
        EXPECT_EQ(r, 2);
        EXPECT_TRUE(reports.empty());
        EXPECT_EQ(v.dpi, 7);
        EXPECT_EQ(v.dev, nullptr);
        EXPECT_EQ(v.table[1].present, 1);
        reports.clear();
    }
}

} // namespace
