// The program's icon in the notification area: its tip, its menu (a menu resource
// whose number is the icon id), the default item run by a double click, and a hidden
// window that receives the shell's mouse callbacks.
#pragma once

#include <string>
#include <string_view>

#include "winui/Window.h"

#include <shellapi.h>

// Callback message of the main window's tray icon.
constexpr UINT WM_TRAYICON_EVENT = 2035;
// Size of the tip field, terminating zero included.
constexpr int TRAY_TIP_CAPACITY = 64;

class CSystemTray : public winui::Window {
 public:
  CSystemTray();
  // Deletes the icon, then the hidden window.
  ~CSystemTray() override;

  // Creates the hidden window and adds the icon. With no parent the hidden window gets
  // the callbacks. False when the shell refused the icon.
  bool AddIcon(HWND parent, UINT callbackMessage, const std::string& tip, HICON icon, UINT iconId);
  void DeleteIcon();
  // Takes the icon away for a moment (keeping everything) and puts it back.
  void WithdrawIcon();
  void ReAddIcon();

  bool ChangeIcon(HICON icon);
  bool ChangeIcon(int resourceId);                     // an icon of the program
  bool ChangeIcon(const std::string& resourceName);    // an icon of the program
  bool ChangeStandardIcon(const wchar_t* systemIcon);  // IDI_APPLICATION and the like
  HICON CurrentIcon() const;

  // The tip is cut to the field when longer. The text is kept even when the shell
  // refuses the change, so that ReAddIcon shows it.
  bool ChangeTip(const std::string& tip);
  bool ChangeTip(UINT stringId);
  std::string TipText() const;

  // A balloon beside the icon, gone by itself after a while. False while unavailable
  // or when the shell refused it.
  bool ShowBalloon(const std::string& title, const std::string& text);

  bool ChangeNotifyWindow(HWND window);
  bool ChooseDefaultItem(UINT item, bool byPosition);

  // The window that menu commands and double clicks go to.
  void SetMainWindow(HWND window) { m_mainWindow = window; }

  bool IsAvailable() const { return m_available; }
  bool IsWithdrawn() const { return m_withdrawn; }

  // What fits in the tip field: at most TRAY_TIP_CAPACITY - 1 UTF-16 units, never a
  // half surrogate pair; a cut text ends with an ellipsis.
  static std::wstring FitTip(std::string_view text);

  // A mouse event on the icon (the shell's callback). Returns 1 when it was ours.
  virtual int OnIconNotify(WPARAM iconId, LPARAM mouseMessage);

 protected:
  LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;

 private:
  bool Notify(DWORD message);

  bool m_available = false;
  bool m_withdrawn = false;
  NOTIFYICONDATAW m_nid{};
  UINT m_defaultItem = 0;
  bool m_defaultByPosition = true;
  HWND m_mainWindow = nullptr;
};
