// GetCurrencyFormatA: the number text is rounded as text (no binary floating point), grouped and
// decorated by the LC_MONETARY conventions of the calling thread's locale.

#include "platform/win32/currency.h"

#include <locale.h>

#include <climits>
#include <cstring>

#include "platform/faults/faults.h"
#include "platform/win32/win32.h"

namespace platform {

namespace {

// A localeconv() field that the locale leaves unset (CHAR_MAX) keeps its default.
void TakeChar(char value, int* field, int lowest, int highest) {
  if (value != CHAR_MAX && value >= lowest && value <= highest) *field = value;
}

// Inserts the thousands separator into the integer digits by the group sizes of grouping.
std::string Grouped(const std::string& digits, const MonetaryConventions& conventions) {
  if (conventions.thousandsSeparator.empty() || conventions.grouping.empty()) return digits;
  std::string out;
  size_t end = digits.size();  // digits[0, end) still to place
  size_t groupIndex = 0;
  int size = 0;
  std::string tail;
  while (end > 0) {
    if (groupIndex < conventions.grouping.size()) {
      size = static_cast<unsigned char>(conventions.grouping[groupIndex++]);
    }
    if (size <= 0 || size == CHAR_MAX || static_cast<size_t>(size) >= end) break;
    tail = conventions.thousandsSeparator + digits.substr(end - size, size) + tail;
    end -= size;
  }
  return digits.substr(0, end) + tail;
}

}  // namespace

MonetaryConventions CurrentMonetaryConventions() {
  MonetaryConventions conventions;
  const struct lconv* lc = localeconv();
  if (lc == nullptr) return conventions;
  conventions.currencySymbol = lc->currency_symbol ? lc->currency_symbol : "";
  if (lc->mon_decimal_point && *lc->mon_decimal_point) {
    conventions.decimalPoint = lc->mon_decimal_point;
  }
  conventions.thousandsSeparator = lc->mon_thousands_sep ? lc->mon_thousands_sep : "";
  conventions.grouping = lc->mon_grouping ? lc->mon_grouping : "";
  conventions.positiveSign = lc->positive_sign ? lc->positive_sign : "";
  if (lc->negative_sign && *lc->negative_sign) conventions.negativeSign = lc->negative_sign;
  TakeChar(lc->frac_digits, &conventions.fractionDigits, 0, 20);
  TakeChar(lc->p_cs_precedes, &conventions.positiveSymbolPrecedes, 0, 1);
  TakeChar(lc->n_cs_precedes, &conventions.negativeSymbolPrecedes, 0, 1);
  TakeChar(lc->p_sep_by_space, &conventions.positiveSeparatedBySpace, 0, 2);
  TakeChar(lc->n_sep_by_space, &conventions.negativeSeparatedBySpace, 0, 2);
  TakeChar(lc->p_sign_posn, &conventions.positiveSignPosition, 0, 4);
  TakeChar(lc->n_sign_posn, &conventions.negativeSignPosition, 0, 4);
  return conventions;
}

bool FormatCurrencyText(const char* value, const MonetaryConventions& conventions,
                        std::string* text) {
  if (value == nullptr) return false;
  const char* p = value;
  bool negative = *p == '-';
  if (negative) ++p;
  std::string integer, fraction;
  while (*p >= '0' && *p <= '9') integer += *p++;
  if (*p == '.') {
    ++p;
    while (*p >= '0' && *p <= '9') fraction += *p++;
  }
  if (*p != '\0' || (integer.empty() && fraction.empty())) return false;

  // Round half away from zero at the fraction digits, carrying into the integer part.
  size_t keep = static_cast<size_t>(conventions.fractionDigits);
  if (fraction.size() > keep) {
    bool up = fraction[keep] >= '5';
    fraction.resize(keep);
    if (up) {
      std::string digits = integer + fraction;
      size_t i = digits.size();
      while (i > 0 && digits[i - 1] == '9') digits[--i] = '0';
      if (i == 0) {
        digits.insert(digits.begin(), '1');
      } else {
        ++digits[i - 1];
      }
      integer = digits.substr(0, digits.size() - keep);
      fraction = digits.substr(digits.size() - keep);
    }
  }
  fraction.resize(keep, '0');
  size_t firstNonZero = integer.find_first_not_of('0');
  integer = firstNonZero == std::string::npos ? "0" : integer.substr(firstNonZero);
  if (integer == "0" && fraction.find_first_not_of('0') == std::string::npos) negative = false;

  std::string quantity = Grouped(integer, conventions);
  if (keep > 0) quantity += conventions.decimalPoint + fraction;

  const std::string& symbol = conventions.currencySymbol;
  const std::string& sign = negative ? conventions.negativeSign : conventions.positiveSign;
  int precedes = negative ? conventions.negativeSymbolPrecedes : conventions.positiveSymbolPrecedes;
  int separated =
      negative ? conventions.negativeSeparatedBySpace : conventions.positiveSeparatedBySpace;
  int position = negative ? conventions.negativeSignPosition : conventions.positiveSignPosition;

  std::string out;
  if (symbol.empty()) {
    // Only the sign to place.
    if (position == 0 && negative) {
      out = "(" + quantity + ")";
    } else if (position == 2 || position == 4) {
      out = quantity + sign;
    } else {
      out = sign + quantity;
    }
  } else {
    // separated 1: a space between the symbol (with an adjacent sign) and the quantity;
    // separated 2: a space between the sign and what it touches.
    std::string space1 = separated == 1 ? " " : "";
    std::string space2 = separated == 2 && !sign.empty() ? " " : "";
    std::string block = precedes ? symbol + space1 + quantity : quantity + space1 + symbol;
    switch (position) {
      case 0:
        out = negative ? "(" + block + ")" : block;
        break;
      case 1:
        out = sign + space2 + block;
        break;
      case 2:
        out = block + space2 + sign;
        break;
      case 3:
        out = precedes ? sign + space2 + symbol + space1 + quantity
                       : quantity + space1 + sign + space2 + symbol;
        break;
      default:
        out = precedes ? symbol + space2 + sign + space1 + quantity
                       : quantity + space1 + symbol + space2 + sign;
        break;
    }
  }
  *text = out;
  return true;
}

}  // namespace platform

int GetCurrencyFormatA(DWORD /*locale*/, DWORD flags, const char* value, const void* format,
                       char* currencyText, int cchCurrency) {
  if (platform::FaultCheck("GetCurrencyFormatA")) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  constexpr DWORD kNoUserOverride = 0x80000000;
  if (flags & ~kNoUserOverride) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  std::string text;
  if (format != nullptr || cchCurrency < 0 || (cchCurrency > 0 && currencyText == nullptr) ||
      !platform::FormatCurrencyText(value, platform::CurrentMonetaryConventions(), &text)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  int needed = static_cast<int>(text.size()) + 1;
  if (cchCurrency == 0) return needed;
  if (cchCurrency < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(currencyText, text.c_str(), text.size() + 1);
  return needed;
}
