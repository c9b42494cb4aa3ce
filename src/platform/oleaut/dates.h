// DATE values (days since midnight, 30 December 1899) as calendar dates and as ISO-8601 text.
//
// A DATE's integer part counts days, signed; its time of day is the absolute value of the
// fraction, so -1.25 is 29 December 1899, 06:00. The calendar is the Gregorian one throughout
// (also before its historical introduction), from 1 January 100 to 31 December 9999.
#ifndef ZEMA_PLATFORM_OLEAUT_DATES_H
#define ZEMA_PLATFORM_OLEAUT_DATES_H

#include <string>
#include <string_view>

#include "oleauto.h"

namespace platform {

// The first and last day of the range: 1 January 100 and 31 December 9999. Every DATE strictly
// between kMinDateDay - 1 and kMaxDateDay + 1 lies in the range.
constexpr double kMinDateDay = -657434.0;
constexpr double kMaxDateDay = 2958465.0;

// True when date is a number within the range.
bool IsDateInRange(DATE date);

// A calendar date and time of day.
struct DateParts {
  int year = 1899;      // 100 .. 9999
  int month = 12;       // 1 .. 12
  int day = 30;         // 1 .. days in the month
  int hour = 0;         // 0 .. 23
  int minute = 0;       // 0 .. 59
  int second = 0;       // 0 .. 59
  int millisecond = 0;  // 0 .. 999
};

// The calendar date and time of a DATE, rounded to the nearest millisecond (23:59:59.9996 rounds
// up to midnight of the next day). False, *parts untouched, when the DATE is not a number or the
// rounded value lies outside the range.
bool DateToParts(DATE date, DateParts* parts);

// The DATE of a calendar date and time. False, *date untouched, when a part is out of its range
// (month 13, 30 February, hour 24, year 10000, ...).
bool DateFromParts(const DateParts& parts, DATE* date);

// "YYYY-MM-DD HH:MM:SS", with ".fff" appended when the milliseconds are not 0. "" when the DATE
// lies outside the range.
std::string DateToText(DATE date);

// Reads "YYYY-MM-DD", "YYYY-MM-DD HH:MM", "YYYY-MM-DD HH:MM:SS" or "YYYY-MM-DD HH:MM:SS.f" (one to
// three digits of a second's fraction; 'T' may stand for the space), with optional blanks
// around it. False, *date untouched, for any other text or an impossible date.
bool DateFromText(std::string_view text, DATE* date);

}  // namespace platform

#endif
