// Ids of the firmware-upgrade page (template IDD_UPGRADE): controls and timers.
#pragma once

constexpr int IDC_UPG_LIST = 1029;
constexpr int IDC_UPG_SEARCH = 1031;
constexpr int IDC_UPG_INVERT = 1032;
constexpr int IDC_UPG_GROUP = 1063;
constexpr int IDC_UPG_FILE_LABEL = 1064;
constexpr int IDC_UPG_FILE = 1035;
constexpr int IDC_UPG_BROWSE = 1033;
constexpr int IDC_UPG_START = 1034;

constexpr int IDT_UPG_LIST = 1325;   // take new search results
constexpr int IDT_UPG_WATCH = 1326;  // log finished devices out, give the buttons back
