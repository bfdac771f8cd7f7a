#include "starter/StarterRegistry.h"

#include "com/ClassRegistryTree.h"
#include "starter/StarterIds.h"

namespace starter {

std::vector<com::RegistryKey> StarterRegistryTree(const std::wstring& modulePath) {
  return com::ClassRegistryTree({com::GuidText(CLSID_Starter), L"Starter Class",
                                 L"Veduravevaredav.Starter", com::GuidText(LIBID_TOLVASTARTERLib),
                                 modulePath});
}

}  // namespace starter
