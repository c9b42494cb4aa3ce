// Small text helpers shared by the commands.
#ifndef ZEMATAG_TEXT_H
#define ZEMATAG_TEXT_H

#include <string>

#include "oleauto.h"

// text without leading and trailing blanks (space, tab, CR, LF).
std::string Trim(const std::string& text);
// ASCII-only case folding, as the database compares names.
std::string Lower(const std::string& text);
bool EqualsNoCase(const std::string& a, const std::string& b);
// A name that can be used as a table or column name: a letter or "_", then letters, digits, "_".
bool IsIdentifier(const std::string& text);
// Whether text holds a control character (U+0000..U+001F, U+007F..U+009F). Tab, CR and LF are
// allowed when lineBreaks is true (multi-line text values); never in names.
bool HasControlCharacter(const std::string& text, bool lineBreaks);
// Input repeated in a message: control characters shown as \xNN, cut after 80 characters with
// "..." so that one wrong cell cannot flood the terminal.
std::string Echo(const std::string& text);
// Whether text is well-formed UTF-8.
bool IsUtf8(const std::string& text);
// UTF-8 to a new BSTR (null on malformed text), and a BSTR back to UTF-8.
BSTR NewBstr(const std::string& utf8);
std::string FromBstr(BSTR text);
// The number of UTF-16 units the text needs.
size_t Utf16Length(const std::string& utf8);
// Parses a whole decimal integer (blanks around it allowed) within [low, high].
bool ParseInteger(const std::string& text, long long low, long long high, long long* value);
// A zero-terminated copy of text into a fixed array of `size` bytes (text must fit).
void CopyText(char* target, size_t size, const std::string& text);

#endif
