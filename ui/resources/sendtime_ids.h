// Ids of the clock-broadcast page (template IDD_SENDTIME).
#pragma once

constexpr int IDC_CLOCK_ENABLE = 1015;
constexpr int IDC_CLOCK_NOTICE = 1013;
