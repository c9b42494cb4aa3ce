// The SQL functions that audit triggers call, and the refusal of an AuditLog with other columns.
#include "platform/ado/audit.h"

#include <errno.h>
#include <pwd.h>
#include <sqlite3.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

namespace platform {
namespace ado {

const char* const kAuditLogColumns[] = {"AuditID", "Time",      "OsUser",    "Host",
                                        "Program", "Operation", "TableName", "TagID",
                                        "TagName", "Before",    "After"};
const int kAuditLogColumnCount = sizeof(kAuditLogColumns) / sizeof(kAuditLogColumns[0]);

namespace {

// Who this process is, read once: the names do not change while it runs.
struct Identity {
  std::string user;
  std::string host;
  std::string program;
};

const Identity& ProcessIdentity() {
  static const Identity identity = [] {
    Identity found;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* result = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &result) == 0 &&
        result != nullptr && result->pw_name != nullptr)
      found.user = result->pw_name;
    if (found.user.empty()) found.user = "uid " + std::to_string(geteuid());
    char host[256] = {};
    if (gethostname(host, sizeof(host) - 1) == 0) found.host = host;
    found.program = program_invocation_short_name != nullptr ? program_invocation_short_name : "";
    return found;
  }();
  return identity;
}

void AnswerUser(sqlite3_context* context, int, sqlite3_value**) {
  sqlite3_result_text(context, ProcessIdentity().user.c_str(), -1, SQLITE_STATIC);
}
void AnswerHost(sqlite3_context* context, int, sqlite3_value**) {
  sqlite3_result_text(context, ProcessIdentity().host.c_str(), -1, SQLITE_STATIC);
}
void AnswerProgram(sqlite3_context* context, int, sqlite3_value**) {
  sqlite3_result_text(context, ProcessIdentity().program.c_str(), -1, SQLITE_STATIC);
}

// Writes value (0 <= value < 10^digits) as exactly `digits` decimal digits.
char* PutDigits(char* out, int64_t value, int digits) {
  for (int i = digits - 1; i >= 0; --i, value /= 10) out[i] = static_cast<char>('0' + value % 10);
  return out + digits;
}

// The same text as strftime('%Y-%m-%dT%H:%M:%fZ', 'now'), which reads the same clock to the
// millisecond, at a fraction of its cost (it parses the format and computes the date in
// floating point for every row).
void AnswerTime(sqlite3_context* context, int, sqlite3_value**) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const int64_t milliseconds = static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  const int64_t msPerDay = 86400000;
  int64_t days = milliseconds / msPerDay;
  int64_t ofDay = milliseconds % msPerDay;
  if (ofDay < 0) {
    ofDay += msPerDay;
    --days;
  }
  // The civil date of a day number counted from 1970-01-01 (proleptic Gregorian calendar).
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t dayOfEra = z - era * 146097;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
  const int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  const int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  if (year < 0 || year > 9999) {
    sqlite3_result_null(context);
    return;
  }
  char text[32];
  char* out = PutDigits(text, year, 4);
  *out++ = '-';
  out = PutDigits(out, month, 2);
  *out++ = '-';
  out = PutDigits(out, day, 2);
  *out++ = 'T';
  out = PutDigits(out, ofDay / 3600000, 2);
  *out++ = ':';
  out = PutDigits(out, ofDay / 60000 % 60, 2);
  *out++ = ':';
  out = PutDigits(out, ofDay / 1000 % 60, 2);
  *out++ = '.';
  out = PutDigits(out, ofDay % 1000, 3);
  *out++ = 'Z';
  sqlite3_result_text(context, text, static_cast<int>(out - text), SQLITE_TRANSIENT);
}

// Text built on the stack while it fits (a row of a few dozen columns does), on the heap beyond.
class CTextBuilder {
 public:
  CTextBuilder() = default;
  CTextBuilder(const CTextBuilder&) = delete;
  CTextBuilder& operator=(const CTextBuilder&) = delete;

  void Append(const char* text, size_t size) {
    if (size > capacity - used && !Grow(size)) return;
    if (size != 0) std::memcpy(data + used, text, size);
    used += size;
  }
  void Put(char c) { Append(&c, 1); }
  // Room for `size` more characters at End(); false when memory ran out.
  bool Reserve(size_t size) { return size <= capacity - used || Grow(size); }
  char* End() { return data + used; }
  void Advance(size_t size) { used += size; }

  const char* Data() const { return data; }
  size_t Size() const { return used; }
  bool Failed() const { return failed; }

 private:
  bool Grow(size_t more) {
    if (failed) return false;
    const size_t wanted = std::max(capacity * 2, used + more);
    std::unique_ptr<char[]> bigger(new (std::nothrow) char[wanted]);
    if (bigger == nullptr) {
      failed = true;
      return false;
    }
    std::memcpy(bigger.get(), data, used);
    heap = std::move(bigger);
    data = heap.get();
    capacity = wanted;
    return true;
  }

  char local[2048];
  std::unique_ptr<char[]> heap;
  char* data = local;
  size_t used = 0;
  size_t capacity = sizeof local;
  bool failed = false;
};

// A JSON string as the engine's json functions write it: quote and backslash escaped, the
// control characters that have one as a short escape (\b \t \n \f \r), the others as \u00XX.
void AppendJsonString(CTextBuilder* out, const unsigned char* text, size_t size) {
  static const char kShort[32] = {0, 0, 0, 0, 0, 0, 0, 0, 'b', 't', 'n', 0, 'f', 'r', 0, 0,
                                  0, 0, 0, 0, 0, 0, 0, 0, 0,   0,   0,   0, 0,   0,   0, 0};
  static const char kHex[] = "0123456789abcdef";
  out->Put('"');
  size_t plain = 0;  // the start of the characters not yet written
  for (size_t i = 0; i < size; ++i) {
    const unsigned char c = text[i];
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out->Append(reinterpret_cast<const char*>(text) + plain, i - plain);
    plain = i + 1;
    if (c >= 0x20 || kShort[c] != 0) {
      const char escape[2] = {'\\', c >= 0x20 ? static_cast<char>(c) : kShort[c]};
      out->Append(escape, 2);
    } else {
      const char escape[6] = {'\\',         'u', '0', '0', static_cast<char>('0' + (c >> 4)),
                              kHex[c & 0xf]};
      out->Append(escape, 6);
    }
  }
  out->Append(reinterpret_cast<const char*>(text) + plain, size - plain);
  out->Put('"');
}

// The value of one column as JSON: null, digits, a real as the engine shows it, a string, or a
// blob as the string X'hex'.
void AppendJsonValue(CTextBuilder* out, sqlite3_value* value) {
  switch (sqlite3_value_type(value)) {
    case SQLITE_INTEGER: {
      if (!out->Reserve(24)) return;
      char* end = std::to_chars(out->End(), out->End() + 24, sqlite3_value_int64(value)).ptr;
      out->Advance(static_cast<size_t>(end - out->End()));
      return;
    }
    case SQLITE_FLOAT: {
      // The engine's own conversion of a real to text, which json_object writes.
      char digits[64];
      sqlite3_snprintf(sizeof digits, digits, "%!.15g", sqlite3_value_double(value));
      out->Append(digits, std::strlen(digits));
      return;
    }
    case SQLITE_TEXT:
      AppendJsonString(out, sqlite3_value_text(value),
                       static_cast<size_t>(sqlite3_value_bytes(value)));
      return;
    case SQLITE_BLOB: {
      static const char kHex[] = "0123456789ABCDEF";
      const auto* bytes = static_cast<const unsigned char*>(sqlite3_value_blob(value));
      const size_t size = static_cast<size_t>(sqlite3_value_bytes(value));
      if (!out->Reserve(2 * size + 5)) return;
      char* put = out->End();
      *put++ = '"';
      *put++ = 'X';
      *put++ = '\'';
      for (size_t b = 0; b < size; ++b) {
        *put++ = kHex[bytes[b] >> 4];
        *put++ = kHex[bytes[b] & 0xf];
      }
      *put++ = '\'';
      *put++ = '"';
      out->Advance(2 * size + 5);
      return;
    }
    default:
      out->Append("null", 4);
      return;
  }
}

// The next name of a JSON array of strings at *cursor, quotes included, as written; advances
// past it and its separator. False when the array holds no further string.
bool NextJsonName(const char** cursor, const char* end, std::string_view* name) {
  const char* at = *cursor;
  if (at == end || *at != '"') return false;
  const char* close = at + 1;
  while (close != end && *close != '"') close += *close == '\\' && close + 1 != end ? 2 : 1;
  if (close == end) return false;
  *name = std::string_view(at, static_cast<size_t>(close - at + 1));
  at = close + 1;
  if (at != end && *at == ',') ++at;
  *cursor = at;
  return true;
}

// zema_audit_json and zema_audit_json_members: argv[0] names the values that follow as a JSON
// array of strings (one per value, escaped as the json functions escape); the result is the
// JSON object of names and values, or its members.
void AnswerJson(sqlite3_context* context, int argc, sqlite3_value** argv, bool braces) {
  const char* names = argc > 0 && sqlite3_value_type(argv[0]) == SQLITE_TEXT
                          ? reinterpret_cast<const char*>(sqlite3_value_text(argv[0]))
                          : nullptr;
  const char* namesEnd = names != nullptr ? names + sqlite3_value_bytes(argv[0]) : nullptr;
  if (names == nullptr || names == namesEnd || *names != '[' || namesEnd[-1] != ']') {
    sqlite3_result_error(context,
                         "zema_audit_json: the first argument is not a JSON array of names", -1);
    return;
  }
  const char* cursor = names + 1;
  --namesEnd;
  CTextBuilder out;
  if (braces) out.Put('{');
  for (int i = 1; i < argc; ++i) {
    std::string_view name;
    if (!NextJsonName(&cursor, namesEnd, &name)) {
      sqlite3_result_error(context, "zema_audit_json: fewer names than values", -1);
      return;
    }
    if (i > 1) out.Put(',');
    out.Append(name.data(), name.size());
    out.Put(':');
    AppendJsonValue(&out, argv[i]);
  }
  if (cursor != namesEnd) {
    sqlite3_result_error(context, "zema_audit_json: more names than values", -1);
    return;
  }
  if (braces) out.Put('}');
  if (out.Failed())
    sqlite3_result_error_nomem(context);
  else
    sqlite3_result_text64(context, out.Data(), out.Size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

void AnswerJsonObject(sqlite3_context* context, int argc, sqlite3_value** argv) {
  AnswerJson(context, argc, argv, true);
}
void AnswerJsonMembers(sqlite3_context* context, int argc, sqlite3_value** argv) {
  AnswerJson(context, argc, argv, false);
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  return sqlite3_strnicmp(a.data(), b.data(), static_cast<int>(a.size())) == 0 &&
         a.size() == b.size();
}

}  // namespace

std::string AuditJsonNames(const std::vector<std::string>& names) {
  CTextBuilder out;
  out.Put('[');
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out.Put(',');
    AppendJsonString(&out, reinterpret_cast<const unsigned char*>(names[i].data()),
                     names[i].size());
  }
  out.Put(']');
  return std::string(out.Data(), out.Size());
}

bool RegisterAuditFunctions(sqlite3* db) {
  // Innocuous: they may run from triggers even where the schema is not trusted.
  const int flags = SQLITE_UTF8 | SQLITE_INNOCUOUS;
  const struct {
    const char* name;
    int arguments;
    int flags;
    void (*answer)(sqlite3_context*, int, sqlite3_value**);
  } functions[] = {
      {"zema_audit_user", 0, flags, AnswerUser},
      {"zema_audit_host", 0, flags, AnswerHost},
      {"zema_audit_program", 0, flags, AnswerProgram},
      {"zema_audit_time", 0, flags, AnswerTime},
      {"zema_audit_json", -1, flags | SQLITE_DETERMINISTIC, AnswerJsonObject},
      {"zema_audit_json_members", -1, flags | SQLITE_DETERMINISTIC, AnswerJsonMembers},
  };
  bool registered = true;
  for (const auto& function : functions)
    registered = sqlite3_create_function(db, function.name, function.arguments, function.flags,
                                         nullptr, function.answer, nullptr, nullptr) == SQLITE_OK &&
                 registered;
  return registered;
}

bool PrepareAuditConnection(sqlite3* db, bool readOnly, std::string* error) {
  const bool registered = RegisterAuditFunctions(db);
  if (readOnly) return true;
  // Looks at the schema SQLite already holds; only a database with the table runs a statement.
  if (sqlite3_table_column_metadata(db, "main", "AuditLog", nullptr, nullptr, nullptr, nullptr,
                                    nullptr, nullptr) != SQLITE_OK)
    return true;
  if (!registered) {
    *error =
        "The audit trail's functions could not be set up (out of memory): nothing is "
        "written to this database.";
    return false;
  }
  std::vector<std::string> columns;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT name FROM pragma_table_info('AuditLog')", -1, &statement,
                         nullptr) == SQLITE_OK) {
    while (sqlite3_step(statement) == SQLITE_ROW) {
      const unsigned char* name = sqlite3_column_text(statement, 0);
      columns.emplace_back(name != nullptr ? reinterpret_cast<const char*>(name) : "");
    }
  }
  sqlite3_finalize(statement);
  bool same = columns.size() == static_cast<size_t>(kAuditLogColumnCount);
  for (size_t i = 0; same && i < columns.size(); ++i)
    same = EqualNoCase(columns[i], kAuditLogColumns[i]);
  if (same) return true;
  std::string expected;
  for (int i = 0; i < kAuditLogColumnCount; ++i)
    expected += std::string(i == 0 ? "" : ", ") + kAuditLogColumns[i];
  std::string found;
  for (size_t i = 0; i < columns.size(); ++i) found += (i == 0 ? "" : ", ") + columns[i];
  *error = "The audit trail table AuditLog has the wrong columns (" + found + "; expected " +
           expected + "): nothing is written to this database until it is repaired.";
  return false;
}

}  // namespace ado
}  // namespace platform
