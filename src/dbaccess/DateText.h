// Formatting of OLE Automation dates (days since 30 December 1899) as text.
#ifndef ZEMA_DBACCESS_DATETEXT_H
#define ZEMA_DBACCESS_DATETEXT_H

#include <string>

#include "oleauto.h"

namespace dbaccess {

// Formats date with the strftime-style format (empty or null: "%Y-%m-%d %H:%M:%S"), the time of
// day rounded to the second. Returns false and leaves text untouched for a date outside
// 1 January 100 .. 31 December 9999 (or not a number).
bool FormatDate(DATE date, const char* format, std::string& text);

}  // namespace dbaccess

#endif
