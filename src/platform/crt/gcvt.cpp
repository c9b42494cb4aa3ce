// _gcvt: the decimal digits come from the C library's correctly rounded "%e" conversion, so the
// digits past the 17th are those of the exact binary value ("0.10000000000000000555" for 0.1 with
// 20 digits).

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "platform/crt/crt.h"

namespace crt {

char* _gcvt(double value, int digits, char* buffer) {
  if (buffer == nullptr) return nullptr;
  if (digits < 1) digits = 1;
  // A double has at most 767 significant decimal digits and a decimal exponent below 309, so
  // more digits change neither the digits nor the notation; the cap bounds the scratch space.
  if (digits > 800) digits = 800;
  if (isnan(value)) {
    strcpy(buffer, signbit(value) ? "-1.#QNAN" : "1.#QNAN");
    return buffer;
  }
  if (isinf(value)) {
    strcpy(buffer, value < 0 ? "-1.#INF" : "1.#INF");
    return buffer;
  }
  if (value == 0) value = 0;  // no "-0."

  std::vector<char> scientific(static_cast<size_t>(digits) + 32);
  snprintf(scientific.data(), scientific.size(), "%.*e", digits - 1, value);
  // "-d.ddde+XX": the sign, the significant digits and the decimal exponent.
  const char* p = scientific.data();
  bool negative = *p == '-';
  if (negative) ++p;
  std::string mantissa;
  for (; *p != 'e'; ++p) {
    if (*p != '.') mantissa += *p;
  }
  int exponent = atoi(p + 1);

  std::string out = negative ? "-" : "";
  if (exponent >= -1 && exponent < digits) {
    std::string integer, fraction;
    if (exponent >= 0) {
      integer = mantissa.substr(0, exponent + 1);
      fraction = mantissa.substr(exponent + 1);
    } else {
      integer = "0";
      fraction = mantissa;
    }
    fraction.erase(fraction.find_last_not_of('0') + 1);
    out += integer + "." + fraction;
  } else {
    std::string fraction = mantissa.substr(1);
    fraction.erase(fraction.find_last_not_of('0') + 1);
    char exponentText[16];
    snprintf(exponentText, sizeof exponentText, "e%c%03d", exponent < 0 ? '-' : '+',
             exponent < 0 ? -exponent : exponent);
    out += mantissa.substr(0, 1) + "." + fraction + exponentText;
  }
  memcpy(buffer, out.c_str(), out.size() + 1);
  return buffer;
}

}  // namespace crt
