// MultiByteToWideChar and WideCharToMultiByte.
//
// UTF-8 and Windows-1252 are converted by hand: every tag name and text value of a load passes
// through here. The other code pages go through iconv, with one converter per charset and
// direction cached per thread (a converter carries state and must not be shared).
//
// Invalid input follows the platform: without MB_ERR_INVALID_CHARS each maximal invalid UTF-8
// subsequence, and each byte that does not begin a character of a double-byte code page,
// becomes U+FFFD. A lone surrogate becomes U+FFFD in UTF-8 and the default character in the other
// code pages, and is reported through usedDefaultChar; with WC_ERR_INVALID_CHARS it fails the
// conversion. Unlike Win32, UTF-8 accepts defaultChar and usedDefaultChar, so that callers
// that pass them with CP_ACP work whatever the process code page is. Windows-1252 maps its five
// unassigned bytes to the C1 controls of the same number and back; there is no best-fit
// mapping, so WC_NO_BEST_FIT_CHARS changes nothing.

#include <errno.h>
#include <iconv.h>
#include <string.h>

#include <climits>
#include <string>
#include <vector>

#include "platform/faults/faults.h"
#include "platform/threads/thread_object.h"
#include "platform/utf/utf.h"
#include "platform/win32/codepage.h"
#include "platform/win32/win32.h"

namespace {

using platform::CodePage;
using platform::CodePageKind;

enum class Status { kOk, kInvalid, kOverflow };

// Receives UTF-16 units; only counts them when out is null.
struct WideSink {
  OLECHAR* out;
  size_t capacity;
  size_t count = 0;

  bool Put(char16_t unit) {
    if (out != nullptr) {
      if (count == capacity) return false;
      out[count] = unit;
    }
    ++count;
    return true;
  }
  // Units of n ASCII bytes; as many as fit, as unit-by-unit puts would leave them.
  bool PutAscii(const unsigned char* bytes, size_t n) {
    if (out != nullptr) {
      const bool fits = capacity - count >= n;
      if (!fits) n = capacity - count;
      for (size_t i = 0; i < n; ++i) out[count + i] = bytes[i];
      count += n;
      return fits;
    }
    count += n;
    return true;
  }
  bool PutCodePoint(char32_t cp) {
    char16_t units[2];
    const size_t length = platform::utf::EncodeUtf16(cp, units);
    return Put(units[0]) && (length == 1 || Put(units[1]));
  }
};

// Receives bytes; only counts them when out is null. A character is written whole or not at all.
struct ByteSink {
  char* out;
  size_t capacity;
  size_t count = 0;

  bool Put(const char* bytes, size_t n) {
    if (out != nullptr) {
      if (capacity - count < n) return false;
      memcpy(out + count, bytes, n);
    }
    count += n;
    return true;
  }
  bool Put(char byte) { return Put(&byte, 1); }
  // Bytes of n units below 0x80; as many as fit, as unit-by-unit puts would leave them.
  bool PutAscii(const char16_t* units, size_t n) {
    if (out != nullptr) {
      const bool fits = capacity - count >= n;
      if (!fits) n = capacity - count;
      for (size_t i = 0; i < n; ++i) out[count + i] = static_cast<char>(units[i]);
      count += n;
      return fits;
    }
    count += n;
    return true;
  }
};

// The length of the run of ASCII bytes / units at the start of s: texts are mostly ASCII only,
// and such a run maps unit for byte in UTF-8 and Windows-1252 alike.
size_t AsciiRun(const unsigned char* s, size_t n) {
  size_t i = 0;
  while (i < n && s[i] < 0x80) ++i;
  return i;
}
size_t AsciiRun(const char16_t* w, size_t n) {
  size_t i = 0;
  while (i < n && w[i] < 0x80) ++i;
  return i;
}

// Windows-1252 bytes 0x80-0x9F; the unassigned ones map to the C1 control of the same number.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

using platform::utf::IsHighSurrogate;
using platform::utf::IsLowSurrogate;

Status DecodeUtf8(const unsigned char* s, size_t n, bool strict, WideSink& sink) {
  size_t i = 0;
  while (i < n) {
    if (s[i] < 0x80) {
      const size_t run = AsciiRun(s + i, n - i);
      if (!sink.PutAscii(s + i, run)) return Status::kOverflow;
      i += run;
      continue;
    }
    char32_t cp;
    size_t length;
    // A malformed character (its maximal subpart) becomes one U+FFFD.
    if (!platform::utf::DecodeUtf8(s + i, n - i, &cp, &length) && strict) return Status::kInvalid;
    if (!sink.PutCodePoint(cp)) return Status::kOverflow;
    i += length;
  }
  return Status::kOk;
}

Status EncodeUtf8(const char16_t* w, size_t n, bool strict, ByteSink& sink, bool* usedDefault) {
  size_t i = 0;
  while (i < n) {
    if (w[i] < 0x80) {
      const size_t run = AsciiRun(w + i, n - i);
      if (!sink.PutAscii(w + i, run)) return Status::kOverflow;
      i += run;
      continue;
    }
    char32_t cp;
    size_t length;
    if (!platform::utf::DecodeUtf16(w + i, n - i, &cp, &length)) {
      // A lone surrogate: U+FFFD, reported as a default character.
      if (strict) return Status::kInvalid;
      *usedDefault = true;
    }
    char bytes[4];
    if (!sink.Put(bytes, platform::utf::EncodeUtf8(cp, bytes))) return Status::kOverflow;
    i += length;
  }
  return Status::kOk;
}

Status Decode1252(const unsigned char* s, size_t n, WideSink& sink) {
  for (size_t i = 0; i < n; ++i) {
    if (s[i] < 0x80) {
      const size_t run = AsciiRun(s + i, n - i);
      if (!sink.PutAscii(s + i, run)) return Status::kOverflow;
      i += run - 1;
      continue;
    }
    unsigned char b = s[i];
    char16_t u = b >= 0x80 && b <= 0x9F ? kCp1252High[b - 0x80] : b;
    if (!sink.Put(u)) return Status::kOverflow;
  }
  return Status::kOk;
}

Status Encode1252(const char16_t* w, size_t n, bool strict, char defaultChar, ByteSink& sink,
                  bool* usedDefault) {
  for (size_t i = 0; i < n; ++i) {
    if (w[i] < 0x80) {
      const size_t run = AsciiRun(w + i, n - i);
      if (!sink.PutAscii(w + i, run)) return Status::kOverflow;
      i += run - 1;
      continue;
    }
    char16_t u = w[i];
    int byte = -1;
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
      byte = u;
    } else {
      for (int k = 0; k < 32; ++k) {
        if (kCp1252High[k] == u) byte = 0x80 + k;
      }
    }
    if (byte < 0) {
      bool pair = IsHighSurrogate(u) && i + 1 < n && IsLowSurrogate(w[i + 1]);
      if (strict && !pair && (IsHighSurrogate(u) || IsLowSurrogate(u))) return Status::kInvalid;
      if (pair) ++i;  // one default character for the whole code point
      *usedDefault = true;
      if (!sink.Put(defaultChar)) return Status::kOverflow;
    } else if (!sink.Put(static_cast<char>(byte))) {
      return Status::kOverflow;
    }
  }
  return Status::kOk;
}

// The iconv converters of this thread, by charset pair.
class IconvCache {
 public:
  ~IconvCache() {
    for (Entry& entry : entries) iconv_close(entry.cd);
  }
  // An open converter reset to its initial state, or null when iconv does not know the pair.
  iconv_t Get(const char* to, const std::string& from) {
    for (Entry& entry : entries) {
      if (entry.to == to && entry.from == from) {
        iconv(entry.cd, nullptr, nullptr, nullptr, nullptr);
        return entry.cd;
      }
    }
    iconv_t cd = iconv_open(to, from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return nullptr;
    if (entries.size() == kMaxEntries) {
      iconv_close(entries.front().cd);
      entries.erase(entries.begin());
    }
    entries.push_back(Entry{to, from, cd});
    return cd;
  }

 private:
  struct Entry {
    std::string to;
    std::string from;
    iconv_t cd;
  };
  static constexpr size_t kMaxEntries = 8;
  std::vector<Entry> entries;
};

// The converters of each thread, in a pthread key: a thread_local cache (it has a destructor)
// would keep the library loaded after dlclose while the thread runs.
IconvCache* ThreadIconvCache() {
  static platform::ThreadObject<IconvCache> caches;
  return caches.Get();
}

// An open converter from one charset to another, reset to its initial state: the thread's
// cached one, or, when the thread has no cache (no memory, or at exit once the caches are gone),
// one of its own that the holder closes.
class Converter {
 public:
  Converter(const char* to, const std::string& from) {
    if (IconvCache* cache = ThreadIconvCache()) {
      cd = cache->Get(to, from);
      return;
    }
    cd = iconv_open(to, from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) cd = nullptr;
    owned = cd != nullptr;
  }
  ~Converter() {
    if (owned) iconv_close(cd);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  // Null when iconv does not know the pair.
  iconv_t get() const { return cd; }

 private:
  iconv_t cd = nullptr;
  bool owned = false;
};

// Decodes through iconv into units. False when iconv cannot convert from the charset.
bool DecodeIconv(const CodePage& codePage, const unsigned char* s, size_t n, bool strict,
                 std::u16string& units, Status* status) {
  const Converter converter("UTF-16LE", codePage.iconvName);
  iconv_t cd = converter.get();
  if (cd == nullptr) return false;
  *status = Status::kOk;
  size_t pos = 0;
  char chunk[1024];
  for (;;) {
    char* in = const_cast<char*>(reinterpret_cast<const char*>(s + pos));
    size_t inLeft = n - pos;
    bool flushing = inLeft == 0;
    char* out = chunk;
    size_t outLeft = sizeof chunk;
    size_t result = flushing ? iconv(cd, nullptr, nullptr, &out, &outLeft)
                             : iconv(cd, &in, &inLeft, &out, &outLeft);
    int error = errno;
    for (char* p = chunk; p + 1 < out; p += 2) {
      units.push_back(static_cast<char16_t>(static_cast<unsigned char>(p[0]) |
                                            (static_cast<unsigned char>(p[1]) << 8)));
    }
    pos = n - inLeft;
    if (result != static_cast<size_t>(-1)) {
      if (flushing) return true;
      continue;  // input consumed: flush the converter's state next
    }
    if (error == E2BIG) continue;
    if (flushing) return true;  // nothing left to skip
    // EILSEQ or EINVAL: the byte at pos does not begin a character.
    if (strict) {
      *status = Status::kInvalid;
      return true;
    }
    units.push_back(0xFFFD);
    ++pos;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
}

// Encodes through iconv. False when iconv cannot convert to the charset.
bool EncodeIconv(const CodePage& codePage, const char16_t* w, size_t n, bool strict,
                 const std::string& defaultChar, std::string& bytes, bool* usedDefault,
                 Status* status) {
  const Converter converter(codePage.iconvName.c_str(), "UTF-16LE");
  iconv_t cd = converter.get();
  if (cd == nullptr) return false;
  *status = Status::kOk;
  std::string input;
  input.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    input += static_cast<char>(w[i] & 0xFF);
    input += static_cast<char>(w[i] >> 8);
  }
  size_t pos = 0;  // in bytes of input
  char chunk[1024];
  for (;;) {
    char* in = &input[0] + pos;
    size_t inLeft = input.size() - pos;
    bool flushing = inLeft == 0;
    char* out = chunk;
    size_t outLeft = sizeof chunk;
    size_t result = flushing ? iconv(cd, nullptr, nullptr, &out, &outLeft)
                             : iconv(cd, &in, &inLeft, &out, &outLeft);
    int error = errno;
    bytes.append(chunk, out);
    pos = input.size() - inLeft;
    if (result != static_cast<size_t>(-1)) {
      if (flushing) return true;
      continue;
    }
    if (error == E2BIG) continue;
    if (flushing) return true;  // nothing left to skip
    // The character at pos cannot be represented, or is a lone surrogate.
    size_t unit = pos / 2;
    bool pair = IsHighSurrogate(w[unit]) && unit + 1 < n && IsLowSurrogate(w[unit + 1]);
    bool lone = !pair && (IsHighSurrogate(w[unit]) || IsLowSurrogate(w[unit]));
    if (strict && lone) {
      *status = Status::kInvalid;
      return true;
    }
    bytes += defaultChar;
    *usedDefault = true;
    pos += pair ? 4 : 2;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
}

// The kind of code page cp, looking the full description up only when iconv is needed.
bool ResolveCodePage(UINT cp, CodePage* codePage) {
  if (cp == CP_UTF8) {
    codePage->kind = CodePageKind::kUtf8;
    return true;
  }
  if (cp == CP_ACP) {
    CodePageKind kind = platform::ProcessCodePageKind();
    if (kind == CodePageKind::kUtf8 || kind == CodePageKind::kWindows1252) {
      codePage->kind = kind;
      return true;
    }
  }
  return platform::LookUpCodePage(cp, codePage);
}

int Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

}  // namespace

int MultiByteToWideChar(UINT cp, DWORD flags, const char* multiByte, int cbMultiByte,
                        OLECHAR* wideChar, int cchWideChar) {
  if (platform::FaultCheck("MultiByteToWideChar")) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (flags & ~static_cast<DWORD>(MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS |
                                  MB_ERR_INVALID_CHARS)) {
    return Fail(ERROR_INVALID_FLAGS);
  }
  if (multiByte == nullptr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
      (cchWideChar > 0 && wideChar == nullptr)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  CodePage codePage;
  if (!ResolveCodePage(cp, &codePage)) return Fail(ERROR_INVALID_PARAMETER);
  size_t length = cbMultiByte == -1 ? strlen(multiByte) + 1 : static_cast<size_t>(cbMultiByte);
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(multiByte);
  bool strict = (flags & MB_ERR_INVALID_CHARS) != 0;

  WideSink sink{cchWideChar == 0 ? nullptr : wideChar, static_cast<size_t>(cchWideChar)};
  Status status;
  if (codePage.kind == CodePageKind::kUtf8) {
    status = DecodeUtf8(bytes, length, strict, sink);
  } else if (codePage.kind == CodePageKind::kWindows1252) {
    status = Decode1252(bytes, length, sink);
  } else {
    std::u16string units;
    if (!DecodeIconv(codePage, bytes, length, strict, units, &status)) {
      return Fail(ERROR_INVALID_PARAMETER);
    }
    for (size_t i = 0; status == Status::kOk && i < units.size(); ++i) {
      if (!sink.Put(units[i])) status = Status::kOverflow;
    }
  }
  if (status == Status::kInvalid) return Fail(ERROR_NO_UNICODE_TRANSLATION);
  if (status == Status::kOverflow) return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (sink.count > static_cast<size_t>(INT_MAX)) return Fail(ERROR_INVALID_PARAMETER);
  return static_cast<int>(sink.count);
}

int WideCharToMultiByte(UINT cp, DWORD flags, const OLECHAR* wideChar, int cchWideChar,
                        char* multiByte, int cbMultiByte, const char* defaultChar,
                        BOOL* usedDefaultChar) {
  if (platform::FaultCheck("WideCharToMultiByte")) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  constexpr DWORD kKnownFlags = 0x10 /* WC_DISCARDNS */ | 0x20 /* WC_SEPCHARS */ |
                                0x40 /* WC_DEFAULTCHAR */ | 0x200 /* WC_COMPOSITECHECK */ |
                                WC_ERR_INVALID_CHARS | WC_NO_BEST_FIT_CHARS;
  if (flags & ~kKnownFlags) return Fail(ERROR_INVALID_FLAGS);
  if (wideChar == nullptr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
      (cbMultiByte > 0 && multiByte == nullptr)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  CodePage codePage;
  if (!ResolveCodePage(cp, &codePage)) return Fail(ERROR_INVALID_PARAMETER);
  size_t length = 0;
  if (cchWideChar == -1) {
    while (wideChar[length] != 0) ++length;
    ++length;
  } else {
    length = static_cast<size_t>(cchWideChar);
  }
  bool strict = (flags & WC_ERR_INVALID_CHARS) != 0;
  bool usedDefault = false;

  ByteSink sink{cbMultiByte == 0 ? nullptr : multiByte, static_cast<size_t>(cbMultiByte)};
  Status status;
  if (codePage.kind == CodePageKind::kUtf8) {
    status = EncodeUtf8(wideChar, length, strict, sink, &usedDefault);
  } else if (codePage.kind == CodePageKind::kWindows1252) {
    char fallback = defaultChar != nullptr ? defaultChar[0] : '?';
    status = Encode1252(wideChar, length, strict, fallback, sink, &usedDefault);
  } else {
    // The default character is the first character of defaultChar in this code page.
    std::string fallback = "?";
    if (defaultChar != nullptr) {
      const unsigned char* d = reinterpret_cast<const unsigned char*>(defaultChar);
      bool dbcs =
          platform::IsLeadByte(codePage.kind, d[0]) && platform::IsTrailByte(codePage.kind, d[1]);
      fallback.assign(defaultChar, dbcs ? 2 : 1);
    }
    std::string bytes;
    if (!EncodeIconv(codePage, wideChar, length, strict, fallback, bytes, &usedDefault, &status)) {
      return Fail(ERROR_INVALID_PARAMETER);
    }
    if (status == Status::kOk && !sink.Put(bytes.data(), bytes.size())) {
      status = Status::kOverflow;
    }
  }
  if (status == Status::kInvalid) return Fail(ERROR_NO_UNICODE_TRANSLATION);
  if (status == Status::kOverflow) return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (sink.count > static_cast<size_t>(INT_MAX)) return Fail(ERROR_INVALID_PARAMETER);
  if (usedDefaultChar != nullptr) *usedDefaultChar = usedDefault ? TRUE : FALSE;
  return static_cast<int>(sink.count);
}
