// Jet statements as the server reads them. Jet compared names without case and kept their
// spelling; the server folds a bare name to lower case, so a bare word that names a table or
// column spelled otherwise is quoted with the server's spelling. Integer and text literals become
// parameters, so that values never travel inside the statement text.
#include <cstdint>

#include "platform/ado/pg/pg_internal.h"
#include "platform/ado/statement_form.h"
#include "platform/sql/quote.h"

namespace platform {
namespace ado {
namespace pg {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }

bool SameWord(std::string_view word, std::string_view upper) {
  if (word.size() != upper.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    char c = word[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != upper[i]) return false;
  }
  return true;
}

bool IsLowerCase(std::string_view name) {
  for (char c : name)
    if ((c >= 'A' && c <= 'Z') || static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

size_t SkipBlanksAndComments(std::string_view sql, size_t at) {
  for (;;) {
    while (at < sql.size() && IsBlank(sql[at])) ++at;
    if (at + 1 < sql.size() && sql[at] == '-' && sql[at + 1] == '-') {
      at = sql.find('\n', at);
      if (at == std::string_view::npos) return sql.size();
    } else if (at + 1 < sql.size() && sql[at] == '/' && sql[at + 1] == '*') {
      at = sql.find("*/", at + 2);
      if (at == std::string_view::npos) return sql.size();
      at += 2;
    } else {
      return at;
    }
  }
}

// Appends text to both forms of the translation.
void Emit(Translation* out, std::string_view text) {
  out->literal.append(text);
  out->parameterized.append(text);
}

}  // namespace

std::string Unquote(std::string_view name) {
  while (!name.empty() && IsBlank(name.front())) name.remove_prefix(1);
  while (!name.empty() && IsBlank(name.back())) name.remove_suffix(1);
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
    return std::string(name.substr(1, name.size() - 2));
  if (name.size() >= 2 && (name.front() == '"' || name.front() == '`') &&
      name.back() == name.front()) {
    const char quote = name.front();
    std::string inner;
    for (size_t i = 1; i + 1 < name.size(); ++i) {
      inner.push_back(name[i]);
      if (name[i] == quote && name[i + 1] == quote) ++i;
    }
    return inner;
  }
  return std::string(name);
}

Translation TranslateStatement(std::string_view sql, const NameLookup& lookup) {
  Translation out;
  out.canParameterize = true;
  const size_t first = SkipBlanksAndComments(sql, 0);
  if (first >= sql.size()) {
    out.empty = true;
    return out;
  }
  bool firstWord = true;
  bool nameFollows = false;  // after INTO, TABLE, FROM, ...: a name, even before "("
  size_t i = 0;
  while (i < sql.size()) {
    const char c = sql[i];
    if (c == '\'') {
      const size_t end = SkipQuoted(sql, i, '\'');
      out.literal.append(sql.substr(i, end - i));
      // A prefixed string (E'..', U&'..') keeps its literal form.
      const bool prefixed = i > 0 && IsNameByte(static_cast<unsigned char>(sql[i - 1]));
      if (prefixed || end > sql.size() || sql[end - 1] != '\'' || end - i < 2) {
        out.canParameterize = false;
        out.parameterized.append(sql.substr(i, end - i));
      } else {
        std::string value;
        for (size_t k = i + 1; k + 1 < end; ++k) {
          value.push_back(sql[k]);
          if (sql[k] == '\'') ++k;
        }
        out.literals.push_back(std::move(value));
        out.parameterized += "$" + std::to_string(out.literals.size());
      }
      i = end;
      continue;
    }
    if (c == '"') {
      const size_t end = SkipQuoted(sql, i, '"');
      Emit(&out, sql.substr(i, end - i));
      i = end;
      continue;
    }
    if (c == '[' || c == '`') {
      const size_t end = SkipQuoted(sql, i, c == '[' ? ']' : '`');
      Emit(&out, platform::sql::QuoteName(Unquote(sql.substr(i, end - i))));
      i = end;
      continue;
    }
    if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
      size_t end = sql.find('\n', i);
      end = end == std::string_view::npos ? sql.size() : end;
      Emit(&out, sql.substr(i, end - i));
      i = end;
      continue;
    }
    if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
      size_t end = sql.find("*/", i + 2);
      end = end == std::string_view::npos ? sql.size() : end + 2;
      Emit(&out, sql.substr(i, end - i));
      i = end;
      continue;
    }
    if (c == ';') {
      if (SkipBlanksAndComments(sql, i + 1) < sql.size()) {
        // Anything but ";" and blanks after it is a second statement.
        const size_t next = SkipBlanksAndComments(sql, i + 1);
        if (sql[next] != ';') out.several = true;
      }
      ++i;
      continue;
    }
    if (c == '$' || c == '?' || c == ':') {
      // The statement's own parameters (or a cast "::"): its literals stay as they are.
      if (c != ':' || (i + 1 < sql.size() && sql[i + 1] != ':' && (i == 0 || sql[i - 1] != ':')))
        out.canParameterize = false;
      Emit(&out, sql.substr(i, 1));
      ++i;
      continue;
    }
    if (IsDigit(c) || (c == '.' && i + 1 < sql.size() && IsDigit(sql[i + 1]))) {
      bool integer = false;
      const size_t end = NumberEnd(sql, i, &integer);
      const std::string_view number = sql.substr(i, end - i);
      out.literal.append(number);
      if (integer && number.size() <= 18) {
        out.literals.emplace_back(number);
        out.parameterized += "$" + std::to_string(out.literals.size());
      } else {
        out.parameterized.append(number);
      }
      i = end;
      continue;
    }
    if (IsNameByte(static_cast<unsigned char>(c))) {
      size_t end = i;
      while (end < sql.size() && IsNameByte(static_cast<unsigned char>(sql[end]))) ++end;
      const std::string_view word = sql.substr(i, end - i);
      const size_t after = SkipBlanksAndComments(sql, end);
      if (firstWord) {
        firstWord = false;
        out.changesSchema = SameWord(word, "CREATE") || SameWord(word, "ALTER") ||
                            SameWord(word, "DROP") || SameWord(word, "TRUNCATE") ||
                            SameWord(word, "COMMENT") || SameWord(word, "GRANT");
        if (out.changesSchema) out.canParameterize = false;
        Emit(&out, word);
        // Jet's DELETE * FROM.
        if (SameWord(word, "DELETE") && after < sql.size() && sql[after] == '*') {
          const size_t from = SkipBlanksAndComments(sql, after + 1);
          size_t fromEnd = from;
          while (fromEnd < sql.size() && IsNameByte(static_cast<unsigned char>(sql[fromEnd])))
            ++fromEnd;
          if (SameWord(sql.substr(from, fromEnd - from), "FROM")) {
            Emit(&out, " ");
            i = from;
            continue;
          }
        }
        i = end;
        continue;
      }
      // Numbers after ORDER BY and GROUP BY name columns by position.
      if (SameWord(word, "ORDER") || SameWord(word, "GROUP") || SameWord(word, "LIMIT") ||
          SameWord(word, "OFFSET"))
        out.canParameterize = false;
      const bool call = after < sql.size() && sql[after] == '(' && !nameFollows;
      nameFollows = SameWord(word, "INTO") || SameWord(word, "TABLE") || SameWord(word, "FROM") ||
                    SameWord(word, "JOIN") || SameWord(word, "UPDATE") ||
                    SameWord(word, "REFERENCES") || SameWord(word, "ON");
      std::string spelling;
      if (!call && lookup) spelling = lookup(word);
      if (!spelling.empty() && !IsLowerCase(spelling))
        Emit(&out, platform::sql::QuoteName(spelling));
      else
        Emit(&out, word);
      i = end;
      continue;
    }
    Emit(&out, sql.substr(i, 1));
    ++i;
  }
  if (out.literals.empty()) out.canParameterize = false;
  return out;
}

}  // namespace pg
}  // namespace ado
}  // namespace platform
