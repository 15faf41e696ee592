// Ids of the main window (template IDD_DRAVLINS).
#pragma once

// The tab strip that holds the pages.
constexpr int IDC_MAIN_TAB = 1013;
