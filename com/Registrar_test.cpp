#include "com/Registrar.h"

#include <gtest/gtest.h>

#include <string>

#include "base/UniqueHandle.h"

namespace {

using com::KeyMark;
using com::Registrar;
using com::RegistryKey;

const wchar_t kRoot[] = L"Software\\TolvaRegistrarTest";

class RegistrarTest : public testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, kRoot);
    HKEY raw = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kRoot, 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &raw, nullptr));
    root_.Reset(raw);
  }
  void TearDown() override {
    root_.Reset();
    RegDeleteTreeW(HKEY_CURRENT_USER, kRoot);
    RegDeleteKeyW(HKEY_CURRENT_USER, kRoot);
  }

  bool Exists(const std::wstring& path) {
    HKEY raw = nullptr;
    if (RegOpenKeyExW(root_.Get(), path.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS) return false;
    RegCloseKey(raw);
    return true;
  }
  std::wstring Value(const std::wstring& path, const wchar_t* name) {
    wchar_t buffer[512] = {};
    DWORD size = sizeof(buffer);
    if (RegGetValueW(root_.Get(), path.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size) !=
        ERROR_SUCCESS)
      return L"<missing>";
    return buffer;
  }
  void Create(const std::wstring& path) {
    HKEY raw = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root_.Get(), path.c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &raw, nullptr));
    RegCloseKey(raw);
  }

  // Shaped like a server's tree: a shared parent, an owned class key, a plain ProgID.
  std::vector<RegistryKey> Tree() {
    RegistryKey cls{L"{1234}", KeyMark::ForceRemove, {{L"", L"Some Class"}}, {}};
    cls.subkeys.push_back({L"InprocServer32",
                           KeyMark::Plain,
                           {{L"", L"C:\\it's here\\x.dll"}, {L"ThreadingModel", L"Apartment"}},
                           {}});
    cls.subkeys.push_back({L"Programmable", KeyMark::ForceRemove, {}, {}});
    RegistryKey clsid{L"CLSID", KeyMark::NoRemove, {}, {cls}};
    RegistryKey progId{L"Some.Class", KeyMark::Plain, {{L"", L"Some Class"}}, {}};
    progId.subkeys.push_back({L"CLSID", KeyMark::Plain, {{L"", L"{1234}"}}, {}});
    return {progId, clsid};
  }

  base::UniqueRegKey root_;
};

TEST_F(RegistrarTest, WritesEveryKeyAndValueOfTheTree) {
  ASSERT_EQ(S_OK, Registrar(root_.Get()).Register(Tree()));
  EXPECT_EQ(L"Some Class", Value(L"Some.Class", nullptr));
  EXPECT_EQ(L"{1234}", Value(L"Some.Class\\CLSID", nullptr));
  EXPECT_EQ(L"Some Class", Value(L"CLSID\\{1234}", nullptr));
  EXPECT_EQ(L"C:\\it's here\\x.dll", Value(L"CLSID\\{1234}\\InprocServer32", nullptr));
  EXPECT_EQ(L"Apartment", Value(L"CLSID\\{1234}\\InprocServer32", L"ThreadingModel"));
  EXPECT_TRUE(Exists(L"CLSID\\{1234}\\Programmable"));
}

TEST_F(RegistrarTest, RegisteringAgainRebuildsForceRemoveKeysAndKeepsForeignSiblings) {
  Create(L"CLSID\\{other}");
  ASSERT_EQ(S_OK, Registrar(root_.Get()).Register(Tree()));
  Create(L"CLSID\\{1234}\\Stale\\Deeper");
  Create(L"Some.Class\\Foreign");
  ASSERT_EQ(S_OK, Registrar(root_.Get()).Register(Tree()));
  EXPECT_FALSE(Exists(L"CLSID\\{1234}\\Stale"));
  EXPECT_TRUE(Exists(L"CLSID\\{1234}\\InprocServer32"));
  EXPECT_TRUE(Exists(L"CLSID\\{other}"));
  EXPECT_TRUE(Exists(L"Some.Class\\Foreign"));  // plain keys are not wiped
}

TEST_F(RegistrarTest, UnregisteringKeepsSharedKeysAndRemovesOwnedOnes) {
  Create(L"CLSID\\{other}");
  ASSERT_EQ(S_OK, Registrar(root_.Get()).Register(Tree()));
  ASSERT_EQ(S_OK, Registrar(root_.Get()).Unregister(Tree()));
  EXPECT_TRUE(Exists(L"CLSID"));
  EXPECT_TRUE(Exists(L"CLSID\\{other}"));
  EXPECT_FALSE(Exists(L"CLSID\\{1234}"));
  EXPECT_FALSE(Exists(L"Some.Class"));
  // A second removal finds nothing to do and is no failure.
  EXPECT_EQ(S_OK, Registrar(root_.Get()).Unregister(Tree()));
}

TEST_F(RegistrarTest, UnregisteringAPlainKeyWithForeignSubkeysKeepsThemAndDropsOurValues) {
  ASSERT_EQ(S_OK, Registrar(root_.Get()).Register(Tree()));
  Create(L"Some.Class\\Foreign");
  ASSERT_EQ(S_OK, Registrar(root_.Get()).Unregister(Tree()));
  EXPECT_TRUE(Exists(L"Some.Class\\Foreign"));
  EXPECT_FALSE(Exists(L"Some.Class\\CLSID"));
  EXPECT_EQ(L"<missing>", Value(L"Some.Class", nullptr));
}

TEST_F(RegistrarTest, AFailureHalfwayRemovesWhatThisRegistrationCreated) {
  Create(L"Existing");
  std::vector<RegistryKey> tree = Tree();
  RegistryKey existing{L"Existing", KeyMark::NoRemove, {}, {{L"New", KeyMark::Plain, {}, {}}}};
  tree.push_back(existing);
  // Key names are limited to 255 characters: this one cannot be created.
  tree.push_back({std::wstring(300, L'k'), KeyMark::Plain, {}, {}});
  HRESULT hr = Registrar(root_.Get()).Register(tree);
  EXPECT_TRUE(FAILED(hr));
  EXPECT_FALSE(Exists(L"Some.Class"));
  EXPECT_FALSE(Exists(L"CLSID"));
  EXPECT_FALSE(Exists(L"Existing\\New"));
  EXPECT_TRUE(Exists(L"Existing"));  // it was there before
}

}  // namespace
