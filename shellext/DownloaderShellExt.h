// The file manager's context-menu handler: takes the selection, offers "Download..." and
// "Download into...", and starts the program with the selected paths.
#pragma once

#include "com/ObjectRoot.h"
#include "shellext/DropSelection.h"
#include "shellext/Shell.h"
#include "base/UniqueHandle.h"

namespace shellext {

class DownloaderShellExt final : public IShellExtInit, public IContextMenu, public com::ObjectRoot {
 public:
  explicit DownloaderShellExt(IUnknown* outer) noexcept : ObjectRoot(outer) {}

  // IUnknown
  IFACEMETHODIMP QueryInterface(REFIID iid, void** out) override {
    return ControllingQueryInterface(iid, out);
  }
  IFACEMETHODIMP_(ULONG) AddRef() override { return ControllingAddRef(); }
  IFACEMETHODIMP_(ULONG) Release() override { return ControllingRelease(); }

  // IShellExtInit
  IFACEMETHODIMP Initialize(PCIDLIST_ABSOLUTE folder, IDataObject* data, HKEY progId) override;

  // IContextMenu
  IFACEMETHODIMP QueryContextMenu(HMENU menu, UINT indexMenu, UINT idCmdFirst, UINT idCmdLast,
                                  UINT flags) override;
  IFACEMETHODIMP InvokeCommand(CMINVOKECOMMANDINFO* info) override;
  IFACEMETHODIMP GetCommandString(UINT_PTR idCmd, UINT type, UINT* reserved, CHAR* name,
                                  UINT cchMax) override;

 private:
  void* FindInterface(REFIID iid) noexcept override;

  DropSelection selection_;
  // Loaded once per object and handed to the menu; deleted with the object.
  base::UniqueBitmap downloadBitmap;
  base::UniqueBitmap downloadIntoBitmap;
};

}  // namespace shellext
