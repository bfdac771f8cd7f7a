#include "starter/StarterRegistry.h"

#include "com/ClassRegistryTree.h"

namespace starter {

std::vector<com::RegistryKey> StarterRegistryTree(const std::wstring& modulePath) {
  return com::ClassRegistryTree({L"{C998F1AA-C1F7-4562-97B4-12087D1EA397}", L"Starter Class",
                                 L"Veduravevaredav.Starter",
                                 L"{91DB5158-C493-46D2-A530-6E256B97E824}", modulePath});
}

}  // namespace starter
