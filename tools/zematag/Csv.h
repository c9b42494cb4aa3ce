// CSV as RFC 4180 writes it: fields separated by commas, records by CRLF or LF; a field in
// double quotes may hold commas, line breaks and doubled quotes (""). A UTF-8 byte-order mark at
// the start is skipped.
#ifndef ZEMATAG_CSV_H
#define ZEMATAG_CSV_H

#include <istream>
#include <ostream>
#include <string>
#include <vector>

class CCsvReader {
 public:
  explicit CCsvReader(std::istream& input) : in(input) {}

  // Reads the next record into *fields and returns true; false at the end of the input.
  // *line receives the line the record starts on (1-based). A record with a syntax error (a
  // quote inside an unquoted field, text after a closing quote, a quote never closed) is still
  // returned whole, and *error describes the problem ("" when there is none).
  bool Next(std::vector<std::string>* fields, int* line, std::string* error);

 private:
  int Get();
  int Peek() { return in.peek(); }

  std::istream& in;
  int currentLine = 1;
  bool started = false;
};

// Writes one record, quoting the fields that need it, ended with CRLF.
void WriteCsvRecord(std::ostream& out, const std::vector<std::string>& fields);

#endif
