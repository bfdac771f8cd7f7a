#include "com/ObjectRoot.h"

#include <gtest/gtest.h>

#include "com/ClassFactory.h"
#include "com/ComPtr.h"
#include "com/Module.h"

namespace {

const CLSID kClsid = {0x1b2c3d4e, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
int g_alive = 0;

class Sample final : public IPersist, public com::ObjectRoot {
 public:
  explicit Sample(IUnknown* outer) : ObjectRoot(outer) { ++g_alive; }
  ~Sample() override { --g_alive; }

  // IUnknown
  IFACEMETHODIMP QueryInterface(REFIID iid, void** out) override {
    return ControllingQueryInterface(iid, out);
  }
  IFACEMETHODIMP_(ULONG) AddRef() override { return ControllingAddRef(); }
  IFACEMETHODIMP_(ULONG) Release() override { return ControllingRelease(); }

  // IPersist
  IFACEMETHODIMP GetClassID(CLSID* out) override {
    *out = kClsid;
    return S_OK;
  }

 private:
  void* FindInterface(REFIID iid) noexcept override {
    return IsEqualIID(iid, IID_IPersist) ? static_cast<IPersist*>(this) : nullptr;
  }
};

// An outer object that only counts what reaches it.
class CountingOuter : public IUnknown {
 public:
  IFACEMETHODIMP QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    ++queries;
    return E_NOINTERFACE;
  }
  IFACEMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  IFACEMETHODIMP_(ULONG) Release() override { return --refs; }
  ULONG refs = 1;
  int queries = 0;
};

TEST(ObjectRootTest, ObjectHoldsAModuleLockForItsLifeAndKeepsOneIdentity) {
  ASSERT_EQ(0, com::ThisModule().LockCount());
  com::ComPtr<IPersist> persist;
  ASSERT_EQ(S_OK, com::CreateObject<Sample>(nullptr, IID_IPersist, persist.PutVoid()));
  EXPECT_EQ(1, com::ThisModule().LockCount());
  EXPECT_EQ(1, g_alive);

  com::ComPtr<IUnknown> a, b;
  ASSERT_EQ(S_OK, persist->QueryInterface(IID_IUnknown, a.PutVoid()));
  ASSERT_EQ(S_OK, a->QueryInterface(IID_IUnknown, b.PutVoid()));
  EXPECT_EQ(a.Get(), b.Get());
  com::ComPtr<IUnknown> none;
  EXPECT_EQ(E_NOINTERFACE, persist->QueryInterface(IID_IClassFactory, none.PutVoid()));
  EXPECT_EQ(nullptr, none.Get());

  persist.Reset();
  a.Reset();
  EXPECT_EQ(1, g_alive);  // b still holds it
  b.Reset();
  EXPECT_EQ(0, g_alive);
  EXPECT_EQ(0, com::ThisModule().LockCount());
}

TEST(ObjectRootTest, AggregationIsAcceptedOnlyForIUnknownAndDelegatesToTheOuter) {
  CountingOuter outer;
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(CLASS_E_NOAGGREGATION, com::CreateObject<Sample>(&outer, IID_IPersist, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(0, g_alive);

  com::ComPtr<IUnknown> inner;
  ASSERT_EQ(S_OK, com::CreateObject<Sample>(&outer, IID_IUnknown, inner.PutVoid()));
  IPersist* persist = nullptr;
  ASSERT_EQ(S_OK, inner->QueryInterface(IID_IPersist, reinterpret_cast<void**>(&persist)));
  EXPECT_EQ(2u, outer.refs);  // the interface counts on the outer object
  void* other = nullptr;
  persist->QueryInterface(IID_IDispatch, &other);  // asks the outer object
  EXPECT_EQ(1, outer.queries);
  persist->Release();
  EXPECT_EQ(1u, outer.refs);
  inner.Reset();
  EXPECT_EQ(0, g_alive);
  EXPECT_EQ(0, com::ThisModule().LockCount());
}

TEST(ObjectRootTest, ClassObjectIsCachedAndLocksTheModuleWhileHeldOrLocked) {
  void* out = nullptr;
  EXPECT_EQ(E_POINTER, com::GetClassObject<Sample>(kClsid, kClsid, IID_IClassFactory, nullptr));
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE,
            com::GetClassObject<Sample>(IID_IPersist, kClsid, IID_IClassFactory, &out));
  EXPECT_EQ(nullptr, out);

  com::ComPtr<IClassFactory> first, second;
  ASSERT_EQ(S_OK, com::GetClassObject<Sample>(kClsid, kClsid, IID_IClassFactory, first.PutVoid()));
  ASSERT_EQ(S_OK, com::GetClassObject<Sample>(kClsid, kClsid, IID_IUnknown, second.PutVoid()));
  EXPECT_EQ(static_cast<IUnknown*>(first.Get()), static_cast<IUnknown*>(second.Get()));
  EXPECT_EQ(1, com::ThisModule().LockCount());

  ASSERT_EQ(S_OK, first->LockServer(TRUE));
  second.Reset();
  first.Reset();
  EXPECT_EQ(1, com::ThisModule().LockCount());

  com::ComPtr<IClassFactory> again;
  ASSERT_EQ(S_OK, com::GetClassObject<Sample>(kClsid, kClsid, IID_IClassFactory, again.PutVoid()));
  com::ComPtr<IPersist> object;
  ASSERT_EQ(S_OK, again->CreateInstance(nullptr, IID_IPersist, object.PutVoid()));
  ASSERT_EQ(S_OK, again->LockServer(FALSE));
  again.Reset();
  EXPECT_EQ(1, com::ThisModule().LockCount());  // the live object
  CLSID clsid{};
  object->GetClassID(&clsid);
  EXPECT_TRUE(IsEqualCLSID(kClsid, clsid));
  object.Reset();
  EXPECT_EQ(0, com::ThisModule().LockCount());
}

}  // namespace
