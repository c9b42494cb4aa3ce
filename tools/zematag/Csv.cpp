#include "Csv.h"

int CCsvReader::Get() {
  const int c = in.get();
  if (c == '\n') ++currentLine;
  return c;
}

bool CCsvReader::Next(std::vector<std::string>* fields, int* line, std::string* error) {
  fields->clear();
  error->clear();
  if (!started) {
    started = true;
    if (Peek() == 0xEF) {
      char bom[3] = {};
      in.read(bom, 3);
      if (!(bom[1] == '\xBB' && bom[2] == '\xBF')) {
        in.clear();
        in.seekg(0);
      }
    }
  }
  if (Peek() == std::char_traits<char>::eof()) return false;
  *line = currentLine;

  std::string field;
  bool quoted = false;    // the field began with a quote
  bool inQuotes = false;  // inside the quotes of a quoted field
  for (;;) {
    const int c = Get();
    if (c == std::char_traits<char>::eof()) {
      if (inQuotes && error->empty()) *error = "a quoted field is not closed";
      fields->push_back(field);
      return true;
    }
    if (inQuotes) {
      if (c != '"') {
        field.push_back(static_cast<char>(c));
      } else if (Peek() == '"') {
        Get();
        field.push_back('"');
      } else {
        inQuotes = false;
      }
      continue;
    }
    if (c == ',') {
      fields->push_back(field);
      field.clear();
      quoted = false;
      continue;
    }
    if (c == '\r' && Peek() == '\n') continue;
    if (c == '\n') {
      fields->push_back(field);
      return true;
    }
    if (c == '"' && field.empty() && !quoted) {
      quoted = inQuotes = true;
      continue;
    }
    if (error->empty()) {
      if (quoted)
        *error = "text after the closing quote of a field";
      else if (c == '"')
        *error = "a quote inside an unquoted field";
    }
    field.push_back(static_cast<char>(c));
  }
}

void WriteCsvRecord(std::ostream& out, const std::vector<std::string>& fields) {
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) out << ',';
    const std::string& field = fields[i];
    if (field.find_first_of(",\"\r\n") == std::string::npos &&
        (field.empty() || (field.front() != ' ' && field.back() != ' '))) {
      out << field;
      continue;
    }
    out << '"';
    for (char c : field) {
      if (c == '"') out << '"';
      out << c;
    }
    out << '"';
  }
  out << "\r\n";
}
