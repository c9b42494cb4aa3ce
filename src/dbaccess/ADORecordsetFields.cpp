// CADORecordset: typed reads of the current row, column descriptions and writes of a pending
// new row.
//
// The read path runs once per value of a whole catalogue load: it builds no strings unless an
// error is reported. A column is looked up through the recordset once per open recordset; its
// Field is then kept and asked directly for the value of whichever row is current.
#include <stdio.h>
#include <string.h>

#include <cmath>

#include "dbaccess/ADORecordset.h"
#include "dbaccess/DateText.h"
#include "platform/crt/crt.h"
#include "platform/oleaut/internal.h"
#include "platform/win32/win32.h"

namespace {

using dbaccess::RaiseError;

// CheckResult with the test for success inlined: the read path makes three platform calls per
// value.
inline void CheckResult(HRESULT hr, IUnknown* object, const IID& iid) {
  if (FAILED(hr)) dbaccess::CheckResult(hr, object, iid);
}

// The column key of a position: the low 16 bits of the index as VT_I2.
VARIANT IndexKey(int index) {
  VARIANT key;
  VariantInit(&key);
  key.iVal = static_cast<SHORT>(static_cast<USHORT>(index));
  key.vt = VT_I2;
  return key;
}

// The Field named by key in the current row of recordset; one reference through field.
void GetField(ADORecordset* recordset, const VARIANT& key, dbaccess::CComPtr<ADOField>& field) {
  if (recordset == nullptr) RaiseError(E_POINTER);
  dbaccess::CComPtr<ADOFields> fields;
  CheckResult(recordset->get_Fields(fields.out()), recordset, IID_Recordset15);
  if (!fields) RaiseError(E_POINTER);
  CheckResult(fields->get_Item(key, field.out()), fields.get(), IID_Fields15);
  if (!field) RaiseError(E_POINTER);
}

// The column key of a name, as a BSTR the caller's CVariant frees.
void NameKey(const char* name, dbaccess::CVariant& key) {
  key.get().bstrVal = dbaccess::ToBstr(name);
  key.get().vt = VT_BSTR;
}

// Releases a value read from a field; a failing clear is a platform failure like any other.
void ClearValue(VARIANT& value) {
  const HRESULT hr = VariantClear(&value);
  if (FAILED(hr)) RaiseError(hr);
}

// A value read from a field, cleared when the read leaves with the value still held (a
// conversion that failed, a clear that failed); a value moved out or cleared is not cleared
// again.
class CReadValue {
 public:
  CReadValue() { VariantInit(&value); }
  ~CReadValue() {
    if (value.vt != VT_EMPTY) VariantClear(&value);
  }
  CReadValue(const CReadValue&) = delete;
  CReadValue& operator=(const CReadValue&) = delete;
  VARIANT& get() { return value; }

 private:
  VARIANT value;
};

// Currency as a double, through the platform's conversion.
double CurrencyToDouble(const VARIANT& value) {
  VARIANT real;
  VariantInit(&real);
  const HRESULT hr = VariantChangeType(&real, &value, 0, VT_R8);
  if (FAILED(hr)) RaiseError(hr);
  return real.dblVal;
}

// sign × the low 32 bits of the mantissa ÷ 10^scale.
double DecimalToDouble(const DECIMAL& value) {
  static const double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,
                                        1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19,
                                        1e20, 1e21, 1e22, 1e23, 1e24, 1e25, 1e26, 1e27, 1e28};
  const double divisor = value.scale < sizeof kPowersOfTen / sizeof kPowersOfTen[0]
                             ? kPowersOfTen[value.scale]
                             : std::pow(10.0, value.scale);
  const double magnitude = static_cast<double>(value.Lo32) / divisor;
  return value.sign == DECIMAL_NEG ? -magnitude : magnitude;
}

// The text of a VARIANT by the conversions of ReadFieldText; false for a type without one.
bool ValueToText(const VARIANT& value, const char* dateFormat, std::string& text) {
  char buffer[64];
  switch (value.vt) {
    case VT_EMPTY:
    case VT_NULL:
      text.clear();
      return true;
    case VT_I2:
      snprintf(buffer, sizeof buffer, "%d", static_cast<int>(value.iVal));
      break;
    case VT_UI1:
      snprintf(buffer, sizeof buffer, "%u", static_cast<unsigned>(value.bVal));
      break;
    case VT_I4:
      snprintf(buffer, sizeof buffer, "%ld", static_cast<long>(value.lVal));
      break;
    case VT_INT:
      snprintf(buffer, sizeof buffer, "%d", static_cast<int>(value.intVal));
      break;
    case VT_UI4:
      snprintf(buffer, sizeof buffer, "%lu", static_cast<unsigned long>(value.ulVal));
      break;
    case VT_R4:
      crt::_gcvt(static_cast<double>(value.fltVal), 10, buffer);
      break;
    case VT_R8:
      crt::_gcvt(value.dblVal, 20, buffer);
      break;
    case VT_DECIMAL:
      crt::_gcvt(DecimalToDouble(value.decVal), 20, buffer);
      break;
    case VT_CY: {
      snprintf(buffer, sizeof buffer, "%f", CurrencyToDouble(value));
      char currency[63];
      if (GetCurrencyFormatA(LOCALE_USER_DEFAULT, 0, buffer, nullptr, currency,
                             static_cast<int>(sizeof currency)) != 0) {
        currency[sizeof currency - 1] = '\0';
        text = currency;
        return true;
      }
      break;
    }
    case VT_DATE:
      return dbaccess::FormatDate(value.date, dateFormat, text);
    case VT_BSTR:
      text = dbaccess::FromWide(value.bstrVal);
      return true;
    case VT_BOOL:
      text = value.boolVal == VARIANT_TRUE ? "T" : "F";
      return true;
    default:
      return false;
  }
  text = buffer;
  return true;
}

}  // namespace

namespace {

// The 32-bit integer of a value. 32-bit integers are delivered as they are; the narrower integer
// types and booleans are widened with their sign (a SHORT column holding a type id reads as that
// id, not as a 16-bit value over whatever the upper bytes held); other types give the low 32 bits
// of their payload.
LONG LongFromValue(const VARIANT& read) {
  switch (read.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return 0;
    case VT_I2:
    case VT_BOOL:
      return read.iVal;
    case VT_UI1:
      return read.bVal;
    case VT_I1:
      return read.cVal;
    case VT_UI2:
      return read.uiVal;
    default:
      return read.lVal;
  }
}

// ReadFieldInt's integer: 16-bit and byte values widened, 32-bit VT_INT as it is, any other type
// the low 16 bits of its payload with their sign.
int IntFromValue(const VARIANT& read) {
  int result = 0;
  switch (read.vt) {
    case VT_EMPTY:
    case VT_NULL:
      result = 0;
      break;
    case VT_INT:
      result = read.intVal;
      break;
    case VT_I2:
      result = read.iVal;
      break;
    case VT_BOOL:
      result = read.boolVal;
      break;
    case VT_UI1:
      result = read.bVal;
      break;
    default:
      result = static_cast<SHORT>(read.uiVal);
      break;  // the low 16 bits
  }
  return result;
}

// ReadFieldDouble's number: 0.0 for NULL and for the types that have no numeric value.
double DoubleFromValue(const VARIANT& read) {
  double result = 0.0;
  switch (read.vt) {
    case VT_I2:
      result = read.iVal;
      break;
    case VT_I4:
      result = read.lVal;
      break;
    case VT_INT:
      result = read.intVal;
      break;
    case VT_UI1:
      result = read.bVal;
      break;
    case VT_R4:
      result = read.fltVal;
      break;
    case VT_R8:
      result = read.dblVal;
      break;
    case VT_CY:
      result = CurrencyToDouble(read);
      break;
    case VT_DECIMAL:
      result = DecimalToDouble(read.decVal);
      break;
    case VT_DATE:
      result = read.date;
      break;
    default:
      break;
  }
  return result;
}

}  // namespace

void CADORecordset::ForgetFields() {
  namedFields.clear();
  nextNamedField = 0;
  indexedFields.clear();
  keptFields.reset();
}

ADOField* CADORecordset::KeptField(const char* name) {
  if (name == nullptr) return nullptr;  // looked up as "" every time, and never kept
  const size_t count = namedFields.size();
  if (count == 0) return nullptr;
  // The column after the last one found, then the last one found again (a row that begins with
  // the column the previous row ended with, as the writer's value rows do with TagID), then the
  // others. Each name is kept once, so the order of the search changes nothing but its length.
  const size_t next = nextNamedField < count ? nextNamedField : 0;
  const size_t last = nextNamedField > 0 ? nextNamedField - 1 : count - 1;
  size_t at = count;
  if (strcmp(namedFields[next].name.c_str(), name) == 0) {
    at = next;
  } else if (strcmp(namedFields[last].name.c_str(), name) == 0) {
    at = last;
  } else {
    for (size_t i = 0; i < count && at == count; ++i)
      if (i != next && i != last && strcmp(namedFields[i].name.c_str(), name) == 0) at = i;
  }
  if (at == count) return nullptr;
  nextNamedField = at + 1;
  return namedFields[at].field.get();
}

ADOField* CADORecordset::KeptField(int index) const {
  const SHORT position = static_cast<SHORT>(static_cast<USHORT>(index));  // as IndexKey keys it
  return position >= 0 && static_cast<size_t>(position) < indexedFields.size()
             ? indexedFields[static_cast<size_t>(position)].get()
             : nullptr;
}

// Calls call on the kept Field of a column, or else on the Field that find looks up through the
// recordset (and keeps). A kept Field whose recordset was closed underneath (its connection
// closed) fails with adErrObjectClosed; the Fields are then forgotten and the lookup through the
// recordset reports the failure, as it does for any closed recordset.
template <class Find, class Call>
void CADORecordset::CallField(ADOField* kept, Find find, Call call) {
  if (kept != nullptr) {
    const HRESULT hr = call(kept);
    if (SUCCEEDED(hr)) return;
    if (hr != adErrObjectClosed) CheckResult(hr, kept, IID_Field20);
    ForgetFields();
  }
  dbaccess::CComPtr<ADOField> field = find();
  CheckResult(call(field.get()), field.get(), IID_Field20);
}

dbaccess::CComPtr<ADOField> CADORecordset::FindField(const char* name) {
  dbaccess::CVariant key;
  NameKey(name, key);
  dbaccess::CComPtr<ADOField> field;
  GetField(recordset.get(), key.get(), field);
  if (name != nullptr) {
    namedFields.push_back(NamedField{name, field});
    nextNamedField = namedFields.size();
  }
  return field;
}

dbaccess::CComPtr<ADOField> CADORecordset::FindField(int index) {
  const VARIANT key = IndexKey(index);
  dbaccess::CComPtr<ADOField> field;
  GetField(recordset.get(), key, field);
  // The position was found, so it is below the column count: the table stays that small.
  const size_t position = static_cast<size_t>(key.iVal);
  if (indexedFields.size() <= position) indexedFields.resize(position + 1);
  indexedFields[position] = field;
  return field;
}

void CADORecordset::GetValueByName(const char* name, VARIANT* value) {
  CallField(
      KeptField(name), [&] { return FindField(name); },
      [value](ADOField* field) { return field->get_Value(value); });
}

void CADORecordset::GetValueByIndex(int index, VARIANT* value) {
  CallField(
      KeptField(index), [&] { return FindField(index); },
      [value](ADOField* field) { return field->get_Value(value); });
}

void CADORecordset::PutValueByName(const char* name, const VARIANT& value) {
  CallField(
      KeptField(name), [&] { return FindField(name); },
      [&value](ADOField* field) { return field->put_Value(value); });
}

// The common read step: the column's value of the current row, converted; the out argument is
// written only when the read, the conversion and the release of the value all succeeded.
template <class T, class Get, class Convert>
BOOL CADORecordset::ReadFieldAs(Get get, Convert convert, T& out) {
  try {
    CReadValue local;
    get(&local.get());
    T result{};
    const bool converted = convert(local.get(), result);
    if (local.get().vt != VT_EMPTY) ClearValue(local.get());  // empty: text came as bytes
    if (!converted) return FALSE;
    out = std::move(result);
    return TRUE;
  } catch (const PlatformError& error) {
    ReportRecordsetError(error);
    return FALSE;
  }
}

BOOL CADORecordset::ReadFieldLong(const char* name, LONG& value) {
  return ReadFieldAs(
      [&](VARIANT* read) { GetValueByName(name, read); },
      [](const VARIANT& read, LONG& result) { return result = LongFromValue(read), true; }, value);
}

BOOL CADORecordset::ReadFieldLong(int index, LONG& value) {
  return ReadFieldAs(
      [&](VARIANT* read) { GetValueByIndex(index, read); },
      [](const VARIANT& read, LONG& result) { return result = LongFromValue(read), true; }, value);
}

BOOL CADORecordset::ReadFieldInt(const char* name, int& value) {
  return ReadFieldAs(
      [&](VARIANT* read) { GetValueByName(name, read); },
      [](const VARIANT& read, int& result) { return result = IntFromValue(read), true; }, value);
}

BOOL CADORecordset::ReadFieldDouble(const char* name, double& value) {
  return ReadFieldAs(
      [&](VARIANT* read) { GetValueByName(name, read); },
      [](const VARIANT& read, double& result) { return result = DoubleFromValue(read), true; },
      value);
}

BOOL CADORecordset::ReadFieldText(const char* name, std::string& text, const char* dateFormat) {
  // ASCII text (and NULL) comes as the stored bytes, which are what the conversion of its BSTR
  // would give; anything else comes as the value and is converted.
  const char* ascii = nullptr;
  size_t size = 0;
  return ReadFieldAs(
      [&](VARIANT* read) {
        CallField(
            KeptField(name), [&] { return FindField(name); },
            [&](ADOField* field) { return field->GetValueOrAsciiText(read, &ascii, &size); });
      },
      [&](const VARIANT& read, std::string& result) {
        if (ascii != nullptr) {
          // The conversion of a BSTR ends at its first zero character.
          result.assign(ascii, strnlen(ascii, size));
          return true;
        }
        return ValueToText(read, dateFormat, result);
      },
      text);
}

BOOL CADORecordset::ReadFieldVariant(int index, VARIANT& value) {
  try {
    CReadValue local;
    GetValueByIndex(index, &local.get());
    // The Field hands out a copy already: clear the destination and move that copy in, which
    // is the copy rule without duplicating the payload a second time.
    if (value.vt != VT_EMPTY) {  // an empty destination has nothing to clear
      const HRESULT hr = VariantClear(&value);
      if (FAILED(hr)) RaiseError(hr);
    }
    memcpy(static_cast<void*>(&value), &local.get(), sizeof value);
    VariantInit(&local.get());
    return TRUE;
  } catch (const PlatformError& error) {
    ReportRecordsetError(error);
    return FALSE;
  }
}

int CADORecordset::ReadFieldVariants(int index, int count, VARIANT* values) {
  LONG read = 0;
  try {
    // As for a kept Field: columns whose recordset was closed underneath fail with
    // adErrObjectClosed; they are forgotten and asked for again, which reports the failure.
    for (bool retried = false;; retried = true) {
      if (!keptFields) {
        if (!recordset) RaiseError(E_POINTER);
        dbaccess::CComPtr<ADOFields> fields;
        CheckResult(recordset->get_Fields(fields.out()), recordset.get(), IID_Recordset15);
        if (!fields) RaiseError(E_POINTER);
        keptFields = fields;
      }
      LONG done = 0;
      const HRESULT hr = keptFields->GetValues(index + read, count - read, values + read, &done);
      read += done;
      if (SUCCEEDED(hr)) break;
      if (hr != adErrObjectClosed || retried) CheckResult(hr, keptFields.get(), IID_Fields15);
      ForgetFields();
    }
  } catch (const PlatformError& error) {
    ReportRecordsetError(error);
  }
  return static_cast<int>(read);
}

BOOL CADORecordset::ReadFieldInfo(int index, FieldInfo& info) {
  memset(static_cast<void*>(&info), 0, sizeof info);
  dbaccess::CComPtr<ADOField> field;
  GetField(recordset.get(), IndexKey(index), field);

  dbaccess::CBstr name;
  CheckResult(field->get_Name(name.out()), field.get(), IID_Field20);
  const std::string narrow = dbaccess::FromWide(name.get());
  crt::_mbsnbcpy(reinterpret_cast<unsigned char*>(info.name),
                 reinterpret_cast<const unsigned char*>(narrow.c_str()), sizeof info.name - 1);

  LONG definedSize = 0;
  CheckResult(field->get_DefinedSize(&definedSize), field.get(), IID_Field20);
  info.definedSize = definedSize;
  DataTypeEnum type = adEmpty;
  CheckResult(field->get_Type(&type), field.get(), IID_Field20);
  info.type = static_cast<SHORT>(type);
  LONG attributes = 0;
  CheckResult(field->get_Attributes(&attributes), field.get(), IID_Field20);
  info.attributes = attributes;

  VARIANT_BOOL eof = VARIANT_TRUE;
  CheckResult(recordset->get_EOF(&eof), recordset.get(), IID_Recordset15);
  if (eof != VARIANT_TRUE) {
    LONG actualSize = 0;
    CheckResult(field->get_ActualSize(&actualSize), field.get(), IID_Field20);
    info.actualSize = actualSize;
  }
  return TRUE;
}

// The common write step: nothing without a pending row; otherwise the prepared value goes into
// the column, and a failure (preparing included) is reported.
template <class Prepare>
BOOL CADORecordset::WriteFieldValue(const char* name, Prepare prepare) {
  if (!newRecordPending) return FALSE;
  try {
    dbaccess::CVariant written;
    prepare(written.get());
    PutValueByName(name, written.get());
    return TRUE;
  } catch (const PlatformError& error) {
    ReportRecordsetError(error);
    return FALSE;
  }
}

BOOL CADORecordset::WriteFieldText(const char* name, const char* value) {
  return WriteFieldValue(name, [value](VARIANT& written) {
    if (value == nullptr || *value == '\0') {
      written.vt = VT_NULL;
    } else {
      written.bstrVal = dbaccess::ToBstr(value);
      written.vt = VT_BSTR;
    }
  });
}

BOOL CADORecordset::WriteFieldShort(const char* name, int value) {
  return WriteFieldValue(name, [value](VARIANT& written) {
    written.iVal = static_cast<SHORT>(static_cast<USHORT>(value));
    written.vt = VT_I2;
  });
}

BOOL CADORecordset::WriteFieldLong(const char* name, LONG value) {
  return WriteFieldValue(name, [value](VARIANT& written) {
    written.lVal = value;
    written.vt = VT_I4;
  });
}

BOOL CADORecordset::WriteFieldDouble(const char* name, double value) {
  return WriteFieldValue(name, [value](VARIANT& written) {
    written.dblVal = value;
    written.vt = VT_R8;
  });
}

BOOL CADORecordset::WriteFieldVariant(const char* name, const VARIANT& value) {
  // The Field takes the value by value and converts it into a copy of its own: the caller's
  // VARIANT goes in as it is, without a copy between. A type that no VARIANT may hold is refused
  // as copying it would refuse it.
  if (!newRecordPending) return FALSE;
  try {
    if (!platform::IsValidVariantType(value.vt)) RaiseError(DISP_E_BADVARTYPE);
    PutValueByName(name, value);
    return TRUE;
  } catch (const PlatformError& error) {
    ReportRecordsetError(error);
    return FALSE;
  }
}
