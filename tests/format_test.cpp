// The formatting engine: the storage rule, every conversion and flag, the parser's handling
// of odd formats, floating-point digits, and the interposition of the system library's
// formatter (C code, libstdc++ streams and std::to_string all come out of this engine).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "vfw/format.h"

extern "C" {
int format_test_c_fortify_level(void);
int format_test_c_snprintf(char* out, size_t size, const char* text, int number);
int format_test_c_vsnprintf(char* out, size_t size, const char* text);
int format_test_c_overflow(size_t size);
int __snprintf_chk(char* buffer, size_t size, int flag, size_t objectSize, const char* format, ...);
}

namespace {

constexpr size_t GUARD = 16;
constexpr char UNTOUCHED = '\x5a';

struct Result {
    int count;
    std::string text;  // the bytes stored before the NUL
};

// Renders into a buffer of `size` bytes between guard bytes, and checks the storage rule:
// nothing outside the buffer or past the NUL changes, and the NUL is at min(count, size-1).
template <class Render>
Result checkedRender(size_t size, const std::string& what, Render render) {
    std::vector<char> memory(size + 2 * GUARD, UNTOUCHED);
    char* buffer = memory.data() + GUARD;
    const int count = render(buffer, size);
    const auto untouched = [](const char* from, const char* to) {
        return std::all_of(from, to, [](char c) { return c == UNTOUCHED; });
    };
    EXPECT_TRUE(untouched(memory.data(), buffer)) << "byte before the buffer changed: " << what;
    EXPECT_TRUE(untouched(buffer + size, buffer + size + GUARD))
        << "byte at or past size changed: " << what;
    if (size == 0) {
        return {count, ""};
    }
    const size_t full = count < 0 ? SIZE_MAX : static_cast<size_t>(count);
    const size_t stored = full < size - 1 ? full : size - 1;
    EXPECT_EQ(buffer[stored], '\0') << what;
    EXPECT_TRUE(untouched(buffer + stored + 1, buffer + size))
        << "byte past the NUL changed: " << what;
    return {count, std::string(buffer, stored)};
}

Result vformatInto(size_t size, const char* format, va_list args) {
    return checkedRender(
        size, format, [&](char* buffer, size_t n) { return vsnprintf(buffer, n, format, args); });
}

Result formatInto(size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Result result = vformatInto(size, format, args);
    va_end(args);
    return result;
}

// The whole text (the buffer is large enough); the count must be its length.
std::string fmt(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Result result = vformatInto(8192, format, args);
    va_end(args);
    EXPECT_EQ(static_cast<size_t>(result.count), result.text.size()) << format;
    return result.text;
}

TEST(FormatStorage, CutsAtSizeAndReturnsTheFullLength) {
    EXPECT_EQ(formatInto(4, "%s", "abcdef").text, "abc");
    EXPECT_EQ(formatInto(4, "%s", "abcdef").count, 6);
    EXPECT_EQ(formatInto(7, "%s", "abcdef").text, "abcdef");
    EXPECT_EQ(formatInto(6, "%s", "abcdef").text, "abcde");
    EXPECT_EQ(formatInto(1, "%s", "abcdef").text, "");
    EXPECT_EQ(formatInto(1, "%s", "abcdef").count, 6);
    EXPECT_EQ(formatInto(5, "literal text").text, "lite");
    EXPECT_EQ(formatInto(3, "%8d", 42).text, "  ");
    EXPECT_EQ(formatInto(8, "%-6d|%d", 42, 7).text, "42    |");
    EXPECT_EQ(formatInto(4, "%.3f", 3.14159).text, "3.1");
    EXPECT_EQ(formatInto(4, "%.3f", 3.14159).count, 5);
}

TEST(FormatStorage, SizeZeroStoresNothing) {
    EXPECT_EQ(formatInto(0, "%d", 42).count, 2);
    EXPECT_EQ(snprintf(nullptr, 0, "%d", 42), 2);
    // Held in volatile objects, so that the compiler knows neither at build time.
    char* volatile noBuffer = nullptr;
    const char* volatile noText = nullptr;
    EXPECT_EQ(snprintf(noBuffer, 0, "%s and %s", "this", noText), 15);
    // A null buffer is never written, whatever size the caller states.
    EXPECT_EQ(snprintf(noBuffer, 100, "%05d", 42), 5);
}

TEST(FormatStorage, ResultsBeyondIntMaxReturnMinusOne) {
    errno = 0;
    const Result result = formatInto(8, "%*d%*d", INT_MAX, 1, INT_MAX, 2);
    EXPECT_EQ(result.count, -1);
    EXPECT_EQ(errno, EOVERFLOW);
    EXPECT_EQ(result.text, "       ");
    // Width digits beyond an int are held at INT_MAX.
    EXPECT_EQ(formatInto(4, "%99999999999999999999d", 7).count, INT_MAX);
}

TEST(FormatStrings, NullPrecisionAndPadding) {
    EXPECT_EQ(fmt("%s", static_cast<char*>(nullptr)), "(NULL)");
    EXPECT_EQ(fmt("[%8s]", static_cast<char*>(nullptr)), "[  (NULL)]");
    EXPECT_EQ(fmt("%.2s", static_cast<char*>(nullptr)), "(N");
    EXPECT_EQ(fmt("%.2s", "abcdef"), "ab");
    EXPECT_EQ(fmt("%.0s|", "abcdef"), "|");
    EXPECT_EQ(fmt("%.10s", "abc"), "abc");
    EXPECT_EQ(fmt("[%6s]", "ab"), "[    ab]");
    EXPECT_EQ(fmt("[%-6s]", "ab"), "[ab    ]");
    EXPECT_EQ(fmt("[%06s]", "ab"), "[    ab]");
    EXPECT_EQ(fmt("[%5.1s]", "xyz"), "[    x]");
    EXPECT_EQ(fmt("[%1s]", "abc"), "[abc]");
    // With a precision the text is read no further: no NUL is needed within it.
    const char unterminated[3] = {'a', 'b', 'c'};
    EXPECT_EQ(fmt("%.3s", unterminated), "abc");
}

TEST(FormatIntegers, SignsAndFlags) {
    EXPECT_EQ(fmt("%05d", -42), "-0042");
    EXPECT_EQ(fmt("[%-5d]", 42), "[42   ]");
    EXPECT_EQ(fmt("%+d", 7), "+7");
    EXPECT_EQ(fmt("% d", 7), " 7");
    EXPECT_EQ(fmt("% d", -7), "-7");
    EXPECT_EQ(fmt("%+ d", 7), "+7");
    EXPECT_EQ(fmt("%+05d", 42), "+0042");
    EXPECT_EQ(fmt("% 05d", 42), " 0042");
    EXPECT_EQ(fmt("%+u", 7u), "7");
    EXPECT_EQ(fmt("% x", 255u), "ff");
    EXPECT_EQ(fmt("%x %X", 255u, 255u), "ff FF");
    EXPECT_EQ(fmt("%#x %#o", 255u, 8u), "ff 10");
    EXPECT_EQ(fmt("%o", 8u), "10");
    EXPECT_EQ(fmt("%i", -12), "-12");
    EXPECT_EQ(fmt("%d %u", 0, 0u), "0 0");
    EXPECT_EQ(fmt("%c%c", 'o', 'k'), "ok");
    EXPECT_EQ(fmt("[%3c][%-3c]", 'a', 'b'), "[  a][b  ]");
}

TEST(FormatIntegers, PrecisionAndZeroPadding) {
    // Precision counts digits; width counts the sign too.
    EXPECT_EQ(fmt("%.5d", 42), "00042");
    EXPECT_EQ(fmt("%.5d", -42), "-00042");
    EXPECT_EQ(fmt("[%8.5d]", 42), "[   00042]");
    EXPECT_EQ(fmt("[%-8.5d]", -42), "[-00042  ]");
    EXPECT_EQ(fmt("%.1d", 123), "123");
    EXPECT_EQ(fmt("%.0d", 0), "0");
    // "0": the zeros become the larger of the precision's zeros and the width's blanks,
    // and no blank is added, also when left-justifying.
    EXPECT_EQ(fmt("%08d", -42), "-0000042");
    EXPECT_EQ(fmt("%08.5d", 42), "00042");
    EXPECT_EQ(fmt("%08.2d", 42), "00000042");
    EXPECT_EQ(fmt("[%-05d]", 42), "[00042]");
    EXPECT_EQ(fmt("[%0-5d]", 42), "[00042]");
    EXPECT_EQ(fmt("%05x", 255u), "000ff");
    EXPECT_EQ(fmt("%2d", 12345), "12345");
}

TEST(FormatIntegers, SixtyFourBitExtremes) {
    EXPECT_EQ(fmt("%lld", static_cast<long long>(INT64_MIN)), "-9223372036854775808");
    EXPECT_EQ(fmt("%ld", static_cast<long>(INT64_MIN)), "-9223372036854775808");
    EXPECT_EQ(fmt("%lli", static_cast<long long>(INT64_MAX)), "9223372036854775807");
    EXPECT_EQ(fmt("%llu", static_cast<unsigned long long>(UINT64_MAX)), "18446744073709551615");
    EXPECT_EQ(fmt("%llx", static_cast<unsigned long long>(UINT64_MAX)), "ffffffffffffffff");
    EXPECT_EQ(fmt("%llo", static_cast<unsigned long long>(UINT64_MAX)), "1777777777777777777777");
    EXPECT_EQ(fmt("%025lld", static_cast<long long>(INT64_MIN)), "-000009223372036854775808");
    EXPECT_EQ(fmt("%d %u", INT_MIN, UINT_MAX), "-2147483648 4294967295");
    EXPECT_EQ(fmt("%x", -1), "ffffffff");
    // Without "l" the argument is an int: the 64-bit value's other half stays unread.
    EXPECT_EQ(fmt("%d|%d", 5, 6), "5|6");
    EXPECT_EQ(fmt("%zu %zd", SIZE_MAX, static_cast<ssize_t>(-3)), "18446744073709551615 -3");
    EXPECT_EQ(fmt("%jd %td", INTMAX_MIN, static_cast<ptrdiff_t>(-1)), "-9223372036854775808 -1");
    EXPECT_EQ(fmt("%hd %hhd", 65537, 300), "65537 300");
}

TEST(FormatIntegers, PointersAsHexadecimal) {
    EXPECT_EQ(fmt("%p", reinterpret_cast<void*>(0xbeef)), "beef");
    EXPECT_EQ(fmt("%p", nullptr), "0");
    EXPECT_EQ(fmt("[%8p]", reinterpret_cast<void*>(0x1234)), "[    1234]");
    EXPECT_EQ(fmt("%p", reinterpret_cast<void*>(UINTPTR_MAX)), "ffffffffffffffff");
}

TEST(FormatArguments, WidthAndPrecisionFromStar) {
    EXPECT_EQ(fmt("[%*d]", 5, 42), "[   42]");
    EXPECT_EQ(fmt("[%-*d]", 5, 42), "[42   ]");
    EXPECT_EQ(fmt("[%*d]", -5, 42), "[42]");
    EXPECT_EQ(fmt("[%0*d]", -5, 42), "[42]");
    EXPECT_EQ(fmt("[%*s]", -5, "ab"), "[ab]");
    EXPECT_EQ(fmt("%.*d", 4, 42), "0042");
    EXPECT_EQ(fmt("%.*s", 2, "abcdef"), "ab");
    EXPECT_EQ(fmt("%.*s", -1, "abcdef"), "abcdef");
    EXPECT_EQ(fmt("%.*f", -1, 1.5), "1.500000");
    EXPECT_EQ(fmt("[%*.*f]", 8, 2, 3.14159), "[    3.14]");
    // Width, then precision, then the value, then the next conversion specification's arguments.
    EXPECT_EQ(fmt("%*.*d|%s", 6, 3, 7, "next"), "   007|next");
}

TEST(FormatArguments, CountStoresByLength) {
    const struct {
        const char* format;
        size_t width;
    } cases[] = {{"abcdefg%hhn", 1},
                 {"abcdefg%hn", 2},
                 {"abcdefg%n", 4},
                 {"abcdefg%ln", 8},
                 {"abcdefg%lln", 8}};
    for (const auto& c : cases) {
        alignas(8) unsigned char target[16];
        std::memset(target, 0xAA, sizeof target);
        EXPECT_EQ(fmt(c.format, target), "abcdefg");
        // The count 7 in `width` little-endian bytes; nothing after them.
        for (size_t i = 0; i < sizeof target; ++i) {
            const unsigned expected = i == 0 ? 7 : i < c.width ? 0 : 0xAA;
            EXPECT_EQ(target[i], expected) << c.format << " byte " << i;
        }
    }
    // The count so far, also past the end of the buffer; a null target is skipped.
    int count = 0;
    EXPECT_EQ(formatInto(3, "%s%n|", "abcdef", &count).count, 7);
    EXPECT_EQ(count, 6);
    EXPECT_EQ(fmt("ab%ncd", static_cast<int*>(nullptr)), "abcd");
}

TEST(FormatFloat, ExponentAndGeneralFormsPrintFixed) {
    EXPECT_EQ(fmt("%e", 1.5), "1.500000");
    EXPECT_EQ(fmt("%E", 1.5), "1.500000");
    EXPECT_EQ(fmt("%g", 2.25), "2.250000");
    EXPECT_EQ(fmt("%G", 2.25), "2.250000");
    EXPECT_EQ(fmt("%.2e", 31415.9265), "31415.93");
    EXPECT_EQ(fmt("%g", 1e20), "100000000000000000000.000000");
    EXPECT_EQ(fmt("%.3g", 1e-5), "0.000");
    EXPECT_EQ(fmt("%lf %Lf", 0.5, 0.25L), "0.500000 0.250000");
}

TEST(FormatFloat, PrecisionDefaultsToSixAndStopsAtSixteen) {
    EXPECT_EQ(fmt("%f", 1.0), "1.000000");
    EXPECT_EQ(fmt("%.16f", 0.1), "0.1000000000000000");
    EXPECT_EQ(fmt("%.20f", 0.1), "0.1000000000000000");
    EXPECT_EQ(fmt("%.17f", 1.0 / 3), "0.3333333333333333");
    EXPECT_EQ(fmt("%.0f", 42.0), "42");
    EXPECT_EQ(fmt("%.f", 42.0), "42");
}

TEST(FormatFloat, RoundsAtHalfAUnitOfTheLastDigit) {
    // Exactly half rounds up (binary fractions with exact decimal forms).
    EXPECT_EQ(fmt("%.2f", 0.125), "0.13");
    EXPECT_EQ(fmt("%.0f", 2.5), "3");
    EXPECT_EQ(fmt("%.0f", 0.5), "1");
    EXPECT_EQ(fmt("%f", 0.0078125), "0.007813");
    EXPECT_EQ(fmt("%.2f", -0.125), "-0.13");
    // The binary value decides when the decimal literal is not exact: 2.675 is stored as
    // 2.67499999..., 999.9995 as 999.99950000000001...
    EXPECT_EQ(fmt("%.2f", 2.675), "2.67");
    EXPECT_EQ(fmt("%.3f", 999.9995), "1000.000");
    EXPECT_EQ(fmt("%f", 9.9999996), "10.000000");
    EXPECT_EQ(fmt("%.0f", 0.49999999999999994), "0");
    EXPECT_EQ(fmt("%.16f", 1e-17), "0.0000000000000000");
    EXPECT_EQ(fmt("%.16f", 6e-17), "0.0000000000000001");
}

TEST(FormatFloat, SignsFlagsAndWidth) {
    EXPECT_EQ(fmt("%+f", 1.5), "+1.500000");
    EXPECT_EQ(fmt("% .1f", 1.5), " 1.5");
    EXPECT_EQ(fmt("%010.3f", -3.14159), "-00003.142");
    EXPECT_EQ(fmt("%+08.2f", 2.5), "+0002.50");
    EXPECT_EQ(fmt("[%10.3f]", 3.14159), "[     3.142]");
    EXPECT_EQ(fmt("[%-10.3f]", -3.14159), "[-3.142    ]");
    EXPECT_EQ(fmt("[%-010.1f]", 2.0), "[00000002.0]");
    EXPECT_EQ(fmt("%.3f", -1e-9), "-0.000");
    EXPECT_EQ(fmt("%.1f", -0.0), "-0.0");
}

TEST(FormatFloat, InfinityAndNanHaveNoDigits) {
    EXPECT_EQ(fmt("%f %f", HUGE_VAL, -HUGE_VAL), "inf -inf");
    EXPECT_EQ(fmt("%E %G", HUGE_VAL, std::nan("")), "INF NAN");
    EXPECT_EQ(fmt("%f", std::nan("")), "nan");
    EXPECT_EQ(fmt("[%06f][%-5f][%+f]", HUGE_VAL, std::nan(""), HUGE_VAL), "[   inf][nan  ][+inf]");
    EXPECT_EQ(fmt("%Lf", -HUGE_VALL), "-inf");
}

TEST(FormatParse, UnknownConversionsPrintNothingAndConsumeNothing) {
    EXPECT_EQ(fmt("a%mb%d", 5), "ab5");
    EXPECT_EQ(fmt("%y%s", "x"), "x");
    EXPECT_EQ(fmt("[%-08.3lm]%d", 9), "[]9");
    EXPECT_EQ(fmt("%F|%d|%.1f", 7, 2.5), "|7|2.5");
    EXPECT_EQ(fmt("%lll%d", 1), "1");
    EXPECT_EQ(fmt("%5-d", 3), "d");
    EXPECT_EQ(fmt("%.2.3d|%s", "ok"), "3d|ok");
}

TEST(FormatParse, FormatEndingInsideASpecification) {
    EXPECT_EQ(fmt("abc%"), "abc");
    EXPECT_EQ(fmt("abc%-0 +#"), "abc");
    EXPECT_EQ(fmt("abc%12"), "abc");
    EXPECT_EQ(fmt("abc%5."), "abc");
    EXPECT_EQ(fmt("abc%5.2"), "abc");
    EXPECT_EQ(fmt("abc%5.2ll"), "abc");
    EXPECT_EQ(fmt("abc%hh"), "abc");
    EXPECT_EQ(fmt("abc%*", 5), "abc");
    EXPECT_EQ(fmt("%d%", 12), "12");
}

TEST(FormatParse, PercentFlagsAndLiterals) {
    EXPECT_EQ(fmt("100%%"), "100%");
    EXPECT_EQ(fmt("[%5%]"), "[%]");
    EXPECT_EQ(fmt("%%d"), "%d");
    EXPECT_EQ(fmt("%-+0 #6d", 42), "+00042");
    EXPECT_EQ(fmt("%++  --6d|", 42), "+42   |");
    EXPECT_EQ(fmt(""), "");
    const std::string longText(5000, 'q');
    EXPECT_EQ(fmt(longText.c_str()), longText);
    EXPECT_EQ(formatInto(10, "%s", longText.c_str()).count, 5000);
}

TEST(FormatStorage, CompilerLeavesTheResultsOfKnownCallsToTheEngine) {
    // The compiler knows every argument here, and the standard's lengths differ.
    char buffer[64];
    EXPECT_EQ(snprintf(buffer, sizeof buffer, "%.0d", 0), 1);
    EXPECT_EQ(snprintf(buffer, sizeof buffer, "%*d", -5, 42), 2);
    EXPECT_EQ(snprintf(buffer, sizeof buffer, "%g", 2.25), 8);
}

TEST(FormatChecked, FortifiedEntriesUseTheEngine) {
    char buffer[32];
    EXPECT_EQ(__snprintf_chk(buffer, sizeof buffer, 1, sizeof buffer, "%s|%e|%m.",
                             static_cast<char*>(nullptr), 1.5),
              17);
    EXPECT_STREQ(buffer, "(NULL)|1.500000|.");
    EXPECT_EQ(__snprintf_chk(buffer, 4, 1, SIZE_MAX, "%d", 123456), 6);
    EXPECT_STREQ(buffer, "123");
}

TEST(FormatCheckedDeathTest, StatedSizeBeyondTheObjectAborts) {
    char buffer[8];
    EXPECT_DEATH(__snprintf_chk(buffer, 9, 1, sizeof buffer, "%d", 1), "buffer overflow detected");
#if defined(__OPTIMIZE__)
    EXPECT_DEATH(format_test_c_overflow(5), "buffer overflow detected");
#endif
    EXPECT_EQ(format_test_c_overflow(4), 2 + '1');
}

TEST(FormatInterposition, CCodeFormatsWithTheEngine) {
#if defined(__OPTIMIZE__)
    EXPECT_EQ(format_test_c_fortify_level(), 2) << "the C caller should use the fortified calls";
#endif
    char out[64];
    EXPECT_EQ(format_test_c_snprintf(out, sizeof out, nullptr, 7), 18);
    EXPECT_STREQ(out, "(NULL)|1.500000||7");
    EXPECT_EQ(format_test_c_vsnprintf(out, sizeof out, "g"), 10);
    EXPECT_STREQ(out, "g|2.250000");
}

TEST(FormatInterposition, LibstdcxxFormatsWithTheEngine) {
    // Rounding half up at the sixth digit (the system's formatter rounds this tie to even).
    EXPECT_EQ(std::to_string(0.0078125), "0.007813");
    std::ostringstream general;
    general << 2.25 << ' ' << 2.25L << ' ' << std::scientific << 1.5;
    EXPECT_EQ(general.str(), "2.250000 2.250000 1.500000");
    std::ostringstream precise;
    precise.precision(17);
    precise << 0.1;
    EXPECT_EQ(precise.str(), "0.1000000000000000");
}

// The system library's own formatter, as a reference where its rules and the engine's agree.
std::string systemFormat(const char* format, ...) {
    using Formatter = int (*)(char*, size_t, const char*, va_list);
    static const auto system = reinterpret_cast<Formatter>(dlsym(RTLD_NEXT, "vsnprintf"));
    EXPECT_TRUE(system != nullptr && system != &vsnprintf);
    static char buffer[20000];
    va_list args;
    va_start(args, format);
    const int n = system(buffer, sizeof buffer, format, args);
    va_end(args);
    EXPECT_TRUE(n >= 0 && static_cast<size_t>(n) < sizeof buffer) << format;
    return buffer;
}

// An exact decimal expansion ("-123.4560...") rounded half up to `precision` digits.
std::string roundHalfUp(const std::string& exact, int precision) {
    const size_t start = exact[0] == '-' ? 1 : 0;
    const size_t point = exact.find('.');
    std::string digits = exact.substr(start, point - start) +
                         exact.substr(point + 1, static_cast<size_t>(precision));
    if (exact.at(point + 1 + static_cast<size_t>(precision)) >= '5') {
        size_t i = digits.size();
        while (i > 0 && digits[i - 1] == '9') {
            digits[--i] = '0';
        }
        if (i == 0) {
            digits.insert(0, "1");
        } else {
            ++digits[i - 1];
        }
    }
    const size_t integerDigits = digits.size() - static_cast<size_t>(precision);
    std::string rounded = exact.substr(0, start) + digits.substr(0, integerDigits);
    if (precision > 0) {
        rounded += "." + digits.substr(integerDigits);
    }
    return rounded;
}

TEST(FormatFloat, DigitsAreTheExactValueRoundedHalfUp) {
    std::mt19937_64 rng(20240611);
    for (int i = 0; i < 6000; ++i) {
        const int precision = static_cast<int>(rng() % 17);
        double value;
        if (i % 3 == 0) {  // binary fractions with short decimal forms: many exact halves
            value = std::ldexp(static_cast<double>(rng() % 100000), -static_cast<int>(rng() % 20));
        } else {
            const int exponent =
                i % 10 == 1 ? static_cast<int>(rng() % 1024) : static_cast<int>(rng() % 150) - 80;
            value = std::ldexp(static_cast<double>(rng() >> 11), exponent - 53);
        }
        if ((rng() & 1) != 0) {
            value = -value;
        }
        const std::string expected = roundHalfUp(systemFormat("%.1100f", value), precision);
        ASSERT_EQ(fmt("%.*f", precision, value), expected) << systemFormat("%a", value);
    }
    for (int i = 0; i < 3000; ++i) {
        const int precision = static_cast<int>(rng() % 17);
        const int exponent = static_cast<int>(rng() % 150) - 70;
        const long double value = std::ldexp(static_cast<long double>(rng()), exponent - 64);
        const std::string expected = roundHalfUp(systemFormat("%.200Lf", value), precision);
        ASSERT_EQ(fmt("%.*Lf", precision, value), expected) << systemFormat("%La", value);
    }
    // Integral values of any size come out digit for digit.
    EXPECT_EQ(fmt("%.0Lf", LDBL_MAX), systemFormat("%.0Lf", LDBL_MAX));
    EXPECT_EQ(fmt("%.3f", -DBL_MAX), systemFormat("%.3f", -DBL_MAX));
    EXPECT_EQ(fmt("%.0Lf", std::ldexp(1.0L, 100)), "1267650600228229401496703205376");
}

// Flags, width and precision where the engine's rules and the standard's coincide:
// no "0" or "#" flag and no zero precision.
TEST(FormatIntegers, AgreeWithTheStandardWhereTheRulesCoincide) {
    std::mt19937_64 rng(77);
    const char* const flagSets[] = {"", "-", "+", " ", "-+", "- ", "+ "};
    const char* const lengths[] = {"", "l", "ll"};
    const char conversions[] = "diuoxXsc";
    for (int i = 0; i < 20000; ++i) {
        std::string format = std::string("[%") + flagSets[rng() % 7];
        if (rng() % 2 != 0) {
            format += std::to_string(rng() % 30);
        }
        if (rng() % 2 != 0) {
            format += "." + std::to_string(1 + rng() % 24);
        }
        const char conversion = conversions[rng() % 8];
        const bool wide = conversion != 's' && conversion != 'c' && rng() % 2 != 0;
        if (wide) {
            format += lengths[1 + rng() % 2];
        }
        format += conversion;
        format += ']';
        const uint64_t bits = rng() >> (rng() % 64);
        const char* f = format.c_str();
        if (conversion == 's') {
            const std::string text(static_cast<size_t>(rng() % 40),
                                   static_cast<char>('a' + i % 26));
            ASSERT_EQ(fmt(f, text.c_str()), systemFormat(f, text.c_str())) << f;
        } else if (wide) {
            ASSERT_EQ(fmt(f, bits), systemFormat(f, bits)) << f;
        } else if (conversion == 'c') {
            const int letter = 'A' + static_cast<int>(bits % 26);
            ASSERT_EQ(fmt(f, letter), systemFormat(f, letter)) << f;
        } else {
            const auto narrow = static_cast<int>(static_cast<uint32_t>(bits));
            ASSERT_EQ(fmt(f, narrow), systemFormat(f, narrow)) << f;
        }
    }
}

#if defined(__x86_64__)
// Every integer and pointer argument takes one 8-byte slot of one sequence, so a call that
// passes nothing but pointers to writable, NUL-terminated scratch strings is safe for any
// format: "%d" reads half a pointer, "%s" a scratch string, "%n" stores into one, "%*d" a
// width from one. Doubles beyond the eight passed are read from the same slots.
constexpr size_t SLOTS = 48;
constexpr size_t SCRATCH = 32;

struct Arguments {
    alignas(8) char scratch[SLOTS][SCRATCH];
    const char* slots[SLOTS];
    double doubles[8];

    void reset() {
        for (size_t i = 0; i < SLOTS; ++i) {
            std::snprintf(scratch[i], SCRATCH, "slot%zu", i);
            scratch[i][SCRATCH - 1] = '\0';
            slots[i] = scratch[i];
        }
    }
};

template <size_t... I, size_t... J>
int renderAll(char* buffer, size_t size, const char* format, const Arguments& a,
              std::index_sequence<I...>, std::index_sequence<J...>) {
    return snprintf(buffer, size, format, a.slots[I]..., a.doubles[J]...);
}

int render(char* buffer, size_t size, const std::string& format, Arguments& arguments) {
    arguments.reset();
    return renderAll(buffer, size, format.c_str(), arguments, std::make_index_sequence<SLOTS>(),
                     std::make_index_sequence<8>());
}

// Up to eight conversion specifications of every kind (known, unknown, cut short) among literal
// text.
std::string randomFormat(std::mt19937_64& rng) {
    static const char* const pieces[] = {"a", "text ", "|", "%%", "\t", "\xc3\xa9", "%"};
    static const char* const lengths[] = {"", "", "", "h", "hh", "l", "ll", "L", "z"};
    static const char conversions[] = "diuoxXpcsfeEgGn%my.-";
    std::string format;
    const int specs = static_cast<int>(rng() % 9);
    for (int s = 0; s < specs; ++s) {
        format += pieces[rng() % 6];
        format += '%';
        for (int flags = static_cast<int>(rng() % 4); flags > 0; --flags) {
            format += "-+ #0"[rng() % 5];
        }
        switch (rng() % 3) {
            case 0:
                format += std::to_string(rng() % 40);
                break;
            case 1:
                format += '*';
                break;
            default:
                break;
        }
        switch (rng() % 3) {
            case 0:
                format += "." + std::to_string(rng() % 20);
                break;
            case 1:
                format += ".*";
                break;
            default:
                break;
        }
        format += lengths[rng() % 9];
        if (rng() % 20 == 0) {
            return format;  // ends inside the conversion specification
        }
        format += conversions[rng() % (sizeof conversions - 1)];
    }
    format += pieces[rng() % 6];
    return format;
}

TEST(FormatProperty, StorageRuleHoldsForRandomFormatsAndSizes) {
    std::mt19937_64 rng(4242);
    Arguments arguments;
    for (double& d : arguments.doubles) {
        d = std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 120) - 80);
    }
    for (int i = 0; i < 3000; ++i) {
        const std::string format = randomFormat(rng);
        std::vector<char> reference(4096);
        const int count = render(reference.data(), reference.size(), format, arguments);
        const size_t known = count < 0 ? reference.size() - 1 : std::min<size_t>(count, 4095);
        const size_t sizes[] = {0, 1, 2, rng() % 16, rng() % 80, known, known + 1};
        for (const size_t size : sizes) {
            const Result result = checkedRender(size, format, [&](char* buffer, size_t n) {
                return render(buffer, n, format, arguments);
            });
            ASSERT_EQ(result.count, count) << format;
            if (result.text.size() <= known) {
                ASSERT_EQ(result.text, std::string(reference.data(), result.text.size())) << format;
            }
        }
    }
}
#endif

}  // namespace
