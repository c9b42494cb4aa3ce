// The COM stand-in: per-thread initialisation, the class registry and its test seam, and the
// per-thread error information.
#include "platform/com/com.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/faults/faults.h"

namespace {

const CLSID kTestClass = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
const CLSID kUnknownClass = {0x87654321, 0x4321, 0x8765, {8, 7, 6, 5, 4, 3, 2, 1}};
const IID kOtherInterface = {0xABCDEF01, 0x2345, 0x6789, {9, 9, 9, 9, 9, 9, 9, 9}};

std::atomic<int> liveObjects{0};

// A heap object answering IUnknown and IDispatch that counts the instances alive.
class TestObject final : public IDispatch {
 public:
  TestObject() { ++liveObjects; }
  HRESULT QueryInterface(const IID& iid, void** object) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
      AddRef();
      *object = static_cast<IDispatch*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  ULONG references() const { return references_; }

 private:
  ~TestObject() { --liveObjects; }
  std::atomic<ULONG> references_{1};
};

HRESULT CreateTestObject(IUnknown** object) {
  *object = new TestObject;
  return S_OK;
}

HRESULT FailingFactory(IUnknown** object) {
  *object = nullptr;
  return E_OUTOFMEMORY;
}

std::u16string Take(BSTR text) {
  std::u16string result = text == nullptr ? u"<null>" : std::u16string(text, SysStringLen(text));
  SysFreeString(text);
  return result;
}

// The reference count of an object, read through AddRef and Release.
ULONG ReferencesOf(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

class ComTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    CoRegisterClass(kTestClass, CreateTestObject);
  }
  void TearDown() override {
    platform::FaultClear(platform::FaultNameCreateInstance(kTestClass));
    CoUninitialize();
    EXPECT_EQ(CoInitializeCount(), 0);
    IErrorInfo* left = nullptr;
    if (GetErrorInfo(0, &left) == S_OK) left->Release();
    EXPECT_EQ(liveObjects.load(), 0);
  }
};

TEST_F(ComTest, InitialisationIsCountedPerThread) {
  EXPECT_EQ(CoInitializeCount(), 1);
  EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
  EXPECT_EQ(CoInitializeCount(), 2);

  int otherBefore = -1, otherAfter = -1, otherEnd = -1;
  HRESULT otherFirst = E_FAIL, otherSecond = E_FAIL;
  std::thread other([&] {
    otherBefore = CoInitializeCount();
    otherFirst = CoInitialize(nullptr);
    otherSecond = CoInitialize(nullptr);
    otherAfter = CoInitializeCount();
    CoUninitialize();
    CoUninitialize();
    CoUninitialize();  // one too many: the count stays at 0
    otherEnd = CoInitializeCount();
  });
  other.join();
  EXPECT_EQ(otherBefore, 0);
  EXPECT_EQ(otherFirst, S_OK);
  EXPECT_EQ(otherSecond, S_FALSE);
  EXPECT_EQ(otherAfter, 2);
  EXPECT_EQ(otherEnd, 0);
  EXPECT_EQ(CoInitializeCount(), 2);  // untouched by the other thread
  CoUninitialize();
  EXPECT_EQ(CoInitializeCount(), 1);
}

TEST_F(ComTest, CreatesRegisteredClassesWithOneReference) {
  IDispatch* dispatch = nullptr;
  ASSERT_EQ(CoCreateInstance(kTestClass, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                             reinterpret_cast<void**>(&dispatch)),
            S_OK);
  ASSERT_NE(dispatch, nullptr);
  EXPECT_EQ(ReferencesOf(dispatch), 1u);
  EXPECT_EQ(OleRun(dispatch), S_OK);
  EXPECT_EQ(liveObjects.load(), 1);
  dispatch->Release();
  EXPECT_EQ(liveObjects.load(), 0);

  IUnknown* unknown = nullptr;
  ASSERT_EQ(CoCreateInstance(kTestClass, nullptr, CLSCTX_ALL_LOCAL, IID_IUnknown,
                             reinterpret_cast<void**>(&unknown)),
            S_OK);
  unknown->Release();
  EXPECT_EQ(OleRun(nullptr), E_INVALIDARG);
}

TEST_F(ComTest, CreationFailuresLeaveNoObject) {
  void* object = &object;
  EXPECT_EQ(CoCreateInstance(kUnknownClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(object, nullptr);

  object = &object;
  EXPECT_EQ(CoCreateInstance(kTestClass, nullptr, CLSCTX_INPROC_SERVER, kOtherInterface, &object),
            E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(liveObjects.load(), 0);  // the created object was released again

  TestObject* outer = nullptr;
  CreateTestObject(reinterpret_cast<IUnknown**>(&outer));
  object = &object;
  EXPECT_EQ(CoCreateInstance(kTestClass, outer, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(object, nullptr);
  outer->Release();

  object = &object;
  EXPECT_EQ(CoCreateInstance(kTestClass, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &object),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(CoCreateInstance(kTestClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, nullptr),
            E_POINTER);

  const CLSID failing = {0x0BADF00D, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
  CoRegisterClass(failing, FailingFactory);
  object = &object;
  EXPECT_EQ(CoCreateInstance(failing, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
            E_OUTOFMEMORY);
  EXPECT_EQ(object, nullptr);
  CoRegisterClass(failing, nullptr);  // a null factory removes the class
  EXPECT_EQ(CoCreateInstance(failing, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
            REGDB_E_CLASSNOTREG);
}

TEST_F(ComTest, CreationNeedsAnInitialisedThread) {
  HRESULT result = S_OK;
  void* object = &object;
  std::thread other([&] {
    result = CoCreateInstance(kTestClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object);
  });
  other.join();
  EXPECT_EQ(result, CO_E_NOTINITIALIZED);
  EXPECT_EQ(object, nullptr);
}

TEST_F(ComTest, TestSeamFailsCreationOfOneClassUntilRemoved) {
  platform::FaultInject(platform::FaultNameCreateInstance(kTestClass), E_OUTOFMEMORY, 0, -1);
  void* object = &object;
  EXPECT_EQ(CoCreateInstance(kTestClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
            E_OUTOFMEMORY);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(CoCreateInstance(kTestClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
            E_OUTOFMEMORY);
  EXPECT_EQ(liveObjects.load(), 0);
  platform::FaultClear(platform::FaultNameCreateInstance(kTestClass));
  ASSERT_EQ(CoCreateInstance(kTestClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
            S_OK);
  static_cast<IUnknown*>(object)->Release();
}

TEST_F(ComTest, ErrorInfoObjectHandsOutCopiesOfItsTexts) {
  const GUID guid = {0x00000550, 0, 0x10, {0x80, 0, 0, 0xAA, 0, 0x6D, 0x2E, 0xA4}};
  IErrorInfo* info = CreateErrorInfoObject(guid, u"ADODB.Connection", u"No such table");
  ASSERT_NE(info, nullptr);
  GUID got{};
  EXPECT_EQ(info->GetGUID(&got), S_OK);
  EXPECT_TRUE(got == guid);
  BSTR first = nullptr, second = nullptr;
  ASSERT_EQ(info->GetDescription(&first), S_OK);
  ASSERT_EQ(info->GetDescription(&second), S_OK);
  EXPECT_NE(first, second);  // a new BSTR for each call
  EXPECT_EQ(Take(first), u"No such table");
  EXPECT_EQ(Take(second), u"No such table");
  BSTR source = nullptr;
  ASSERT_EQ(info->GetSource(&source), S_OK);
  EXPECT_EQ(Take(source), u"ADODB.Connection");
  EXPECT_EQ(info->GetSource(nullptr), E_POINTER);

  void* asked = nullptr;
  ASSERT_EQ(info->QueryInterface(IID_IErrorInfo, &asked), S_OK);
  EXPECT_EQ(asked, info);
  EXPECT_EQ(ReferencesOf(info), 2u);
  static_cast<IUnknown*>(asked)->Release();
  ASSERT_EQ(info->QueryInterface(IID_IUnknown, &asked), S_OK);
  static_cast<IUnknown*>(asked)->Release();
  EXPECT_EQ(info->QueryInterface(IID_IDispatch, &asked), E_NOINTERFACE);
  EXPECT_EQ(asked, nullptr);
  EXPECT_EQ(info->Release(), 0u);

  IErrorInfo* bare = CreateErrorInfoObject(guid, nullptr, nullptr);
  BSTR none = nullptr;
  ASSERT_EQ(bare->GetSource(&none), S_OK);
  EXPECT_EQ(none, nullptr);
  ASSERT_EQ(bare->GetDescription(&none), S_OK);
  EXPECT_EQ(none, nullptr);
  bare->Release();
}

TEST_F(ComTest, ErrorInfoBelongsToTheThreadAndIsHandedOverOnce) {
  IErrorInfo* info = CreateErrorInfoObject(IID_IUnknown, u"source", u"first");
  ASSERT_EQ(SetErrorInfo(0, info), S_OK);
  EXPECT_EQ(ReferencesOf(info), 2u);  // the thread holds one

  IErrorInfo* seenByOther = info;
  HRESULT otherResult = E_FAIL;
  std::thread other([&] { otherResult = GetErrorInfo(0, &seenByOther); });
  other.join();
  EXPECT_EQ(otherResult, S_FALSE);
  EXPECT_EQ(seenByOther, nullptr);

  IErrorInfo* got = nullptr;
  ASSERT_EQ(GetErrorInfo(0, &got), S_OK);
  EXPECT_EQ(got, info);
  EXPECT_EQ(ReferencesOf(info), 2u);  // the thread's reference now belongs to the caller
  got->Release();
  EXPECT_EQ(GetErrorInfo(0, &got), S_FALSE);
  EXPECT_EQ(got, nullptr);

  IErrorInfo* second = CreateErrorInfoObject(IID_IUnknown, u"source", u"second");
  SetErrorInfo(0, info);
  SetErrorInfo(0, second);  // replaces and releases the first
  EXPECT_EQ(ReferencesOf(info), 1u);
  SetErrorInfo(0, nullptr);  // clears
  EXPECT_EQ(ReferencesOf(second), 1u);
  EXPECT_EQ(GetErrorInfo(0, &got), S_FALSE);
  EXPECT_EQ(GetErrorInfo(0, nullptr), E_POINTER);
  second->Release();

  // A thread that ends with error information set releases it.
  std::thread ending([info] { SetErrorInfo(0, info); });
  ending.join();
  EXPECT_EQ(ReferencesOf(info), 1u);
  info->Release();
}

TEST(ComIdentifiers, HaveTheirPublishedValues) {
  EXPECT_EQ(IID_IUnknown.Data1, 0u);
  EXPECT_EQ(IID_IUnknown.Data4[0], 0xC0);
  EXPECT_EQ(IID_IUnknown.Data4[7], 0x46);
  EXPECT_EQ(IID_IDispatch.Data1, 0x00020400u);
  EXPECT_EQ(IID_IErrorInfo.Data1, 0x1CF2B120u);
  EXPECT_EQ(IID_IErrorInfo.Data2, 0x547D);
  EXPECT_EQ(IID_IErrorInfo.Data3, 0x101B);
  EXPECT_EQ(IID_IErrorInfo.Data4[7], 0x19);
  EXPECT_EQ(IID_ISupportErrorInfo.Data1, 0xDF0B3D60u);
  EXPECT_EQ(IID_ISupportErrorInfo.Data2, 0x548F);
  EXPECT_TRUE(IID_IErrorInfo != IID_ISupportErrorInfo);
}

}  // namespace
