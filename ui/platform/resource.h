// Numeric ids of the console's resources shared by every dialog: templates, strings, icon, menu,
// binary data, and the platform's standard command, message and notification codes. Each
// dialog's control and timer ids are named in its own header under ui/resources/.
#pragma once

// Dialog templates.
constexpr int IDD_ABOUTBOX = 100;
constexpr int IDD_DRAVLIN_DIALOG = 102;  // boot-picture page
constexpr int IDD_DRAVLINS = 129;        // main window
constexpr int IDD_SENDTIME = 130;        // clock broadcast page
constexpr int IDD_DCHANCTRL = 131;       // channel-management page
constexpr int IDD_CHANNELSET = 132;      // channel parameters dialog
constexpr int IDD_UPGRADE = 136;         // firmware-upgrade page
constexpr int IDD_HISTORY = 137;         // production-record page

// Strings.
constexpr int IDS_ABOUTBOX = 101;
constexpr int IDP_SOCKETS_INIT_FAILED = 103;

// Icon, menu, binary resource.
constexpr int IDR_MAINFRAME = 128;
constexpr int IDR_MENU_CANVAS = 133;
constexpr int IDR_FACTORY_BOOT_JPEG = 139;

// System-menu command of the about box; ids 16..31 all open it.
constexpr unsigned IDM_ABOUTBOX = 0x0010;

// Standard dialog command ids.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;
constexpr int IDC_STATIC = -1;

// Message box types.
constexpr unsigned MB_OK = 0x0;
constexpr unsigned MB_OKCANCEL = 0x1;
constexpr unsigned MB_YESNO = 0x4;
constexpr unsigned MB_ICONERROR = 0x10;
constexpr unsigned MB_ICONQUESTION = 0x20;
constexpr unsigned MB_ICONWARNING = 0x30;
constexpr unsigned MB_ICONINFORMATION = 0x40;

// Notification codes carried by OnCommand.
constexpr int BN_CLICKED = 0;
constexpr int BN_DOUBLECLICKED = 5;
constexpr int CBN_SELCHANGE = 1;
constexpr int EN_CHANGE = 0x300;

// System commands other than the about box.
constexpr unsigned SC_SIZE = 0xF000;
constexpr unsigned SC_MINIMIZE = 0xF020;
constexpr unsigned SC_MAXIMIZE = 0xF030;
constexpr unsigned SC_CLOSE = 0xF060;
constexpr unsigned SC_RESTORE = 0xF120;

// OnSize types.
constexpr int SIZE_RESTORED = 0;
constexpr int SIZE_MINIMIZED = 1;
constexpr int SIZE_MAXIMIZED = 2;

// Mouse messages named by the report control's check-changed notification.
constexpr unsigned WM_LBUTTONDOWN = 0x201;
constexpr unsigned WM_LBUTTONDBLCLK = 0x203;
constexpr unsigned WM_RBUTTONDOWN = 0x204;
constexpr unsigned WM_RBUTTONDBLCLK = 0x206;
constexpr unsigned WM_MBUTTONDOWN = 0x207;
constexpr unsigned WM_MBUTTONDBLCLK = 0x209;

constexpr unsigned WM_APP = 0x8000;
