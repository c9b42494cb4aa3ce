#include "platform/oleaut/decimal.h"

#include <algorithm>

namespace platform {

DECIMAL MakeDecimal(bool negative, uint128 magnitude, int scale) {
  DECIMAL d{};
  d.scale = static_cast<BYTE>(scale);
  d.sign = negative ? DECIMAL_NEG : 0;
  d.Hi32 = static_cast<ULONG>(magnitude >> 64);
  d.Lo64 = static_cast<ULONGLONG>(magnitude);
  return d;
}

ExactNumber DecimalToExact(const DECIMAL& d) {
  return ExactFromScaled(d.sign == DECIMAL_NEG, DecimalMagnitude(d), d.scale);
}

ExactNumber CyToExact(CY cy) {
  const bool negative = cy.int64 < 0;
  const uint128 magnitude = negative
                                ? uint128(0) - static_cast<uint128>(static_cast<__int128>(cy.int64))
                                : static_cast<uint128>(cy.int64);
  return ExactFromScaled(negative, magnitude, 4);
}

HRESULT ExactToDecimal(const ExactNumber& number, DECIMAL* value) {
  // The scale the text asks for, at most 28; fewer digits when the mantissa would not fit.
  const int64_t wanted = number.exponent < 0 ? -number.exponent : 0;
  for (int scale = static_cast<int>(std::min<int64_t>(wanted, 28)); scale >= 0; --scale) {
    uint128 magnitude;
    if (RoundExact(number, scale, kDecimalMantissaLimit, &magnitude)) {
      *value = MakeDecimal(number.negative, magnitude, scale);
      return S_OK;
    }
  }
  return DISP_E_OVERFLOW;
}

HRESULT ExactToCy(const ExactNumber& number, CY* value) {
  const uint128 maxPositive = static_cast<uint128>(INT64_MAX);
  uint128 magnitude;
  if (!RoundExact(number, 4, maxPositive + (number.negative ? 1 : 0), &magnitude))
    return DISP_E_OVERFLOW;
  value->int64 = number.negative ? static_cast<LONGLONG>(uint128(0) - magnitude)
                                 : static_cast<LONGLONG>(magnitude);
  return S_OK;
}

}  // namespace platform
