// Exact decimal numbers, the common ground of the conversions among integers, currency,
// decimals, reals and text: every such value is written as digits times a power of ten, rounded
// once to the precision of its target.
#ifndef ZEMA_PLATFORM_OLEAUT_EXACT_NUMBER_H
#define ZEMA_PLATFORM_OLEAUT_EXACT_NUMBER_H

#include <stdint.h>

#include <string>
#include <string_view>

#include "oleauto.h"

namespace platform {

using uint128 = unsigned __int128;

// (negative ? -1 : 1) * digits * 10^exponent, where digits are decimal characters without
// leading zeros (empty for zero). The sign of zero is kept.
struct ExactNumber {
  bool negative = false;
  std::string digits;
  int64_t exponent = 0;
};

// Parses number text in the C locale: optional spaces and tabs, an optional sign, digits with an
// optional '.' (at least one digit in all), an optional exponent ('e' or 'E', optional sign,
// digits), optional spaces and tabs. False for anything else.
bool ParseExactNumber(std::string_view text, ExactNumber* number);

// The number magnitude * 10^-scale with the given sign.
ExactNumber ExactFromScaled(bool negative, uint128 magnitude, int scale);
// The shortest decimal that reads back as the same double. REQUIRES: value is finite.
ExactNumber ExactFromDouble(double value);

// Rounds |number| to `scale` digits after the point, to nearest with ties to even, and returns
// it as an integer scaled by 10^scale. False when that integer exceeds `limit`.
bool RoundExact(const ExactNumber& number, int scale, uint128 limit, uint128* magnitude);

// The double (or float) nearest to the number. DISP_E_OVERFLOW when its magnitude is beyond
// the type's range; a magnitude below the smallest subnormal gives zero.
HRESULT ExactToDouble(const ExactNumber& number, double* value);
HRESULT ExactToFloat(const ExactNumber& number, float* value);

// The digits of a magnitude, "0" for zero.
std::string MagnitudeToDigits(uint128 magnitude);

}  // namespace platform

#endif
