// DECIMAL and CY values taken apart and put together through ExactNumber.
#ifndef ZEMA_PLATFORM_OLEAUT_DECIMAL_H
#define ZEMA_PLATFORM_OLEAUT_DECIMAL_H

#include "oleauto.h"
#include "platform/oleaut/exact_number.h"

namespace platform {

constexpr uint128 kDecimalMantissaLimit = (uint128(1) << 96) - 1;  // the largest mantissa
constexpr int64_t kCyScale = 10000;

// A DECIMAL with scale 0..28 and sign 0 or DECIMAL_NEG.
inline bool IsValidDecimal(const DECIMAL& d) {
  return d.scale <= 28 && (d.sign == 0 || d.sign == DECIMAL_NEG);
}
inline uint128 DecimalMagnitude(const DECIMAL& d) {
  return (static_cast<uint128>(d.Hi32) << 64) | d.Lo64;
}
// A DECIMAL from its parts. REQUIRES: magnitude <= kDecimalMantissaLimit, 0 <= scale <= 28.
DECIMAL MakeDecimal(bool negative, uint128 magnitude, int scale);

// The exact value of a DECIMAL. REQUIRES: IsValidDecimal(d).
ExactNumber DecimalToExact(const DECIMAL& d);
// The value of a currency amount, with scale 4.
ExactNumber CyToExact(CY cy);

// The number as a DECIMAL: exact when it fits, else rounded (ties to even) to the largest scale
// at which it fits. DISP_E_OVERFLOW when even its integer part does not fit; *value untouched.
HRESULT ExactToDecimal(const ExactNumber& number, DECIMAL* value);
// The number rounded to 4 digits after the point (ties to even). DISP_E_OVERFLOW outside the
// currency range; *value untouched.
HRESULT ExactToCy(const ExactNumber& number, CY* value);

}  // namespace platform

#endif
