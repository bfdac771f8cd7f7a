// The options dialog, and the one place the program reads its options from: every
// consultation goes through LoadOptions / LoadDefaultFolder, which read the registry
// afresh, so a change made in the dialog is seen by the very next consultation.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "ui/OptionBits.h"
#include "ui/OptionsListCtrl.h"
#include "winui/Dialog.h"
#include "winui/NumberField.h"

class COptionsDialog : public winui::Dialog {
 public:
  COptionsDialog();
  ~COptionsDialog() override;

  // The stored option bits, or OPTIONS_DEFAULT when they cannot be read.
  int LoadOptions();
  // How many files copy at once (0: all), and the cap on their speed together in Mbps
  // (0: none): each a text value of its own; missing or bad text gives the default.
  // All: every limit we measured slowed 2,000 small files by more than 5 %.
  static constexpr int kDefaultFilesAtOnce = 0;
  static constexpr int kMaxFilesAtOnce = 999;
  static constexpr int kMaxSpeedLimit = 100000;
  static int LoadFilesAtOnce();
  static int LoadSpeedLimit();
  // The stored default download folder; empty when there is none.
  std::string LoadDefaultFolder() const;
  // A first run: when no default folder has ever been stored (the value is absent; an
  // empty value is the user's own "none" and stays), stores the user's Downloads folder
  // and gives it in `stored`. False when there was one already or it cannot be stored.
  static bool StoreDownloadsFolderIfNeverSet(std::string& stored);

  // Called as the dialog ends, however it ends, with the stored default folder (empty
  // when there is none), so that the caller can put it to use at once.
  void SetFolderHandler(std::function<void(const std::string& folder)> handler) {
    m_folderHandler = std::move(handler);
  }

  // The list of the dialog now shown, or last shown.
  COptionsListCtrl& OptionList() { return *m_list; }

 protected:
  bool OnInitDialog() override;
  INT_PTR HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;

 private:
  void FillList();
  void OnOptionChanged(int id, int state);
  void OnBrowse();
  // A number field changed: what it holds now is stored, if it is a number it takes.
  void OnNumberChanged(int id);
  void Finish(INT_PTR result);

  int m_optionBits = OPTIONS_DEFAULT;
  // Made afresh at every showing, so that showing the dialog again lists each option once.
  std::unique_ptr<COptionsListCtrl> m_list = std::make_unique<COptionsListCtrl>();
  std::function<void(const std::string&)> m_folderHandler;
  winui::NumberField m_filesAtOnce, m_speedLimit;
  bool m_filling = false;  // the fields are being set up: nothing to store
};
