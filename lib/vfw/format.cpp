// The formatting engine. `vsnprintf`, `snprintf` and glibc's fortified `__vsnprintf_chk`
// and `__snprintf_chk` are defined here under the system library's names, so that every
// caller in the process formats with this engine; the rules are in include/vfw/format.h.
//
// A conversion directive is read in the order of its parts (flags, width, precision, length,
// conversion); a character that does not fit the part being read moves on to the next
// part, and one that is no conversion ends the conversion directive without output.
#include "vfw/format.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "format_float.h"

namespace vfw {
namespace {

using format_detail::FixedDecimal;

enum : unsigned {
    FLAG_MINUS = 1,   // left-justify
    FLAG_PLUS = 2,    // always a sign
    FLAG_SPACE = 4,   // a blank for non-negative signed values
    FLAG_HASH = 8,    // accepted, used by no conversion
    FLAG_ZERO = 16,   // zero padding
    FLAG_UPPER = 32,  // upper-case digits and texts
};

enum class Length { NONE, CHAR, SHORT, LONG, LONG_DOUBLE };

struct Spec {
    unsigned flags = 0;
    int width = 0;       // may be negative when taken from an argument: pads nothing
    int precision = -1;  // -1 when absent
    Length length = Length::NONE;
    bool widthFromArgument = false;      // "*"
    bool precisionFromArgument = false;  // ".*"
    char conversion = '\0';
};

// Stores characters while their position is below the buffer's size and counts them all.
class Output {
  public:
    Output(char* buffer, size_t size) : m_buffer(buffer), m_size(buffer != nullptr ? size : 0) {}

    void put(char c) {
        if (m_count < m_size) {
            m_buffer[m_count] = c;
        }
        ++m_count;
    }
    void write(const char* text, size_t length) {
        if (m_count < m_size) {
            const size_t room = m_size - m_count;
            copy(m_buffer + m_count, text, length < room ? length : room);
        }
        m_count += length;
    }
    void fill(char c, size_t length) {
        if (m_count < m_size) {
            const size_t room = m_size - m_count;
            std::memset(m_buffer + m_count, c, length < room ? length : room);
        }
        m_count += length;
    }
    size_t count() const { return m_count; }

    // The NUL at min(count, size - 1); the count as the int result.
    int finish() {
        if (m_size != 0) {
            m_buffer[m_count < m_size ? m_count : m_size - 1] = '\0';
        }
        if (m_count > static_cast<size_t>(INT_MAX)) {
            errno = EOVERFLOW;
            return -1;
        }
        return static_cast<int>(m_count);
    }

  private:
    // Most pieces are a few characters long: not worth a call.
    static void copy(char* to, const char* from, size_t length) {
        if (length > 16) {
            std::memcpy(to, from, length);
            return;
        }
        for (size_t i = 0; i < length; ++i) {
            to[i] = from[i];
        }
    }

    char* m_buffer;
    size_t m_size;
    size_t m_count = 0;
};

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";
constexpr char kLowerDigits[] = "0123456789abcdef";
constexpr char kUpperDigits[] = "0123456789ABCDEF";

// Writes the decimal digits of `value` ending just before `end`; returns their start.
char* decimalDigits(char* end, uint64_t value) {
    char* p = end;
    while (value >= 100) {
        const auto pair = static_cast<unsigned>(value % 100);
        value /= 100;
        p -= 2;
        std::memcpy(p, kDigitPairs + 2 * pair, 2);
    }
    if (value >= 10) {
        p -= 2;
        std::memcpy(p, kDigitPairs + 2 * value, 2);
    } else {
        *--p = static_cast<char>('0' + value);
    }
    return p;
}

char* digits(char* end, uint64_t value, unsigned base, unsigned flags) {
    if (base == 10) {
        return decimalDigits(end, value);
    }
    const char* alphabet = (flags & FLAG_UPPER) != 0 ? kUpperDigits : kLowerDigits;
    const unsigned shift = base == 16 ? 4 : 3;
    char* p = end;
    do {
        *--p = alphabet[value & (base - 1)];
        value >>= shift;
    } while (value != 0);
    return p;
}

size_t positive(long long n) {
    return n > 0 ? static_cast<size_t>(n) : 0;
}

// Spaces, sign, zeros, text, or the spaces last when left-justified; the "0" flag turns
// the spaces into zeros after the sign.
void putField(Output& out, const Spec& spec, char sign, size_t zeros, const char* text,
              size_t length, bool zeroPadding) {
    const size_t used = (zeros > 0 ? zeros + length : length) + (sign != 0 ? 1 : 0);
    size_t spaces = positive(static_cast<long long>(spec.width) - static_cast<long long>(used));
    if (zeroPadding && (spec.flags & FLAG_ZERO) != 0) {
        zeros = zeros > spaces ? zeros : spaces;
        spaces = 0;
    }
    if ((spec.flags & FLAG_MINUS) == 0) {
        out.fill(' ', spaces);
    }
    if (sign != 0) {
        out.put(sign);
    }
    out.fill('0', zeros);
    out.write(text, length);
    if ((spec.flags & FLAG_MINUS) != 0) {
        out.fill(' ', spaces);
    }
}

char signOf(bool negative, unsigned flags) {
    if (negative) {
        return '-';
    }
    if ((flags & FLAG_PLUS) != 0) {
        return '+';
    }
    return (flags & FLAG_SPACE) != 0 ? ' ' : 0;
}

void putInteger(Output& out, const Spec& spec, uint64_t magnitude, char sign, unsigned base) {
    char buffer[24];
    char* end = buffer + sizeof buffer;
    const char* text = digits(end, magnitude, base, spec.flags);
    const auto length = static_cast<size_t>(end - text);
    if (spec.width <= 0 && spec.precision <= static_cast<int>(length) && sign == 0) {
        out.write(text, length);
        return;
    }
    const size_t zeros =
        positive(static_cast<long long>(spec.precision) - static_cast<long long>(length));
    putField(out, spec, sign, zeros, text, length, true);
}

void putString(Output& out, const Spec& spec, const char* text) {
    if (text == nullptr) {
        text = "(NULL)";
    }
    const size_t length = spec.precision >= 0 ? strnlen(text, static_cast<size_t>(spec.precision))
                                              : std::strlen(text);
    if (spec.width <= 0) {
        out.write(text, length);
        return;
    }
    putField(out, spec, 0, 0, text, length, false);
}

// The integer part limb by limb, then the point and the fraction digits.
void putFixed(Output& out, const FixedDecimal& d) {
    char buffer[24];
    char* end = buffer + sizeof buffer;
    const char* top = decimalDigits(end, d.limbs[d.limbCount - 1]);
    out.write(top, static_cast<size_t>(end - top));
    for (int i = d.limbCount - 2; i >= 0; --i) {
        const char* limb = decimalDigits(end, d.limbs[i]);
        out.fill('0', static_cast<size_t>(9 - (end - limb)));
        out.write(limb, static_cast<size_t>(end - limb));
    }
    if (d.precision > 0) {
        out.put('.');
        const char* fraction = decimalDigits(end, d.fraction);
        out.fill('0', static_cast<size_t>(d.precision - (end - fraction)));
        out.write(fraction, static_cast<size_t>(end - fraction));
    }
}

// Fixed notation for every floating conversion. Infinities and NaNs, which have no digits,
// print as "inf" and "nan" ("INF", "NAN" for the upper-case conversions), padded with blanks.
// Kept out of line: its digits need a large frame that the other conversions should not pay.
template <class Float>
__attribute__((noinline)) void putFloat(Output& out, const Spec& spec, Float value) {
    const char sign = signOf(std::signbit(value), spec.flags);
    if (value != value || value == HUGE_VALL || value == -HUGE_VALL) {  // NaN: unordered
        const bool upper = spec.conversion == 'E' || spec.conversion == 'G';
        const char* text = value != value ? (upper ? "NAN" : "nan") : (upper ? "INF" : "inf");
        putField(out, spec, sign, 0, text, 3, false);
        return;
    }
    int precision = spec.precision < 0 ? 6 : spec.precision;
    if (precision > format_detail::kMaxFloatPrecision) {
        precision = format_detail::kMaxFloatPrecision;
    }
    FixedDecimal decimal;
    format_detail::toFixedDecimal(value, precision, decimal);
    const size_t length = decimal.integerDigits() + (precision > 0 ? precision + 1 : 0);
    size_t spaces = positive(static_cast<long long>(spec.width) - static_cast<long long>(length) -
                             (sign != 0 ? 1 : 0));
    size_t zeros = 0;
    if ((spec.flags & FLAG_ZERO) != 0) {
        zeros = spaces;
        spaces = 0;
    }
    if ((spec.flags & FLAG_MINUS) == 0) {
        out.fill(' ', spaces);
    }
    if (sign != 0) {
        out.put(sign);
    }
    out.fill('0', zeros);
    putFixed(out, decimal);
    if ((spec.flags & FLAG_MINUS) != 0) {
        out.fill(' ', spaces);
    }
}

void storeCount(const Spec& spec, void* target, size_t count) {
    if (target == nullptr) {
        return;
    }
    switch (spec.length) {
        case Length::CHAR:
            *static_cast<signed char*>(target) = static_cast<signed char>(count);
            break;
        case Length::SHORT:
            *static_cast<short*>(target) = static_cast<short>(count);
            break;
        case Length::LONG:
            *static_cast<long long*>(target) = static_cast<long long>(count);
            break;
        default:
            *static_cast<int*>(target) = static_cast<int>(count);
            break;
    }
}

// A decimal number of a conversion directive, held at INT_MAX when it is larger.
int readNumber(const char*& f) {
    int n = 0;
    while (*f >= '0' && *f <= '9') {
        const int digit = *f++ - '0';
        n = n > (INT_MAX - digit) / 10 ? INT_MAX : n * 10 + digit;
    }
    return n;
}

// The flag that `c` stands for in a conversion directive; 0 when it is none.
unsigned flagOf(char c) {
    switch (c) {
        case '-':
            return FLAG_MINUS;
        case '+':
            return FLAG_PLUS;
        case ' ':
            return FLAG_SPACE;
        case '#':
            return FLAG_HASH;
        case '0':
            return FLAG_ZERO;
        default:
            return 0;
    }
}

// The length modifier, if one stands at `f`.
void parseLength(const char*& f, Spec& spec) {
    switch (*f) {
        case 'h':
            spec.length = Length::SHORT;
            if (*++f == 'h') {
                ++f;
                spec.length = Length::CHAR;
            }
            break;
        case 'l':
            spec.length = Length::LONG;
            if (*++f == 'l') {
                ++f;
            }
            break;
        case 'z':
        case 'j':
        case 't':
            ++f;
            spec.length = Length::LONG;
            break;
        case 'L':
            ++f;
            spec.length = Length::LONG_DOUBLE;
            break;
        default:
            break;
    }
}

// Reads one conversion directive after its "%" up to its conversion character; false when the
// format ends inside it.
bool parse(const char*& f, Spec& spec) {
    for (unsigned flag; (flag = flagOf(*f)) != 0; ++f) {
        spec.flags |= flag;
    }
    if (*f == '*') {
        ++f;
        spec.widthFromArgument = true;
    } else {
        spec.width = readNumber(f);
    }
    if (*f == '.') {
        ++f;
        if (*f == '*') {
            ++f;
            spec.precisionFromArgument = true;
        } else {
            spec.precision = readNumber(f);
        }
    }
    parseLength(f, spec);
    spec.conversion = *f;
    if (spec.conversion == '\0') {
        return false;
    }
    ++f;
    return true;
}

// The next "%" or the end of the format. Literal runs are mostly short: the first few
// characters are looked at here, the rest by the system library's vectorised search.
const char* nextPercent(const char* f) {
    for (int i = 0; i < 8; ++i, ++f) {
        if (*f == '%' || *f == '\0') {
            return f;
        }
    }
    return strchrnul(f, '%');
}

// Writes the text from `f` up to the next conversion and reads that conversion's
// directive; false when the format ends first.
bool nextConversion(Output& out, const char*& f, Spec& spec) {
    const char* percent = nextPercent(f);
    if (percent != f) {
        out.write(f, static_cast<size_t>(percent - f));
    }
    if (*percent == '\0') {
        return false;
    }
    f = percent + 1;
    return parse(f, spec);
}

// 'd' and 'i'.
void putSigned(Output& out, const Spec& spec, long long value) {
    const uint64_t magnitude =
        value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    putInteger(out, spec, magnitude, signOf(value < 0, spec.flags), 10);
}

// 'u', 'o', 'x' and 'X'.
void putUnsigned(Output& out, Spec& spec, uint64_t value) {
    if (spec.conversion == 'X') {
        spec.flags |= FLAG_UPPER;
    }
    const unsigned base = spec.conversion == 'u' ? 10 : spec.conversion == 'o' ? 8 : 16;
    putInteger(out, spec, value, 0, base);
}

// Every argument is taken here, in the function that owns the va_list: width, precision,
// then the value of the conversion.
int format(char* buffer, size_t size, const char* format, va_list args) {
    Output out(buffer, size);
    const char* f = format;
    for (;;) {
        Spec spec;
        if (!nextConversion(out, f, spec)) {
            break;
        }
        if (spec.widthFromArgument) {
            spec.width = va_arg(args, int);
        }
        if (spec.precisionFromArgument) {
            spec.precision = std::max(va_arg(args, int), -1);  // a negative one counts as none
        }
        const bool wide = spec.length == Length::LONG;
        switch (spec.conversion) {
            case 'd':
            case 'i':
                putSigned(out, spec, wide ? va_arg(args, long long) : va_arg(args, int));
                break;
            case 'u':
            case 'o':
            case 'x':
            case 'X':
                putUnsigned(out, spec,
                            wide ? va_arg(args, unsigned long long) : va_arg(args, unsigned));
                break;
            case 'p':
                putInteger(out, spec, reinterpret_cast<uintptr_t>(va_arg(args, void*)), 0, 16);
                break;
            case 'c': {
                const char c = static_cast<char>(va_arg(args, int));
                putField(out, spec, 0, 0, &c, 1, false);
                break;
            }
            case 's':
                putString(out, spec, va_arg(args, const char*));
                break;
            case 'E':
            case 'G':
            case 'f':
            case 'e':
            case 'g':
                spec.length == Length::LONG_DOUBLE ? putFloat(out, spec, va_arg(args, long double))
                                                   : putFloat(out, spec, va_arg(args, double));
                break;
            case 'n':
                storeCount(spec, va_arg(args, void*), out.count());
                break;
            case '%':
                out.put('%');
                break;
            default:  // not a conversion: nothing printed, nothing consumed
                break;
        }
    }
    return out.finish();
}

}  // namespace
}  // namespace vfw

extern "C" {

// Named by the library's link options so that every program that links the library links
// this object: the system library's names alone do not pull it in when a sanitizer
// runtime, linked first, already defines them.
extern const char vfw_format_engine[] = "vfw";

// glibc's report of a failed buffer check: "*** buffer overflow detected ***" and abort.
[[noreturn]] void __chk_fail(void);

int vsnprintf(char* buffer, size_t size, const char* format, va_list args) noexcept {
    return vfw::format(buffer, size, format, args);
}

int snprintf(char* buffer, size_t size, const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    const int n = vfw::format(buffer, size, format, args);
    va_end(args);
    return n;
}

// The fortified forms: `objectSize` is the size of the buffer as the compiler knows it
// ((size_t)-1 when unknown); a stated size larger than that is an overflow in the making.
int __vsnprintf_chk(char* buffer, size_t size, int, size_t objectSize, const char* format,
                    va_list args) noexcept {
    if (objectSize < size) {
        __chk_fail();
    }
    return vsnprintf(buffer, size, format, args);
}

int __snprintf_chk(char* buffer, size_t size, int, size_t objectSize, const char* format,
                   ...) noexcept {
    if (objectSize < size) {
        __chk_fail();
    }
    va_list args;
    va_start(args, format);
    const int n = vfw::format(buffer, size, format, args);
    va_end(args);
    return n;
}

}  // extern "C"
