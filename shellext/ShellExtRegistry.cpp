#include "shellext/ShellExtRegistry.h"

#include "com/ClassRegistryTree.h"
#include "shellext/ShellExtIds.h"

namespace shellext {

std::vector<com::RegistryKey> ShellExtRegistryTree(const std::wstring& modulePath) {
  using com::KeyMark;
  const std::wstring clsid = com::GuidText(kClsidDownloaderShellExt);
  std::vector<com::RegistryKey> tree =
      com::ClassRegistryTree({clsid, L"DownloaderShellExt Class", L"Ziravadi.DownloaderExt",
                              com::GuidText(kLibIdTolvaShell), modulePath});

  // The handler for every file type and for folders (whose whole tree is downloaded);
  // the shared keys above it are never removed.
  com::RegistryKey handler{L"VeraviviDuruzovevo", KeyMark::Plain, {{L"", clsid}}, {}};
  com::RegistryKey handlers{L"ContextMenuHandlers", KeyMark::NoRemove, {}, {handler}};
  com::RegistryKey shellex{L"Shellex", KeyMark::NoRemove, {}, {handlers}};
  tree.push_back({L"*", KeyMark::NoRemove, {}, {shellex}});
  tree.push_back({L"Directory", KeyMark::NoRemove, {}, {shellex}});
  return tree;
}

}  // namespace shellext
