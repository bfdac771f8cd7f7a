// The options dialog, and the one place the program reads its options from: every
// consultation goes through LoadOptions / LoadDefaultFolder, which read the registry
// afresh, so a change made in the dialog is seen by the very next consultation.
#pragma once

#include <string>

#include "ui/OptionBits.h"
#include "winui/Dialog.h"

class COptionsDialog : public winui::Dialog {
 public:
  COptionsDialog();
  ~COptionsDialog() override;

  // The stored option bits, or OPTIONS_DEFAULT when they cannot be read.
  int LoadOptions();
  // The stored default download folder; empty when there is none.
  std::string LoadDefaultFolder() const;

 private:
  int m_optionBits = OPTIONS_DEFAULT;
};
