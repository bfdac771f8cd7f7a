// Identifiers of the main window, About box, task menu, tray menu and toolbar.
#pragma once

// Dialog templates and their controls.
#define IDD_ABOUTBOX 100
#define IDD_TOLVA_DIALOG 102
#define IDC_TASK_LIST 1001
#define IDC_KERNEL_VERSION 1005

// Strings.
#define IDS_ABOUTBOX 101

// Icons, menus, toolbar.
#define IDR_MAINFRAME 128
#define IDR_TASK_MENU 129
#define IDI_MAIN_WINDOW 131
#define IDR_TOOLBAR 134
#define IDI_TRAY 139
#define IDR_TRAY_POPUP 140

// System menu command (the system reserves the low four bits).
#define IDM_ABOUTBOX 0x0010

// Task menu commands.
#define ID_TASK_RESUME 32771
#define ID_TASK_PAUSE 32772
#define ID_TASK_STOP 32773
#define ID_TASK_DELETE 32774
#define ID_TASK_OPEN_FILE 32788
#define ID_TASK_SOURCE_FOLDER 32789
#define ID_TASK_DEST_FOLDER 32790
#define ID_TASK_REMOVE 32792
// Queue order: the menu's two, and the keys' one place (Ctrl+Up, Ctrl+Down).
#define ID_TASK_MOVE_TOP 32800
#define ID_TASK_MOVE_BOTTOM 32801
#define ID_TASK_MOVE_UP 32802
#define ID_TASK_MOVE_DOWN 32803

// Toolbar commands; each has a string "label\ntooltip" of the same number.
#define ID_ADD_FILES 32775
#define ID_OPTIONS 32776
#define ID_DOWNLOAD_INTO 32777
#define ID_ADD_FOLDER 32793

// Tray menu commands.
#define ID_TRAY_SHOW 32782
#define ID_TRAY_ABOUT 32783
#define ID_TRAY_EXIT 32785
