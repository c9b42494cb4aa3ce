// The run-time library's multi-byte string functions and number formatting, over the process
// code page of the Win32 stand-in. Kept in a namespace because the run-time library's names begin
// with an underscore.
#ifndef ZEMA_PLATFORM_CRT_H
#define ZEMA_PLATFORM_CRT_H

#include <stddef.h>

namespace crt {

// The number of bytes of the character at s in the process code page: a whole UTF-8 sequence,
// a double-byte lead and its trail in GBK, else 1. A malformed or truncated sequence (a trail
// byte that is 0 included) counts as 1, so the terminating zero is never stepped over. A null s
// gives 0. Reads the process code page without locks.
size_t _mbclen(const unsigned char* s);

// Fast form for scanners: ASCII bytes are one character in every supported code page.
inline size_t MbCharLen(const unsigned char* s) { return *s < 0x80 ? 1 : _mbclen(s); }

// Compares two zero-terminated strings character by character; _mbsicmp folds ASCII letters
// only. <0, 0, >0.
int _mbscmp(const unsigned char* a, const unsigned char* b);
int _mbsicmp(const unsigned char* a, const unsigned char* b);

// Copies at most count bytes of src into dst, never splitting a character: a character that
// would not fit whole is left out. Pads with zeros up to count bytes when src is shorter, like
// strncpy; does not add a terminator when count bytes were copied. Returns dst.
unsigned char* _mbsnbcpy(unsigned char* dst, const unsigned char* src, size_t count);

// value rounded to digits significant digits; plain notation when the decimal exponent lies in
// -1 .. digits-1, else exponent notation ("1.5e+020"); trailing zeros after the point removed,
// the point itself kept ("12."); digits below 1 count as 1; zero is "0."; infinities and NaN give
// "1.#INF", "-1.#INF", "1.#QNAN". buffer must hold digits + 8 bytes. Returns buffer.
char* _gcvt(double value, int digits, char* buffer);

}  // namespace crt

#endif
