// The multi-byte string functions, character by character in the process code page.

#include <string.h>

#include "platform/crt/crt.h"
#include "platform/win32/codepage.h"

namespace {

// The value of the character at s of length bytes (bytes in order, most significant first), so
// that characters of different lengths compare as the run-time library compares them.
unsigned CharValue(const unsigned char* s, size_t length) {
  unsigned value = 0;
  for (size_t i = 0; i < length; ++i) value = (value << 8) | s[i];
  return value;
}

int Compare(const unsigned char* a, const unsigned char* b, bool foldCase) {
  if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
  for (;;) {
    size_t lengthA = crt::MbCharLen(a), lengthB = crt::MbCharLen(b);
    unsigned ca = CharValue(a, lengthA), cb = CharValue(b, lengthB);
    if (foldCase) {
      if (ca >= 'A' && ca <= 'Z') ca += 'a' - 'A';
      if (cb >= 'A' && cb <= 'Z') cb += 'a' - 'A';
    }
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
    a += lengthA;
    b += lengthB;
  }
}

}  // namespace

namespace crt {

size_t _mbclen(const unsigned char* s) {
  if (s == nullptr) return 0;
  if (*s < 0x80) return 1;
  platform::CodePageKind kind = platform::ProcessCodePageKind();
  if (kind == platform::CodePageKind::kUtf8) {
    size_t length = platform::Utf8SequenceLength(s);
    return length != 0 ? length : 1;
  }
  if (platform::IsLeadByte(kind, s[0]) && platform::IsTrailByte(kind, s[1])) return 2;
  return 1;
}

int _mbscmp(const unsigned char* a, const unsigned char* b) { return Compare(a, b, false); }

int _mbsicmp(const unsigned char* a, const unsigned char* b) { return Compare(a, b, true); }

unsigned char* _mbsnbcpy(unsigned char* dst, const unsigned char* src, size_t count) {
  if (dst == nullptr) return dst;
  size_t copied = 0;
  if (src != nullptr) {
    while (copied < count && src[copied] != 0) {
      size_t length = MbCharLen(src + copied);
      if (length > count - copied) break;  // a character that does not fit whole stays out
      memcpy(dst + copied, src + copied, length);
      copied += length;
    }
  }
  if (copied < count) memset(dst + copied, 0, count - copied);
  return dst;
}

}  // namespace crt
