#include "shellext/DownloadMenu.h"

#include <cwchar>

namespace shellext {

void InsertDownloadEntries(HMENU menu, UINT index, UINT idCmdFirst) {
  InsertMenuW(menu, index, MF_BYPOSITION | MF_SEPARATOR, 0, nullptr);
  InsertMenuW(menu, index + 1, MF_BYPOSITION | MF_STRING, idCmdFirst + kDownload, L"Download...");
  InsertMenuW(menu, index + 2, MF_BYPOSITION | MF_STRING, idCmdFirst + kDownloadInto,
              L"Download into...");
  InsertMenuW(menu, index + 3, MF_BYPOSITION | MF_SEPARATOR, 0, nullptr);
}

void SetDownloadBitmaps(HMENU menu, UINT index, HBITMAP download, HBITMAP downloadInto) {
  if (download) SetMenuItemBitmaps(menu, index + 1, MF_BYPOSITION, download, nullptr);
  if (downloadInto) SetMenuItemBitmaps(menu, index + 2, MF_BYPOSITION, downloadInto, nullptr);
}

namespace {

void CopyWide(const std::wstring& text, wchar_t* out, UINT cchMax) {
  size_t n = text.size() < cchMax - 1 ? text.size() : cchMax - 1;
  // Never leave half of a surrogate pair at the end.
  if (n > 0 && n < text.size() && IS_HIGH_SURROGATE(text[n - 1])) --n;
  wmemcpy(out, text.data(), n);
  out[n] = L'\0';
}

void CopyAnsi(const std::wstring& text, char* out, UINT cchMax) {
  // Convert ever shorter prefixes until one fits, so that no character is cut in half.
  int chars = static_cast<int>(text.size() < cchMax - 1 ? text.size() : cchMax - 1);
  for (; chars > 0; --chars) {
    if (IS_HIGH_SURROGATE(text[chars - 1])) continue;
    int bytes = WideCharToMultiByte(CP_ACP, 0, text.data(), chars, out,
                                    static_cast<int>(cchMax - 1), nullptr, nullptr);
    if (bytes > 0) {
      out[bytes] = '\0';
      return;
    }
  }
  out[0] = '\0';
}

}  // namespace

HRESULT CopyCommandString(const std::wstring& text, UINT type, char* name, UINT cchMax) {
  if (!(type & GCS_HELPTEXTA)) return S_OK;  // verb or validation request
  if (!name) return E_INVALIDARG;
  if (cchMax == 0) return S_OK;  // no room even for the NUL
  if (type & GCS_UNICODE)
    CopyWide(text, reinterpret_cast<wchar_t*>(name), cchMax);
  else
    CopyAnsi(text, name, cchMax);
  return S_OK;
}

}  // namespace shellext
