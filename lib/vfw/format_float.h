// Fixed-notation digits of floating-point values, for the formatting engine in format.cpp.
//
// `toFixedDecimal` rounds a finite value's magnitude to a number of fraction digits, half
// a unit of the last digit rounding up, and does so exactly in integer arithmetic: the
// integer part is converted digit for digit whatever its size (up to the largest long
// double), and the fraction is scaled in 128 bits, so no digit depends on the rounding of
// an intermediate floating-point product.
#ifndef VFW_FORMAT_FLOAT_H
#define VFW_FORMAT_FLOAT_H

#include <cfloat>
#include <cstddef>
#include <cstdint>

namespace vfw {
namespace format_detail {

// The most fraction digits the engine prints.
constexpr int kMaxFloatPrecision = 16;

struct FixedDecimal {
    // Enough base-1e9 limbs for the integer part of the largest long double, plus a carry.
    static constexpr int kMaxLimbs = (LDBL_MAX_10_EXP + 1) / 9 + 2;
    static constexpr uint32_t kLimbBase = 1000000000;

    uint32_t limbs[kMaxLimbs];  // integer part, least significant limb first
    int limbCount;              // at least 1 (zero is one limb holding 0)
    uint64_t fraction;          // the fraction digits as an integer below 10^precision
    int precision;              // 0..kMaxFloatPrecision

    // Number of decimal digits of the integer part (at least 1).
    size_t integerDigits() const;
};

// The value mantissa * 2^exponent; `precision` in 0..kMaxFloatPrecision.
void toFixedDecimal(uint64_t mantissa, int exponent, int precision, FixedDecimal& out);

// A finite double's or long double's magnitude, split into mantissa and exponent.
void toFixedDecimal(double value, int precision, FixedDecimal& out);
void toFixedDecimal(long double value, int precision, FixedDecimal& out);

}  // namespace format_detail
}  // namespace vfw

#endif
