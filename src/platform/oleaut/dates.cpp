#include "platform/oleaut/dates.h"

#include <math.h>
#include <stdint.h>
#include <stdio.h>

namespace platform {
namespace {

constexpr int64_t kMillisecondsPerDay = 86400000;
// Days from 1 January 1970 (the civil-day origin below) to 30 December 1899 (DATE 0).
constexpr int64_t kDateEpochCivilDay = -25569;

// Days since 1 January 1970 of a proleptic Gregorian date, counted in 400-year eras.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int* year, int* month, int* day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (m <= 2));
  *month = static_cast<int>(m);
  *day = static_cast<int>(d);
}

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

// Reads exactly `count` digits at text[*pos].
bool ReadDigits(std::string_view text, size_t* pos, size_t count, int* value) {
  if (*pos + count > text.size()) return false;
  int result = 0;
  for (size_t i = 0; i < count; ++i) {
    const char c = text[*pos + i];
    if (c < '0' || c > '9') return false;
    result = result * 10 + (c - '0');
  }
  *pos += count;
  *value = result;
  return true;
}

bool Expect(std::string_view text, size_t* pos, char c) {
  if (*pos >= text.size() || text[*pos] != c) return false;
  ++*pos;
  return true;
}

}  // namespace

bool IsDateInRange(DATE date) { return date > kMinDateDay - 1 && date < kMaxDateDay + 1; }

bool DateToParts(DATE date, DateParts* parts) {
  if (!IsDateInRange(date)) return false;  // also false for NaN
  const double whole = trunc(date);
  int64_t day = static_cast<int64_t>(whole);
  int64_t ms = llround(fabs(date - whole) * kMillisecondsPerDay);
  if (ms >= kMillisecondsPerDay) {  // rounded up to midnight: the next calendar day
    ms -= kMillisecondsPerDay;
    ++day;
  }
  if (day < kMinDateDay || day > kMaxDateDay) return false;
  DateParts result;
  CivilFromDays(day + kDateEpochCivilDay, &result.year, &result.month, &result.day);
  result.hour = static_cast<int>(ms / 3600000);
  result.minute = static_cast<int>(ms / 60000 % 60);
  result.second = static_cast<int>(ms / 1000 % 60);
  result.millisecond = static_cast<int>(ms % 1000);
  *parts = result;
  return true;
}

bool DateFromParts(const DateParts& p, DATE* date) {
  if (p.year < 100 || p.year > 9999 || p.month < 1 || p.month > 12 || p.day < 1 ||
      p.day > DaysInMonth(p.year, p.month) || p.hour < 0 || p.hour > 23 || p.minute < 0 ||
      p.minute > 59 || p.second < 0 || p.second > 59 || p.millisecond < 0 || p.millisecond > 999)
    return false;
  const int64_t day = DaysFromCivil(p.year, p.month, p.day) - kDateEpochCivilDay;
  const int64_t ms = ((p.hour * 60 + p.minute) * 60 + p.second) * int64_t{1000} + p.millisecond;
  const double time = static_cast<double>(ms) / kMillisecondsPerDay;
  *date = day >= 0 ? static_cast<double>(day) + time : static_cast<double>(day) - time;
  return true;
}

std::string DateToText(DATE date) {
  DateParts p;
  if (!DateToParts(date, &p)) return std::string();
  char buffer[32];
  if (p.year < 0 || p.year > 9999) {
    int length = snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month,
                          p.day, p.hour, p.minute, p.second);
    if (p.millisecond != 0)
      length += snprintf(buffer + length, sizeof buffer - length, ".%03d", p.millisecond);
    return std::string(buffer, length);
  }
  // The same text as "%04d-%02d-%02d %02d:%02d:%02d" [".%03d"] without the formatter: a writer
  // turns every date it stores into text.
  char* at = buffer;
  const auto digits = [&at](int value, int count) {
    for (int i = count - 1; i >= 0; --i, value /= 10) at[i] = static_cast<char>('0' + value % 10);
    at += count;
  };
  digits(p.year, 4);
  *at++ = '-';
  digits(p.month, 2);
  *at++ = '-';
  digits(p.day, 2);
  *at++ = ' ';
  digits(p.hour, 2);
  *at++ = ':';
  digits(p.minute, 2);
  *at++ = ':';
  digits(p.second, 2);
  if (p.millisecond != 0) {
    *at++ = '.';
    digits(p.millisecond, 3);
  }
  return std::string(buffer, static_cast<size_t>(at - buffer));
}

bool DateFromText(std::string_view text, DATE* date) {
  size_t begin = 0, end = text.size();
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  text = text.substr(begin, end - begin);
  DateParts p;
  size_t pos = 0;
  if (!ReadDigits(text, &pos, 4, &p.year) || !Expect(text, &pos, '-') ||
      !ReadDigits(text, &pos, 2, &p.month) || !Expect(text, &pos, '-') ||
      !ReadDigits(text, &pos, 2, &p.day))
    return false;
  if (pos < text.size()) {
    if (text[pos] != ' ' && text[pos] != 'T') return false;
    ++pos;
    if (!ReadDigits(text, &pos, 2, &p.hour) || !Expect(text, &pos, ':') ||
        !ReadDigits(text, &pos, 2, &p.minute))
      return false;
    if (pos < text.size()) {
      if (!Expect(text, &pos, ':') || !ReadDigits(text, &pos, 2, &p.second)) return false;
      if (pos < text.size()) {
        if (!Expect(text, &pos, '.')) return false;
        const size_t digits = text.size() - pos;
        if (digits < 1 || digits > 3 || !ReadDigits(text, &pos, digits, &p.millisecond))
          return false;
        for (size_t i = digits; i < 3; ++i) p.millisecond *= 10;
      }
    }
  }
  return DateFromParts(p, date);
}

}  // namespace platform
