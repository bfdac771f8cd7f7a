// Plays the file manager for an installed tolvashell.dll: creates the registered
// context-menu handler, hands it a selection as a drop list, builds its menu and picks
// "Download..." — exactly the calls Explorer makes. Exit code 0 once the command was
// invoked, 1 (with a line on stderr) at the first failing call.
//
// usage: shell_menu_invoke <file>...
#include <cstdio>
#include <string>
#include <vector>

#include "com/Ole.h"

#include <shlobj.h>
#include "shellext/testing/DropData.h"

namespace {

const CLSID kHandler = {
    0x603C8761, 0xBC91, 0x4E97, {0x88, 0x62, 0x77, 0xB8, 0x20, 0x43, 0x17, 0xFA}};

int Fail(const char* step, HRESULT hr) {
  std::fprintf(stderr, "%s failed: 0x%08lx\n", step, static_cast<unsigned long>(hr));
  return 1;
}

int Invoke(const std::vector<std::wstring>& files) {
  IShellExtInit* init = nullptr;
  HRESULT hr = CoCreateInstance(kHandler, nullptr, CLSCTX_INPROC_SERVER, IID_IShellExtInit,
                                reinterpret_cast<void**>(&init));
  if (FAILED(hr)) return Fail("CoCreateInstance", hr);
  IDataObject* data = comtest::NewDropDataObject(files);
  hr = init->Initialize(nullptr, data, nullptr);
  data->Release();
  if (FAILED(hr)) {
    init->Release();
    return Fail("IShellExtInit::Initialize", hr);
  }
  IContextMenu* menu = nullptr;
  hr = init->QueryInterface(IID_IContextMenu, reinterpret_cast<void**>(&menu));
  init->Release();
  if (FAILED(hr)) return Fail("QueryInterface(IContextMenu)", hr);

  HMENU popup = CreatePopupMenu();
  hr = menu->QueryContextMenu(popup, 0, 1, 0x7FFF, CMF_NORMAL);
  if (FAILED(hr) || HRESULT_CODE(hr) != 2) {
    DestroyMenu(popup);
    menu->Release();
    return Fail("QueryContextMenu", FAILED(hr) ? hr : E_UNEXPECTED);
  }
  CMINVOKECOMMANDINFO info{};
  info.cbSize = sizeof(info);
  info.lpVerb = MAKEINTRESOURCEA(0);  // the first entry, "Download..."
  info.nShow = SW_SHOWNORMAL;
  hr = menu->InvokeCommand(&info);
  DestroyMenu(popup);
  menu->Release();
  return FAILED(hr) ? Fail("InvokeCommand", hr) : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: shell_menu_invoke <file>...\n");
    return 2;
  }
  std::vector<std::wstring> files(argv + 1, argv + argc);
  if (FAILED(OleInitialize(nullptr))) return Fail("OleInitialize", E_FAIL);
  int rc = Invoke(files);
  OleUninitialize();
  return rc;
}
