// FormatMessageA over the system message table: the texts of the common HRESULTs and of the
// Win32 errors they wrap. Codes outside the table have no text, so that callers fall back to
// their own wording. Inserts and the line-width flags are ignored: no stored text has either.

#include <stdlib.h>
#include <string.h>

#include "platform/faults/faults.h"
#include "platform/win32/win32.h"

namespace {

struct SystemMessage {
  DWORD code;
  const char* text;
};

constexpr SystemMessage kSystemMessages[] = {
    {0x80004005, "Unspecified error\r\n"},
    {0x80004003, "Invalid pointer\r\n"},
    {0x80004001, "Not implemented\r\n"},
    {0x80004002, "No such interface supported\r\n"},
    {0x8000FFFF, "Catastrophic failure\r\n"},
    {0x80070005, "Access is denied.\r\n"},
    {0x8007000E, "Not enough memory resources are available to complete this operation.\r\n"},
    {0x80070057, "The parameter is incorrect.\r\n"},
    {0x80070006, "The handle is invalid.\r\n"},
    {0x80020004, "Parameter not found.\r\n"},
    {0x80020005, "Type mismatch.\r\n"},
    {0x80020008, "Bad variable type.\r\n"},
    {0x8002000A, "Out of present range.\r\n"},
    {0x80020012, "Division by zero.\r\n"},
    {0x80070002, "The system cannot find the file specified.\r\n"},
    {0x80070003, "The system cannot find the path specified.\r\n"},
    {0x80070020,
     "The process cannot access the file because it is being used by another process.\r\n"},
    {0x80070459,
     "No mapping for the Unicode character exists in the target multi-byte code page.\r\n"},
    {0x8007007A, "The data area passed to a system call is too small.\r\n"},
};

// The text of an HRESULT, or of a Win32 error number given plainly; null when there is none.
const char* SystemMessageText(DWORD code) {
  if (code != 0 && (code & 0xFFFF0000) == 0) {
    code = static_cast<DWORD>(HRESULT_FROM_WIN32(code));
  }
  for (const SystemMessage& message : kSystemMessages) {
    if (message.code == code) return message.text;
  }
  return nullptr;
}

}  // namespace

DWORD FormatMessageA(DWORD flags, const void* /*source*/, DWORD messageId, DWORD /*languageId*/,
                     char* buffer, DWORD size, va_list* /*arguments*/) {
  if (platform::FaultCheck("FormatMessageA")) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const char* text = SystemMessageText(messageId);
  if (text == nullptr) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  size_t length = strlen(text);
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    size_t bytes = length + 1 > size ? length + 1 : size;
    char* copy = static_cast<char*>(malloc(bytes));
    if (copy == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    memcpy(copy, text, length + 1);
    *reinterpret_cast<char**>(buffer) = copy;
  } else {
    if (size < length + 1) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    memcpy(buffer, text, length + 1);
  }
  return static_cast<DWORD>(length);
}

// Frees what FormatMessageA allocated; returns null as Win32 does on success.
void* LocalFree(void* memory) {
  free(memory);
  return nullptr;
}
