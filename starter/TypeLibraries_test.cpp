// The type libraries and version resources both servers carry, as installation tools and
// automation clients read them.
#include <gtest/gtest.h>

#include <string>

#include "com/ComPtr.h"
#include "com/TypeLibRegistration.h"
#include "shellext/testing/TestSupport.h"

namespace {

using com::ComPtr;

struct Doc {
  std::wstring name, help;
};

Doc Documentation(ITypeLib* lib, INT index) {
  BSTR name = nullptr, help = nullptr;
  lib->GetDocumentation(index, &name, &help, nullptr, nullptr);
  Doc doc{name ? name : L"", help ? help : L""};
  SysFreeString(name);
  SysFreeString(help);
  return doc;
}

ComPtr<ITypeLib> Load(const std::wstring& path) {
  ComPtr<ITypeLib> lib;
  EXPECT_EQ(S_OK, com::LoadTypeLibBeside(path, lib.Put()));
  return lib;
}

GUID Guid(const wchar_t* text) {
  GUID g{};
  CLSIDFromString(text, &g);
  return g;
}

// Checks name, identifier, version, locale and help string of a library, and returns the
// type information of its one class.
ComPtr<ITypeInfo> CheckLibrary(ITypeLib* lib, const wchar_t* name, const wchar_t* libId,
                               const wchar_t* help, const wchar_t* clsid,
                               const wchar_t* classHelp) {
  TLIBATTR* attr = nullptr;
  EXPECT_EQ(S_OK, lib->GetLibAttr(&attr));
  EXPECT_TRUE(IsEqualGUID(Guid(libId), attr->guid));
  EXPECT_EQ(1, attr->wMajorVerNum);
  EXPECT_EQ(0, attr->wMinorVerNum);
  EXPECT_EQ(0x409u, attr->lcid);
  lib->ReleaseTLibAttr(attr);
  Doc doc = Documentation(lib, -1);
  EXPECT_EQ(name, doc.name);
  EXPECT_EQ(help, doc.help);

  ComPtr<ITypeInfo> cls;
  EXPECT_EQ(S_OK, lib->GetTypeInfoOfGuid(Guid(clsid), cls.Put()));
  if (!cls) return cls;
  TYPEATTR* type = nullptr;
  EXPECT_EQ(S_OK, cls->GetTypeAttr(&type));
  EXPECT_EQ(TKIND_COCLASS, type->typekind);
  EXPECT_TRUE(type->wTypeFlags & TYPEFLAG_FCANCREATE);
  cls->ReleaseTypeAttr(type);
  BSTR classDoc = nullptr;
  cls->GetDocumentation(MEMBERID_NIL, nullptr, &classDoc, nullptr, nullptr);
  EXPECT_EQ(std::wstring(classHelp), classDoc ? classDoc : L"");
  SysFreeString(classDoc);
  return cls;
}

// The class's default interface: dual, marked for automation, derived from IDispatch.
// Returned as its interface view (own operations only), not the dispatch view.
ComPtr<ITypeInfo> DefaultInterface(ITypeInfo* cls, const wchar_t* iid) {
  ComPtr<ITypeInfo> dispatch, dual;
  HREFTYPE ref = 0;
  INT flags = 0;
  EXPECT_EQ(S_OK, cls->GetImplTypeFlags(0, &flags));
  EXPECT_TRUE(flags & IMPLTYPEFLAG_FDEFAULT);
  EXPECT_EQ(S_OK, cls->GetRefTypeOfImplType(0, &ref));
  EXPECT_EQ(S_OK, cls->GetRefTypeInfo(ref, dispatch.Put()));
  if (!dispatch) return dual;
  EXPECT_EQ(S_OK, dispatch->GetRefTypeOfImplType(-1, &ref));  // the vtable half of a dual
  EXPECT_EQ(S_OK, dispatch->GetRefTypeInfo(ref, dual.Put()));
  if (!dual) return dual;
  TYPEATTR* type = nullptr;
  EXPECT_EQ(S_OK, dual->GetTypeAttr(&type));
  EXPECT_EQ(TKIND_INTERFACE, type->typekind);
  EXPECT_TRUE(IsEqualGUID(Guid(iid), type->guid));
  EXPECT_TRUE(type->wTypeFlags & TYPEFLAG_FDUAL);
  EXPECT_TRUE(type->wTypeFlags & TYPEFLAG_FOLEAUTOMATION);
  dual->ReleaseTypeAttr(type);
  ComPtr<ITypeInfo> base;
  EXPECT_EQ(S_OK, dual->GetRefTypeOfImplType(0, &ref));
  EXPECT_EQ(S_OK, dual->GetRefTypeInfo(ref, base.Put()));
  if (base) {
    EXPECT_EQ(S_OK, base->GetTypeAttr(&type));
    EXPECT_TRUE(IsEqualGUID(IID_IDispatch, type->guid));
    base->ReleaseTypeAttr(type);
  }
  return dual;
}

TEST(TypeLibrariesTest, ShellExtensionDescribesItsClassAndEmptyDualInterface) {
  ComPtr<ITypeLib> lib = Load(comtest::BuildPath(L"shellext\\tolvashell.dll"));
  ASSERT_TRUE(lib);
  ComPtr<ITypeInfo> cls =
      CheckLibrary(lib.Get(), L"TOLVASHELLLib", L"{AA3DB6C1-E127-49C5-AB4D-7CB3F2404248}",
                   L"tolvashell 1.0 Type Library", L"{603C8761-BC91-4E97-8862-77B8204317FA}",
                   L"DownloaderShellExt Class");
  ASSERT_TRUE(cls);
  ComPtr<ITypeInfo> dual = DefaultInterface(cls.Get(), L"{F037E6D6-E34B-4EFD-8D69-EF752578A462}");
  ASSERT_TRUE(dual);
  BSTR name = nullptr;
  dual->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
  EXPECT_STREQ(L"IDownloaderShellExt", name);
  SysFreeString(name);
  TYPEATTR* type = nullptr;
  ASSERT_EQ(S_OK, dual->GetTypeAttr(&type));
  EXPECT_EQ(0, type->cFuncs);  // nothing of its own
  dual->ReleaseTypeAttr(type);
}

TEST(TypeLibrariesTest, StarterDescribesStartDownloadAsDispatchMemberOne) {
  ComPtr<ITypeLib> lib = Load(comtest::BuildPath(L"starter\\tolvastarter.dll"));
  ASSERT_TRUE(lib);
  ComPtr<ITypeInfo> cls =
      CheckLibrary(lib.Get(), L"TOLVASTARTERLib", L"{91DB5158-C493-46D2-A530-6E256B97E824}",
                   L"tolvastarter 1.0 Type Library", L"{C998F1AA-C1F7-4562-97B4-12087D1EA397}",
                   L"Starter Class");
  ASSERT_TRUE(cls);
  ComPtr<ITypeInfo> dual = DefaultInterface(cls.Get(), L"{35A7CED9-0C76-446E-8648-D3DB16D9A5C6}");
  ASSERT_TRUE(dual);
  BSTR help = nullptr;
  dual->GetDocumentation(MEMBERID_NIL, nullptr, &help, nullptr, nullptr);
  EXPECT_STREQ(L"IStarter Interface", help);
  SysFreeString(help);
  help = nullptr;
  BSTR name = nullptr;
  ASSERT_EQ(S_OK, dual->GetDocumentation(1, &name, &help, nullptr, nullptr));
  EXPECT_STREQ(L"startDownload", name);
  EXPECT_STREQ(L"method startDownload", help);
  SysFreeString(name);
  SysFreeString(help);
}

TEST(TypeLibrariesTest, ALibraryWithoutItsOwnTypeLibraryFallsBackToTheTlbBesideIt) {
  tolvatest::TempFolder temp;
  const std::wstring plain = temp.WidePath() + L"\\plain.exe";
  ASSERT_TRUE(comtest::CopyTo(comtest::BuildPath(L"shellext\\testing\\tolva.exe"), plain));
  ComPtr<ITypeLib> lib;
  EXPECT_TRUE(FAILED(com::LoadTypeLibBeside(plain, lib.Put())));  // no resource, no .tlb

  const std::wstring tlb = comtest::BuildPath(L"starter\\tolvastarter.tlb");
  ASSERT_TRUE(comtest::CopyTo(tlb, temp.WidePath() + L"\\plain.tlb"));
  ASSERT_EQ(S_OK, com::LoadTypeLibBeside(plain, lib.Put()));
  EXPECT_EQ(L"TOLVASTARTERLib", Documentation(lib.Get(), -1).name);

  // A name without an extension gets ".tlb" appended.
  ASSERT_TRUE(comtest::CopyTo(plain, temp.WidePath() + L"\\bare"));
  ASSERT_TRUE(comtest::CopyTo(tlb, temp.WidePath() + L"\\bare.tlb"));
  ASSERT_EQ(S_OK, com::LoadTypeLibBeside(temp.WidePath() + L"\\bare", lib.Put()));
}

// The version resource installation tools read.
std::wstring VersionString(const std::vector<BYTE>& block, const wchar_t* name) {
  void* value = nullptr;
  UINT length = 0;
  std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  if (!VerQueryValueW(block.data(), key.c_str(), &value, &length)) return L"<missing>";
  return std::wstring(static_cast<const wchar_t*>(value), length ? length - 1 : 0);
}

TEST(TypeLibrariesTest, BothLibrariesCarryTheirVersionAndMarkThemselvesSelfRegistering) {
  for (const auto& [file, description] :
       {std::pair{L"shellext\\tolvashell.dll", L"tolvashell Module"},
        std::pair{L"starter\\tolvastarter.dll", L"tolvastarter Module"}}) {
    const std::wstring path = comtest::BuildPath(file);
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), nullptr);
    ASSERT_GT(size, 0u) << file;
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(MAKELONG(0, 1), static_cast<LONG>(fixed->dwFileVersionMS));
    EXPECT_EQ(MAKELONG(1, 0), static_cast<LONG>(fixed->dwFileVersionLS));
    EXPECT_EQ(fixed->dwFileVersionMS, fixed->dwProductVersionMS);
    EXPECT_EQ(fixed->dwFileVersionLS, fixed->dwProductVersionLS);
    EXPECT_EQ(description, VersionString(block, L"FileDescription"));
    EXPECT_EQ(L"", VersionString(block, L"OLESelfRegister"));
    DWORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
    EXPECT_EQ(MAKELONG(0x409, 1200), static_cast<LONG>(translation[0]));
  }
}

}  // namespace
