// Statement forms: the Jet dialect as SQLite text and the parameter form of a DELETE.
#include "platform/ado/statement_form.h"

#include "platform/sql/quote.h"

namespace platform {
namespace ado {
namespace {

bool StartsWithWord(std::string_view text, size_t at, std::string_view word) {
  if (text.size() < at + word.size()) return false;
  for (size_t k = 0; k < word.size(); ++k) {
    char c = text[at + k];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != word[k]) return false;
  }
  const size_t after = at + word.size();
  if (after == text.size()) return true;
  const char next = text[after];
  return !((next >= 'A' && next <= 'Z') || (next >= 'a' && next <= 'z') ||
           (next >= '0' && next <= '9') || next == '_');
}

size_t SkipBlanks(std::string_view text, size_t at) {
  while (at < text.size() &&
         (text[at] == ' ' || text[at] == '\t' || text[at] == '\r' || text[at] == '\n'))
    ++at;
  return at;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool IsNameByte(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '$' || c >= 0x80;
}

size_t SkipQuoted(std::string_view sql, size_t at, char close) {
  size_t i = at + 1;
  for (;;) {
    i = sql.find(close, i);
    if (i == std::string_view::npos) return sql.size();
    ++i;
    if (close == ']' || i >= sql.size() || sql[i] != close) return i;
    ++i;
  }
}

size_t NumberEnd(std::string_view sql, size_t at, bool* integer) {
  *integer = true;
  size_t end = at;
  while (end < sql.size() && IsDigit(sql[end])) ++end;
  if (end < sql.size() && sql[end] == '.') {
    *integer = false;
    ++end;
    while (end < sql.size() && IsDigit(sql[end])) ++end;
  }
  if (end < sql.size() && (sql[end] == 'e' || sql[end] == 'E')) {
    size_t digits = end + 1;
    if (digits < sql.size() && (sql[digits] == '+' || sql[digits] == '-')) ++digits;
    if (digits < sql.size() && IsDigit(sql[digits])) {
      *integer = false;
      end = digits;
      while (end < sql.size() && IsDigit(sql[end])) ++end;
    }
  }
  while (end < sql.size() && IsNameByte(static_cast<unsigned char>(sql[end]))) {
    *integer = false;
    ++end;
  }
  return end;
}

std::string RewriteJetSyntax(std::string sql) {
  const size_t begin = SkipBlanks(sql, 0);
  if (!StartsWithWord(sql, begin, "DELETE")) return sql;
  const size_t star = SkipBlanks(sql, begin + 6);
  if (star >= sql.size() || sql[star] != '*') return sql;
  const size_t from = SkipBlanks(sql, star + 1);
  if (!StartsWithWord(sql, from, "FROM")) return sql;
  sql.erase(star, from - star);
  return sql;
}

std::string QuoteIdentifier(std::string_view name) {
  while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.remove_prefix(1);
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
  if (name.size() >= 2 &&
      ((name.front() == '[' && name.back() == ']') || (name.front() == '"' && name.back() == '"') ||
       (name.front() == '`' && name.back() == '`'))) {
    name = name.substr(1, name.size() - 2);
  }
  return sql::QuoteName(name);
}

bool IsSingleName(std::string_view source) {
  if (source.empty()) return false;
  if (source.front() == '[' && source.back() == ']') return source.find(']') == source.size() - 1;
  for (char c : source)
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
          static_cast<unsigned char>(c) >= 0x80))
      return false;
  return true;
}

bool IsDeleteStatement(std::string_view sql) {
  return StartsWithWord(sql, SkipBlanks(sql, 0), "DELETE");
}

bool IsEmptyTail(const char* tail) {
  if (tail == nullptr) return true;
  while (*tail == ' ' || *tail == '\t' || *tail == '\r' || *tail == '\n' || *tail == ';') ++tail;
  return *tail == '\0';
}

bool DeleteParameterForm(std::string_view sql, std::string* form, std::vector<int64_t>* values) {
  form->clear();
  values->clear();
  form->reserve(sql.size());
  size_t i = 0;
  while (i < sql.size()) {
    const char c = sql[i];
    size_t end = i + 1;
    if (c == '\'' || c == '"' || c == '`' || c == '[') {
      end = SkipQuoted(sql, i, c == '[' ? ']' : c);
    } else if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
      end = sql.find('\n', i);
      end = end == std::string_view::npos ? sql.size() : end;
    } else if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
      end = sql.find("*/", i + 2);
      end = end == std::string_view::npos ? sql.size() : end + 2;
    } else if (c == '?' || c == ':' || c == '@' || c == '$' || c == '#') {
      return false;
    } else if (IsDigit(c) || (c == '.' && i + 1 < sql.size() && IsDigit(sql[i + 1]))) {
      // A number: hexadecimal, reals and numbers run into a name stay as written.
      bool integer = false;
      const bool hexadecimal =
          c == '0' && i + 1 < sql.size() && (sql[i + 1] == 'x' || sql[i + 1] == 'X');
      end = NumberEnd(sql, hexadecimal ? i + 2 : i, &integer);
      if (integer && !hexadecimal) {
        size_t first = i;
        while (first + 1 < end && sql[first] == '0') ++first;
        const std::string_view digits = sql.substr(first, end - first);
        constexpr std::string_view kMax = "9223372036854775807";
        if (digits.size() < kMax.size() || (digits.size() == kMax.size() && digits <= kMax)) {
          int64_t value = 0;
          for (char d : digits) value = value * 10 + (d - '0');
          values->push_back(value);
          form->push_back('?');
          i = end;
          continue;
        }
      }
    } else if (IsNameByte(static_cast<unsigned char>(c))) {
      while (end < sql.size() && IsNameByte(static_cast<unsigned char>(sql[end]))) ++end;
      if (StartsWithWord(sql, i, "ORDER") || StartsWithWord(sql, i, "GROUP")) return false;
    }
    form->append(sql.substr(i, end - i));
    i = end;
  }
  return true;
}

}  // namespace ado
}  // namespace platform
