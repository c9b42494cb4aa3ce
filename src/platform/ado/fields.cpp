// Fields and Field: the columns of an open recordset. One Fields object and one Field per column
// are made at Open and handed out again on every request.
#include "platform/ado/ado_objects.h"
#include "platform/faults/faults.h"

namespace platform {
namespace ado {
namespace {

const IID* const kFieldsInterfaces[] = {&IID_Fields, &IID_Fields15, &IID_ADOCollection, nullptr};
const IID* const kFieldInterfaces[] = {&IID_Field, &IID_Field20, nullptr};

constexpr char kClosed[] = "Operation is not allowed when the object is closed.";

// The position an index VARIANT names, or -1 when it is not an integer.
long long IndexOf(const VARIANT& index) {
  switch (index.vt) {
    case VT_I2:
      return index.iVal;
    case VT_I4:
    case VT_INT:
      return index.lVal;
    case VT_I8:
      return index.llVal;
    case VT_UI1:
      return index.bVal;
    case VT_UI2:
      return index.uiVal;
    case VT_UI4:
    case VT_UINT:
      return index.ulVal;
    case VT_I1:
      return static_cast<signed char>(index.cVal);
    default:
      return -1;
  }
}

}  // namespace

// Fields

FieldsImpl* FieldsImpl::Create(Cursor* cursor) { return new FieldsImpl(cursor); }

FieldsImpl::FieldsImpl(Cursor* cursor) : ComObject(kFieldsInterfaces), rowCursor(cursor) {
  rowCursor->AddRef();
  const size_t count = rowCursor->columns().size();
  items.reserve(count);
  for (size_t i = 0; i < count; ++i) items.push_back(new FieldImpl(rowCursor, static_cast<int>(i)));
}

FieldsImpl::~FieldsImpl() {
  for (FieldImpl* field : items) field->Release();
  rowCursor->Release();
}

HRESULT FieldsImpl::get_Count(LONG* count) {
  if (HRESULT hr = FaultCheck("Fields.Count.get"))
    return FailInjected(hr, kFieldsSite, "Fields.Count.get");
  if (count == nullptr) return Fail(E_POINTER, kFieldsSite, "No place for the count.");
  if (!rowCursor->open()) return Fail(adErrObjectClosed, kFieldsSite, kClosed);
  *count = static_cast<LONG>(items.size());
  return S_OK;
}

HRESULT FieldsImpl::get_Item(VARIANT index, ADOField** field) {
  if (HRESULT hr = FaultCheck("Fields.Item.get"))
    return FailInjected(hr, kFieldsSite, "Fields.Item.get");
  if (field == nullptr) return Fail(E_POINTER, kFieldsSite, "No place for the field.");
  *field = nullptr;
  if (!rowCursor->open()) return Fail(adErrObjectClosed, kFieldsSite, kClosed);
  const VARIANT* key = &index;
  if (key->vt == (VT_BYREF | VT_VARIANT) && key->byref != nullptr)
    key = static_cast<const VARIANT*>(key->byref);
  long long position;
  if (key->vt == VT_BSTR) {
    position = rowCursor->FindColumn(std::u16string_view(
        key->bstrVal != nullptr ? key->bstrVal : u"", SysStringLen(key->bstrVal)));
    if (position < 0)
      return Fail(adErrItemNotFound, kFieldsSite,
                  "Item cannot be found in the collection corresponding to the requested name "
                  "or ordinal: '" +
                      BstrToUtf8(key->bstrVal) + "'.");
  } else {
    position = IndexOf(*key);
    if (position < 0 || position >= static_cast<long long>(items.size()))
      return Fail(adErrItemNotFound, kFieldsSite,
                  "Item cannot be found in the collection corresponding to the requested name "
                  "or ordinal.");
  }
  FieldImpl* found = items[static_cast<size_t>(position)];
  found->AddRef();
  *field = found;
  return S_OK;
}

HRESULT FieldsImpl::GetValues(LONG first, LONG count, VARIANT* values, LONG* read) {
  if (values == nullptr || read == nullptr)
    return Fail(E_POINTER, kFieldsSite, "No place for the values.");
  *read = 0;
  if (first < 0 || count < 0 || static_cast<size_t>(first) > items.size() ||
      static_cast<size_t>(count) > items.size() - static_cast<size_t>(first))
    return Fail(E_INVALIDARG, kFieldsSite, "The columns lie outside the recordset.");
  for (LONG i = 0; i < count; ++i) {
    // The Field's own read (final, in this file: called directly), so that nothing differs.
    const HRESULT hr = items[static_cast<size_t>(first + i)]->get_Value(&values[i]);
    if (FAILED(hr)) {
      values[i].vt = VT_EMPTY;
      return hr;
    }
    ++*read;
  }
  return S_OK;
}

// Field

FieldImpl::FieldImpl(Cursor* cursor, int column)
    : ComObject(kFieldInterfaces), rowCursor(cursor), columnIndex(column) {
  rowCursor->AddRef();
}

FieldImpl::~FieldImpl() { rowCursor->Release(); }

HRESULT FieldImpl::CheckOpen(const char* call) {
  if (HRESULT hr = FaultCheck(call)) return FailInjected(hr, kFieldSite, call);
  if (!rowCursor->open()) return Fail(adErrObjectClosed, kFieldSite, kClosed);
  return S_OK;
}

HRESULT FieldImpl::get_Value(VARIANT* value) {
  if (HRESULT hr = CheckOpen("Field.Value.get"); FAILED(hr)) return hr;
  if (value == nullptr) return Fail(E_POINTER, kFieldSite, "No place for the value.");
  VariantInit(value);
  return rowCursor->Value(columnIndex, value, kFieldSite);
}

HRESULT FieldImpl::GetValueOrAsciiText(VARIANT* value, const char** text, size_t* size) {
  if (HRESULT hr = CheckOpen("Field.Value.get"); FAILED(hr)) return hr;
  if (value == nullptr || text == nullptr || size == nullptr)
    return Fail(E_POINTER, kFieldSite, "No place for the value.");
  VariantInit(value);
  *text = nullptr;
  *size = 0;
  return rowCursor->ValueOrAsciiText(columnIndex, value, text, size, kFieldSite);
}

HRESULT FieldImpl::put_Value(VARIANT value) {
  if (HRESULT hr = CheckOpen("Field.Value.put"); FAILED(hr)) return hr;
  return rowCursor->Put(columnIndex, value, kFieldSite);
}

HRESULT FieldImpl::get_Name(BSTR* name) {
  if (HRESULT hr = CheckOpen("Field.Name.get"); FAILED(hr)) return hr;
  if (name == nullptr) return Fail(E_POINTER, kFieldSite, "No place for the name.");
  const std::u16string& wide = rowCursor->columns()[columnIndex].wideName;
  *name = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  return *name != nullptr ? S_OK : Fail(E_OUTOFMEMORY, kFieldSite, "Out of memory.");
}

HRESULT FieldImpl::get_Type(DataTypeEnum* type) {
  if (HRESULT hr = CheckOpen("Field.Type.get"); FAILED(hr)) return hr;
  if (type == nullptr) return Fail(E_POINTER, kFieldSite, "No place for the type.");
  *type = rowCursor->columns()[columnIndex].type.adoType;
  return S_OK;
}

HRESULT FieldImpl::get_DefinedSize(LONG* size) {
  if (HRESULT hr = CheckOpen("Field.DefinedSize.get"); FAILED(hr)) return hr;
  if (size == nullptr) return Fail(E_POINTER, kFieldSite, "No place for the size.");
  *size = rowCursor->columns()[columnIndex].type.definedSize;
  return S_OK;
}

HRESULT FieldImpl::get_Attributes(LONG* attributes) {
  if (HRESULT hr = CheckOpen("Field.Attributes.get"); FAILED(hr)) return hr;
  if (attributes == nullptr) return Fail(E_POINTER, kFieldSite, "No place for the attributes.");
  *attributes = rowCursor->columns()[columnIndex].attributes;
  return S_OK;
}

HRESULT FieldImpl::get_ActualSize(LONG* size) {
  if (HRESULT hr = CheckOpen("Field.ActualSize.get"); FAILED(hr)) return hr;
  if (size == nullptr) return Fail(E_POINTER, kFieldSite, "No place for the size.");
  return rowCursor->ActualSize(columnIndex, size, kFieldSite);
}

}  // namespace ado
}  // namespace platform
