// Identifiers of the options dialog and its list.
#pragma once

#define IDD_OPTIONS 136
#define IDB_OPTION_GLYPHS 137
#define IDB_OPTION_HEADINGS 138

#define IDC_OPTION_LIST 1002
#define IDC_DEFAULT_FOLDER 1003
#define IDC_BROWSE_FOLDER 1004
// The option list's own scroll bar.
#define IDC_OPTION_LIST_SCROLL 1000

// Option list texts; each check box and radio item also sends its string ID.
#define IDS_OPT_INTERFACE 32778
#define IDS_OPT_SAVE_PLACEMENT 32779
#define IDS_OPT_SAVE_COLUMNS 32780
#define IDS_OPT_TRAY_ON_MINIMIZE 32781
#define IDS_OPT_DOWNLOAD 32782
#define IDS_OPT_RETRY_PERIOD 32783
#define IDS_OPT_RETRY_5S 32784
#define IDS_OPT_RETRY_30S 32785
#define IDS_OPT_RETRY_60S 32787
#define IDS_OPT_SPEED_UNIT 32788
#define IDS_OPT_SPEED_MBPS 32789
#define IDS_OPT_SPEED_KBPS 32790
#define IDS_OPT_ALWAYS_ON_TOP 32791
#define IDS_OPT_REPLACE_EXISTING 32794
#define IDS_OPT_VERIFY 32798
