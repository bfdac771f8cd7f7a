#include "ui/AboutBox.h"

#include "resources/resource.h"
#include "winui/Utf8.h"

CAboutBox::CAboutBox() : winui::Dialog(IDD_ABOUTBOX) {}

bool CAboutBox::OnInitDialog() {
  SetDlgItemTextW(Hwnd(), IDC_KERNEL_VERSION, winui::Widen(m_text).c_str());
  return true;
}
