#include "shellext/DownloaderShellExt.h"

#include "com/Module.h"
#include "shellext/DownloadMenu.h"
#include "shellext/ParameterSplitter.h"
#include "shellext/ProgramStart.h"
#include "shellext/ShellExtIds.h"
#include "winui/FolderDialog.h"

namespace shellext {
namespace {

constexpr wchar_t kFolderTitle[] = L"Select folder to download files:";

}  // namespace

void* DownloaderShellExt::FindInterface(REFIID iid) noexcept {
  if (IsEqualIID(iid, IID_IShellExtInit)) return static_cast<IShellExtInit*>(this);
  if (IsEqualIID(iid, IID_IContextMenu)) return static_cast<IContextMenu*>(this);
  return nullptr;
}

// IShellExtInit

HRESULT DownloaderShellExt::Initialize(PCIDLIST_ABSOLUTE, IDataObject* data, HKEY) {
  if (!data) return E_INVALIDARG;
  FORMATETC format = {CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
  // What GetData hands over is ours to give back, on every way out.
  struct Medium {
    STGMEDIUM m = {};
    bool held = false;
    ~Medium() {
      if (held) ReleaseStgMedium(&m);
    }
  } medium;
  HRESULT hr = data->GetData(&format, &medium.m);
  if (FAILED(hr)) return E_INVALIDARG;
  medium.held = true;
  if (medium.m.tymed != TYMED_HGLOBAL || !medium.m.hGlobal) return E_INVALIDARG;
  try {
    selection_.Read(static_cast<HDROP>(medium.m.hGlobal));
  } catch (...) {
    hr = E_FAIL;
  }
  return hr;
}

// IContextMenu

HRESULT DownloaderShellExt::QueryContextMenu(HMENU menu, UINT indexMenu, UINT idCmdFirst, UINT,
                                             UINT) {
  // Offered for every kind of request, the default-only one included.
  InsertDownloadEntries(menu, indexMenu, idCmdFirst);
  if (HINSTANCE resources = com::ThisModule().Instance()) {
    // A second request on the same object reuses the bitmaps the first menu still shows.
    if (!downloadBitmap)
      downloadBitmap.Reset(LoadBitmapW(resources, MAKEINTRESOURCEW(kDownloadBitmapId)));
    if (!downloadIntoBitmap)
      downloadIntoBitmap.Reset(LoadBitmapW(resources, MAKEINTRESOURCEW(kDownloadIntoBitmapId)));
    SetDownloadBitmaps(menu, indexMenu, downloadBitmap.Get(), downloadIntoBitmap.Get());
  }
  return MAKE_HRESULT(SEVERITY_SUCCESS, FACILITY_NULL, kCommandCount);
}

HRESULT DownloaderShellExt::InvokeCommand(CMINVOKECOMMANDINFO* info) {
  if (!info) return E_INVALIDARG;
  try {
    std::wstring folder;
    const bool byOffset = HIWORD(reinterpret_cast<UINT_PTR>(info->lpVerb)) == 0;
    if (byOffset && LOWORD(reinterpret_cast<UINT_PTR>(info->lpVerb)) == kDownloadInto) {
      // No flags: any item may be chosen, and one without a file-system path is a cancel.
      if (!winui::BrowseForFolder(folder, info->hwnd, kFolderTitle, 0)) return E_FAIL;
    }
    const ParameterSplitter::Parts parts =
        ParameterSplitter(ProgramCommandChars()).Split(selection_, folder);
    for (const std::wstring& path : parts.skipped)
      OutputDebugStringW((L"tolvashell: path too long to be sent: " + path + L"\n").c_str());
    const bool noUi = (info->fMask & CMIC_MASK_FLAG_NO_UI) != 0;
    for (const std::wstring& parameters : parts.starts) {
      // The later parts would only fail the same way.
      HRESULT hr = StartProgram(info->hwnd, parameters, noUi);
      if (FAILED(hr)) return hr;
    }
    // Everything else went; the caller still learns that not all of it could.
    if (!parts.skipped.empty()) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT DownloaderShellExt::GetCommandString(UINT_PTR, UINT type, UINT*, CHAR* name, UINT cchMax) {
  if (!(type & GCS_HELPTEXTA)) return S_OK;
  try {
    return CopyCommandString(selection_.HelpText(), type, name, cchMax);
  } catch (...) {
    return E_FAIL;
  }
}

}  // namespace shellext
