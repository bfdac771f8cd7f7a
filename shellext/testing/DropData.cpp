#include "shellext/testing/DropData.h"

#include <shlobj.h>

#include <cstring>

namespace comtest {

HGLOBAL MakeDropList(const std::vector<std::wstring>& paths) {
  size_t chars = 1;
  for (const auto& p : paths) chars += p.size() + 1;
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DROPFILES) + chars * 2);
  if (!memory) return nullptr;
  auto* header = static_cast<DROPFILES*>(GlobalLock(memory));
  header->pFiles = sizeof(DROPFILES);
  header->fWide = TRUE;
  auto* text = reinterpret_cast<wchar_t*>(header + 1);
  for (const auto& p : paths) {
    std::memcpy(text, p.c_str(), (p.size() + 1) * sizeof(wchar_t));
    text += p.size() + 1;
  }
  GlobalUnlock(memory);
  return memory;
}

namespace {

class DropDataObject final : public IDataObject {
 public:
  DropDataObject(std::vector<std::wstring> paths, bool offerDrop)
      : paths_(std::move(paths)), offerDrop_(offerDrop) {}

  IFACEMETHODIMP QueryInterface(REFIID iid, void** out) override {
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDataObject)) return E_NOINTERFACE;
    *out = static_cast<IDataObject*>(this);
    AddRef();
    return S_OK;
  }
  IFACEMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  IFACEMETHODIMP_(ULONG) Release() override {
    ULONG left = --refs_;
    if (!left) delete this;
    return left;
  }

  IFACEMETHODIMP GetData(FORMATETC* format, STGMEDIUM* medium) override {
    if (!offerDrop_ || format->cfFormat != CF_HDROP || !(format->tymed & TYMED_HGLOBAL))
      return DV_E_FORMATETC;
    medium->tymed = TYMED_HGLOBAL;
    medium->hGlobal = MakeDropList(paths_);
    medium->pUnkForRelease = nullptr;
    return medium->hGlobal ? S_OK : E_OUTOFMEMORY;
  }
  IFACEMETHODIMP GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
  IFACEMETHODIMP QueryGetData(FORMATETC* format) override {
    return offerDrop_ && format->cfFormat == CF_HDROP ? S_OK : DV_E_FORMATETC;
  }
  IFACEMETHODIMP GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) override {
    out->ptd = nullptr;
    return E_NOTIMPL;
  }
  IFACEMETHODIMP SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
  IFACEMETHODIMP EnumFormatEtc(DWORD, IEnumFORMATETC** out) override {
    *out = nullptr;
    return E_NOTIMPL;
  }
  IFACEMETHODIMP DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override {
    return OLE_E_ADVISENOTSUPPORTED;
  }
  IFACEMETHODIMP DUnadvise(DWORD) override { return OLE_E_ADVISENOTSUPPORTED; }
  IFACEMETHODIMP EnumDAdvise(IEnumSTATDATA**) override { return OLE_E_ADVISENOTSUPPORTED; }

 private:
  std::vector<std::wstring> paths_;
  bool offerDrop_;
  ULONG refs_ = 1;
};

}  // namespace

IDataObject* NewDropDataObject(const std::vector<std::wstring>& paths) {
  return new DropDataObject(paths, true);
}

IDataObject* NewDataObjectWithoutDropList() { return new DropDataObject({}, false); }

}  // namespace comtest
