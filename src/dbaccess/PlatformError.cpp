// PlatformError, the raising rule of the access layer, code messages, report blocks and the
// string conversions used at platform calls.
#include "dbaccess/PlatformError.h"

#include <stdio.h>
#include <string.h>

#include <new>

#include "platform/com/com.h"
#include "platform/win32/win32.h"

namespace {

// The HRESULT of a failed conversion: the system's last error in the Win32 facility.
HRESULT ConversionError() { return static_cast<HRESULT>(0x80070000u | (GetLastError() & 0xFFFFu)); }

// Texts that fit this many characters are converted in one pass through a buffer on the stack;
// longer ones are measured first.
constexpr int kStackConversion = 256;

// Wide text to the process code page; false (text untouched) when the conversion fails.
bool TryFromWide(const OLECHAR* wide, std::string& text) {
  if (wide == nullptr || *wide == 0) {
    text.clear();
    return true;
  }
  char buffer[kStackConversion];
  if (WideCharToMultiByte(CP_ACP, 0, wide, -1, buffer, kStackConversion, nullptr, nullptr) > 0) {
    text.assign(buffer, strlen(buffer));
    return true;
  }
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
  const int size = WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return false;
  std::string converted(static_cast<size_t>(size), '\0');
  if (WideCharToMultiByte(CP_ACP, 0, wide, -1, &converted[0], size, nullptr, nullptr) <= 0)
    return false;
  converted.resize(strlen(converted.c_str()));
  text.swap(converted);
  return true;
}

// One text of an error-info object; "" when there is none or it cannot be converted, so that a
// report can always be built.
std::string ErrorInfoText(IErrorInfo* info, bool source) {
  if (info == nullptr) return std::string();
  BSTR wide = nullptr;
  const HRESULT hr = source ? info->GetSource(&wide) : info->GetDescription(&wide);
  std::string text;
  if (SUCCEEDED(hr) && !TryFromWide(wide, text)) text.clear();
  SysFreeString(wide);
  return text;
}

}  // namespace

PlatformError::PlatformError(HRESULT failure, IErrorInfo* info) : code(failure), errorInfo(info) {
  if (errorInfo != nullptr) errorInfo->AddRef();
}

PlatformError::PlatformError(const PlatformError& other)
    : std::exception(other),
      code(other.code),
      errorInfo(other.errorInfo),
      message(other.message),
      messageReady(other.messageReady) {
  if (errorInfo != nullptr) errorInfo->AddRef();
}

PlatformError& PlatformError::operator=(const PlatformError& other) {
  if (this == &other) return *this;
  if (other.errorInfo != nullptr) other.errorInfo->AddRef();
  if (errorInfo != nullptr) errorInfo->Release();
  code = other.code;
  errorInfo = other.errorInfo;
  message = other.message;
  messageReady = other.messageReady;
  return *this;
}

PlatformError::~PlatformError() {
  if (errorInfo != nullptr) errorInfo->Release();
}

const char* PlatformError::ErrorMessage() const {
  if (!messageReady) {
    message = dbaccess::CodeMessage(code);
    messageReady = true;
  }
  return message.c_str();
}

std::string PlatformError::Source() const { return ErrorInfoText(errorInfo, true); }

std::string PlatformError::Description() const { return ErrorInfoText(errorInfo, false); }

const char* PlatformError::what() const noexcept {
  try {
    return ErrorMessage();
  } catch (...) {
    return "PlatformError";
  }
}

namespace dbaccess {

void CheckResult(HRESULT hr, IUnknown* object, const IID& iid) {
  if (SUCCEEDED(hr)) return;
  IErrorInfo* info = nullptr;
  if (object != nullptr) {
    ISupportErrorInfo* support = nullptr;
    if (SUCCEEDED(
            object->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support))) &&
        support != nullptr) {
      const HRESULT answer = support->InterfaceSupportsErrorInfo(iid);
      support->Release();
      if (answer == S_OK && FAILED(GetErrorInfo(0, &info))) info = nullptr;
    }
  }
  PlatformError error(hr, info);
  if (info != nullptr) info->Release();  // the error holds its own reference
  throw error;
}

void RaiseError(HRESULT hr) { throw PlatformError(hr); }

std::string CodeMessage(HRESULT hr) {
  char* systemText = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(hr), LANG_USER_DEFAULT, reinterpret_cast<char*>(&systemText), 0,
      nullptr);
  if (length != 0 && systemText != nullptr) {
    std::string text(systemText);
    LocalFree(systemText);
    if (text.size() > 1 && text.back() == '\n') {
      text.pop_back();
      if (!text.empty() && text.back() == '\r') text.pop_back();
    }
    return text;
  }
  if (systemText != nullptr) LocalFree(systemText);

  char fallback[32];
  const HRESULT first = static_cast<HRESULT>(0x80040200u);
  const HRESULT last = static_cast<HRESULT>(0x8004FFFFu);
  const unsigned dispatchNumber = (static_cast<ULONG>(hr) - 0x200u) & 0xFFFFu;
  if (hr >= first && hr <= last && dispatchNumber != 0)
    snprintf(fallback, sizeof fallback, "IDispatch error #%u", dispatchNumber);
  else
    snprintf(fallback, sizeof fallback, "Unknown error 0x%0lX",
             static_cast<unsigned long>(static_cast<ULONG>(hr)));
  return fallback;
}

std::string FormatErrorBlock(const char* heading, const PlatformError& error) {
  // A missing source or description leaves its line empty after "= ".
  const std::string source = error.Source();
  const std::string description = error.Description();
  char code[16];
  snprintf(code, sizeof code, "%08lx",
           static_cast<unsigned long>(static_cast<ULONG>(error.Error())));
  std::string block;
  block.reserve(96 + source.size() + description.size());
  block.append(heading ? heading : "").append("\n");
  block.append("\tCode = ").append(code).append("\n");
  block.append("\tCode meaning = ").append(error.ErrorMessage()).append("\n");
  block.append("\tSource = ").append(source).append("\n");
  block.append("\tDescription = ").append(description).append("\n");
  return block;
}

BSTR ToBstr(const char* text) {
  if (text == nullptr) text = "";
  OLECHAR buffer[kStackConversion];
  const int converted = MultiByteToWideChar(CP_ACP, 0, text, -1, buffer, kStackConversion);
  if (converted > 0) {
    BSTR wide = SysAllocStringLen(buffer, static_cast<UINT>(converted - 1));
    if (wide == nullptr) RaiseError(E_OUTOFMEMORY);
    return wide;
  }
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) RaiseError(ConversionError());
  const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (length <= 0) RaiseError(ConversionError());
  BSTR wide = SysAllocStringLen(nullptr, static_cast<UINT>(length - 1));
  if (wide == nullptr) RaiseError(E_OUTOFMEMORY);
  if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide, length) <= 0) {
    const HRESULT hr = ConversionError();
    SysFreeString(wide);
    RaiseError(hr);
  }
  return wide;
}

std::string FromWide(const OLECHAR* text) {
  std::string narrow;
  if (!TryFromWide(text, narrow)) RaiseError(ConversionError());
  return narrow;
}

}  // namespace dbaccess
