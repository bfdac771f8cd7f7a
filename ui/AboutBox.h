// The About dialog: the program's name and version, and one line of text from the
// caller (the kernel's version).
#pragma once

#include <string>

#include "winui/Dialog.h"

class CAboutBox : public winui::Dialog {
 public:
  CAboutBox();

  // Shown in the version line when the dialog opens.
  std::string m_text;

 protected:
  bool OnInitDialog() override;
};
