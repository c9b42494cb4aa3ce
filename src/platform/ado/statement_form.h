// The statement forms of the data-access stand-in: how the Jet dialect that callers write is
// turned into text that SQLite runs, and the parameter form under which the connection keeps
// its DELETE statements compiled.
//
// Everything here works on text alone: nothing touches a database, nothing fails, and every
// function is safe to call from any thread. Text is UTF-8; bytes at or above 0x80 count as
// letters of a name.
#ifndef ZEMA_PLATFORM_ADO_STATEMENT_FORM_H
#define ZEMA_PLATFORM_ADO_STATEMENT_FORM_H

#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

namespace platform {
namespace ado {

// Jet's "DELETE * FROM t ..." as SQLite's "DELETE FROM t ...". Any other text comes back as it
// is (the words are matched without case, with any blanks between them).
std::string RewriteJetSyntax(std::string sql);

// Quotes an identifier for SQLite; blanks around it, and brackets, double quotes or back quotes
// around it, are taken off first ("[Tag Types]" gives "\"Tag Types\""); the rest is quoted as
// platform::sql::QuoteName quotes it (a double quote inside is doubled).
std::string QuoteIdentifier(std::string_view name);

// True for a source that is one name ("Tags", "[Tag Types]") rather than a statement: one
// bracketed name, or letters, digits, '_' and bytes at or above 0x80 only.
bool IsSingleName(std::string_view source);

// True when the statement begins with the word DELETE (after blanks, without case).
bool IsDeleteStatement(std::string_view sql);

// True when the text after a compiled statement (SQLite's tail) holds nothing but blanks and
// semicolons; a null tail is empty.
bool IsEmptyTail(const char* tail);

// The parameter form of a DELETE statement: every integer literal that fits 64 bits, outside
// quotes, brackets and comments, becomes "?" and its value goes to *values, in order.
// False (with *form and *values left partly filled) when the statement keeps its literals: it
// brings parameters of its own, or has an ORDER BY or GROUP BY, where an integer names a
// column. Hexadecimal and real numbers, and numbers run into a name, stay as written. Anything
// else that a parameter cannot stand for fails to compile in this form; the caller then runs the
// text as written.
bool DeleteParameterForm(std::string_view sql, std::string* form, std::vector<int64_t>* values);

// The tokens that these forms and the server's form of a statement (pg/) read alike.

// True for a byte that may stand in a name: an ASCII letter or digit, '_', '$', or a byte at or
// above 0x80.
bool IsNameByte(unsigned char c);

// The end of the quoted text that opens at sql[at] and closes with `close` (one past the
// closing character). A doubled closing character stays inside, except for ']'. Text that is
// never closed ends at the end of sql.
size_t SkipQuoted(std::string_view sql, size_t at, char close);

// The end of the number that begins at sql[at]: digits, a fraction, an exponent, and the name
// bytes run into it (a number run into a name is not a token of its own). *integer is true when
// the number is digits alone.
size_t NumberEnd(std::string_view sql, size_t at, bool* integer);

}  // namespace ado
}  // namespace platform

#endif
