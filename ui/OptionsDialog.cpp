#include "ui/OptionsDialog.h"

#include <shlobj.h>

#include "resources/options_ids.h"
#include "ui/FolderPicker.h"
#include "ui/SettingsRegistry.h"
#include "winui/UniqueImageList.h"
#include "base/Utf8.h"

namespace {

const char kSection[] = "Tolva";
const char kOptionsValue[] = "OptionsFlag";
const char kFolderValue[] = "DefaultDownloadFolder";
const char kFilesAtOnceValue[] = "FilesAtOnce";
const char kSpeedLimitValue[] = "SpeedLimit";

struct OptionBit {
  int id;
  int bit;
};
constexpr OptionBit kOptionBits[] = {
    {IDS_OPT_SAVE_PLACEMENT, OPT_SAVE_PLACEMENT},
    {IDS_OPT_SAVE_COLUMNS, OPT_SAVE_COLUMNS},
    {IDS_OPT_TRAY_ON_MINIMIZE, OPT_TRAY_ON_MINIMIZE},
    {IDS_OPT_ALWAYS_ON_TOP, OPT_ALWAYS_ON_TOP},
    {IDS_OPT_SPEED_MBPS, OPT_SPEED_MBPS},
    {IDS_OPT_SPEED_KBPS, OPT_SPEED_KBPS},
    {IDS_OPT_RETRY_5S, OPT_RETRY_5S},
    {IDS_OPT_RETRY_30S, OPT_RETRY_30S},
    {IDS_OPT_RETRY_60S, OPT_RETRY_60S},
    {IDS_OPT_REPLACE_EXISTING, OPT_REPLACE_EXISTING},
    {IDS_OPT_VERIFY, OPT_VERIFY},
};

std::string WindowText(HWND wnd) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(wnd)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(wnd, text.data(), static_cast<int>(text.size()))));
  return base::Narrow(text);
}

}  // namespace

COptionsDialog::COptionsDialog() : winui::Dialog(IDD_OPTIONS) {}

COptionsDialog::~COptionsDialog() = default;

int COptionsDialog::LoadOptions() {
  long bits = OPTIONS_DEFAULT;
  theRegistry.ReadInteger(kSection, kOptionsValue, bits);
  m_optionBits = static_cast<int>(bits);
  return m_optionBits;
}

int COptionsDialog::LoadFilesAtOnce() {
  long count = kDefaultFilesAtOnce;
  theRegistry.ReadCount(kSection, kFilesAtOnceValue, 0, kMaxFilesAtOnce, count);
  return static_cast<int>(count);
}

int COptionsDialog::LoadSpeedLimit() {
  long mbps = 0;
  theRegistry.ReadCount(kSection, kSpeedLimitValue, 0, kMaxSpeedLimit, mbps);
  return static_cast<int>(mbps);
}

std::string COptionsDialog::LoadDefaultFolder() const {
  // A value that is not text is no folder: neither a failure text ("Binary data") nor a
  // number stored under the name may become a place to download into.
  std::string folder;
  if (!theRegistry.ReadText(kSection, kFolderValue, folder)) return {};
  return folder;
}

bool COptionsDialog::StoreDownloadsFolderIfNeverSet(std::string& stored) {
  if (theRegistry.ValueExists(kSection, kFolderValue)) return false;
  wchar_t* path = nullptr;
  std::string downloads;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Downloads, KF_FLAG_CREATE, nullptr, &path)) && path)
    downloads = base::Narrow(path);
  CoTaskMemFree(path);
  if (downloads.empty() || !theRegistry.WriteString(kSection, kFolderValue, downloads))
    return false;
  stored = downloads;
  return true;
}

bool COptionsDialog::OnInitDialog() {
  m_list = std::make_unique<COptionsListCtrl>();
  m_list->Attach(Item(IDC_OPTION_LIST));
  auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(Hwnd(), GWLP_HINSTANCE));
  winui::UniqueImageList headings(
      ImageList_LoadImageW(instance, MAKEINTRESOURCEW(IDB_OPTION_HEADINGS), 16, 1, RGB(255, 0, 255),
                           IMAGE_BITMAP, LR_CREATEDIBSECTION));
  m_list->SetHeadingImages(headings.Get());
  LoadOptions();
  FillList();

  HWND field = Item(IDC_DEFAULT_FOLDER);
  // Longer text would be stored but could not be read back.
  SendMessageW(field, EM_LIMITTEXT, CSettingsRegistry::kReadCapacity - 1, 0);
  SetWindowTextW(field, base::Widen(LoadDefaultFolder()).c_str());

  m_filling = true;
  m_filesAtOnce.Attach(Item(IDC_FILES_AT_ONCE), Item(IDC_FILES_AT_ONCE_SPIN));
  m_filesAtOnce.Setup(0, kMaxFilesAtOnce, LoadFilesAtOnce());
  m_speedLimit.Attach(Item(IDC_SPEED_LIMIT), Item(IDC_SPEED_LIMIT_SPIN));
  m_speedLimit.Setup(0, kMaxSpeedLimit, LoadSpeedLimit());
  m_filling = false;
  return true;
}

void COptionsDialog::FillList() {
  auto state = [this](int bit) { return (m_optionBits & bit) ? 1 : 0; };
  m_list->AddHeading(IDS_OPT_INTERFACE, 0, 0);
  m_list->AddCheck(IDS_OPT_SAVE_PLACEMENT, state(OPT_SAVE_PLACEMENT), 1);
  m_list->AddCheck(IDS_OPT_SAVE_COLUMNS, state(OPT_SAVE_COLUMNS), 1);
  m_list->AddCheck(IDS_OPT_TRAY_ON_MINIMIZE, state(OPT_TRAY_ON_MINIMIZE), 1);
  m_list->AddCheck(IDS_OPT_ALWAYS_ON_TOP, state(OPT_ALWAYS_ON_TOP), 1);
  m_list->AddHeading(IDS_OPT_SPEED_UNIT, 1, 1);
  // Both bits may be set in a stored value; both items then show selected.
  m_list->AddRadio(IDS_OPT_SPEED_MBPS, state(OPT_SPEED_MBPS), 2);
  m_list->AddRadio(IDS_OPT_SPEED_KBPS, state(OPT_SPEED_KBPS), 2);
  m_list->AddHeading(IDS_OPT_DOWNLOAD, 0, 2);
  m_list->AddCheck(IDS_OPT_REPLACE_EXISTING, state(OPT_REPLACE_EXISTING), 1);
  m_list->AddCheck(IDS_OPT_VERIFY, state(OPT_VERIFY), 1);
  m_list->AddHeading(IDS_OPT_RETRY_PERIOD, 1, 3);
  m_list->AddRadio(IDS_OPT_RETRY_5S, state(OPT_RETRY_5S), 2);
  m_list->AddRadio(IDS_OPT_RETRY_30S, state(OPT_RETRY_30S), 2);
  m_list->AddRadio(IDS_OPT_RETRY_60S, state(OPT_RETRY_60S), 2);
}

void COptionsDialog::OnOptionChanged(int id, int state) {
  for (const auto& option : kOptionBits) {
    if (option.id != id) continue;
    if (state)
      m_optionBits |= option.bit;
    else
      m_optionBits &= ~option.bit;
    theRegistry.WriteInteger(kSection, kOptionsValue, m_optionBits);
    return;
  }
}

void COptionsDialog::OnBrowse() {
  std::string folder = LoadDefaultFolder();
  if (!CFolderPicker().PickFolder(folder, Hwnd())) return;
  SetWindowTextW(Item(IDC_DEFAULT_FOLDER), base::Widen(folder).c_str());
  theRegistry.WriteString(kSection, kFolderValue, folder);
}

void COptionsDialog::OnNumberChanged(int id) {
  if (m_filling) return;
  const bool files = id == IDC_FILES_AT_ONCE;
  int value = 0;
  // An emptied field, half typed, stores nothing: the last number stands.
  if (!(files ? m_filesAtOnce : m_speedLimit).Value(value)) return;
  theRegistry.WriteString(kSection, files ? kFilesAtOnceValue : kSpeedLimitValue,
                          std::to_string(value));
}

void COptionsDialog::Finish(INT_PTR result) {
  // An emptied folder goes out too: files added without a folder must then ask for
  // one, not go on to the folder the user just took away.
  if (m_folderHandler) m_folderHandler(LoadDefaultFolder());
  End(result);
}

INT_PTR COptionsDialog::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_NOTIFY: {
      auto* nm = reinterpret_cast<const NMOPTIONITEM*>(lParam);
      if (wParam != IDC_OPTION_LIST || nm->hdr.hwndFrom != m_list->Hwnd() || nm->hdr.code != 0)
        return FALSE;
      OnOptionChanged(nm->id, nm->state);
      return TRUE;
    }
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_BROWSE_FOLDER:
          if (HIWORD(wParam) == BN_CLICKED) OnBrowse();
          return TRUE;
        case IDC_FILES_AT_ONCE:
        case IDC_SPEED_LIMIT:
          // Stored at once, as the option bits are; the window takes them as the
          // dialog closes.
          if (HIWORD(wParam) == EN_CHANGE) OnNumberChanged(LOWORD(wParam));
          return TRUE;
        case IDOK:
          // Stored as typed, even when empty or not a folder.
          theRegistry.WriteString(kSection, kFolderValue, WindowText(Item(IDC_DEFAULT_FOLDER)));
          Finish(IDOK);
          return TRUE;
        case IDCANCEL:
          Finish(IDCANCEL);
          return TRUE;
      }
      break;
  }
  return Dialog::HandleMessage(msg, wParam, lParam);
}
