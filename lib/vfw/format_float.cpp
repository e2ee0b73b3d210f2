#include "format_float.h"

#include <cmath>

namespace vfw {
namespace format_detail {
namespace {

constexpr uint64_t POWERS_OF_TEN[MAX_FLOAT_PRECISION + 1] = {1ULL,
                                                             10ULL,
                                                             100ULL,
                                                             1000ULL,
                                                             10000ULL,
                                                             100000ULL,
                                                             1000000ULL,
                                                             10000000ULL,
                                                             100000000ULL,
                                                             1000000000ULL,
                                                             10000000000ULL,
                                                             100000000000ULL,
                                                             1000000000000ULL,
                                                             10000000000000ULL,
                                                             100000000000000ULL,
                                                             1000000000000000ULL,
                                                             10000000000000000ULL};

void setInteger(FixedDecimal& d, uint64_t value) {
    d.limbCount = 0;
    do {
        d.limbs[d.limbCount++] = static_cast<uint32_t>(value % FixedDecimal::LIMB_BASE);
        value /= FixedDecimal::LIMB_BASE;
    } while (value != 0);
}

// d = d * 2^shift + add, with shift at most 32.
void shiftAdd(FixedDecimal& d, int shift, uint32_t add) {
    const uint64_t factor = uint64_t{1} << shift;
    uint64_t carry = add;
    for (int i = 0; i < d.limbCount; ++i) {
        const uint64_t t = d.limbs[i] * factor + carry;
        d.limbs[i] = static_cast<uint32_t>(t % FixedDecimal::LIMB_BASE);
        carry = t / FixedDecimal::LIMB_BASE;
    }
    while (carry != 0 && d.limbCount < FixedDecimal::MAX_LIMBS) {
        d.limbs[d.limbCount++] = static_cast<uint32_t>(carry % FixedDecimal::LIMB_BASE);
        carry /= FixedDecimal::LIMB_BASE;
    }
}

// An integral value of any size: its binary digits are taken 32 at a time from the top.
void setLargeInteger(FixedDecimal& d, long double value) {
    setInteger(d, 0);
    int exponent = 0;
    long double mantissa = std::frexp(value, &exponent);  // value = mantissa * 2^exponent
    int bits = exponent;
    while (bits > 0) {
        const int take = bits < 32 ? bits : 32;
        uint32_t chunk = 0;
        if (mantissa != 0) {
            mantissa = std::ldexp(mantissa, take);
            chunk = static_cast<uint32_t>(mantissa);
            mantissa -= chunk;
        }
        shiftAdd(d, take, chunk);
        bits -= take;
    }
}

void addOne(FixedDecimal& d) {
    for (int i = 0; i < d.limbCount; ++i) {
        if (++d.limbs[i] < FixedDecimal::LIMB_BASE) {
            return;
        }
        d.limbs[i] = 0;
    }
    if (d.limbCount < FixedDecimal::MAX_LIMBS) {
        d.limbs[d.limbCount++] = 1;
    }
}

// The fraction (0 <= fraction < 1) times 10^precision, rounded half up. The fraction is
// F * 2^-k with a 64-bit F; F * 10^precision fits 118 bits, so the product is exact.
uint64_t scaleFraction(long double fraction, int precision) {
    if (fraction == 0) {
        return 0;
    }
    int exponent = 0;
    const long double mantissa = std::frexp(fraction, &exponent);  // exponent <= 0
    const auto bits = static_cast<uint64_t>(std::ldexp(mantissa, 64));
    const int shift = 64 - exponent;
    // Below half a unit of the last digit whatever the bits: the product is under 2^118.
    if (shift > 118) {
        return 0;
    }
    const unsigned __int128 product =
        static_cast<unsigned __int128>(bits) * POWERS_OF_TEN[precision];
    const unsigned __int128 whole = product >> shift;
    const unsigned __int128 rest = product - (whole << shift);
    const unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
    return static_cast<uint64_t>(whole) + (rest >= half ? 1 : 0);
}

}  // namespace

size_t FixedDecimal::integerDigits() const {
    size_t digits = 9 * static_cast<size_t>(limbCount - 1);
    uint32_t top = limbs[limbCount - 1];
    do {
        ++digits;
        top /= 10;
    } while (top != 0);
    return digits;
}

void toFixedDecimal(long double value, int precision, FixedDecimal& out) {
    out.precision = precision;
    long double integral;
    if (value < 9223372036854775808.0L) {
        const auto whole = static_cast<uint64_t>(value);
        setInteger(out, whole);
        integral = static_cast<long double>(whole);
    } else {
        integral = std::trunc(value);
        setLargeInteger(out, integral);
    }
    out.fraction = scaleFraction(value - integral, precision);
    if (out.fraction == POWERS_OF_TEN[precision]) {
        out.fraction = 0;
        addOne(out);
    }
}

}  // namespace format_detail
}  // namespace vfw
