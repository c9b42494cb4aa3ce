// Currency formatting by the conventions of a locale's LC_MONETARY category, split from
// GetCurrencyFormatA so that the layout rules can be exercised without installed locales.
#ifndef ZEMA_PLATFORM_WIN32_CURRENCY_H
#define ZEMA_PLATFORM_WIN32_CURRENCY_H

#include <string>

namespace platform {

// The LC_MONETARY conventions, with the meanings of struct lconv. The defaults are what the
// "C" locale gets, where the locale leaves everything unset: no symbol, no grouping, "." as the
// decimal point, 2 fraction digits and a leading "-" for negative amounts ("-1234.50").
struct MonetaryConventions {
  std::string currencySymbol;
  std::string decimalPoint = ".";
  std::string thousandsSeparator;
  std::string grouping;  // group sizes from the right, as mon_grouping
  std::string positiveSign;
  std::string negativeSign = "-";
  int fractionDigits = 2;
  int positiveSymbolPrecedes = 1;
  int negativeSymbolPrecedes = 1;
  int positiveSeparatedBySpace = 0;  // 0, 1 or 2 as p_sep_by_space
  int negativeSeparatedBySpace = 0;
  int positiveSignPosition = 1;  // 0 to 4 as p_sign_posn
  int negativeSignPosition = 1;
};

// The conventions of the calling thread's current LC_MONETARY locale, defaults filling what the
// locale leaves unset.
MonetaryConventions CurrentMonetaryConventions();

// Formats the number text value (digits with an optional leading "-" and at most one "."),
// rounded half away from zero to the fraction digits of the conventions. False, leaving *text
// untouched, when value is not such a number.
bool FormatCurrencyText(const char* value, const MonetaryConventions& conventions,
                        std::string* text);

}  // namespace platform

#endif
