// Drives tolvastarter.dll through its class object, its own interface and IDispatch.
#include <gtest/gtest.h>

#include "com/ComPtr.h"
#include "shellext/testing/TestSupport.h"
#include "starter/StarterIds.h"

namespace {

using com::ComPtr;

const IID kIidObjectSafety = {
    0xcb5bdc81, 0x93c1, 0x11cf, {0x8f, 0x20, 0x00, 0x80, 0x5f, 0x2c, 0xd0, 0x64}};
const IID kIidDispatchEx = {
    0xa6ef9860, 0xc720, 0x11d0, {0x93, 0x37, 0x00, 0xa0, 0xc9, 0x0d, 0xca, 0xa9}};

using EntryFn = HRESULT(WINAPI*)();
using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);

template <typename Fn>
Fn Export(HMODULE library, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

// A BSTR owned for one scope.
struct Bstr {
  explicit Bstr(const wchar_t* text) : value(SysAllocString(text)) {}
  ~Bstr() { SysFreeString(value); }
  BSTR value;
};

class StarterDllTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    library_ = LoadLibraryW(comtest::BuildPath(L"starter\\tolvastarter.dll").c_str());
    ASSERT_NE(nullptr, library_);
  }

  ComPtr<IClassFactory> Factory() {
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(S_OK, Export<GetClassObjectFn>(library_, "DllGetClassObject")(
                        CLSID_Starter, IID_IClassFactory, factory.PutVoid()));
    return factory;
  }
  ComPtr<IStarter> NewStarter() {
    ComPtr<IStarter> starter;
    EXPECT_EQ(S_OK, Factory()->CreateInstance(nullptr, IID_IStarter, starter.PutVoid()));
    return starter;
  }
  HRESULT CanUnloadNow() { return Export<EntryFn>(library_, "DllCanUnloadNow")(); }

  static HMODULE library_;
};

HMODULE StarterDllTest::library_ = nullptr;

TEST_F(StarterDllTest, AnswersOnlyItsOwnInterfacesAndHoldsTheModuleWhileAlive) {
  EXPECT_EQ(S_OK, CanUnloadNow());
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, Export<GetClassObjectFn>(library_, "DllGetClassObject")(
                                           IID_IStarter, IID_IClassFactory, &out));
  EXPECT_EQ(nullptr, out);

  ComPtr<IUnknown> outer;
  ASSERT_EQ(S_OK, Factory()->QueryInterface(IID_IUnknown, outer.PutVoid()));
  EXPECT_EQ(CLASS_E_NOAGGREGATION, Factory()->CreateInstance(outer.Get(), IID_IStarter, &out));
  outer.Reset();

  ComPtr<IStarter> starter = NewStarter();
  EXPECT_EQ(S_FALSE, CanUnloadNow());
  ComPtr<IUnknown> unknown;
  ComPtr<IDispatch> dispatch;
  EXPECT_EQ(S_OK, starter->QueryInterface(IID_IUnknown, unknown.PutVoid()));
  EXPECT_EQ(S_OK, starter->QueryInterface(IID_IDispatch, dispatch.PutVoid()));
  EXPECT_EQ(static_cast<IDispatch*>(starter.Get()), dispatch.Get());
  for (const IID* iid : {&kIidObjectSafety, &IID_IProvideClassInfo, &IID_ISupportErrorInfo,
                         &IID_IPersist, &IID_IMarshal, &kIidDispatchEx}) {
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, starter->QueryInterface(*iid, &out));
    EXPECT_EQ(nullptr, out);
  }
  starter.Reset();
  unknown.Reset();
  dispatch.Reset();
  EXPECT_EQ(S_OK, CanUnloadNow());
}

TEST_F(StarterDllTest, StartDownloadPassesItsTextOnUnchanged) {
  comtest::FakeTolva tolva;
  ComPtr<IStarter> starter = NewStarter();
  Bstr both(L"\"C:\\dir\\a b.txt\" \"D:\\target\"");
  Bstr list(L"\"C:\\a.txt;C:\\b.txt;\"");
  Bstr empty(L"");
  EXPECT_EQ(S_OK, starter->startDownload(both.value));
  EXPECT_EQ(S_OK, starter->startDownload(list.value));
  EXPECT_EQ(S_OK, starter->startDownload(list.value));  // a second start is the program's call
  EXPECT_EQ(S_OK, starter->startDownload(empty.value));
  EXPECT_EQ(S_OK, starter->startDownload(nullptr));
  EXPECT_EQ(comtest::Sorted({L"\"C:\\dir\\a b.txt\" \"D:\\target\"", L"\"C:\\a.txt;C:\\b.txt;\"",
                             L"\"C:\\a.txt;C:\\b.txt;\"", L"", L""}),
            tolva.WaitForStarts(5));
}

// The call returns with the platform's error: a box waiting for a click would keep it
// from returning at all.
TEST_F(StarterDllTest, StartDownloadReportsAProgramThatCannotBeStarted) {
  comtest::MissingTolva missing;
  ComPtr<IStarter> starter = NewStarter();
  Bstr text(L"\"C:\\a.txt\" \"D:\\target\"");
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), starter->startDownload(text.value));
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), starter->startDownload(nullptr));
}

TEST_F(StarterDllTest, LateBoundCallsNeedTheRegisteredTypeLibraryButEarlyBoundOnesDoNot) {
  comtest::FakeTolva tolva;
  // Not registered beforehand: the removal of the type library may report that.
  Export<EntryFn>(library_, "DllUnregisterServer")();
  ASSERT_FALSE(
      comtest::KeyExists(HKEY_CLASSES_ROOT, L"TypeLib\\{91DB5158-C493-46D2-A530-6E256B97E824}"));
  ComPtr<IStarter> starter = NewStarter();
  UINT count = 0;
  EXPECT_EQ(S_OK, starter->GetTypeInfoCount(&count));
  EXPECT_EQ(1u, count);
  ComPtr<ITypeInfo> info;
  EXPECT_EQ(E_POINTER, starter->GetTypeInfo(0, 0, nullptr));
  EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, starter->GetTypeInfo(0, 0, info.Put()));
  wchar_t name[] = L"startDownload";
  LPOLESTR names[] = {name};
  DISPID id = 0;
  EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, starter->GetIDsOfNames(IID_NULL, names, 1, 0, &id));
  Bstr early(L"\"C:\\early.txt\"");
  EXPECT_EQ(S_OK, starter->startDownload(early.value));
  EXPECT_EQ(std::vector<std::wstring>{L"\"C:\\early.txt\""}, tolva.WaitForStarts(1));

  ASSERT_EQ(S_OK, Export<EntryFn>(library_, "DllRegisterServer")());
  ASSERT_EQ(S_OK, starter->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.Put()));
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
  EXPECT_TRUE(IsEqualIID(IID_IStarter, attr->guid));
  info->ReleaseTypeAttr(attr);

  ASSERT_EQ(S_OK, starter->GetIDsOfNames(IID_NULL, names, 1, 0, &id));
  EXPECT_EQ(1, id);
  wchar_t wrongCase[] = L"STARTDOWNLOAD";
  names[0] = wrongCase;
  ASSERT_EQ(S_OK, starter->GetIDsOfNames(IID_NULL, names, 1, 0, &id));
  EXPECT_EQ(1, id);
  wchar_t unknown[] = L"stopDownload";
  names[0] = unknown;
  EXPECT_EQ(DISP_E_UNKNOWNNAME, starter->GetIDsOfNames(IID_NULL, names, 1, 0, &id));

  // Through Invoke the type information converts the argument to a string.
  VARIANT arg;
  VariantInit(&arg);
  arg.vt = VT_I4;
  arg.lVal = 42;
  DISPPARAMS params = {&arg, nullptr, 1, 0};
  VARIANT result;
  VariantInit(&result);
  EXPECT_EQ(S_OK,
            starter->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr));
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  EXPECT_EQ(DISP_E_BADPARAMCOUNT,
            starter->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr));
  EXPECT_EQ(DISP_E_MEMBERNOTFOUND,
            starter->Invoke(2, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr));
  EXPECT_EQ(comtest::Sorted({L"\"C:\\early.txt\"", L"42"}), tolva.WaitForStarts(2));
  starter.Reset();
  EXPECT_EQ(S_OK, Export<EntryFn>(library_, "DllUnregisterServer")());
}

}  // namespace
