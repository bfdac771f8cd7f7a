#include "ui/OptionsDialog.h"

#include "resources/options_ids.h"
#include "ui/SettingsRegistry.h"

namespace {
const char kSection[] = "Tolva";
const char kOptionsValue[] = "OptionsFlag";
const char kFolderValue[] = "DefaultDownloadFolder";
}  // namespace

COptionsDialog::COptionsDialog() : winui::Dialog(IDD_OPTIONS) {}

COptionsDialog::~COptionsDialog() = default;

int COptionsDialog::LoadOptions() {
  long bits = OPTIONS_DEFAULT;
  theRegistry.ReadInteger(kSection, kOptionsValue, bits);
  m_optionBits = static_cast<int>(bits);
  return m_optionBits;
}

std::string COptionsDialog::LoadDefaultFolder() const {
  // A value that cannot be read as text is no folder: its failure text ("Binary
  // data") must never become a place to download into.
  std::string folder;
  if (!theRegistry.ReadString(kSection, kFolderValue, folder)) return {};
  return folder;
}
