// The OLE Automation stand-in: BSTR, SAFEARRAY, VariantClear/Copy/ChangeType, and the exact
// date, currency and decimal helpers the data-access layer stores values with.
#include <float.h>
#include <gtest/gtest.h>
#include <math.h>
#include <stdint.h>
#include <string.h>

#include <atomic>
#include <string>

#include "oleauto.h"
#include "platform/com/com.h"
#include "platform/faults/faults.h"
#include "platform/oleaut/dates.h"
#include "platform/oleaut/numbers.h"

namespace {

// A VARIANT that is cleared at the end of the test.
struct Var {
  VARIANT v;
  Var() { VariantInit(&v); }
  ~Var() { VariantClear(&v); }
  VARIANT* operator&() { return &v; }
  VARIANT* operator->() { return &v; }
};

std::u16string Text(BSTR b) { return std::u16string(b, SysStringLen(b)); }

std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

void SetText(VARIANT* v, const std::string& text) {
  VariantClear(v);
  std::u16string wide = Widen(text);
  v->bstrVal = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  v->vt = VT_BSTR;
}

void SetI8(VARIANT* v, int64_t value) {
  VariantClear(v);
  v->llVal = value;
  v->vt = VT_I8;
}

void SetR8(VARIANT* v, double value) {
  VariantClear(v);
  v->dblVal = value;
  v->vt = VT_R8;
}

void SetCy(VARIANT* v, int64_t scaled) {
  VariantClear(v);
  v->cyVal.int64 = scaled;
  v->vt = VT_CY;
}

// Converts src to vt; on success *out holds the result.
HRESULT Change(const VARIANT& src, VARTYPE vt, VARIANT* out) {
  return VariantChangeType(out, &src, 0, vt);
}

// The text a value converts to, or "<failed 0x...>" when it does not convert.
std::string AsText(const VARIANT& src) {
  Var out;
  HRESULT hr = Change(src, VT_BSTR, &out);
  if (FAILED(hr)) return "<failed " + std::to_string(static_cast<uint32_t>(hr)) + ">";
  std::u16string wide = Text(out->bstrVal);
  return std::string(wide.begin(), wide.end());
}

HRESULT FromText(const std::string& text, VARTYPE vt, VARIANT* out) {
  Var src;
  SetText(&src, text);
  return Change(src.v, vt, out);
}

// An object that counts its references and answers IUnknown and, optionally, IDispatch.
class CountingObject final : public IDispatch {
 public:
  explicit CountingObject(bool dispatch) : dispatch_(dispatch) {}
  HRESULT QueryInterface(const IID& iid, void** object) override {
    if (iid == IID_IUnknown || (dispatch_ && iid == IID_IDispatch)) {
      AddRef();
      *object = static_cast<IDispatch*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++references; }
  ULONG Release() override { return --references; }  // lives on the test's stack
  std::atomic<ULONG> references{1};

 private:
  bool dispatch_;
};

class OleAutTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::FaultClearAll(); }
};

TEST_F(OleAutTest, BstrIsLengthPrefixedAndZeroTerminated) {
  BSTR text = SysAllocString(u"abc");
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(SysStringLen(text), 3u);
  uint32_t prefix;
  memcpy(&prefix, reinterpret_cast<char*>(text) - 4, 4);
  EXPECT_EQ(prefix, 6u);
  EXPECT_EQ(text[3], 0);
  SysFreeString(text);

  const char16_t withZeros[] = {u'a', 0, u'b', 0, u'c'};
  BSTR zeros = SysAllocStringLen(withZeros, 5);
  EXPECT_EQ(SysStringLen(zeros), 5u);
  EXPECT_EQ(Text(zeros), std::u16string(withZeros, 5));
  EXPECT_EQ(zeros[5], 0);
  SysFreeString(zeros);

  BSTR uninitialised = SysAllocStringLen(nullptr, 4);
  EXPECT_EQ(SysStringLen(uninitialised), 4u);
  EXPECT_EQ(uninitialised[4], 0);
  SysFreeString(uninitialised);

  BSTR empty = SysAllocString(u"");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(SysStringLen(empty), 0u);
  SysFreeString(empty);

  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  SysFreeString(nullptr);
  EXPECT_EQ(SysAllocStringLen(u"x", 0x80000000u), nullptr);  // does not fit the length prefix
}

TEST_F(OleAutTest, SysAllocStringFailsWhenFaulted) {
  platform::FaultInject("SysAllocString", E_OUTOFMEMORY, 1, 1);
  BSTR first = SysAllocString(u"one");
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(SysAllocStringLen(u"two", 3), nullptr);
  BSTR third = SysAllocString(u"three");
  EXPECT_NE(third, nullptr);
  SysFreeString(first);
  SysFreeString(third);
  EXPECT_EQ(platform::FaultFiredCount(), 1);
}

TEST_F(OleAutTest, ClearFreesOwnedPayloadsAndRejectsUnknownTypes) {
  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(v.vt, VT_EMPTY);
  v.vt = VT_I4;
  v.lVal = 7;
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);

  SetText(&v, "owned");  // freed by the clear (the sanitizer build checks for leaks)
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);

  v.vt = 0x7F;
  EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
  EXPECT_EQ(v.vt, 0x7F);
  v.vt = VT_RECORD;
  EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
  v.vt = VT_EMPTY;

  CountingObject object(false);
  IUnknown* unknown = &object;
  v.vt = VT_BYREF | VT_UNKNOWN;
  v.byref = &unknown;
  EXPECT_EQ(VariantClear(&v), S_OK);  // a reference owns nothing
  EXPECT_EQ(object.references, 1u);
  EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

TEST_F(OleAutTest, CopyDuplicatesTextAndClearsTheDestinationFirst) {
  Var src, dest;
  const char16_t raw[] = {u'x', 0, u'y'};
  src->bstrVal = SysAllocStringLen(raw, 3);
  src->vt = VT_BSTR;
  SetText(&dest, "old");  // released by the copy
  ASSERT_EQ(VariantCopy(&dest, &src), S_OK);
  EXPECT_EQ(dest->vt, VT_BSTR);
  EXPECT_NE(dest->bstrVal, src->bstrVal);
  EXPECT_EQ(Text(dest->bstrVal), std::u16string(raw, 3));

  EXPECT_EQ(VariantCopy(&src, &src), S_OK);  // onto itself: nothing changes
  EXPECT_EQ(Text(src->bstrVal), std::u16string(raw, 3));

  Var nullText;
  nullText->vt = VT_BSTR;
  nullText->bstrVal = nullptr;
  ASSERT_EQ(VariantCopy(&dest, &nullText), S_OK);
  EXPECT_EQ(dest->vt, VT_BSTR);
  EXPECT_EQ(dest->bstrVal, nullptr);

  Var decimal;
  ASSERT_EQ(FromText("-1234.5678", VT_DECIMAL, &decimal), S_OK);
  ASSERT_EQ(VariantCopy(&dest, &decimal), S_OK);
  EXPECT_EQ(memcmp(&dest.v, &decimal.v, sizeof(VARIANT)), 0);

  VARIANT bad;
  bad.vt = 0x7F;
  SetText(&dest, "cleared");
  EXPECT_EQ(VariantCopy(&dest, &bad), DISP_E_BADVARTYPE);
  EXPECT_EQ(dest->vt, VT_EMPTY);
}

TEST_F(OleAutTest, CopyAndClearCountInterfaceReferences) {
  CountingObject object(true);
  {
    Var a, b;
    a->punkVal = &object;
    a->vt = VT_UNKNOWN;
    object.AddRef();  // the reference a holds
    ASSERT_EQ(VariantCopy(&b, &a), S_OK);
    EXPECT_EQ(object.references, 3u);
    EXPECT_EQ(b->punkVal, &object);
    ASSERT_EQ(VariantCopy(&b, &a), S_OK);  // the old copy released, a new one taken
    EXPECT_EQ(object.references, 3u);
    EXPECT_EQ(VariantClear(&b), S_OK);
    EXPECT_EQ(object.references, 2u);

    Var d;
    object.AddRef();
    d->pdispVal = &object;
    d->vt = VT_DISPATCH;
    ASSERT_EQ(VariantCopy(&b, &d), S_OK);
    EXPECT_EQ(object.references, 4u);
  }
  EXPECT_EQ(object.references, 1u);

  Var nullObject, copy;
  nullObject->vt = VT_UNKNOWN;
  nullObject->punkVal = nullptr;
  EXPECT_EQ(VariantCopy(&copy, &nullObject), S_OK);
  EXPECT_EQ(copy->punkVal, nullptr);
}

TEST_F(OleAutTest, ByteArraysAreCopiedAndDestroyed) {
  EXPECT_EQ(SafeArrayCreateVector(VT_I4, 0, 4), nullptr);
  SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, 5);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(bytes->cDims, 1);
  EXPECT_EQ(bytes->cbElements, 1u);
  EXPECT_EQ(bytes->rgsabound[0].cElements, 5u);
  memcpy(bytes->pvData, "\x01\x02\x00\x04\xFF", 5);

  Var a, b;
  a->parray = bytes;
  a->vt = VT_ARRAY | VT_UI1;
  ASSERT_EQ(VariantCopy(&b, &a), S_OK);
  ASSERT_NE(b->parray, bytes);
  EXPECT_EQ(b->parray->rgsabound[0].cElements, 5u);
  EXPECT_EQ(memcmp(b->parray->pvData, "\x01\x02\x00\x04\xFF", 5), 0);

  Var converted;
  EXPECT_EQ(Change(a.v, VT_ARRAY | VT_UI1, &converted), S_OK);
  EXPECT_EQ(Change(a.v, VT_BSTR, &converted), DISP_E_TYPEMISMATCH);

  b->parray->cLocks = 1;
  EXPECT_EQ(VariantClear(&b), DISP_E_ARRAYISLOCKED);
  b->parray->cLocks = 0;

  SAFEARRAY* empty = SafeArrayCreateVector(VT_UI1, 0, 0);
  SAFEARRAY* emptyCopy = nullptr;
  ASSERT_EQ(SafeArrayCopy(empty, &emptyCopy), S_OK);
  EXPECT_EQ(emptyCopy->rgsabound[0].cElements, 0u);
  EXPECT_EQ(SafeArrayDestroy(empty), S_OK);
  EXPECT_EQ(SafeArrayDestroy(emptyCopy), S_OK);
  EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
}

TEST_F(OleAutTest, IntegersOverflowExactlyAtTheLimitsOfEachType) {
  struct Limit {
    VARTYPE vt;
    int64_t min;
    uint64_t max;
  };
  const Limit limits[] = {
      {VT_I1, INT8_MIN, INT8_MAX}, {VT_UI1, 0, UINT8_MAX},        {VT_I2, INT16_MIN, INT16_MAX},
      {VT_UI2, 0, UINT16_MAX},     {VT_I4, INT32_MIN, INT32_MAX}, {VT_INT, INT32_MIN, INT32_MAX},
      {VT_UI4, 0, UINT32_MAX},     {VT_UINT, 0, UINT32_MAX},
  };
  for (const Limit& limit : limits) {
    SCOPED_TRACE(limit.vt);
    Var src, out;
    SetI8(&src, limit.min);
    EXPECT_EQ(Change(src.v, limit.vt, &out), S_OK);
    EXPECT_EQ(out->vt, limit.vt);
    SetI8(&src, limit.min - 1);
    EXPECT_EQ(Change(src.v, limit.vt, &out), DISP_E_OVERFLOW);
    SetI8(&src, static_cast<int64_t>(limit.max));
    EXPECT_EQ(Change(src.v, limit.vt, &out), S_OK);
    SetI8(&src, static_cast<int64_t>(limit.max) + 1);
    EXPECT_EQ(Change(src.v, limit.vt, &out), DISP_E_OVERFLOW);
  }
  Var src, out;
  SetI8(&src, -129);
  ASSERT_EQ(Change(src.v, VT_I2, &out), S_OK);
  EXPECT_EQ(out->iVal, -129);
  SetI8(&src, 200);
  ASSERT_EQ(Change(src.v, VT_I1, &out), DISP_E_OVERFLOW);
  SetI8(&src, -100);
  ASSERT_EQ(Change(src.v, VT_I1, &out), S_OK);
  EXPECT_EQ(static_cast<signed char>(out->cVal), -100);

  SetI8(&src, -1);
  EXPECT_EQ(Change(src.v, VT_UI8, &out), DISP_E_OVERFLOW);
  src->vt = VT_UI8;
  src->ullVal = UINT64_MAX;
  EXPECT_EQ(Change(src.v, VT_I8, &out), DISP_E_OVERFLOW);
  ASSERT_EQ(Change(src.v, VT_R8, &out), S_OK);
  EXPECT_EQ(out->dblVal, 18446744073709551615.0);
  src->ullVal = INT64_MAX;
  ASSERT_EQ(Change(src.v, VT_I8, &out), S_OK);
  EXPECT_EQ(out->llVal, INT64_MAX);
  SetI8(&src, INT64_MIN);
  ASSERT_EQ(AsText(src.v), "-9223372036854775808");
}

TEST_F(OleAutTest, RealsRoundToIntegersToNearestWithTiesToEven) {
  struct Case {
    double value;
    int32_t expected;
  };
  const Case cases[] = {{0.5, 0},   {1.5, 2},   {2.5, 2},       {3.5, 4},       {-0.5, 0},
                        {-1.5, -2}, {-2.5, -2}, {2.4999999, 2}, {2.5000001, 3}, {-0.4, 0}};
  for (const Case& c : cases) {
    Var src, out;
    SetR8(&src, c.value);
    ASSERT_EQ(Change(src.v, VT_I4, &out), S_OK) << c.value;
    EXPECT_EQ(out->lVal, c.expected) << c.value;
  }
  Var src, out;
  SetR8(&src, 127.5);  // rounds to 128
  EXPECT_EQ(Change(src.v, VT_I1, &out), DISP_E_OVERFLOW);
  SetR8(&src, -128.5);  // rounds to -128
  ASSERT_EQ(Change(src.v, VT_I1, &out), S_OK);
  EXPECT_EQ(static_cast<signed char>(out->cVal), -128);
  SetR8(&src, 255.4);
  ASSERT_EQ(Change(src.v, VT_UI1, &out), S_OK);
  EXPECT_EQ(out->bVal, 255);
  SetR8(&src, -0.5);
  ASSERT_EQ(Change(src.v, VT_UI4, &out), S_OK);
  EXPECT_EQ(out->ulVal, 0u);
  SetR8(&src, 9223372036854775808.0);  // 2^63
  EXPECT_EQ(Change(src.v, VT_I8, &out), DISP_E_OVERFLOW);
  ASSERT_EQ(Change(src.v, VT_UI8, &out), S_OK);
  EXPECT_EQ(out->ullVal, 9223372036854775808ull);
  SetR8(&src, -9223372036854775808.0);
  ASSERT_EQ(Change(src.v, VT_I8, &out), S_OK);
  EXPECT_EQ(out->llVal, INT64_MIN);
  SetR8(&src, 18446744073709551616.0);  // 2^64
  EXPECT_EQ(Change(src.v, VT_UI8, &out), DISP_E_OVERFLOW);
  SetR8(&src, 1e300);
  EXPECT_EQ(Change(src.v, VT_I4, &out), DISP_E_OVERFLOW);
  SetR8(&src, NAN);
  EXPECT_EQ(Change(src.v, VT_I4, &out), DISP_E_OVERFLOW);

  src->vt = VT_R4;
  src->fltVal = 2.5f;
  ASSERT_EQ(Change(src.v, VT_I2, &out), S_OK);
  EXPECT_EQ(out->iVal, 2);
}

TEST_F(OleAutTest, RealsConvertBetweenSingleAndDoublePrecision) {
  Var src, out;
  SetR8(&src, 1e39);
  EXPECT_EQ(Change(src.v, VT_R4, &out), DISP_E_OVERFLOW);
  SetR8(&src, FLT_MAX);
  ASSERT_EQ(Change(src.v, VT_R4, &out), S_OK);
  EXPECT_EQ(out->fltVal, FLT_MAX);
  SetR8(&src, 0.1);
  ASSERT_EQ(Change(src.v, VT_R4, &out), S_OK);
  EXPECT_EQ(out->fltVal, 0.1f);
  ASSERT_EQ(Change(out.v, VT_R8, &src), S_OK);
  EXPECT_EQ(src->dblVal, static_cast<double>(0.1f));
  SetI8(&src, 16777217);  // 2^24 + 1 rounds to even
  ASSERT_EQ(Change(src.v, VT_R4, &out), S_OK);
  EXPECT_EQ(out->fltVal, 16777216.0f);
  ASSERT_EQ(FromText("3.4028236e38", VT_R4, &out), DISP_E_OVERFLOW);
}

TEST_F(OleAutTest, CurrencyKeepsFourDecimalsWithinItsLimits) {
  Var out;
  ASSERT_EQ(FromText("-922337203685477.5808", VT_CY, &out), S_OK);
  EXPECT_EQ(out->cyVal.int64, INT64_MIN);
  EXPECT_EQ(AsText(out.v), "-922337203685477.5808");
  ASSERT_EQ(FromText("922337203685477.5807", VT_CY, &out), S_OK);
  EXPECT_EQ(out->cyVal.int64, INT64_MAX);
  EXPECT_EQ(AsText(out.v), "922337203685477.5807");
  EXPECT_EQ(FromText("922337203685477.5808", VT_CY, &out), DISP_E_OVERFLOW);
  EXPECT_EQ(FromText("-922337203685477.5809", VT_CY, &out), DISP_E_OVERFLOW);
  // Rounding at the fifth decimal, ties to even, right at the limits.
  ASSERT_EQ(FromText("922337203685477.58074", VT_CY, &out), S_OK);
  EXPECT_EQ(out->cyVal.int64, INT64_MAX);
  EXPECT_EQ(FromText("922337203685477.58075", VT_CY, &out), DISP_E_OVERFLOW);
  ASSERT_EQ(FromText("-922337203685477.58085", VT_CY, &out), S_OK);
  EXPECT_EQ(out->cyVal.int64, INT64_MIN);
  EXPECT_EQ(FromText("-922337203685477.58086", VT_CY, &out), DISP_E_OVERFLOW);
  ASSERT_EQ(FromText("0.00005", VT_CY, &out), S_OK);
  EXPECT_EQ(out->cyVal.int64, 0);
  ASSERT_EQ(FromText("0.00015", VT_CY, &out), S_OK);
  EXPECT_EQ(out->cyVal.int64, 2);
  ASSERT_EQ(FromText("-1.23456", VT_CY, &out), S_OK);
  EXPECT_EQ(out->cyVal.int64, -12346);

  Var src;
  SetI8(&src, 922337203685477);
  ASSERT_EQ(Change(src.v, VT_CY, &out), S_OK);
  EXPECT_EQ(out->cyVal.int64, 9223372036854770000);
  SetI8(&src, 922337203685478);
  EXPECT_EQ(Change(src.v, VT_CY, &out), DISP_E_OVERFLOW);
  SetI8(&src, -922337203685478);
  EXPECT_EQ(Change(src.v, VT_CY, &out), DISP_E_OVERFLOW);

  const struct {
    int64_t scaled;
    int32_t expected;
  } toInteger[] = {{25000, 2}, {35000, 4}, {-25000, -2}, {-35000, -4}, {25001, 3}, {-24999, -2}};
  for (const auto& c : toInteger) {
    SetCy(&src, c.scaled);
    ASSERT_EQ(Change(src.v, VT_I4, &out), S_OK);
    EXPECT_EQ(out->lVal, c.expected) << c.scaled;
  }
  SetCy(&src, INT64_MAX);
  ASSERT_EQ(Change(src.v, VT_I8, &out), S_OK);
  EXPECT_EQ(out->llVal, 922337203685478);
  EXPECT_EQ(Change(src.v, VT_I4, &out), DISP_E_OVERFLOW);

  SetCy(&src, 12345);
  ASSERT_EQ(Change(src.v, VT_R8, &out), S_OK);
  EXPECT_EQ(out->dblVal, 1.2345);
  SetCy(&src, INT64_MIN);
  ASSERT_EQ(Change(src.v, VT_R8, &out), S_OK);
  EXPECT_EQ(out->dblVal, -922337203685477.5808);

  SetR8(&src, 0.1);
  ASSERT_EQ(Change(src.v, VT_CY, &out), S_OK);
  EXPECT_EQ(out->cyVal.int64, 1000);
  SetR8(&src, 2.00005);  // the double prints as 2.00005: a tie that goes to the even 2.0000
  ASSERT_EQ(Change(src.v, VT_CY, &out), S_OK);
  EXPECT_EQ(out->cyVal.int64, 20000);
  SetR8(&src, 1e15);
  EXPECT_EQ(Change(src.v, VT_CY, &out), DISP_E_OVERFLOW);
  SetR8(&src, INFINITY);
  EXPECT_EQ(Change(src.v, VT_CY, &out), DISP_E_OVERFLOW);

  SetCy(&src, 15000);
  EXPECT_EQ(AsText(src.v), "1.5");
  SetCy(&src, -1);
  EXPECT_EQ(AsText(src.v), "-0.0001");
  SetCy(&src, 30000);
  EXPECT_EQ(AsText(src.v), "3");
}

TEST_F(OleAutTest, DecimalsHoldTwentyEightDigitsWithTheirScale) {
  Var out;
  ASSERT_EQ(FromText("79228162514264337593543950335", VT_DECIMAL, &out), S_OK);
  EXPECT_EQ(out->decVal.Hi32, 0xFFFFFFFFu);
  EXPECT_EQ(out->decVal.Lo64, UINT64_MAX);
  EXPECT_EQ(out->decVal.scale, 0);
  EXPECT_EQ(out->vt, VT_DECIMAL);
  EXPECT_EQ(AsText(out.v), "79228162514264337593543950335");
  EXPECT_EQ(FromText("79228162514264337593543950336", VT_DECIMAL, &out), DISP_E_OVERFLOW);
  EXPECT_EQ(FromText("-79228162514264337593543950336", VT_DECIMAL, &out), DISP_E_OVERFLOW);

  ASSERT_EQ(FromText("-7.9228162514264337593543950335", VT_DECIMAL, &out), S_OK);
  EXPECT_EQ(out->decVal.scale, 28);
  EXPECT_EQ(out->decVal.sign, DECIMAL_NEG);
  EXPECT_EQ(AsText(out.v), "-7.9228162514264337593543950335");

  ASSERT_EQ(FromText("0.0000000000000000000000000001", VT_DECIMAL, &out), S_OK);
  EXPECT_EQ(out->decVal.scale, 28);
  EXPECT_EQ(out->decVal.Lo64, 1u);
  // A 29th decimal is rounded away, ties to even.
  ASSERT_EQ(FromText("0.00000000000000000000000000015", VT_DECIMAL, &out), S_OK);
  EXPECT_EQ(AsText(out.v), "0.0000000000000000000000000002");
  ASSERT_EQ(FromText("0.00000000000000000000000000025", VT_DECIMAL, &out), S_OK);
  EXPECT_EQ(AsText(out.v), "0.0000000000000000000000000002");
  // Too many digits for the mantissa: fewer decimals.
  ASSERT_EQ(FromText("7922816251426433759354395033.46", VT_DECIMAL, &out), S_OK);
  EXPECT_EQ(AsText(out.v), "7922816251426433759354395033.5");
  ASSERT_EQ(FromText("7922816251426433759354395033.56", VT_DECIMAL, &out), S_OK);
  EXPECT_EQ(AsText(out.v), "7922816251426433759354395034");  // .6 would need 2^96
  ASSERT_EQ(FromText("1.50", VT_DECIMAL, &out), S_OK);
  EXPECT_EQ(out->decVal.scale, 2);
  EXPECT_EQ(AsText(out.v), "1.50");
  ASSERT_EQ(FromText("1.5e3", VT_DECIMAL, &out), S_OK);
  EXPECT_EQ(AsText(out.v), "1500");

  Var src;
  ASSERT_EQ(FromText("2.5", VT_DECIMAL, &src), S_OK);
  ASSERT_EQ(Change(src.v, VT_I4, &out), S_OK);
  EXPECT_EQ(out->lVal, 2);
  ASSERT_EQ(FromText("-3.5", VT_DECIMAL, &src), S_OK);
  ASSERT_EQ(Change(src.v, VT_I2, &out), S_OK);
  EXPECT_EQ(out->iVal, -4);
  ASSERT_EQ(FromText("18446744073709551615.4", VT_DECIMAL, &src), S_OK);
  ASSERT_EQ(Change(src.v, VT_UI8, &out), S_OK);
  EXPECT_EQ(out->ullVal, UINT64_MAX);
  ASSERT_EQ(FromText("18446744073709551615.5", VT_DECIMAL, &src), S_OK);
  EXPECT_EQ(Change(src.v, VT_UI8, &out), DISP_E_OVERFLOW);
  ASSERT_EQ(FromText("1.23456789", VT_DECIMAL, &src), S_OK);
  ASSERT_EQ(Change(src.v, VT_R8, &out), S_OK);
  EXPECT_EQ(out->dblVal, 1.23456789);
  ASSERT_EQ(FromText("0.1000000000000000000000000001", VT_DECIMAL, &src), S_OK);
  ASSERT_EQ(Change(src.v, VT_R8, &out), S_OK);
  EXPECT_EQ(out->dblVal, 0.1);
  ASSERT_EQ(FromText("1.23455", VT_DECIMAL, &src), S_OK);
  ASSERT_EQ(Change(src.v, VT_CY, &out), S_OK);
  EXPECT_EQ(out->cyVal.int64, 12346);  // 1.23455 is a tie: 1.2346 is the even neighbour

  SetR8(&src, 0.1);
  ASSERT_EQ(Change(src.v, VT_DECIMAL, &out), S_OK);
  EXPECT_EQ(AsText(out.v), "0.1");
  SetR8(&src, -1e20);
  ASSERT_EQ(Change(src.v, VT_DECIMAL, &out), S_OK);
  EXPECT_EQ(AsText(out.v), "-100000000000000000000");
  SetR8(&src, 1e29);
  EXPECT_EQ(Change(src.v, VT_DECIMAL, &out), DISP_E_OVERFLOW);
  SetCy(&src, INT64_MIN);
  ASSERT_EQ(Change(src.v, VT_DECIMAL, &out), S_OK);
  EXPECT_EQ(out->decVal.scale, 4);
  EXPECT_EQ(AsText(out.v), "-922337203685477.5808");
  SetI8(&src, INT64_MIN);
  ASSERT_EQ(Change(src.v, VT_DECIMAL, &out), S_OK);
  EXPECT_EQ(AsText(out.v), "-9223372036854775808");

  Var invalid;
  invalid->decVal = out->decVal;
  invalid->decVal.scale = 29;
  invalid->vt = VT_DECIMAL;
  EXPECT_EQ(Change(invalid.v, VT_I4, &out), E_INVALIDARG);
}

TEST_F(OleAutTest, DatesCountDaysFromTheEndOf1899) {
  Var src, out;
  src->vt = VT_DATE;
  const struct {
    DATE date;
    const char* text;
  } cases[] = {
      {0.0, "1899-12-30 00:00:00"},       {2.0, "1900-01-01 00:00:00"},
      {2.5, "1900-01-01 12:00:00"},       {-1.25, "1899-12-29 06:00:00"},
      {36526.0, "2000-01-01 00:00:00"},   {-657434.0, "0100-01-01 00:00:00"},
      {2958465.0, "9999-12-31 00:00:00"}, {-657434.999988426, "0100-01-01 23:59:59"},
      {43890.0, "2020-02-29 00:00:00"},
  };
  for (const auto& c : cases) {
    src->date = c.date;
    EXPECT_EQ(AsText(src.v), c.text) << c.date;
    ASSERT_EQ(FromText(c.text, VT_DATE, &out), S_OK) << c.text;
    EXPECT_NEAR(out->date, c.date, 1e-9) << c.text;
  }
  src->date = -0.5;  // the same moment as 0.5: day 0, noon
  EXPECT_EQ(AsText(src.v), "1899-12-30 12:00:00");
  src->date = 1.0 + 1.5 / 86400;  // 00:00:01.500
  EXPECT_EQ(AsText(src.v), "1899-12-31 00:00:01.500");
  src->date = 2958466.0;
  EXPECT_EQ(Change(src.v, VT_BSTR, &out), DISP_E_OVERFLOW);

  SetI8(&src, 2958465);
  ASSERT_EQ(Change(src.v, VT_DATE, &out), S_OK);
  EXPECT_EQ(out->date, 2958465.0);
  SetI8(&src, 2958466);
  EXPECT_EQ(Change(src.v, VT_DATE, &out), DISP_E_OVERFLOW);
  SetR8(&src, -657434.5);
  ASSERT_EQ(Change(src.v, VT_DATE, &out), S_OK);
  SetR8(&src, -657435.0);
  EXPECT_EQ(Change(src.v, VT_DATE, &out), DISP_E_OVERFLOW);
  SetR8(&src, NAN);
  EXPECT_EQ(Change(src.v, VT_DATE, &out), DISP_E_OVERFLOW);

  src->vt = VT_DATE;
  src->date = 2.5;
  ASSERT_EQ(Change(src.v, VT_I4, &out), S_OK);
  EXPECT_EQ(out->lVal, 2);
  ASSERT_EQ(Change(src.v, VT_R8, &out), S_OK);
  EXPECT_EQ(out->dblVal, 2.5);

  EXPECT_EQ(FromText("2020-02-30", VT_DATE, &out), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(FromText("1900-02-29", VT_DATE, &out), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(FromText("0099-12-31", VT_DATE, &out), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(FromText("2020-01-01 24:00:00", VT_DATE, &out), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(FromText("12.5", VT_DATE, &out), DISP_E_TYPEMISMATCH);
  ASSERT_EQ(FromText(" 2020-01-01T06:00 ", VT_DATE, &out), S_OK);
  EXPECT_EQ(out->date, 43831.25);
}

TEST_F(OleAutTest, DateHelpersConvertCalendarPartsAndText) {
  platform::DateParts parts;
  ASSERT_TRUE(platform::DateToParts(-1.25, &parts));
  EXPECT_EQ(parts.year, 1899);
  EXPECT_EQ(parts.month, 12);
  EXPECT_EQ(parts.day, 29);
  EXPECT_EQ(parts.hour, 6);

  DATE date = 0;
  platform::DateParts leap{2000, 2, 29, 13, 14, 15, 16};
  ASSERT_TRUE(platform::DateFromParts(leap, &date));
  ASSERT_TRUE(platform::DateToParts(date, &parts));
  EXPECT_EQ(parts.year, 2000);
  EXPECT_EQ(parts.month, 2);
  EXPECT_EQ(parts.day, 29);
  EXPECT_EQ(parts.hour, 13);
  EXPECT_EQ(parts.minute, 14);
  EXPECT_EQ(parts.second, 15);
  EXPECT_EQ(parts.millisecond, 16);
  EXPECT_EQ(platform::DateToText(date), "2000-02-29 13:14:15.016");

  platform::DateParts early{1899, 12, 29, 18, 0, 0, 0};
  ASSERT_TRUE(platform::DateFromParts(early, &date));
  EXPECT_EQ(date, -1.75);
  platform::DateParts first{100, 1, 1, 0, 0, 0, 0};
  ASSERT_TRUE(platform::DateFromParts(first, &date));
  EXPECT_EQ(date, platform::kMinDateDay);
  EXPECT_EQ(platform::DateToText(date), "0100-01-01 00:00:00");  // every field at its width
  EXPECT_EQ(platform::DateToText(-1.75), "1899-12-29 18:00:00");
  platform::DateParts last{9999, 12, 31, 23, 59, 59, 999};
  ASSERT_TRUE(platform::DateFromParts(last, &date));
  EXPECT_EQ(platform::DateToText(date), "9999-12-31 23:59:59.999");

  const platform::DateParts invalid[] = {{99, 12, 31, 0, 0, 0, 0},   {10000, 1, 1, 0, 0, 0, 0},
                                         {2021, 2, 29, 0, 0, 0, 0},  {2021, 13, 1, 0, 0, 0, 0},
                                         {2021, 1, 1, 24, 0, 0, 0},  {2021, 1, 1, 0, 60, 0, 0},
                                         {2021, 1, 1, 0, 0, 0, 1000}};
  for (const auto& p : invalid) EXPECT_FALSE(platform::DateFromParts(p, &date)) << p.year;

  // The last half millisecond of a day rounds to midnight of the next one, also before 1899.
  ASSERT_TRUE(platform::DateToParts(1.0 + 86399.9996 / 86400, &parts));
  EXPECT_EQ(parts.day, 1);
  EXPECT_EQ(parts.month, 1);
  EXPECT_EQ(parts.hour, 0);
  ASSERT_TRUE(platform::DateToParts(-2.0 - 86399.9996 / 86400, &parts));
  EXPECT_EQ(parts.day, 29);  // day -2 is 28 December
  EXPECT_EQ(parts.hour, 0);
  EXPECT_FALSE(platform::DateToParts(2958465.0 + 86399.9996 / 86400, &parts));
  EXPECT_FALSE(platform::DateToParts(NAN, &parts));

  ASSERT_TRUE(platform::DateFromText("2021-03-04 05:06:07.8", &date));
  EXPECT_EQ(platform::DateToText(date), "2021-03-04 05:06:07.800");
  ASSERT_TRUE(platform::DateFromText("2021-03-04", &date));
  EXPECT_EQ(platform::DateToText(date), "2021-03-04 00:00:00");
  EXPECT_FALSE(platform::DateFromText("2021-3-4", &date));
  EXPECT_FALSE(platform::DateFromText("2021-03-04 05:06:07.8901", &date));
  EXPECT_FALSE(platform::DateFromText("2021-03-04 05:06:07Z", &date));
  EXPECT_FALSE(platform::DateFromText("", &date));
}

TEST_F(OleAutTest, BoolIsMinusOneAndNumbersAndWordsConvertToIt) {
  Var src, out;
  SetI8(&src, 5);
  ASSERT_EQ(Change(src.v, VT_BOOL, &out), S_OK);
  EXPECT_EQ(out->boolVal, VARIANT_TRUE);
  SetI8(&src, 0);
  ASSERT_EQ(Change(src.v, VT_BOOL, &out), S_OK);
  EXPECT_EQ(out->boolVal, VARIANT_FALSE);
  SetR8(&src, 0.25);
  ASSERT_EQ(Change(src.v, VT_BOOL, &out), S_OK);
  EXPECT_EQ(out->boolVal, VARIANT_TRUE);
  SetCy(&src, 1);
  ASSERT_EQ(Change(src.v, VT_BOOL, &out), S_OK);
  EXPECT_EQ(out->boolVal, VARIANT_TRUE);

  const struct {
    const char* text;
    VARIANT_BOOL expected;
  } words[] = {{"True", VARIANT_TRUE}, {"FALSE", VARIANT_FALSE}, {" true ", VARIANT_TRUE},
               {"0", VARIANT_FALSE},   {"-2.5", VARIANT_TRUE},   {"0.000", VARIANT_FALSE}};
  for (const auto& w : words) {
    ASSERT_EQ(FromText(w.text, VT_BOOL, &out), S_OK) << w.text;
    EXPECT_EQ(out->boolVal, w.expected) << w.text;
  }
  EXPECT_EQ(FromText("yes", VT_BOOL, &out), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(FromText("", VT_BOOL, &out), DISP_E_TYPEMISMATCH);

  src->vt = VT_BOOL;
  src->boolVal = VARIANT_TRUE;
  ASSERT_EQ(Change(src.v, VT_I4, &out), S_OK);
  EXPECT_EQ(out->lVal, -1);
  ASSERT_EQ(Change(src.v, VT_R8, &out), S_OK);
  EXPECT_EQ(out->dblVal, -1.0);
  ASSERT_EQ(Change(src.v, VT_UI1, &out), S_OK);  // true is all bits set
  EXPECT_EQ(out->bVal, 255);
  ASSERT_EQ(Change(src.v, VT_UI8, &out), S_OK);
  EXPECT_EQ(out->ullVal, UINT64_MAX);
  ASSERT_EQ(Change(src.v, VT_CY, &out), S_OK);
  EXPECT_EQ(out->cyVal.int64, -10000);
  EXPECT_EQ(AsText(src.v), "-1");
  src->boolVal = VARIANT_FALSE;
  EXPECT_EQ(AsText(src.v), "0");
  src->boolVal = 1;  // any non-zero value is true
  ASSERT_EQ(Change(src.v, VT_I2, &out), S_OK);
  EXPECT_EQ(out->iVal, -1);
}

TEST_F(OleAutTest, TextConvertsToAndFromNumbersInTheCLocale) {
  Var out;
  ASSERT_EQ(FromText("  42 ", VT_I4, &out), S_OK);
  EXPECT_EQ(out->lVal, 42);
  ASSERT_EQ(FromText("+1e3", VT_I2, &out), S_OK);
  EXPECT_EQ(out->iVal, 1000);
  ASSERT_EQ(FromText("2.5", VT_I4, &out), S_OK);
  EXPECT_EQ(out->lVal, 2);
  ASSERT_EQ(FromText("-3.5", VT_I8, &out), S_OK);
  EXPECT_EQ(out->llVal, -4);
  ASSERT_EQ(FromText(".5e1", VT_UI1, &out), S_OK);
  EXPECT_EQ(out->bVal, 5);
  ASSERT_EQ(FromText("18446744073709551615", VT_UI8, &out), S_OK);
  EXPECT_EQ(out->ullVal, UINT64_MAX);
  EXPECT_EQ(FromText("18446744073709551616", VT_UI8, &out), DISP_E_OVERFLOW);
  EXPECT_EQ(FromText("1e400", VT_I4, &out), DISP_E_OVERFLOW);
  EXPECT_EQ(FromText("32768", VT_I2, &out), DISP_E_OVERFLOW);
  for (const char* bad : {"", " ", "abc", "12abc", "1,5", "1.2.3", "e5", "1e", "--1", "0x10"})
    EXPECT_EQ(FromText(bad, VT_I4, &out), DISP_E_TYPEMISMATCH) << bad;

  Var withZero;
  const char16_t raw[] = {u'1', 0, u'2'};
  withZero->bstrVal = SysAllocStringLen(raw, 3);
  withZero->vt = VT_BSTR;
  EXPECT_EQ(Change(withZero.v, VT_I4, &out), DISP_E_TYPEMISMATCH);

  ASSERT_EQ(FromText("0.1", VT_R8, &out), S_OK);
  EXPECT_EQ(out->dblVal, 0.1);
  ASSERT_EQ(FromText("-1.7976931348623157e308", VT_R8, &out), S_OK);
  EXPECT_EQ(out->dblVal, -DBL_MAX);
  EXPECT_EQ(FromText("1e309", VT_R8, &out), DISP_E_OVERFLOW);
  ASSERT_EQ(FromText("1e-400", VT_R8, &out), S_OK);
  EXPECT_EQ(out->dblVal, 0.0);
  ASSERT_EQ(FromText("0.1", VT_R4, &out), S_OK);
  EXPECT_EQ(out->fltVal, 0.1f);

  Var src;
  const struct {
    double value;
    const char* text;
  } reals[] = {{0.1, "0.1"},
               {123.456, "123.456"},
               {-2.5, "-2.5"},
               {1e20, "1E+20"},
               {1e-5, "1E-05"},
               {0.1 + 0.2, "0.3"},
               {-0.0, "0"},
               {100, "100"},
               {123456789012345678.0, "1.23456789012346E+17"},
               {1.0 / 3, "0.333333333333333"}};
  for (const auto& r : reals) {
    SetR8(&src, r.value);
    EXPECT_EQ(AsText(src.v), r.text);
  }
  src->vt = VT_R4;
  src->fltVal = 0.1f;
  EXPECT_EQ(AsText(src.v), "0.1");
  src->fltVal = 16777216.0f;
  EXPECT_EQ(AsText(src.v), "1.677722E+07");
  SetI8(&src, -42);
  EXPECT_EQ(AsText(src.v), "-42");
}

TEST_F(OleAutTest, EmptyNullAndErrorValues) {
  Var empty, out;
  ASSERT_EQ(Change(empty.v, VT_I4, &out), S_OK);
  EXPECT_EQ(out->vt, VT_I4);
  EXPECT_EQ(out->lVal, 0);
  ASSERT_EQ(Change(empty.v, VT_BSTR, &out), S_OK);
  ASSERT_NE(out->bstrVal, nullptr);
  EXPECT_EQ(SysStringLen(out->bstrVal), 0u);
  ASSERT_EQ(Change(empty.v, VT_DECIMAL, &out), S_OK);
  EXPECT_EQ(AsText(out.v), "0");
  ASSERT_EQ(Change(empty.v, VT_NULL, &out), S_OK);
  EXPECT_EQ(out->vt, VT_NULL);

  Var null;
  null->vt = VT_NULL;
  EXPECT_EQ(Change(null.v, VT_I4, &out), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Change(null.v, VT_BSTR, &out), DISP_E_TYPEMISMATCH);
  ASSERT_EQ(Change(null.v, VT_NULL, &out), S_OK);
  EXPECT_EQ(out->vt, VT_NULL);
  ASSERT_EQ(Change(null.v, VT_EMPTY, &out), S_OK);
  EXPECT_EQ(out->vt, VT_EMPTY);

  Var error;
  error->vt = VT_ERROR;
  error->scode = DISP_E_PARAMNOTFOUND;
  EXPECT_EQ(Change(error.v, VT_I4, &out), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Change(error.v, VT_BSTR, &out), DISP_E_TYPEMISMATCH);
  ASSERT_EQ(Change(error.v, VT_ERROR, &out), S_OK);
  EXPECT_EQ(out->scode, DISP_E_PARAMNOTFOUND);
  Var number;
  SetI8(&number, 1);
  EXPECT_EQ(Change(number.v, VT_ERROR, &out), DISP_E_TYPEMISMATCH);

  Var text;
  SetText(&text, "anything");
  ASSERT_EQ(Change(text.v, VT_EMPTY, &out), S_OK);
  EXPECT_EQ(out->vt, VT_EMPTY);
  ASSERT_EQ(Change(text.v, VT_BSTR, &out), S_OK);
  EXPECT_NE(out->bstrVal, text->bstrVal);
  EXPECT_EQ(AsText(out.v), "anything");
}

TEST_F(OleAutTest, ConvertsInPlaceAndLeavesTheDestinationAloneOnFailure) {
  Var v;
  SetText(&v, "123");
  ASSERT_EQ(VariantChangeType(&v.v, &v.v, 0, VT_I4), S_OK);  // the text is freed
  EXPECT_EQ(v->vt, VT_I4);
  EXPECT_EQ(v->lVal, 123);
  ASSERT_EQ(VariantChangeType(&v.v, &v.v, 0, VT_BSTR), S_OK);
  EXPECT_EQ(AsText(v.v), "123");

  SetText(&v, "not a number");
  BSTR before = v->bstrVal;
  EXPECT_EQ(VariantChangeType(&v.v, &v.v, 0, VT_I4), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(v->vt, VT_BSTR);
  EXPECT_EQ(v->bstrVal, before);

  Var src, dest;
  SetText(&src, "70000");
  SetText(&dest, "keep");
  BSTR kept = dest->bstrVal;
  EXPECT_EQ(Change(src.v, VT_I2, &dest), DISP_E_OVERFLOW);
  EXPECT_EQ(dest->vt, VT_BSTR);
  EXPECT_EQ(dest->bstrVal, kept);
  ASSERT_EQ(Change(src.v, VT_I4, &dest), S_OK);  // the old destination is freed
  EXPECT_EQ(dest->lVal, 70000);

  Var dec;
  ASSERT_EQ(FromText("12.5", VT_DECIMAL, &dec), S_OK);
  ASSERT_EQ(VariantChangeType(&dec.v, &dec.v, 0, VT_R8), S_OK);
  EXPECT_EQ(dec->dblVal, 12.5);
  ASSERT_EQ(VariantChangeType(&dec.v, &dec.v, 0, VT_DECIMAL), S_OK);
  EXPECT_EQ(dec->vt, VT_DECIMAL);
  EXPECT_EQ(AsText(dec.v), "12.5");
}

TEST_F(OleAutTest, RejectsUnknownTypesAndFlags) {
  Var src, out;
  SetI8(&src, 1);
  EXPECT_EQ(Change(src.v, VT_VARIANT, &out), DISP_E_BADVARTYPE);
  EXPECT_EQ(Change(src.v, VT_RECORD, &out), DISP_E_BADVARTYPE);
  EXPECT_EQ(Change(src.v, VT_BYREF | VT_I4, &out), DISP_E_BADVARTYPE);
  EXPECT_EQ(Change(src.v, 0x7F, &out), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantChangeType(&out.v, &src.v, 2, VT_I4), E_INVALIDARG);
  VARIANT bad;
  bad.vt = 0x7F;
  EXPECT_EQ(Change(bad, VT_I4, &out), DISP_E_BADVARTYPE);
  EXPECT_EQ(out->vt, VT_EMPTY);
}

TEST_F(OleAutTest, InterfacesConvertThroughQueryInterface) {
  CountingObject dispatch(true), plain(false);
  Var src, out;
  dispatch.AddRef();
  src->punkVal = &dispatch;
  src->vt = VT_UNKNOWN;
  ASSERT_EQ(Change(src.v, VT_DISPATCH, &out), S_OK);
  EXPECT_EQ(out->pdispVal, &dispatch);
  EXPECT_EQ(dispatch.references, 3u);
  EXPECT_EQ(Change(src.v, VT_I4, &out), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(dispatch.references, 3u);  // the failure left the destination alone
  ASSERT_EQ(Change(src.v, VT_EMPTY, &out), S_OK);
  EXPECT_EQ(dispatch.references, 2u);

  Var other;
  plain.AddRef();
  other->punkVal = &plain;
  other->vt = VT_UNKNOWN;
  EXPECT_EQ(Change(other.v, VT_DISPATCH, &out), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(plain.references, 2u);
  VariantClear(&other);
  VariantClear(&src);
  EXPECT_EQ(plain.references, 1u);
  EXPECT_EQ(dispatch.references, 1u);
}

TEST_F(OleAutTest, ConvertsTheValueThatAReferenceRefersTo) {
  int32_t number = 65;
  Var ref, out;
  ref->vt = VT_BYREF | VT_I4;
  ref->byref = &number;
  EXPECT_EQ(AsText(ref.v), "65");
  ASSERT_EQ(Change(ref.v, VT_I4, &out), S_OK);
  EXPECT_EQ(out->lVal, 65);

  BSTR text = SysAllocString(u"2.5");
  ref->vt = VT_BYREF | VT_BSTR;
  ref->byref = &text;
  ASSERT_EQ(Change(ref.v, VT_R8, &out), S_OK);
  EXPECT_EQ(out->dblVal, 2.5);
  ASSERT_EQ(Change(ref.v, VT_BSTR, &out), S_OK);
  EXPECT_NE(out->bstrVal, text);
  SysFreeString(text);

  Var inner;
  ASSERT_EQ(FromText("-0.125", VT_DECIMAL, &inner), S_OK);
  ref->vt = VT_BYREF | VT_VARIANT;
  ref->byref = &inner.v;
  ASSERT_EQ(Change(ref.v, VT_R4, &out), S_OK);
  EXPECT_EQ(out->fltVal, -0.125f);
  VARIANT badInner;
  badInner.vt = 0x7F;
  ref->byref = &badInner;
  EXPECT_EQ(Change(ref.v, VT_I4, &out), DISP_E_BADVARTYPE);
  ref->vt = VT_EMPTY;
}

TEST_F(OleAutTest, VariantCallsFailWithTheInjectedFault) {
  Var src, dest;
  SetText(&src, "5");
  platform::FaultTraceStart();
  platform::FaultInject("VariantCopy", E_OUTOFMEMORY);
  EXPECT_EQ(VariantCopy(&dest, &src), E_OUTOFMEMORY);
  EXPECT_EQ(VariantCopy(&dest, &src), S_OK);
  platform::FaultInject("VariantChangeType", E_FAIL);
  EXPECT_EQ(Change(src.v, VT_I4, &dest), E_FAIL);
  EXPECT_EQ(dest->vt, VT_BSTR);  // untouched
  platform::FaultInject("VariantClear", E_UNEXPECTED);
  EXPECT_EQ(VariantClear(&dest), E_UNEXPECTED);
  EXPECT_EQ(dest->vt, VT_BSTR);
  EXPECT_EQ(platform::FaultFiredCount(), 3);
  // Each call passes the seam once, under its own name only.
  const std::vector<std::string> expected = {"VariantCopy", "VariantCopy", "VariantChangeType",
                                             "VariantClear"};
  EXPECT_EQ(platform::FaultTraceStop(), expected);
}

TEST_F(OleAutTest, DecimalTextRoundTripsExactly) {
  const char* texts[] = {"0",
                         "-0",
                         "0.00",
                         "1.50",
                         "-123.4500",
                         "79228162514264337593543950335",
                         "-79228162514264337593543950335",
                         "7.9228162514264337593543950335",
                         "0.0000000000000000000000000001",
                         "1234567890123456789012345678",
                         "0.1234567890123456789012345678",
                         "9999999999999999999999999999"};
  for (const char* text : texts) {
    DECIMAL d;
    ASSERT_EQ(platform::DecimalFromText(text, &d), S_OK) << text;
    EXPECT_EQ(platform::DecimalToText(d), text);
  }
  DECIMAL d{};
  d.Lo64 = 7;
  d.scale = 1;
  ASSERT_EQ(platform::DecimalFromText("abc", &d), DISP_E_TYPEMISMATCH);
  ASSERT_EQ(platform::DecimalFromText("1e29", &d), DISP_E_OVERFLOW);
  EXPECT_EQ(platform::DecimalToText(d), "0.7");  // untouched by the failures
  ASSERT_EQ(platform::DecimalFromText("12345e-3", &d), S_OK);
  EXPECT_EQ(platform::DecimalToText(d), "12.345");
  ASSERT_EQ(platform::DecimalFromText("1e-40", &d), S_OK);
  EXPECT_EQ(d.Lo64, 0u);
  EXPECT_EQ(d.Hi32, 0u);
  d.scale = 29;
  EXPECT_EQ(platform::DecimalToText(d), "");
}

TEST_F(OleAutTest, CurrencyTextRoundTripsExactly) {
  const int64_t values[] = {0, 1, -1, 10000, -15000, 123456789, INT64_MAX, INT64_MIN};
  for (int64_t value : values) {
    CY cy;
    cy.int64 = value;
    const std::string text = platform::CyToText(cy);
    CY back;
    back.int64 = 42;
    ASSERT_EQ(platform::CyFromText(text, &back), S_OK) << text;
    EXPECT_EQ(back.int64, value) << text;
  }
  CY cy;
  cy.int64 = 42;
  EXPECT_EQ(platform::CyFromText("1e15", &cy), DISP_E_OVERFLOW);
  EXPECT_EQ(platform::CyFromText("x", &cy), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(cy.int64, 42);
}

}  // namespace
