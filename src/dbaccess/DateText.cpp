// Date formatting for the field reads: the calendar comes from the platform's date functions,
// the conversions are strftime's.
#include "dbaccess/DateText.h"

#include <math.h>
#include <string.h>
#include <time.h>

#include <vector>

#include "platform/oleaut/dates.h"

namespace dbaccess {
namespace {

constexpr long long kSecondsPerDay = 86400;

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

}  // namespace

bool FormatDate(DATE date, const char* format, std::string& text) {
  if (!platform::IsDateInRange(date)) return false;  // NaN too
  // Round the time of day (the fraction's absolute value) to the second first, so that
  // 08:29:59.6 shows as 08:30:00 and not as 08:29:59.
  const double whole = trunc(date);
  long long day = static_cast<long long>(whole);
  long long seconds = llround(fabs(date - whole) * kSecondsPerDay);
  if (seconds >= kSecondsPerDay) {
    seconds -= kSecondsPerDay;
    ++day;
  }
  const double time = static_cast<double>(seconds) / kSecondsPerDay;
  const DATE rounded = day >= 0 ? static_cast<double>(day) + time : static_cast<double>(day) - time;
  platform::DateParts parts;
  if (!platform::DateToParts(rounded, &parts)) return false;

  struct tm broken;
  memset(&broken, 0, sizeof broken);
  broken.tm_year = parts.year - 1900;
  broken.tm_mon = parts.month - 1;
  broken.tm_mday = parts.day;
  broken.tm_hour = parts.hour;
  broken.tm_min = parts.minute;
  broken.tm_sec = parts.second;
  broken.tm_wday = static_cast<int>(((day % 7) + 7 + 6) % 7);  // day 0 was a Saturday
  static const int kDaysBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  broken.tm_yday = kDaysBeforeMonth[parts.month - 1] + parts.day - 1 +
                   (parts.month > 2 && IsLeapYear(parts.year) ? 1 : 0);
  broken.tm_isdst = 0;

  const char* pattern = format != nullptr && *format != '\0' ? format : "%Y-%m-%d %H:%M:%S";
  // strftime returns 0 both for a result that does not fit and for an empty result: grow the
  // buffer a few times, then take the result as empty.
  size_t size = 64 + 4 * strlen(pattern);
  std::vector<char> buffer;
  for (int attempt = 0; attempt < 4; ++attempt, size *= 8) {
    buffer.resize(size);
    const size_t written = strftime(buffer.data(), buffer.size(), pattern, &broken);
    if (written > 0) {
      text.assign(buffer.data(), written);
      return true;
    }
  }
  text.clear();
  return true;
}

}  // namespace dbaccess
