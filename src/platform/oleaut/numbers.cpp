#include "platform/oleaut/numbers.h"

#include "platform/oleaut/decimal.h"
#include "platform/oleaut/exact_number.h"

namespace platform {

std::string DecimalToText(const DECIMAL& value) {
  if (!IsValidDecimal(value)) return std::string();
  const std::string digits = MagnitudeToDigits(DecimalMagnitude(value));
  std::string text;
  if (value.sign == DECIMAL_NEG) text += '-';
  const size_t scale = value.scale;
  if (digits.size() > scale) {
    text.append(digits, 0, digits.size() - scale);
    if (scale != 0) {
      text += '.';
      text.append(digits, digits.size() - scale, scale);
    }
  } else {
    text += "0.";
    text.append(scale - digits.size(), '0');
    text += digits;
  }
  return text;
}

HRESULT DecimalFromText(std::string_view text, DECIMAL* value) {
  ExactNumber number;
  if (!ParseExactNumber(text, &number)) return DISP_E_TYPEMISMATCH;
  return ExactToDecimal(number, value);
}

std::string CyToText(CY value) {
  const bool negative = value.int64 < 0;
  const uint128 magnitude =
      negative ? uint128(0) - static_cast<uint128>(static_cast<__int128>(value.int64))
               : static_cast<uint128>(value.int64);
  std::string text = negative ? "-" : "";
  text += MagnitudeToDigits(magnitude / 10000);
  unsigned fraction = static_cast<unsigned>(magnitude % 10000);
  if (fraction != 0) {
    char digits[5] = {char('0' + fraction / 1000), char('0' + fraction / 100 % 10),
                      char('0' + fraction / 10 % 10), char('0' + fraction % 10), 0};
    int length = 4;
    while (digits[length - 1] == '0') --length;
    text += '.';
    text.append(digits, length);
  }
  return text;
}

HRESULT CyFromText(std::string_view text, CY* value) {
  ExactNumber number;
  if (!ParseExactNumber(text, &number)) return DISP_E_TYPEMISMATCH;
  return ExactToCy(number, value);
}

}  // namespace platform
