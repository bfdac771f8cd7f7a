#include "ui/AboutBox.h"

#include "resources/resource.h"
#include "base/Utf8.h"

CAboutBox::CAboutBox() : winui::Dialog(IDD_ABOUTBOX) {}

bool CAboutBox::OnInitDialog() {
  SetDlgItemTextW(Hwnd(), IDC_KERNEL_VERSION, base::Widen(m_text).c_str());
  return true;
}
