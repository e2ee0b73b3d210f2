// The formatting engine: the storage rule, its own rules by table, properties against the C
// library's formatter, the fortified entries and libstdc++ callers; string helpers, exceptions.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <random>

#include "support/throw_macros.h"
#include "support/thrown.h"
#include "vfw/error_util.h"
#include "vfw/format.h"
#include "vfw/string_util.h"
extern "C" {
int __snprintf_chk(char* buffer, size_t size, int flag, size_t objectSize, const char* format, ...);
int __vsnprintf_chk(char* buffer, size_t size, int flag, size_t objectSize, const char* format,
                    va_list args);
}

namespace {
void expectAll(std::initializer_list<std::pair<std::string, std::string>> cases) {
    for (const auto& [got, expected] : cases) {
        EXPECT_EQ(got, expected);
    }
}

// Renders into `size` bytes between guards, checks that only the text and a NUL at
// min(count, size - 1) are stored, and returns the count and the text.
std::pair<int, std::string> into(size_t size, const char* format, ...) {
    std::vector<char> memory(size + 32, 'Z');
    va_list args;
    va_start(args, format);
    const int count = vsnprintf(memory.data() + 16, size, format, args);
    va_end(args);
    const size_t stored = size == 0 ? 0 : std::min(count < 0 ? SIZE_MAX : size_t(count), size - 1);
    std::vector<char> expected(memory.size(), 'Z');
    std::copy_n(memory.begin() + 16, stored, expected.begin() + 16);
    expected[16 + stored] = size == 0 ? 'Z' : '\0';
    EXPECT_TRUE(memory == expected) << "storage rule broken: " << format;
    return {count, std::string(memory.data() + 16, stored)};
}

// The whole text (the buffer is large enough); the count must be its length.
template <class... Args>
std::string fmt(const char* format, Args... args) {
    const auto [count, text] = into(8192, format, args...);
    EXPECT_EQ(size_t(count), text.size()) << format;
    return text;
}

TEST(Format, StorageRuleCountAndEngineRules) {
    char* volatile noBuffer = nullptr;  // volatile: unknown to the compiler
    const char* volatile noText = nullptr;
    errno = 0;
    const auto huge = into(8, "%*d%*d", INT_MAX, 1, INT_MAX, 2);  // beyond INT_MAX: -1
    EXPECT_EQ(errno, EOVERFLOW);
    // The compiler knows every argument of the last three and the standard's lengths differ:
    // it must leave the results to the engine.
    char buffer[64];
    EXPECT_EQ(std::vector<int>({into(4, "%s", "abcdef").first, into(1, "%s", "abcdef").first,
                                into(0, "%d", 42).first, huge.first,
                                snprintf(noBuffer, 0, "%s and %s", "this", noText),
                                snprintf(noBuffer, 100, "%05d", 42),  // a null buffer: no store
                                into(4, "%99999999999999999999d", 7).first,  // width held
                                snprintf(buffer, sizeof buffer, "%.0d", 0),
                                snprintf(buffer, sizeof buffer, "%*d", -5, 42),
                                snprintf(buffer, sizeof buffer, "%g", 2.25), into(1, "a%%").first}),
              std::vector<int>({6, 6, 2, -1, 15, 5, INT_MAX, 1, 2, 8, 2}));
    EXPECT_EQ(into(4, "%s", "abcdef").second + "|" + huge.second, "abc|       ");
    // %n stores the count so far, also past the end, in as many bytes as its length says.
    const std::pair<const char*, size_t> counts[] = {
        {"abcdefg%hhn", 1}, {"abcdefg%hn", 2}, {"abcdefg%n", 4}, {"abcdefg%ln", 8}};
    for (const auto& [format, width] : counts) {
        alignas(8) unsigned char target[16];
        std::memset(target, 0xAA, sizeof target);
        EXPECT_EQ(into(3, format, target).first, 7);
        for (size_t i = 0; i < sizeof target; ++i) {
            EXPECT_EQ(target[i], i == 0 ? 7u : i < width ? 0u : 0xAAu) << format << " " << i;
        }
    }
    EXPECT_EQ(fmt("ab%ncd%llnef", static_cast<int*>(nullptr), static_cast<long long*>(nullptr)),
              "abcdef");  // a null target is skipped
    // Where the engine differs from the standard or the standard leaves it open (see below).
    const char* none = nullptr;
    const char unterminated[3] = {'a', 'b', 'c'};  // a precision reads no further
    expectAll({
        {fmt("%s|%8s|%.2s|%.2s|%.3s|%.9s", none, none, none, "abcdef", unterminated, "ab"),
         "(NULL)|  (NULL)|(N|ab|abc|ab"},
        {fmt("[%06s][% x]", "ab", 255u), "[    ab][ff]"},
        // "0": the larger of the precision's zeros and the width, as zeros; "#" changes nothing.
        {fmt("%08.5d|%08.2d|[%-05d][%0-5d]|%.0d|%x %X %#x %#o", 42, 42, 42, 42, 0, 255u, 255u, 255u,
             8u),
         "00042|00000042|[00042][00042]|0|ff FF ff 10"},
        {fmt("%zu %zd %jd %td %hd %hhd", SIZE_MAX, ssize_t(-3), INTMAX_MIN, ptrdiff_t(-1), 65537,
             300),
         "18446744073709551615 -3 -9223372036854775808 -1 65537 300"},
        {fmt("%p|%p|[%8p]", reinterpret_cast<void*>(0xbeef), nullptr,
             reinterpret_cast<void*>(0x1234)),
         "beef|0|[    1234]"},
        // "*": width, then precision, then the value; a negative width pads nothing.
        {fmt("[%*d][%-*d][%*d][%0*d]%.*s|%.*f", 5, 42, 5, 42, -5, 42, -5, 42, -1, "ab", -1, 1.5),
         "[   42][42   ][42][42]ab|1.500000"},
        {fmt("[%*.*f]%*.*d|%s", 8, 2, 3.14159, 6, 3, 7, "next"), "[    3.14]   007|next"},
        // Floating point: fixed notation for every conversion, precision 6, at most 16.
        {fmt("%e %E %g %G|%.2e|%.3g", 1.5, 1.5, 2.25, 2.25, 31415.9265, 1e-5),
         "1.500000 1.500000 2.250000 2.250000|31415.93|0.000"},
        {fmt("%lf %Lf|%.20f|%.0f|%.f|%.2f", 0.5, 0.25L, 0.1, 2.5, 42.0, 0.125),
         "0.500000 0.250000|0.1000000000000000|3|42|0.13"},
        {fmt("%+f|% .1f|%010.3f|[%-10.3f][%-010.1f]%.1f", 1.5, 1.5, -3.14159, -3.14159, 2.0, -0.0),
         "+1.500000| 1.5|-00003.142|[-3.142    ][00000002.0]-0.0"},
        {fmt("%f %f %E %G %f %Lf [%06f][%-5f][%+f]", HUGE_VAL, -HUGE_VAL, HUGE_VAL, std::nan(""),
             std::nan(""), -HUGE_VALL, HUGE_VAL, std::nan(""), HUGE_VAL),
         "inf -inf INF NAN nan -inf [   inf][nan  ][+inf]"},
        // No conversion: nothing printed, nothing consumed; the format may end anywhere.
        {fmt("a%mb%d|%y%s|[%-08.3lm]%d|%F|%d|%.1f|%lll%d|%5-d", 5, "x", 9, 7, 2.5, 1, 3),
         "ab5|x|[]9||7|2.5|1|d"},
        {fmt("%.2.3d|%s|100%%|[%5%]|%%d|%-+0 #6d|%++  --6d|", "ok", 42, 42),
         "3d|ok|100%|[%]|%d|+00042|+42   |"},
        {fmt("%d%", 12) + fmt("%*", 5) + fmt(""), "12"},
    });
    const std::string longText(5000, 'q');
    EXPECT_EQ(fmt("abc%") + fmt("abc%-0 +#") + fmt("abc%12") + fmt("abc%5.") + fmt("abc%5.2ll") +
                  fmt("abc%hh") + fmt(longText.c_str()),
              "abcabcabcabcabcabc" + longText);  // cut formats, and a long text
}

int vchk(char* buffer, size_t size, size_t objectSize, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = __vsnprintf_chk(buffer, size, 1, objectSize, format, args);
    va_end(args);
    return n;
}

TEST(FormatDeathTest, FortifiedAndLibstdcxxCallersUseTheEngine) {
    char buffer[32];
    const int n = __snprintf_chk(buffer, sizeof buffer, 1, sizeof buffer, "%s|%e|%m.",
                                 static_cast<char*>(nullptr), 1.5);
    std::string cut = std::to_string(n) + buffer;
    cut += std::to_string(__snprintf_chk(buffer, 4, 1, SIZE_MAX, "%d", 123456)) + buffer;
    cut += std::to_string(vchk(buffer, 4, sizeof buffer, "%g|%d", 2.25, 7)) + buffer;
    EXPECT_EQ(cut, "17(NULL)|1.500000|.6123102.2");
    EXPECT_DEATH(__snprintf_chk(buffer, 33, 1, sizeof buffer, "%d", 1), "buffer overflow detected");
    EXPECT_DEATH(vchk(buffer, 33, sizeof buffer, "%d", 1), "buffer overflow detected");
    // Rounding half up at the sixth digit (the system's formatter rounds this tie to even).
    std::ostringstream stream;
    stream << std::to_string(0.0078125) << ' ' << 2.25 << ' ' << 2.25L << ' ' << std::scientific
           << 1.5 << ' ' << std::defaultfloat << std::setprecision(17) << 0.1;
    EXPECT_EQ(stream.str(), "0.007813 2.250000 2.250000 1.500000 0.1000000000000000");
}

// The system library's own formatter, as a reference where its rules and the engine's agree.
template <class... Args>
std::string reference(const char* format, Args... args) {
    using Formatter = int (*)(char*, size_t, const char*, ...);
    static const auto formatter = reinterpret_cast<Formatter>(dlsym(RTLD_NEXT, "snprintf"));
    EXPECT_TRUE(formatter != nullptr && formatter != reinterpret_cast<Formatter>(&snprintf));
    static char buffer[20000];
    EXPECT_LT(size_t(formatter(buffer, sizeof buffer, format, args...)), sizeof buffer) << format;
    return buffer;
}

TEST(FormatProperty, FloatDigitsAreTheExactValueRounded) {
    std::mt19937_64 rng(20240611);
    for (int i = 0; i < 9000; ++i) {  // a third long doubles, a tenth of large exponents
        const int precision = int(rng() % 17);
        const int exponent = i % 10 == 1 ? int(rng() % 1024) : int(rng() % 150) - 80;
        const long double wide = std::ldexp(static_cast<long double>(rng()), exponent - 64);
        const double value = std::ldexp(double(rng() >> 11), exponent - 53);
        const bool isWide = i >= 6000;
        const std::string exact =
            isWide ? reference("%.1100Lf", wide) : reference("%.1100f", value);
        // Away from exact halves (rounded up: see the tables) the reference rounds alike.
        const size_t next = exact.find('.') + 1 + size_t(precision);
        if (exact[next] != '5' || exact.find_first_not_of('0', next + 1) != std::string::npos) {
            ASSERT_EQ(
                isWide ? fmt("%.*Lf", precision, wide) : fmt("%.*f", precision, value),
                isWide ? reference("%.*Lf", precision, wide) : reference("%.*f", precision, value))
                << exact;
        }
    }
    // Integers, "%s" and "%c" with widths, flags and precisions where the standard's rules are
    // the same.
    const char* const shared =
        "[%-+12.5lld][% 7.3s][%-7.9s][%12.8lx][%+3u][%.5d][%5c][%-3c]"
        "[%05d][%-5d][%+d][% d]|%025lld";
    const long long least = INT64_MIN;
    EXPECT_EQ(
        fmt(shared, -42LL, "abcdef", "ab", 255UL, 7u, 42, 'x', 'y', -42, 42, 7, 7, least),
        reference(shared, -42LL, "abcdef", "ab", 255UL, 7u, 42, 'x', 'y', -42, 42, 7, 7, least));
    // Integral values of any size come out digit for digit.
    EXPECT_EQ(fmt("%.0Lf|%.3f", LDBL_MAX, -DBL_MAX), reference("%.0Lf|%.3f", LDBL_MAX, -DBL_MAX));
    EXPECT_EQ(fmt("%.0f|%.16f|%.2f", 0.49999999999999994, 6e-17, 2.675),
              "0|0.0000000000000001|2.67");
}

TEST(StringUtil, NumbersTimesTextsAndLists) {
    using namespace std::string_literals;
    setenv("TZ", "UTC", 1);
    tzset();
    const char* volatile noText = nullptr;  // unknown to the compiler's format checks
    std::string list = "files: ";
    std::string flags;
    int count = 0;
    for (const char* item : {"a", "b", "c", "d"}) {
        flags += vfw::appendToList(list, item, count, 2) ? "y" : "n";
    }
    std::vector<std::string> pieces{"kept"};
    const char* const splits[][2] = {
        {"/a//b/", "/"}, {" one, two;;three ", " ,;"}, {"///", "/"}, {"abc", ""}};
    for (const auto& split : splits) {
        vfw::split(split[0], split[1], pieces);
    }
    const char* const levels[] = {"trace", "debug", "INFO", nullptr};
    for (const char* word : {"info", "Debug", "inf", "information", (const char*)nullptr}) {
        flags += vfw::isInList(word, levels) ? "y" : "n";
    }
    flags += vfw::isInList("info", nullptr) ? "y" : "n";
    for (const std::string& text : {""s, "Queue 7: ok ~"s, "a\tb"s, "caf\xc3\xa9"s, "a\0b"s}) {
        flags += std::to_string(vfw::isPrintable(text));
    }
    const std::string largest = vfw::toString(1.7976931348623157e308);  // 309 integer digits
    expectAll({
        {vfw::toString(int32_t{INT32_MIN}) + " " + vfw::toString(int32_t{-1}, 16) + " " +
             vfw::toString(int32_t{-8}, 8) + " " + vfw::toString(int32_t{-42}, 2) + " " +
             vfw::toString(UINT32_MAX) + " " + vfw::toString(UINT32_MAX, 16) + " " +
             vfw::toString(UINT32_MAX, 8),  // any other base is decimal
         "-2147483648 ffffffff 37777777770 -42 4294967295 ffffffff 37777777777"},
        {vfw::toString(UINT64_MAX) + " " + vfw::toString(UINT64_MAX, 16) + " " +
             vfw::toString(UINT64_MAX, 8) + " " + vfw::toString(uint64_t{1} << 40, 3),
         "18446744073709551615 ffffffffffffffff 1777777777777777777777 1099511627776"},
        {vfw::toString(1.5) + " " + vfw::toString(-0.0078125) + " " + largest.substr(0, 17) +
             largest.substr(309) + " " + vfw::boolToString(true) + vfw::boolToString(false) +
             (&vfw::boolToString(true) == &vfw::boolToString(true) ? " shared" : " copied"),
         "1.500000 -0.007813 17976931348623157.000000 truefalse shared"},
        {vfw::timeToString(0) + "|" + vfw::timeToString(std::numeric_limits<time_t>::max()),
         "Thu Jan  1 00:00:00 1970|ctime_r failed"},
        {vfw::trim(" \t value \r\n") + "|" + vfw::trim("\v\fa b\f\v") + "|" +
             vfw::trim(" \t\n\r\v\f") + "|" + vfw::trim("\x01x\x01"),
         "value|a b||\x01x\x01"},
        {vfw::formatString("%s-%05d|%s|%e", "id", 42, noText, 1.5), "id-00042|(NULL)|1.500000"},
        {vfw::formatString("%1024d", 1), std::string(1023, ' ')},
        {vfw::toHex(std::string("\x00\xff\x10 A", 5)) + "|" + vfw::printableOrHex("plain") +
             vfw::printableOrHex("\x01\x02") + "|" + vfw::join({}, ", ") + "|" +
             vfw::join({"a"}, ", ") + "|" + vfw::join({"a", "b", "c"}, ", "),
         "00ff102041|plain0102||a|a, b, c"},
        {vfw::toUpper("Warn-level 3 ok\xe9") + vfw::toLower("AUTH.Priv_9"),
         "WARN-LEVEL 3 OK\xe9"
         "auth.priv_9"},
        {list + " " + vfw::join(pieces, "/") + " " + flags,
         "files: a, b,...<truncated> kept/a/b/one/two/three/abc yynnyynnnn11000"},
    });
    const std::pair<const char*, uint32_t> numbers[] = {
        {"42", 42},  {"052", 42}, {"0x2A", 42},      {"  7 apples", 7},
        {"junk", 0}, {"", 0},     {"4294967297", 1}, {"-1", 4294967295u}};
    for (const auto& [text, value] : numbers) {
        EXPECT_EQ(vfw::stringToUInt(text), value) << text;
    }
}

std::vector<std::string> g_records;
static_assert(std::is_base_of_v<::VFWException, vfw::Base_Exception> &&
              std::is_base_of_v<std::out_of_range, vfw::BufferFullException>);

TEST(Exceptions, MessagesCodesAndRecords) {
    vfw::setExceptionRecorder(
        [](const char* className, const char* message, const char* file, int line, int rc) {
            g_records.push_back(std::string(className) + "|" + message + "|" + file + ":" +
                                std::to_string(line) + "|" + std::to_string(rc));
        });
    using namespace vfw;
    const auto site = [] { VFW_THROW(NotFoundException, -1, "At %s", "/x"); };
    const int line = __LINE__ - 1;
    expectAll({
        {vfw_test::thrown(site), "NotFound -1 At /x"},
        {vfw_test::thrown([] { VFW_THROW_MSG(vfw::IOException, -1, "100%s done %n"); }) + "|" +
             vfw_test::thrown([] { VFW_THROW_OS(vfw::SystemException, 22); }),
         "IO -1 100%s done %n|System 22 OS call failed: " + std::string(std::strerror(22))},
        {vfw_test::thrown([] { VFW_THROW(BufferFullException, -1, "full %ld", 42L); }) + "|" +
             vfw_test::thrown([] { VFW_THROW_NOLOG(QueueInterrupted, 0, "QueueInterrupted"); }) +
             "|" + vfw_test::thrown([] { VFW_THROW(EndOfFileException, -1, "shutting down"); }) +
             "|" + vfw_test::thrown([] { VFW_THROW(vfw::EndOfFileException, -1, "q"); }) + "|" +
             vfw_test::thrown([] { VFW_THROW(TryAgainException, 11, "t"); }) + "|" +
             vfw_test::thrown([] { VFW_THROW(FatalErrorException, 2, "f"); }),
         "BufferFull -1 full 42|QueueInterrupted 0 QueueInterrupted|EndOfFile -1 shutting down|"
         "EndOfFile -1 q|TryAgain 11 t|FatalError 2 f"},
    });
    vfw::setExceptionRecorder(nullptr);
    // No record without the log flag or for the end of input; the class as the site spells it.
    std::vector<std::string> classes;  // sorted: the operands of "+" run in any order
    for (const std::string& record : g_records) {
        classes.push_back(record.substr(0, record.find('|')));
    }
    std::sort(classes.begin(), classes.end());
    EXPECT_EQ(vfw::join(classes, " "),
              "BufferFullException FatalErrorException NotFoundException "
              "TryAgainException vfw::IOException vfw::SystemException");
    EXPECT_EQ(g_records.at(0),
              "NotFoundException|At /x|" __FILE__ ":" + std::to_string(line) + "|-1");
}
}  // namespace
