// The engines under the data-access objects, and the masking of passwords in Data Sources.
#include <cctype>

#include "platform/ado/ado.h"
#include "platform/ado/engine.h"
#include "platform/ado/pg/pg_engine.h"

namespace platform {
namespace ado {
namespace {

// Every engine the objects can open, asked in order; a Data Source no engine serves is the path
// of a file that the objects open themselves: a Jet or ACE file (jet/) or an SQLite file.
const Engine kEngines[] = {
    {"PostgreSQL", &pg::ServesDataSource, &pg::OpenConnection},
};

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(std::string_view text, size_t at, std::string_view prefix) {
  if (text.size() - at < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (Lower(text[at + i]) != prefix[i]) return false;
  return true;
}

}  // namespace

const Engine* EngineFor(std::string_view dataSource) {
  for (const Engine& engine : kEngines)
    if (engine.Serves(dataSource)) return &engine;
  return nullptr;
}

std::string MaskDataSource(std::string_view text) {
  std::string masked(text);
  // user:password@ after a "scheme://".
  for (size_t scheme = masked.find("://"); scheme != std::string::npos;
       scheme = masked.find("://", scheme + 3)) {
    const size_t begin = scheme + 3;
    size_t end = begin;
    while (end < masked.size() && masked[end] != '/' && masked[end] != '?' && masked[end] != ';' &&
           masked[end] != '#')
      ++end;
    const size_t at = masked.rfind('@', end == begin ? begin : end - 1);
    if (at == std::string::npos || at < begin) continue;
    const size_t colon = masked.find(':', begin);
    if (colon == std::string::npos || colon > at) continue;
    masked.replace(colon + 1, at - colon - 1, "***");
  }
  // password=... as a URI parameter or a key of a connection string.
  for (size_t i = 0; i < masked.size(); ++i) {
    if (!StartsWithNoCase(masked, i, "password")) continue;
    if (i > 0 && (std::isalnum(static_cast<unsigned char>(masked[i - 1])) || masked[i - 1] == '_'))
      continue;
    size_t equals = i + 8;
    while (equals < masked.size() && masked[equals] == ' ') ++equals;
    if (equals >= masked.size() || masked[equals] != '=') continue;
    size_t begin = equals + 1;
    size_t end = begin;
    while (end < masked.size() && masked[end] != '&' && masked[end] != ';' && masked[end] != ' ')
      ++end;
    masked.replace(begin, end - begin, "***");
    i = begin + 3;
  }
  return masked;
}

}  // namespace ado
}  // namespace platform

std::string MaskConnectionPassword(std::string_view connectionString) {
  return platform::ado::MaskDataSource(connectionString);
}
