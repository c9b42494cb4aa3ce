#include "platform/oleaut/exact_number.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace platform {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Beyond this an exponent only decides between overflow and zero; clamping keeps the arithmetic
// on exponents free of overflow.
constexpr int64_t kExponentClamp = 1000000000;

template <typename Real>
HRESULT ExactToReal(const ExactNumber& number, Real* value) {
  if (number.digits.empty()) {
    *value = number.negative ? -Real(0) : Real(0);
    return S_OK;
  }
  std::string text;
  text.reserve(number.digits.size() + 24);
  if (number.negative) text += '-';
  text += number.digits;
  text += 'e';
  text += std::to_string(number.exponent);
  Real result;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), result);
  if (error == std::errc::result_out_of_range) {
    // The magnitude is about 10^(digits + exponent - 1): out of range below 1 means underflow.
    if (static_cast<int64_t>(number.digits.size()) + number.exponent <= 0) {
      *value = number.negative ? -Real(0) : Real(0);
      return S_OK;
    }
    return DISP_E_OVERFLOW;
  }
  if (error != std::errc() || end != text.data() + text.size()) return DISP_E_TYPEMISMATCH;
  *value = result;
  return S_OK;
}

}  // namespace

bool ParseExactNumber(std::string_view text, ExactNumber* number) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n && IsBlank(text[i])) ++i;
  ExactNumber result;
  if (i < n && (text[i] == '+' || text[i] == '-')) result.negative = text[i++] == '-';
  bool anyDigit = false;
  bool afterPoint = false;
  int64_t fractionDigits = 0;
  for (; i < n; ++i) {
    const char c = text[i];
    if (IsDigit(c)) {
      anyDigit = true;
      if (afterPoint) ++fractionDigits;
      if (c != '0' || !result.digits.empty()) result.digits += c;
    } else if (c == '.' && !afterPoint) {
      afterPoint = true;
    } else {
      break;
    }
  }
  if (!anyDigit) return false;
  int64_t exponent = 0;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negativeExponent = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) negativeExponent = text[i++] == '-';
    if (i == n || !IsDigit(text[i])) return false;
    for (; i < n && IsDigit(text[i]); ++i)
      if (exponent < kExponentClamp) exponent = exponent * 10 + (text[i] - '0');
    if (negativeExponent) exponent = -exponent;
  }
  while (i < n && IsBlank(text[i])) ++i;
  if (i != n) return false;
  result.exponent = exponent - fractionDigits;
  *number = std::move(result);
  return true;
}

ExactNumber ExactFromScaled(bool negative, uint128 magnitude, int scale) {
  ExactNumber number;
  number.negative = negative;
  if (magnitude != 0) number.digits = MagnitudeToDigits(magnitude);
  number.exponent = -scale;
  return number;
}

ExactNumber ExactFromDouble(double value) {
  char buffer[64];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  ExactNumber number;
  if (error == std::errc()) ParseExactNumber(std::string_view(buffer, end - buffer), &number);
  number.negative = std::signbit(value);
  return number;
}

bool RoundExact(const ExactNumber& number, int scale, uint128 limit, uint128* magnitude) {
  const std::string& digits = number.digits;
  const int64_t size = static_cast<int64_t>(digits.size());
  // keep: how many leading digits lie at or above the unit 10^-scale.
  const int64_t keep = size + number.exponent + scale;
  constexpr int64_t kMaxDigits = 38;  // every 38-digit integer fits 128 bits
  if (keep > kMaxDigits) return size == 0 ? (*magnitude = 0, true) : false;
  uint128 result = 0;
  for (int64_t i = 0; i < keep; ++i) result = result * 10 + (i < size ? digits[i] - '0' : 0);
  if (keep >= 0 && keep < size) {
    const int first = digits[keep] - '0';
    bool beyondHalf = first > 5;
    if (first == 5) {
      for (int64_t i = keep + 1; i < size && !beyondHalf; ++i) beyondHalf = digits[i] != '0';
      if (!beyondHalf) beyondHalf = (result & 1) != 0;  // a tie goes to the even neighbour
    }
    if (beyondHalf) ++result;
  }
  if (result > limit) return false;
  *magnitude = result;
  return true;
}

HRESULT ExactToDouble(const ExactNumber& number, double* value) {
  return ExactToReal(number, value);
}
HRESULT ExactToFloat(const ExactNumber& number, float* value) { return ExactToReal(number, value); }

std::string MagnitudeToDigits(uint128 magnitude) {
  char buffer[40];
  char* p = buffer + sizeof buffer;
  do {
    *--p = static_cast<char>('0' + static_cast<int>(magnitude % 10));
    magnitude /= 10;
  } while (magnitude != 0);
  return std::string(p, buffer + sizeof buffer);
}

}  // namespace platform
