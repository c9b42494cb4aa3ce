// Currency (CY) and DECIMAL values as decimal text, exactly: the data-access layer stores them as
// text with these and reads back the very same value.
//
// Text is written and read in the C locale: an optional '-', digits, '.' as the decimal point.
// No thousands separators, currency signs or locale conventions are involved.
#ifndef ZEMA_PLATFORM_OLEAUT_NUMBERS_H
#define ZEMA_PLATFORM_OLEAUT_NUMBERS_H

#include <string>
#include <string_view>

#include "oleauto.h"

namespace platform {

// The largest scale of a DECIMAL: at most 28 digits after the point.
constexpr int kDecimalMaxScale = 28;

// The exact text of a DECIMAL: '-' when the sign is negative (also for a negative zero), the
// integer digits (at least one), and for a non-zero scale '.' followed by exactly `scale`
// digits, trailing zeros kept, so that DecimalFromText gives back the same mantissa, scale and
// sign: "-0.50" for mantissa 50, scale 2, negative; "79228162514264337593543950335" for the
// largest value. "" when the DECIMAL is invalid (scale above 28 or a sign other than 0 and
// DECIMAL_NEG).
std::string DecimalToText(const DECIMAL& value);

// Reads decimal text: optional blanks, an optional sign, digits with an optional '.', an optional
// exponent ("1.5e-3"), optional blanks. Text with at most 28 digits after the point whose digits
// form a mantissa below 2^96 (any 28 digits, most 29) is kept exactly with that scale ("1.50"
// gives mantissa 150, scale 2); longer text is rounded to nearest, ties to even, to the largest
// scale at which it fits. S_OK; DISP_E_TYPEMISMATCH when the text is not a number,
// DISP_E_OVERFLOW when its integer part does not fit 96 bits. *value is untouched on failure.
HRESULT DecimalFromText(std::string_view text, DECIMAL* value);

// The shortest exact text of a currency value: "-922337203685477.5808", "12.5", "3", "-0.0001".
std::string CyToText(CY value);

// Reads decimal text as DecimalFromText does and rounds it to 4 digits after the point, to
// nearest with ties to even. S_OK; DISP_E_TYPEMISMATCH when the text is not a number,
// DISP_E_OVERFLOW outside -922337203685477.5808 .. 922337203685477.5807. *value is untouched on
// failure.
HRESULT CyFromText(std::string_view text, CY* value);

}  // namespace platform

#endif
