// Ids of the production-record page (template IDD_HISTORY): controls.
#pragma once

constexpr int IDC_HIST_LIST = 1101;
constexpr int IDC_HIST_SERIAL_LABEL = 1102;
constexpr int IDC_HIST_SERIAL = 1103;
constexpr int IDC_HIST_FILTER = 1104;
constexpr int IDC_HIST_EXPORT = 1105;
constexpr int IDC_HIST_WHERE = 1106;  // which store the page reads
