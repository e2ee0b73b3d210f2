// The configuration store's typed getters: integers, unsigned integers, booleans and times.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

#include "cproperties_test_helpers.h"

using cprops_test::loadText;
using cprops_test::Store;

namespace {

TEST(CPropertiesGetInt, DecimalTruncatedToSigned32Bits) {
    Store s;
    ASSERT_EQ(0, loadText(s,
                          "a: 42\nb: -7\nc: abc\nd: 12abc\ne: 4294967297\nf: 0x10\n"
                          "g: 010\nempty:\n"));
    int err = 1;
    EXPECT_EQ(42, s->getInt(s.p, "A", 5, &err));
    EXPECT_EQ(0, err);
    EXPECT_EQ(-7, s->getInt(s.p, "b", 5, nullptr));
    EXPECT_EQ(0, s->getInt(s.p, "c", 5, nullptr));   // no validation: not a number is 0
    EXPECT_EQ(12, s->getInt(s.p, "d", 5, nullptr));  // leading digits
    EXPECT_EQ(1, s->getInt(s.p, "e", 5, nullptr));   // low 32 bits of 2^32 + 1
    EXPECT_EQ(0, s->getInt(s.p, "f", 5, nullptr));   // base 10 only
    EXPECT_EQ(10, s->getInt(s.p, "g", 5, nullptr));
    EXPECT_EQ(5, s->getInt(s.p, "empty", 5, nullptr));
    EXPECT_EQ(5, s->getInt(s.p, "missing", 5, &err));
    EXPECT_EQ(0, err);
    EXPECT_EQ(5, s->getInt(s.p, nullptr, 5, &err));
    EXPECT_EQ(-22, err);
}

TEST(CPropertiesGetUInt, HexOctalAndLow32Bits) {
    Store s;
    ASSERT_EQ(0, loadText(s,
                          "hex: 0x1F\nHEXU: 0XfF\noct: 017\ndec: 4000000000\n"
                          "wrap: 4294967296\nwrap1: 4294967297\nneg: -1\nzero: 0\n"));
    EXPECT_EQ(31u, s->getUInt(s.p, "hex", 9, nullptr));
    EXPECT_EQ(255u, s->getUInt(s.p, "hexu", 9, nullptr));
    EXPECT_EQ(15u, s->getUInt(s.p, "oct", 9, nullptr));
    EXPECT_EQ(4000000000u, s->getUInt(s.p, "dec", 9, nullptr));
    EXPECT_EQ(0u, s->getUInt(s.p, "wrap", 9, nullptr));
    EXPECT_EQ(1u, s->getUInt(s.p, "wrap1", 9, nullptr));
    EXPECT_EQ(4294967295u, s->getUInt(s.p, "neg", 9, nullptr));
    EXPECT_EQ(0u, s->getUInt(s.p, "zero", 9, nullptr));
    EXPECT_EQ(9u, s->getUInt(s.p, "missing", 9, nullptr));
}

TEST(CPropertiesGetBool, WordsInAnyCase) {
    Store s;
    ASSERT_EQ(0, loadText(s,
                          "t1: true\nt2: TRUE\nt3: Yes\nt4: 1\n"
                          "f1: false\nf2: FaLsE\nf3: NO\nf4: 0\n"
                          "flag = YES\nmaybe: maybe\nten: 10\nempty:\n"));
    for (const char* name : {"t1", "t2", "t3", "t4", "flag"}) {
        EXPECT_TRUE(s->getBool(s.p, name, false, nullptr)) << name;
    }
    for (const char* name : {"f1", "f2", "f3", "f4"}) {
        EXPECT_FALSE(s->getBool(s.p, name, true, nullptr)) << name;
    }
    for (const char* name : {"maybe", "ten", "empty", "missing"}) {
        EXPECT_TRUE(s->getBool(s.p, name, true, nullptr)) << name;
        EXPECT_FALSE(s->getBool(s.p, name, false, nullptr)) << name;
    }
}

TEST(CPropertiesGetTime, EveryUnit) {
    Store s;
    ASSERT_EQ(0, loadText(s,
                          "s: 10s\nmin: 10m\nh: 10h\nd: 10d\nw: 10w\nmonth: 10M\ny: 10y\n"
                          "plain: 10\nzero: 0h\nspaced: 10 m\ntrail: 2hours\n"));
    int err = 1;
    EXPECT_EQ(10, s->getTime(s.p, "s", 30, 's', &err));
    EXPECT_EQ(0, err);
    EXPECT_EQ(600, s->getTime(s.p, "min", 30, 's', nullptr));
    EXPECT_EQ(36000, s->getTime(s.p, "h", 30, 's', nullptr));
    EXPECT_EQ(864000, s->getTime(s.p, "d", 30, 's', nullptr));
    EXPECT_EQ(6048000, s->getTime(s.p, "w", 30, 's', nullptr));
    // Units are case-sensitive: "M" is a month, "m" a minute.
    EXPECT_EQ(26280000, s->getTime(s.p, "month", 30, 's', nullptr));
    EXPECT_EQ(315360000, s->getTime(s.p, "y", 30, 's', nullptr));
    EXPECT_EQ(10, s->getTime(s.p, "plain", 30, 's', nullptr));
    EXPECT_EQ(600, s->getTime(s.p, "plain", 30, 'm', nullptr));  // the default unit applies
    EXPECT_EQ(0, s->getTime(s.p, "zero", 30, 's', nullptr));
    EXPECT_EQ(7200, s->getTime(s.p, "trail", 30, 's', nullptr));  // one unit letter is read
    EXPECT_EQ(30, s->getTime(s.p, "spaced", 30, 's', nullptr));   // the blank is the unit
}

TEST(CPropertiesGetTime, MinusOneNegativeBadUnitAndMissing) {
    Store s;
    ASSERT_EQ(0, loadText(s,
                          "never: -1\nneverh: -1h\nneg: -5\nnegm: -5m\nbad: 10x\n"
                          "text: soon\nempty:\n"));
    int err = 1;
    EXPECT_EQ(-1, s->getTime(s.p, "never", 30, 's', &err));
    EXPECT_EQ(0, err);
    EXPECT_EQ(-1, s->getTime(s.p, "neverh", 30, 'm', &err));
    EXPECT_EQ(30, s->getTime(s.p, "neg", 30, 's', &err));
    EXPECT_EQ(-22, err);
    EXPECT_EQ(1800, s->getTime(s.p, "negm", 30, 'm', &err));
    EXPECT_EQ(-22, err);
    EXPECT_EQ(30, s->getTime(s.p, "bad", 30, 's', &err));
    EXPECT_EQ(0, err);
    EXPECT_EQ(120, s->getTime(s.p, "bad", 2, 'm', nullptr));
    EXPECT_EQ(30, s->getTime(s.p, "text", 30, 's', nullptr));
    EXPECT_EQ(30, s->getTime(s.p, "empty", 30, 's', nullptr));
    EXPECT_EQ(7200, s->getTime(s.p, "missing", 2, 'h', &err));
    EXPECT_EQ(0, err);
    EXPECT_EQ(0, s->getTime(s.p, "missing", 2, 'x', nullptr));  // a bad default unit is 0
}

TEST(CPropertiesGetTime, NoSignedOverflow) {
    Store s;
    ASSERT_EQ(0, loadText(s,
                          "big: 100y\nhuge: 99999999999\nhugeunit: 99999999999s\n"
                          "edge: 2147483647\nedgeunit: 2147483647s\nover: 2147483648\n"
                          "veryneg: -99999999999\nmin: -2147483648\n"));
    int err = 0;
    EXPECT_EQ(30, s->getTime(s.p, "big", 30, 's', &err));  // 3153600000 s does not fit
    EXPECT_EQ(-22, err);
    EXPECT_EQ(30, s->getTime(s.p, "huge", 30, 's', &err));
    EXPECT_EQ(-22, err);
    EXPECT_EQ(30, s->getTime(s.p, "hugeunit", 30, 's', &err));
    EXPECT_EQ(-22, err);
    EXPECT_EQ(INT32_MAX, s->getTime(s.p, "edge", 30, 's', &err));
    EXPECT_EQ(0, err);
    EXPECT_EQ(INT32_MAX, s->getTime(s.p, "edgeunit", 30, 'h', &err));
    EXPECT_EQ(0, err);
    EXPECT_EQ(1800, s->getTime(s.p, "edge", 30, 'm', &err));  // times 60 no longer fits
    EXPECT_EQ(-22, err);
    EXPECT_EQ(30, s->getTime(s.p, "over", 30, 's', &err));
    EXPECT_EQ(-22, err);
    EXPECT_EQ(30, s->getTime(s.p, "veryneg", 30, 's', &err));
    EXPECT_EQ(-22, err);
    EXPECT_EQ(30, s->getTime(s.p, "min", 30, 's', &err));
    EXPECT_EQ(-22, err);
    // A default that does not fit is clamped and reported.
    EXPECT_EQ(INT32_MAX, s->getTime(s.p, "missing", 100, 'y', &err));
    EXPECT_EQ(-22, err);
    EXPECT_EQ(INT32_MIN, s->getTime(s.p, "missing", -100, 'y', &err));
    EXPECT_EQ(-22, err);
}

}  // namespace
