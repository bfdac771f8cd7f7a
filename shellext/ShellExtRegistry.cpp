#include "shellext/ShellExtRegistry.h"

#include "com/ClassRegistryTree.h"

namespace shellext {

std::vector<com::RegistryKey> ShellExtRegistryTree(const std::wstring& modulePath) {
  using com::KeyMark;
  const std::wstring clsid = L"{603C8761-BC91-4E97-8862-77B8204317FA}";
  std::vector<com::RegistryKey> tree =
      com::ClassRegistryTree({clsid, L"DownloaderShellExt Class", L"Ziravadi.DownloaderExt",
                              L"{AA3DB6C1-E127-49C5-AB4D-7CB3F2404248}", modulePath});

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
