// The client protocol records, checked at run time on the machine that runs
// the test: sizes, field offsets and byte order of Mox_Connect and Mox_Event
// as they leave the process, and the word size of the build. Run inside the
// i386 guest, this is the proof that the records keep their layout there.
#include <gtest/gtest.h>

#include <sys/utsname.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "mox.h"

namespace
{

struct field_row {
    const char *name;
    size_t offset;
    size_t width;
    size_t want_offset;
    size_t want_width;
};

#define ROW(rec, field, off, width)                                                                \
    field_row                                                                                      \
    {                                                                                              \
#field, offsetof(rec, field), sizeof(rec::field), off, width                               \
    }

const field_row connect_rows[] = {
    ROW(Mox_Connect, eventMask, 0, 2), ROW(Mox_Connect, defaultMask, 2, 2),
    ROW(Mox_Connect, minMod, 4, 2),    ROW(Mox_Connect, maxMod, 6, 2),
    ROW(Mox_Connect, pid, 8, 4),       ROW(Mox_Connect, vc, 12, 4),
};

const field_row event_rows[] = {
    ROW(Mox_Event, buttons, 0, 1), ROW(Mox_Event, modifiers, 1, 1), ROW(Mox_Event, vc, 2, 2),
    ROW(Mox_Event, dx, 4, 2),      ROW(Mox_Event, dy, 6, 2),        ROW(Mox_Event, x, 8, 2),
    ROW(Mox_Event, y, 10, 2),      ROW(Mox_Event, type, 12, 4),     ROW(Mox_Event, clicks, 16, 4),
    ROW(Mox_Event, margin, 20, 4), ROW(Mox_Event, wdx, 24, 2),      ROW(Mox_Event, wdy, 26, 2),
};

#undef ROW

void check_rows(const char *record, const field_row *rows, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        const field_row &r = rows[i];
        SCOPED_TRACE(r.name);
        std::printf("%s.%s: offset %zu, width %zu\n", record, r.name, r.offset, r.width);
        EXPECT_EQ(r.offset, r.want_offset);
        EXPECT_EQ(r.width, r.want_width);
    }
}

// The bytes of value as they would be written to the socket.
template <typename Record> void bytes_of(const Record &value, uint8_t *out)
{
    std::memcpy(out, &value, sizeof value);
}

TEST(RecordLayout, ConnectFieldsSitAtTheirOffsets)
{
    std::printf("sizeof(Mox_Connect) = %zu\n", sizeof(Mox_Connect));
    EXPECT_EQ(sizeof(Mox_Connect), 16u);
    check_rows("Mox_Connect", connect_rows, sizeof connect_rows / sizeof connect_rows[0]);
}

TEST(RecordLayout, EventFieldsSitAtTheirOffsets)
{
    std::printf("sizeof(Mox_Event) = %zu\n", sizeof(Mox_Event));
    EXPECT_EQ(sizeof(Mox_Event), 28u);
    check_rows("Mox_Event", event_rows, sizeof event_rows / sizeof event_rows[0]);
}

// Distinct values in every field land, least significant byte first, at the
// offsets the peer reads them from.
TEST(RecordLayout, ConnectBytesAreLittleEndianAtTheirOffsets)
{
    Mox_Connect c;
    std::memset(&c, 0xEE, sizeof c);
    c.eventMask = 0x0201;
    c.defaultMask = 0x0403;
    c.minMod = 0x0605;
    c.maxMod = 0x0807;
    c.pid = 0x0C0B0A09;
    c.vc = 0x100F0E0D;
    uint8_t b[sizeof c];
    bytes_of(c, b);
    for (size_t i = 0; i < sizeof b; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(b[i], i + 1);
    }
}

TEST(RecordLayout, EventBytesAreLittleEndianAtTheirOffsets)
{
    Mox_Event e;
    std::memset(&e, 0xEE, sizeof e);
    e.buttons = 0x01;
    e.modifiers = 0x02;
    e.vc = 0x0403;
    e.dx = 0x0605;
    e.dy = 0x0807;
    e.x = 0x0A09;
    e.y = 0x0C0B;
    e.type = 0x100F0E0Du;
    e.clicks = 0x14131211;
    e.margin = 0x18171615u;
    e.wdx = 0x1A19;
    e.wdy = 0x1C1B;
    uint8_t b[sizeof e];
    bytes_of(e, b);
    for (size_t i = 0; i < sizeof b; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(b[i], i + 1);
    }
}

// In a 32-bit build: long and pointers are 4 bytes, and the kernel the test
// runs on is a 32-bit x86 one (uname), so the checks above ran on the target.
TEST(RecordLayout, WordSizeOfTheTarget)
{
    struct utsname u;
    ASSERT_EQ(uname(&u), 0);
    std::printf("sizeof(long) = %zu, sizeof(void *) = %zu, machine %s, kernel %s\n", sizeof(long),
                sizeof(void *), u.machine, u.release);
#if defined(__i386__)
    EXPECT_EQ(sizeof(long), 4u);
    EXPECT_EQ(sizeof(void *), 4u);
    const bool x86_32 = u.machine[0] == 'i' && std::strcmp(u.machine + 2, "86") == 0;
    EXPECT_TRUE(x86_32) << "running on " << u.machine;
#else
    GTEST_SKIP() << "not a 32-bit x86 build";
#endif
}

} // namespace
