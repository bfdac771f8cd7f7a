// Base for dialogs built from a template resource, modal or modeless. `this` is
// stored at WM_INITDIALOG and every message goes to one virtual HandleMessage.
#pragma once

#include "base/Win.h"

namespace winui {

class Dialog {
 public:
  explicit Dialog(int templateId, HINSTANCE instance = nullptr);
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;
  virtual ~Dialog();

  HWND Hwnd() const { return hwnd_; }
  int TemplateId() const { return templateId_; }

  // Runs the dialog modally; returns what EndDialog was given, or -1 when the dialog
  // could not be created (or OnInitDialog failed).
  INT_PTR DoModal(HWND parent = nullptr);
  // Creates the dialog modeless; false when it could not be created.
  bool Create(HWND parent = nullptr);
  // Ends a modal dialog, or destroys a modeless one.
  void End(INT_PTR result);

  HWND Item(int id) const { return GetDlgItem(hwnd_, id); }

 protected:
  // Called from WM_INITDIALOG. Return true to let the system set the focus, false when
  // the dialog set it itself. A failing dialog calls End(-1) itself.
  virtual bool OnInitDialog() { return true; }
  // Returns the dialog procedure's result: FALSE for messages not handled. The base
  // ends a modal dialog on IDOK / IDCANCEL.
  virtual INT_PTR HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);
  // Sets the result a message handler returns through DWLP_MSGRESULT (notifications).
  INT_PTR SetMessageResult(LRESULT result);

 private:
  static INT_PTR CALLBACK Procedure(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

  int templateId_;
  HINSTANCE instance_;
  HWND hwnd_ = nullptr;
  bool modal_ = false;
};

}  // namespace winui
