#include "ui/SystemTray.h"

#include <iterator>

#include <shellapi.h>

#include "winui/MenuResource.h"
#include "base/Utf8.h"

namespace {

bool OwnedBy(HWND window, HWND owner) {
  for (HWND o = GetWindow(window, GW_OWNER); o; o = GetWindow(o, GW_OWNER))
    if (o == owner) return true;
  return false;
}

// What keeps a disabled window waiting: the frontmost shown, enabled top-level window
// that it owns or that its thread shows (the innermost dialog of a nest, a message box
// that disabled the whole thread), or null.
HWND FrontModalWindow(HWND blocked) {
  struct Search {
    HWND blocked;
    DWORD thread;
    HWND found;
  } search{blocked, GetWindowThreadProcessId(blocked, nullptr), nullptr};
  // Top-level windows come in their order on the screen, frontmost first.
  EnumWindows(
      [](HWND w, LPARAM p) -> BOOL {
        auto* s = reinterpret_cast<Search*>(p);
        // Menus and tooltips are tool windows: never what the user waits on.
        if (w == s->blocked || !IsWindowVisible(w) || !IsWindowEnabled(w) ||
            (GetWindowLongPtrW(w, GWL_EXSTYLE) & WS_EX_TOOLWINDOW))
          return TRUE;
        if (GetWindowThreadProcessId(w, nullptr) != s->thread && !OwnedBy(w, s->blocked))
          return TRUE;
        s->found = w;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

}  // namespace

CSystemTray::CSystemTray() {
  // The first version of the record: its tip field is the 64-character one, which is
  // what every shell shows.
  m_nid.cbSize = NOTIFYICONDATAW_V1_SIZE;
}

CSystemTray::~CSystemTray() {
  DeleteIcon();
  Destroy();
}

bool CSystemTray::Notify(DWORD message) { return Shell_NotifyIconW(message, &m_nid) != FALSE; }

std::wstring CSystemTray::FitTip(std::string_view text) {
  constexpr size_t kMax = TRAY_TIP_CAPACITY - 1;
  std::wstring w = base::Widen(text);
  if (w.size() <= kMax) return w;
  size_t keep = kMax - 1;  // room for the ellipsis
  if (IS_HIGH_SURROGATE(w[keep - 1])) --keep;
  w.resize(keep);
  w += L'\x2026';
  return w;
}

bool CSystemTray::AddIcon(HWND parent, UINT callbackMessage, const std::string& tip, HICON icon,
                          UINT iconId) {
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof(version);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (GetVersionExW(&version) && version.dwMajorVersion < 4) {
#pragma GCC diagnostic pop
    m_available = false;
    return false;
  }
  if (!Hwnd() && !Create(L"TolvaTrayWindow", "", WS_POPUP, 0, 0, 0, 10, 10, parent, nullptr)) {
    m_available = false;
    return false;
  }
  m_nid.hWnd = (parent && IsWindow(parent)) ? parent : Hwnd();
  m_nid.uID = iconId;
  m_nid.hIcon = icon;
  m_nid.uCallbackMessage = callbackMessage;
  m_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  std::wstring fitted = FitTip(tip);
  wcsncpy(m_nid.szTip, fitted.c_str(), TRAY_TIP_CAPACITY - 1);
  m_nid.szTip[TRAY_TIP_CAPACITY - 1] = L'\0';
  m_available = Notify(NIM_ADD);
  m_withdrawn = false;
  return m_available;
}

void CSystemTray::DeleteIcon() {
  if (!m_available) return;
  m_nid.uFlags = 0;
  Notify(NIM_DELETE);
  m_available = false;
}

void CSystemTray::WithdrawIcon() {
  if (!m_available || m_withdrawn) return;
  m_nid.uFlags = NIF_ICON;
  Notify(NIM_DELETE);
  m_withdrawn = true;
}

void CSystemTray::ReAddIcon() {
  if (!m_available || !m_withdrawn) return;
  m_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  Notify(NIM_ADD);
  m_withdrawn = false;
}

bool CSystemTray::ChangeIcon(HICON icon) {
  if (!m_available) return false;
  m_nid.uFlags = NIF_ICON;
  m_nid.hIcon = icon;
  return Notify(NIM_MODIFY);
}

bool CSystemTray::ChangeIcon(int resourceId) {
  if (!m_available) return false;
  HICON icon = static_cast<HICON>(
      LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(resourceId), IMAGE_ICON,
                 GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), LR_SHARED));
  return icon && ChangeIcon(icon);
}

bool CSystemTray::ChangeIcon(const std::string& resourceName) {
  if (!m_available) return false;
  std::wstring name = base::Widen(resourceName);
  HICON icon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), name.c_str(), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXSMICON),
                                             GetSystemMetrics(SM_CYSMICON), LR_SHARED));
  return icon && ChangeIcon(icon);
}

bool CSystemTray::ChangeStandardIcon(const wchar_t* systemIcon) {
  if (!m_available) return false;
  HICON icon = LoadIconW(nullptr, systemIcon);
  return icon && ChangeIcon(icon);
}

HICON CSystemTray::CurrentIcon() const { return m_available ? m_nid.hIcon : nullptr; }

bool CSystemTray::ChangeTip(const std::string& tip) {
  if (!m_available) return false;
  m_nid.uFlags = NIF_TIP;
  std::wstring fitted = FitTip(tip);
  wcsncpy(m_nid.szTip, fitted.c_str(), TRAY_TIP_CAPACITY - 1);
  m_nid.szTip[TRAY_TIP_CAPACITY - 1] = L'\0';
  return Notify(NIM_MODIFY);
}

bool CSystemTray::ShowBalloon(const std::string& title, const std::string& text) {
  if (!m_available || m_withdrawn) return false;
  // Balloons need the later, larger record; the icon's own stays the first version.
  NOTIFYICONDATAW balloon{};
  balloon.cbSize = sizeof balloon;
  balloon.hWnd = m_nid.hWnd;
  balloon.uID = m_nid.uID;
  balloon.uFlags = NIF_INFO;
  balloon.dwInfoFlags = NIIF_INFO;
  std::wstring wideTitle = base::Widen(title), wideText = base::Widen(text);
  wcsncpy(balloon.szInfoTitle, wideTitle.c_str(), std::size(balloon.szInfoTitle) - 1);
  wcsncpy(balloon.szInfo, wideText.c_str(), std::size(balloon.szInfo) - 1);
  return Shell_NotifyIconW(NIM_MODIFY, &balloon) != FALSE;
}

bool CSystemTray::ChangeTip(UINT stringId) {
  if (!m_available) return false;
  const wchar_t* text = nullptr;
  int n = LoadStringW(GetModuleHandleW(nullptr), stringId, reinterpret_cast<LPWSTR>(&text), 0);
  if (n <= 0) return false;
  return ChangeTip(base::Narrow(std::wstring_view(text, n)));
}

std::string CSystemTray::TipText() const {
  return m_available ? base::Narrow(m_nid.szTip) : std::string();
}

bool CSystemTray::ChangeNotifyWindow(HWND window) {
  if (!m_available) return false;
  m_nid.hWnd = window;
  m_nid.uFlags = 0;
  return Notify(NIM_MODIFY);
}

bool CSystemTray::ChooseDefaultItem(UINT item, bool byPosition) {
  if (item == m_defaultItem && byPosition == m_defaultByPosition) return true;
  m_defaultItem = item;
  m_defaultByPosition = byPosition;
  winui::MenuResource menu(static_cast<int>(m_nid.uID));
  if (!menu) return false;
  return SetMenuDefaultItem(menu.Popup(), item, byPosition) != FALSE;
}

int CSystemTray::OnIconNotify(WPARAM iconId, LPARAM mouseMessage) {
  if (iconId != m_nid.uID) return 0;
  HWND target = m_mainWindow;
  UINT mouse = LOWORD(mouseMessage);
  if ((mouse == WM_RBUTTONUP || mouse == WM_LBUTTONDBLCLK) && target && !IsWindowEnabled(target)) {
    // A modal dialog of the window is up: the window must take no command now ("Exit"
    // would end it under the dialog, "About..." open a second box). The click brings
    // that dialog to the front instead, as a click on the window itself would.
    if (HWND modal = FrontModalWindow(target)) SetForegroundWindow(modal);
    return 1;
  }
  switch (mouse) {
    case WM_RBUTTONUP: {
      winui::MenuResource menu(static_cast<int>(m_nid.uID));
      if (!menu) return 0;
      SetMenuDefaultItem(menu.Popup(), m_defaultItem, m_defaultByPosition);
      POINT cursor{};
      GetCursorPos(&cursor);
      // The foreground switch lets the menu close when the user clicks elsewhere;
      // the WM_NULL afterwards makes a second right click work at once.
      SetForegroundWindow(target);
      TrackPopupMenu(menu.Popup(), TPM_LEFTALIGN | TPM_LEFTBUTTON, cursor.x, cursor.y, 0, target,
                     nullptr);
      PostMessageW(target, WM_NULL, 0, 0);
      break;
    }
    case WM_LBUTTONDBLCLK: {
      SetForegroundWindow(target);
      UINT command = m_defaultItem;
      if (m_defaultByPosition) {
        winui::MenuResource menu(static_cast<int>(m_nid.uID));
        if (!menu) return 0;
        command = GetMenuItemID(menu.Popup(), static_cast<int>(m_defaultItem));
      }
      SendMessageW(target, WM_COMMAND, MAKEWPARAM(command, 0), 0);
      break;
    }
    default:
      break;
  }
  return 1;
}

LRESULT CSystemTray::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  if (m_nid.uCallbackMessage != 0 && msg == m_nid.uCallbackMessage)
    return OnIconNotify(wParam, lParam);
  return Window::HandleMessage(msg, wParam, lParam);
}
