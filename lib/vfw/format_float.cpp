#include "format_float.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace vfw {
namespace format_detail {
namespace {

constexpr uint64_t kPowersOfTen[kMaxFloatPrecision + 1] = {1ULL,
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
        d.limbs[d.limbCount++] = static_cast<uint32_t>(value % FixedDecimal::kLimbBase);
        value /= FixedDecimal::kLimbBase;
    } while (value != 0);
}

// d = d * 2^shift + add, with shift at most 32.
void shiftAdd(FixedDecimal& d, int shift, uint32_t add) {
    const uint64_t factor = uint64_t{1} << shift;
    uint64_t carry = add;
    for (int i = 0; i < d.limbCount; ++i) {
        const uint64_t t = d.limbs[i] * factor + carry;
        d.limbs[i] = static_cast<uint32_t>(t % FixedDecimal::kLimbBase);
        carry = t / FixedDecimal::kLimbBase;
    }
    while (carry != 0 && d.limbCount < FixedDecimal::kMaxLimbs) {
        d.limbs[d.limbCount++] = static_cast<uint32_t>(carry % FixedDecimal::kLimbBase);
        carry /= FixedDecimal::kLimbBase;
    }
}

void addOne(FixedDecimal& d) {
    for (int i = 0; i < d.limbCount; ++i) {
        if (++d.limbs[i] < FixedDecimal::kLimbBase) {
            return;
        }
        d.limbs[i] = 0;
    }
    if (d.limbCount < FixedDecimal::kMaxLimbs) {
        d.limbs[d.limbCount++] = 1;
    }
}

// fraction * 2^-shift (below 1) times 10^precision, rounded half up. fraction has at most
// 64 bits and 10^16 fewer than 54, so the product is exact in 128 bits.
uint64_t scaleFraction(uint64_t fraction, int shift, int precision) {
    // Under 2^118, the product is below half a unit when shifted by 119 or more.
    if (fraction == 0 || shift > 118) {
        return 0;
    }
    const unsigned __int128 product =
        static_cast<unsigned __int128>(fraction) * kPowersOfTen[precision];
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

void toFixedDecimal(uint64_t mantissa, int exponent, int precision, FixedDecimal& out) {
    out.precision = precision;
    out.fraction = 0;
    if (exponent >= 0) {
        // An integer: mantissa, then doubled 32 bits at a time.
        if (exponent == 0 || (exponent < 64 && (mantissa >> (64 - exponent)) == 0)) {
            setInteger(out, mantissa << exponent);
            return;
        }
        setInteger(out, mantissa);
        for (int bits = exponent; bits > 0; bits -= 32) {
            shiftAdd(out, bits < 32 ? bits : 32, 0);
        }
        return;
    }
    const int shift = -exponent;
    uint64_t fraction = mantissa;
    if (shift < 64) {
        setInteger(out, mantissa >> shift);
        fraction = mantissa & ((uint64_t{1} << shift) - 1);
    } else {
        setInteger(out, 0);
    }
    out.fraction = scaleFraction(fraction, shift, precision);
    if (out.fraction == kPowersOfTen[precision]) {
        out.fraction = 0;
        addOne(out);
    }
}

void toFixedDecimal(double value, int precision, FixedDecimal& out) {
    static_assert(std::numeric_limits<double>::is_iec559, "binary64 doubles");
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const auto biased = static_cast<int>((bits >> 52) & 0x7ff);
    const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
    if (biased == 0) {
        toFixedDecimal(fraction, -1074, precision, out);
    } else {
        toFixedDecimal(fraction | (uint64_t{1} << 52), biased - 1075, precision, out);
    }
}

void toFixedDecimal(long double value, int precision, FixedDecimal& out) {
    int exponent = 0;
    const long double mantissa = std::frexp(std::fabs(value), &exponent);
    const auto bits = static_cast<uint64_t>(std::ldexp(mantissa, 64));
    toFixedDecimal(bits, exponent - 64, precision, out);
}

}  // namespace format_detail
}  // namespace vfw
