// The formatting engine and what is built on it: the storage rule, conversions, flags and odd
// formats by table, property tests against the C library's own formatter and against exact
// decimal expansions, the fortified entries that C and libstdc++ code reach (format_test_c.c),
// the string helpers, and the exception messages and records.
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
#include <ctime>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "vfw/error_util.h"
#include "vfw/format.h"
#include "vfw/string_util.h"

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

// Renders into `size` bytes between guard bytes and checks the storage rule: the NUL stands at
// min(count, size - 1) and no other byte outside the stored text changes.
template <class Render>
Result checkedRender(size_t size, const std::string& what, Render render) {
    std::vector<char> memory(size + 2 * GUARD, UNTOUCHED);
    char* buffer = memory.data() + GUARD;
    const int count = render(buffer, size);
    const size_t full = count < 0 ? SIZE_MAX : static_cast<size_t>(count);
    const size_t stored = size == 0 ? 0 : std::min(full, size - 1);
    std::vector<char> expected(memory.size(), UNTOUCHED);
    std::copy_n(buffer, stored, expected.begin() + GUARD);
    if (size != 0) {
        expected[GUARD + stored] = '\0';
    }
    EXPECT_TRUE(memory == expected) << "storage rule broken: " << what;
    return {count, std::string(buffer, stored)};
}

Result formatInto(size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Result result = checkedRender(
        size, format, [&](char* buffer, size_t n) { return vsnprintf(buffer, n, format, args); });
    va_end(args);
    return result;
}

// The whole text (the buffer is large enough); the count must be its length.
template <class... Args>
std::string fmt(const char* format, Args... args) {
    const Result result = formatInto(8192, format, args...);
    EXPECT_EQ(static_cast<size_t>(result.count), result.text.size()) << format;
    return result.text;
}

TEST(FormatStorage, CutCountAndBounds) {
    EXPECT_EQ(formatInto(4, "%s", "abcdef").text, "abc");
    EXPECT_EQ(formatInto(4, "%s", "abcdef").count, 6);
    EXPECT_EQ(formatInto(1, "%s", "abcdef").count, 6);
    EXPECT_EQ(formatInto(0, "%d", 42).count, 2);
    // Held in volatile objects, so that the compiler knows neither at build time. A null
    // buffer is never written, whatever size the caller states.
    char* volatile noBuffer = nullptr;
    const char* volatile noText = nullptr;
    EXPECT_EQ(snprintf(noBuffer, 0, "%s and %s", "this", noText), 15);
    EXPECT_EQ(snprintf(noBuffer, 100, "%05d", 42), 5);
    // Results beyond INT_MAX return -1; width digits beyond an int are held at INT_MAX.
    errno = 0;
    const Result huge = formatInto(8, "%*d%*d", INT_MAX, 1, INT_MAX, 2);
    EXPECT_EQ(huge.count, -1);
    EXPECT_EQ(errno, EOVERFLOW);
    EXPECT_EQ(huge.text, "       ");
    EXPECT_EQ(formatInto(4, "%99999999999999999999d", 7).count, INT_MAX);
    // The compiler knows every argument here and the standard's lengths differ: it must leave
    // the results to the engine.
    char buffer[64];
    EXPECT_EQ(snprintf(buffer, sizeof buffer, "%.0d", 0), 1);
    EXPECT_EQ(snprintf(buffer, sizeof buffer, "%*d", -5, 42), 2);
    EXPECT_EQ(snprintf(buffer, sizeof buffer, "%g", 2.25), 8);
}

TEST(Format, ConversionsFlagsAndLengths) {
    const char* none = nullptr;
    const char unterminated[3] = {'a', 'b', 'c'};  // a precision reads no further
    const std::pair<std::string, const char*> cases[] = {
        {fmt("%s|%8s|%.2s", none, none, none), "(NULL)|  (NULL)|(N"},
        {fmt("%.2s|%.0s|%.10s|%.3s", "abcdef", "abcdef", "abc", unterminated), "ab||abc|abc"},
        {fmt("[%6s][%-6s][%06s][%5.1s]", "ab", "ab", "ab", "xyz"),
         "[    ab][ab    ][    ab][    x]"},
        {fmt("[%05d][%-5d][%+d][% d][% d]", -42, 42, 7, 7, -7), "[-0042][42   ][+7][ 7][-7]"},
        {fmt("[%+ d][%+05d][% 05d][%+u][% x]", 7, 42, 42, 7u, 255u), "[+7][+0042][ 0042][7][ff]"},
        {fmt("%x %X %#x %#o %i %c%c", 255u, 255u, 255u, 8u, -12, 'o', 'k'), "ff FF ff 10 -12 ok"},
        {fmt("[%3c][%-3c][%2d]", 'a', 'b', 12345), "[  a][b  ][12345]"},
        // Precision counts digits; "0" makes the zeros the larger of the precision's zeros
        // and the width's blanks, and adds no blank, also when left-justifying.
        {fmt("%.5d|%.5d|[%8.5d]|%.0d", 42, -42, 42, 0), "00042|-00042|[   00042]|0"},
        {fmt("%08d|%08.5d|%08.2d|%05x", -42, 42, 42, 255u), "-0000042|00042|00000042|000ff"},
        {fmt("[%-05d][%0-5d][%-8.5d]", 42, 42, -42), "[00042][00042][-00042  ]"},
        {fmt("%lld", static_cast<long long>(INT64_MIN)), "-9223372036854775808"},
        {fmt("%025lld|%ld", static_cast<long long>(INT64_MIN), static_cast<long>(INT64_MAX)),
         "-000009223372036854775808|9223372036854775807"},
        {fmt("%llu %llx", static_cast<unsigned long long>(UINT64_MAX), UINT64_MAX),
         "18446744073709551615 ffffffffffffffff"},
        {fmt("%llo|%d %u %x", UINT64_MAX, INT_MIN, UINT_MAX, -1),
         "1777777777777777777777|-2147483648 4294967295 ffffffff"},
        {fmt("%zu %zd %jd %td", SIZE_MAX, static_cast<ssize_t>(-3), INTMAX_MIN,
             static_cast<ptrdiff_t>(-1)),
         "18446744073709551615 -3 -9223372036854775808 -1"},
        {fmt("%hd %hhd", 65537, 300), "65537 300"},
        {fmt("%p|%p|[%8p]", reinterpret_cast<void*>(0xbeef), nullptr,
             reinterpret_cast<void*>(0x1234)),
         "beef|0|[    1234]"},
        // "*": width, then precision, then the value; a negative width pads nothing.
        {fmt("[%*d][%-*d][%*d][%0*d][%*s]", 5, 42, 5, 42, -5, 42, -5, 42, -5, "ab"),
         "[   42][42   ][42][42][ab]"},
        {fmt("%.*d|%.*s|%.*s|%.*f", 4, 42, 2, "abcdef", -1, "abcdef", -1, 1.5),
         "0042|ab|abcdef|1.500000"},
        {fmt("[%*.*f]%*.*d|%s", 8, 2, 3.14159, 6, 3, 7, "next"), "[    3.14]   007|next"},
        // Floating point: fixed notation for every conversion, precision 6 at most 16.
        {fmt("%e %E %g %G", 1.5, 1.5, 2.25, 2.25), "1.500000 1.500000 2.250000 2.250000"},
        {fmt("%.2e|%g|%.3g", 31415.9265, 1e20, 1e-5),
         "31415.93|100000000000000000000.000000|0.000"},
        {fmt("%lf %Lf|%.20f|%.0f|%.f", 0.5, 0.25L, 0.1, 42.0, 42.0),
         "0.500000 0.250000|0.1000000000000000|42|42"},
        {fmt("%.2f|%.0f|%.2f|%f", 0.125, 2.5, -0.125, 9.9999996), "0.13|3|-0.13|10.000000"},
        {fmt("%+f|% .1f|%010.3f|%+08.2f", 1.5, 1.5, -3.14159, 2.5),
         "+1.500000| 1.5|-00003.142|+0002.50"},
        {fmt("[%-10.3f][%-010.1f]%.3f|%.1f", -3.14159, 2.0, -1e-9, -0.0),
         "[-3.142    ][00000002.0]-0.000|-0.0"},
        {fmt("%f %f %E %G %f %Lf", HUGE_VAL, -HUGE_VAL, HUGE_VAL, std::nan(""), std::nan(""),
             -HUGE_VALL),
         "inf -inf INF NAN nan -inf"},
        {fmt("[%06f][%-5f][%+f]", HUGE_VAL, std::nan(""), HUGE_VAL), "[   inf][nan  ][+inf]"},
        // No conversion: nothing printed, nothing consumed; the format may end anywhere.
        {fmt("a%mb%d|%y%s|[%-08.3lm]%d", 5, "x", 9), "ab5|x|[]9"},
        {fmt("%F|%d|%.1f|%lll%d|%5-d", 7, 2.5, 1, 3), "|7|2.5|1|d"},
        {fmt("%.2.3d|%s", "ok"), "3d|ok"},
        {fmt("abc%"), "abc"},
        {fmt("abc%-0 +#"), "abc"},
        {fmt("abc%12"), "abc"},
        {fmt("abc%5."), "abc"},
        {fmt("abc%5.2ll"), "abc"},
        {fmt("abc%hh"), "abc"},
        {fmt("abc%*", 5), "abc"},
        {fmt("%d%", 12), "12"},
        {fmt("100%%|[%5%]|%%d"), "100%|[%]|%d"},
        {fmt("%-+0 #6d|%++  --6d|", 42, 42), "+00042|+42   |"},
        {fmt(""), ""},
    };
    for (const auto& [got, expected] : cases) {
        EXPECT_EQ(got, expected);
    }
    const std::string longText(5000, 'q');
    EXPECT_EQ(fmt(longText.c_str()), longText);
}

TEST(Format, CountStoresByLength) {
    const std::pair<const char*, size_t> cases[] = {{"abcdefg%hhn", 1},
                                                    {"abcdefg%hn", 2},
                                                    {"abcdefg%n", 4},
                                                    {"abcdefg%ln", 8},
                                                    {"abcdefg%lln", 8}};
    for (const auto& [format, width] : cases) {
        alignas(8) unsigned char target[16];
        std::memset(target, 0xAA, sizeof target);
        EXPECT_EQ(fmt(format, target), "abcdefg");
        for (size_t i = 0; i < sizeof target; ++i) {  // 7 in `width` little-endian bytes
            EXPECT_EQ(target[i], i == 0 ? 7u : i < width ? 0u : 0xAAu) << format << " " << i;
        }
    }
    // The count so far, also past the end of the buffer; a null target is skipped.
    int count = 0;
    EXPECT_EQ(formatInto(3, "%s%n|", "abcdef", &count).count, 7);
    EXPECT_EQ(count, 6);
    EXPECT_EQ(fmt("ab%ncd", static_cast<int*>(nullptr)), "abcd");
}

TEST(FormatInterposition, FortifiedCAndLibstdcxxCallersUseTheEngine) {
    char buffer[32];
    EXPECT_EQ(__snprintf_chk(buffer, sizeof buffer, 1, sizeof buffer, "%s|%e|%m.",
                             static_cast<char*>(nullptr), 1.5),
              17);
    EXPECT_STREQ(buffer, "(NULL)|1.500000|.");
    EXPECT_EQ(__snprintf_chk(buffer, 4, 1, SIZE_MAX, "%d", 123456), 6);
    EXPECT_STREQ(buffer, "123");
#if defined(__OPTIMIZE__)
    EXPECT_EQ(format_test_c_fortify_level(), 2) << "the C caller should use the fortified calls";
#endif
    char out[64];
    EXPECT_EQ(format_test_c_snprintf(out, sizeof out, nullptr, 7), 18);
    EXPECT_STREQ(out, "(NULL)|1.500000||7");
    EXPECT_EQ(format_test_c_vsnprintf(out, sizeof out, "g"), 10);
    EXPECT_STREQ(out, "g|2.250000");
    EXPECT_EQ(format_test_c_overflow(4), 2 + '1');
    // Rounding half up at the sixth digit (the system's formatter rounds this tie to even).
    EXPECT_EQ(std::to_string(0.0078125), "0.007813");
    std::ostringstream stream;
    stream << 2.25 << ' ' << 2.25L << ' ' << std::scientific << 1.5 << ' ';
    stream.precision(17);
    stream << std::defaultfloat << 0.1;
    EXPECT_EQ(stream.str(), "2.250000 2.250000 1.500000 0.1000000000000000");
}

TEST(FormatInterpositionDeathTest, StatedSizeBeyondTheObjectAborts) {
    char buffer[8];
    EXPECT_DEATH(__snprintf_chk(buffer, 9, 1, sizeof buffer, "%d", 1), "buffer overflow detected");
#if defined(__OPTIMIZE__)
    EXPECT_DEATH(format_test_c_overflow(5), "buffer overflow detected");
#endif
}

// The system library's own formatter, as a reference where its rules and the engine's agree.
template <class... Args>
std::string systemFormat(const char* format, Args... args) {
    using Formatter = int (*)(char*, size_t, const char*, ...);
    static const auto system = reinterpret_cast<Formatter>(dlsym(RTLD_NEXT, "snprintf"));
    EXPECT_TRUE(system != nullptr && system != reinterpret_cast<Formatter>(&snprintf));
    static char buffer[20000];
    const int n = system(buffer, sizeof buffer, format, args...);
    EXPECT_TRUE(n >= 0 && static_cast<size_t>(n) < sizeof buffer) << format;
    return buffer;
}

// An exact decimal expansion ("-123.4560...") rounded half up to `precision` digits.
std::string roundHalfUp(const std::string& exact, size_t precision) {
    const size_t start = exact[0] == '-' ? 1 : 0;
    const size_t point = exact.find('.');
    std::string digits = exact.substr(start, point - start) + exact.substr(point + 1, precision);
    if (exact.at(point + 1 + precision) >= '5') {
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
    const size_t integerDigits = digits.size() - precision;
    return exact.substr(0, start) + digits.substr(0, integerDigits) +
           (precision > 0 ? "." + digits.substr(integerDigits) : "");
}

TEST(FormatProperty, FloatDigitsAreTheExactValueRoundedHalfUp) {
    std::mt19937_64 rng(20240611);
    for (int i = 0; i < 6000; ++i) {
        const size_t precision = rng() % 17;
        double value;
        if (i % 3 == 0) {  // binary fractions with short decimal forms: many exact halves
            value = std::ldexp(static_cast<double>(rng() % 100000), -static_cast<int>(rng() % 20));
        } else {
            const int exponent =
                i % 10 == 1 ? static_cast<int>(rng() % 1024) : static_cast<int>(rng() % 150) - 80;
            value = std::ldexp(static_cast<double>(rng() >> 11), exponent - 53);
        }
        value = (rng() & 1) != 0 ? -value : value;
        ASSERT_EQ(fmt("%.*f", static_cast<int>(precision), value),
                  roundHalfUp(systemFormat("%.1100f", value), precision))
            << systemFormat("%a", value);
    }
    for (int i = 0; i < 3000; ++i) {
        const size_t precision = rng() % 17;
        const int exponent = static_cast<int>(rng() % 150) - 70;
        const long double value = std::ldexp(static_cast<long double>(rng()), exponent - 64);
        ASSERT_EQ(fmt("%.*Lf", static_cast<int>(precision), value),
                  roundHalfUp(systemFormat("%.200Lf", value), precision))
            << systemFormat("%La", value);
    }
    // Integral values of any size come out digit for digit.
    EXPECT_EQ(fmt("%.0Lf", LDBL_MAX), systemFormat("%.0Lf", LDBL_MAX));
    EXPECT_EQ(fmt("%.3f", -DBL_MAX), systemFormat("%.3f", -DBL_MAX));
    EXPECT_EQ(fmt("%.0f|%.16f", 0.49999999999999994, 6e-17), "0|0.0000000000000001");
}

// Flags, width and precision where the engine's rules and the standard's coincide: no "0" or
// "#" flag and no zero precision.
TEST(FormatProperty, IntegersAndStringsAgreeWithTheStandardWhereTheRulesCoincide) {
    std::mt19937_64 rng(77);
    const char* const flagSets[] = {"", "-", "+", " ", "-+", "- ", "+ "};
    const char conversions[] = "diuoxXsc";
    for (int i = 0; i < 20000; ++i) {
        std::string format = std::string("[%") + flagSets[rng() % 7];
        format += rng() % 2 != 0 ? std::to_string(rng() % 30) : "";
        format += rng() % 2 != 0 ? "." + std::to_string(1 + rng() % 24) : "";
        const char conversion = conversions[rng() % 8];
        const bool wide = conversion != 's' && conversion != 'c' && rng() % 2 != 0;
        format += std::string(wide ? rng() % 2 + 1 : 0, 'l') + conversion + "]";
        const uint64_t bits = rng() >> (rng() % 64);
        const char* f = format.c_str();
        if (conversion == 's') {
            const std::string text(rng() % 40, static_cast<char>('a' + i % 26));
            ASSERT_EQ(fmt(f, text.c_str()), systemFormat(f, text.c_str())) << f;
        } else if (wide) {
            ASSERT_EQ(fmt(f, bits), systemFormat(f, bits)) << f;
        } else {
            const int narrow = conversion == 'c' ? 'A' + static_cast<int>(bits % 26)
                                                 : static_cast<int>(static_cast<uint32_t>(bits));
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

struct Arguments {
    alignas(8) char scratch[SLOTS][32];
    const char* slots[SLOTS];
    double doubles[8];
};

template <size_t... I, size_t... J>
int renderAll(char* buffer, size_t size, const std::string& format, Arguments& a,
              std::index_sequence<I...>, std::index_sequence<J...>) {
    for (size_t i = 0; i < SLOTS; ++i) {
        std::snprintf(a.scratch[i], sizeof a.scratch[i], "slot%zu", i);
        a.slots[i] = a.scratch[i];
    }
    return snprintf(buffer, size, format.c_str(), a.slots[I]..., a.doubles[J]...);
}

// Up to eight conversion specifications of every kind (known, unknown, cut short) among text.
std::string randomFormat(std::mt19937_64& rng) {
    static const char* const pieces[] = {"a", "text ", "|", "%%", "\t", "\xc3\xa9"};
    static const char* const lengths[] = {"", "", "", "h", "hh", "l", "ll", "L", "z"};
    static const char* const widths[] = {"", "*", ".", ".*"};
    static const char conversions[] = "diuoxXpcsfeEgGn%my.-";
    std::string format;
    for (int s = static_cast<int>(rng() % 9); s > 0; --s) {
        format += std::string(pieces[rng() % 6]) + "%";
        for (int flags = static_cast<int>(rng() % 4); flags > 0; --flags) {
            format += "-+ #0"[rng() % 5];
        }
        format += rng() % 3 == 0 ? std::to_string(rng() % 40) : widths[rng() % 2];
        const std::string precision = widths[2 + rng() % 2];
        format += rng() % 3 == 0 ? "" : precision == "." ? "." + std::to_string(rng() % 20) : ".*";
        format += lengths[rng() % 9];
        if (rng() % 20 == 0) {
            return format;  // ends inside the conversion specification
        }
        format += conversions[rng() % (sizeof conversions - 1)];
    }
    return format + pieces[rng() % 6];
}

TEST(FormatProperty, StorageRuleHoldsForRandomFormatsAndSizes) {
    std::mt19937_64 rng(4242);
    Arguments arguments;
    for (double& d : arguments.doubles) {
        d = std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 120) - 80);
    }
    const auto all = [&](const std::string& format) {
        return [&arguments, format](char* buffer, size_t n) {
            return renderAll(buffer, n, format, arguments, std::make_index_sequence<SLOTS>(),
                             std::make_index_sequence<8>());
        };
    };
    for (int i = 0; i < 3000; ++i) {
        const std::string format = randomFormat(rng);
        std::vector<char> reference(4096);
        const int count = all(format)(reference.data(), reference.size());
        const size_t known = count < 0 ? reference.size() - 1 : std::min<size_t>(count, 4095);
        for (const size_t size : {size_t{0}, size_t{1}, size_t{2}, size_t(rng() % 16),
                                  size_t(rng() % 80), known, known + 1}) {
            const Result result = checkedRender(size, format, all(format));
            ASSERT_EQ(result.count, count) << format;
            if (result.text.size() <= known) {
                ASSERT_EQ(result.text, std::string(reference.data(), result.text.size())) << format;
            }
        }
    }
}
#endif

TEST(StringUtil, NumbersAndTimes) {
    setenv("TZ", "UTC", 1);
    tzset();
    const std::pair<std::string, const char*> cases[] = {
        {vfw::toString(int32_t{INT32_MIN}), "-2147483648"},
        {vfw::toString(int32_t{-1}, 16) + " " + vfw::toString(int32_t{-8}, 8),
         "ffffffff 37777777770"},
        {vfw::toString(int32_t{-42}, 2), "-42"},  // any other base is decimal
        {vfw::toString(uint32_t{UINT32_MAX}) + " " + vfw::toString(uint32_t{UINT32_MAX}, 16) + " " +
             vfw::toString(uint32_t{UINT32_MAX}, 8),
         "4294967295 ffffffff 37777777777"},
        {vfw::toString(uint64_t{UINT64_MAX}) + " " + vfw::toString(uint64_t{UINT64_MAX}, 16) + " " +
             vfw::toString(uint64_t{UINT64_MAX}, 8) + " " + vfw::toString(uint64_t{1} << 40, 3),
         "18446744073709551615 ffffffffffffffff 1777777777777777777777 1099511627776"},
        {vfw::toString(1.5) + " " + vfw::toString(-0.0078125), "1.500000 -0.007813"},
        {vfw::toString(1.7976931348623157e308).substr(0, 17), "17976931348623157"},
        {vfw::boolToString(true) + vfw::boolToString(false), "truefalse"},
        {vfw::timeToString(0), "Thu Jan  1 00:00:00 1970"},
        {vfw::timeToString(std::numeric_limits<time_t>::max()), "ctime_r failed"},
    };
    for (const auto& [got, expected] : cases) {
        EXPECT_EQ(got, expected);
    }
    // The largest double keeps all of its 309 integer digits.
    EXPECT_EQ(vfw::toString(1.7976931348623157e308).size(), 309u + 7u);
    EXPECT_EQ(&vfw::boolToString(true), &vfw::boolToString(true));
    const std::pair<const char*, uint32_t> numbers[] = {
        {"42", 42},  {"052", 42}, {"0x2A", 42},      {"  7 apples", 7},
        {"junk", 0}, {"", 0},     {"4294967297", 1}, {"-1", 4294967295u}};
    for (const auto& [text, value] : numbers) {
        EXPECT_EQ(vfw::stringToUInt(text), value) << text;
    }
}

TEST(StringUtil, TextsAndLists) {
    std::string list = "files: ";
    int count = 0;
    EXPECT_TRUE(vfw::appendToList(list, "a", count, 2));
    EXPECT_TRUE(vfw::appendToList(list, "b", count, 2));
    EXPECT_FALSE(vfw::appendToList(list, "c", count, 2));
    EXPECT_FALSE(vfw::appendToList(list, "d", count, 2));
    EXPECT_EQ(list, "files: a, b,...<truncated>");
    const char* volatile noText = nullptr;  // unknown to the compiler's format checks
    const std::pair<std::string, std::string> cases[] = {
        {vfw::trim(" \t value \r\n") + "|" + vfw::trim("\v\fa b\f\v") + "|" +
             vfw::trim(" \t\n\r\v\f"),
         "value|a b|"},
        {vfw::trim("\x01x\x01"), "\x01x\x01"},
        {vfw::formatString("%s-%05d|%s|%e", "id", 42, noText, 1.5), "id-00042|(NULL)|1.500000"},
        {vfw::formatString("%1024d", 1), std::string(1023, ' ')},
        {vfw::toHex(std::string("\x00\xff\x10 A", 5)) + "|" + vfw::toHex(""), "00ff102041|"},
        {vfw::printableOrHex("plain") + vfw::printableOrHex("\x01\x02"), "plain0102"},
        {vfw::join({}, ", ") + "|" + vfw::join({"a"}, ", ") + "|" +
             vfw::join({"a", "b", "c"}, ", "),
         "|a|a, b, c"},
        {vfw::toUpper("Warn-level 3 ok\xe9") + vfw::toLower("AUTH.Priv_9"),
         "WARN-LEVEL 3 OK\xe9"
         "auth.priv_9"},
    };
    for (const auto& [got, expected] : cases) {
        EXPECT_EQ(got, expected);
    }
    EXPECT_TRUE(vfw::isPrintable("") && vfw::isPrintable("Queue 7: ok ~"));
    EXPECT_FALSE(vfw::isPrintable("a\tb") || vfw::isPrintable("caf\xc3\xa9") ||
                 vfw::isPrintable(std::string("a\0b", 3)));
    std::vector<std::string> pieces{"kept"};
    vfw::split("/a//b/", "/", pieces);
    vfw::split(" one, two;;three ", " ,;", pieces);
    vfw::split("///", "/", pieces);
    vfw::split("abc", "", pieces);
    EXPECT_EQ(pieces, (std::vector<std::string>{"kept", "a", "b", "one", "two", "three", "abc"}));
    const char* const levels[] = {"trace", "debug", "INFO", nullptr};
    EXPECT_TRUE(vfw::isInList("info", levels) && vfw::isInList("Debug", levels));
    EXPECT_FALSE(vfw::isInList("inf", levels) || vfw::isInList("information", levels) ||
                 vfw::isInList(nullptr, levels) || vfw::isInList("info", nullptr));
}

struct Record {
    std::string className, message, file;
    int line, rc;
};
std::vector<Record> g_records;

void recordInto(const char* className, const char* message, const char* file, int line, int rc) {
    g_records.push_back({className, message, file, line, rc});
}

// "<rc> <what()>" of the VFWException that `thrower` throws, caught as E.
template <class E, class Thrower>
std::string caught(Thrower thrower) {
    try {
        thrower();
    } catch (const E& e) {
        const auto* base = dynamic_cast<const vfw::Base_Exception*>(&e);
        return (base != nullptr ? std::to_string(base->getRc()) + " " : "") + e.what();
    }
    return "no exception";
}

TEST(Exceptions, MessagesCodesAndRecords) {
    g_records.clear();
    vfw::setExceptionRecorder(recordInto);
    const std::string longText(700, 'x');
    const std::pair<std::string, std::string> cases[] = {
        {caught<VFWException>([&] { VFW_THROW(vfw::BadDataException, 0, "%s", longText.c_str()); }),
         "0 " + longText.substr(0, 511)},
        {caught<vfw::IOException>([] { VFW_THROW_MSG(vfw::IOException, -1, "100%s done %n"); }),
         "-1 100%s done %n"},
        {caught<vfw::SystemException>([] { VFW_THROW_OS(vfw::SystemException, 22); }),
         "22 OS call failed: " + std::string(std::strerror(22))},
        {caught<vfw::IOException>([] {
             VFW_THROW_OS(vfw::IOException, ENOENT, "Move %s to %s failed", "/a/b", "/c/%d");
         }),
         "2 Move /a/b to /c/%d failed: " + std::string(std::strerror(ENOENT))},
        {std::to_string(caught<vfw::IOException>([&] {
                            VFW_THROW_OS(vfw::IOException, EIO, "Cannot open %s", longText.c_str());
                        }).size()),
         "513"},
        {caught<std::out_of_range>(
             [] { VFW_THROW(vfw::BufferFullException, -1, "full %ld", 42L); }),
         "-1 full 42"},
        {caught<VFWException>([] { VFW_THROW(vfw::BufferFullException, -1, "full %ld", 7L); }),
         "-1 full 7"},
    };
    for (const auto& [got, expected] : cases) {
        EXPECT_EQ(got, expected);
    }
    g_records.clear();
    const int line = __LINE__ + 1;
    caught<VFWException>([] { VFW_THROW(vfw::NotFoundException, -1, "Cannot open %s", "/x"); });
    using namespace vfw;
    caught<VFWException>([] { VFW_THROW(FatalErrorException, 2, "bad"); });
    caught<VFWException>([] { VFW_THROW_NOLOG(QueueInterrupted, 0, "QueueInterrupted"); });
    caught<VFWException>([] { VFW_THROW(EndOfFileException, -1, "Queue is shutting down"); });
    caught<VFWException>([] { VFW_THROW(SystemException, 1, "s"); });
    caught<VFWException>([] { VFW_THROW(TryAgainException, 11, "t"); });
    vfw::setExceptionRecorder(nullptr);
    ASSERT_EQ(g_records.size(), 4u);
    EXPECT_EQ(g_records[0].className, "vfw::NotFoundException");
    EXPECT_EQ(g_records[0].message, "Cannot open /x");
    EXPECT_EQ(g_records[0].file, __FILE__);
    EXPECT_EQ(g_records[0].line, line);
    EXPECT_EQ(g_records[0].rc, -1);
    EXPECT_EQ(g_records[1].className, "FatalErrorException");
    EXPECT_EQ(g_records[3].className, "TryAgainException");
}

}  // namespace
