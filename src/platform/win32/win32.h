// Win32 stand-in: the process code page and its conversions to and from UTF-16, the thread's
// last error, the system message table and locale currency formatting.
//
// The process "ANSI code page" is the character set of the process's LC_CTYPE locale when the
// library first needs it; in the "C"/"POSIX" locale it is UTF-8. Supported: UTF-8 (65001),
// Windows-1252 (1252), GBK (936) and whatever else iconv offers under the locale's charset name.
#ifndef ZEMA_PLATFORM_WIN32_H
#define ZEMA_PLATFORM_WIN32_H

#include <stdarg.h>

#include "oleauto.h"

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_THREAD_ACP 3
#define CP_UTF8 65001

#define MB_PRECOMPOSED 0x1
#define MB_COMPOSITE 0x2
#define MB_USEGLYPHCHARS 0x4
#define MB_ERR_INVALID_CHARS 0x8
#define WC_ERR_INVALID_CHARS 0x80
#define WC_NO_BEST_FIT_CHARS 0x400

#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_SHARING_VIOLATION 32
#define ERROR_INVALID_PARAMETER 87
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_MR_MID_NOT_FOUND 317
#define ERROR_INVALID_FLAGS 1004
#define ERROR_NO_UNICODE_TRANSLATION 1113

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000

#define LOCALE_USER_DEFAULT 0x0400
#define LANG_USER_DEFAULT 0x0400

#define HRESULT_FROM_WIN32(x) \
  ((HRESULT)(x) <= 0 ? ((HRESULT)(x)) : ((HRESULT)(((x)&0x0000FFFF) | (7 << 16) | 0x80000000)))

// The process code page (65001, 1252, 936, ...); 0xFFFF for a locale charset that has no
// Windows number (converted under its own name).
UINT GetACP();

// Converts cbMultiByte bytes (-1: up to and including the terminating zero) of code page cp
// (CP_ACP: the process code page) to UTF-16. With cchWideChar 0 returns the length needed.
// Returns the number of UTF-16 units written, or 0 with the last error set
// (ERROR_INSUFFICIENT_BUFFER, ERROR_NO_UNICODE_TRANSLATION with MB_ERR_INVALID_CHARS,
// ERROR_INVALID_PARAMETER). Without MB_ERR_INVALID_CHARS an invalid byte becomes U+FFFD.
int MultiByteToWideChar(UINT cp, DWORD flags, const char* multiByte, int cbMultiByte,
                        OLECHAR* wideChar, int cchWideChar);

// Converts UTF-16 to code page cp. A character the code page cannot represent becomes
// defaultChar (or "?") and sets *usedDefaultChar when given. With cbMultiByte 0 returns the
// length needed. Returns the number of bytes written, or 0 with the last error set.
// A lone surrogate becomes U+FFFD in UTF-8 and the default character elsewhere, reported as a
// used default; WC_ERR_INVALID_CHARS makes it fail with ERROR_NO_UNICODE_TRANSLATION. UTF-8
// accepts defaultChar and usedDefaultChar (Win32 refuses them), so CP_ACP callers work
// whatever the process code page is. There is no best-fit mapping.
int WideCharToMultiByte(UINT cp, DWORD flags, const OLECHAR* wideChar, int cchWideChar,
                        char* multiByte, int cbMultiByte, const char* defaultChar,
                        BOOL* usedDefaultChar);

// The calling thread's last error.
DWORD GetLastError();
void SetLastError(DWORD error);

// The system message table. With FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER
// (| FORMAT_MESSAGE_IGNORE_INSERTS), *(char**)buffer receives a LocalAlloc'd text ending in
// "\r\n" for a known code (an HRESULT or a Win32 error number); returns its length, or 0 when the
// code has no text (last error ERROR_MR_MID_NOT_FOUND). Without ALLOCATE_BUFFER, writes into
// buffer of size bytes, failing with ERROR_INSUFFICIENT_BUFFER when the text does not fit.
DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                     char* buffer, DWORD size, va_list* arguments);
// Frees a text that FormatMessageA allocated (null is ignored); returns null.
void* LocalFree(void* memory);

// Formats the number text value ("-1234.5") as currency of the user's LC_MONETARY conventions
// into currencyText (cchCurrency bytes with the terminator). Returns the number of bytes written
// including the terminator, or 0 with the last error set (ERROR_INSUFFICIENT_BUFFER,
// ERROR_INVALID_PARAMETER for a text that is not a number). format must be null. With
// cchCurrency 0 returns the size needed. The amount is rounded half away from zero to the
// locale's fraction digits; where the locale leaves the conventions unset (the "C" locale) the
// text is the number with 2 fraction digits, "." and a leading "-": "-1234.50".
int GetCurrencyFormatA(DWORD locale, DWORD flags, const char* value, const void* format,
                       char* currencyText, int cchCurrency);

#endif
