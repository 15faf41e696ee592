// Ids of the boot-picture page (template IDD_DRAVLIN_DIALOG): controls, timers and the status
// label the console adds under the list.
#pragma once

constexpr int IDC_BOOT_LIST = 1000;
constexpr int IDC_BOOT_SEARCH = 1001;
constexpr int IDC_BOOT_SELECT_ALL = 1003;
constexpr int IDC_BOOT_INVERT = 1005;

// Picture group.
constexpr int IDC_BOOT_PICTURE_GROUP = 1051;
constexpr int IDC_BOOT_LABEL_BOOT = 1052;
constexpr int IDC_BOOT_LABEL_CHANNEL = 1053;
constexpr int IDC_BOOT_LABEL_SHUTDOWN = 1054;
constexpr int IDC_BOOT_PATH_BOOT = 1041;
constexpr int IDC_BOOT_PATH_CHANNEL = 1042;
constexpr int IDC_BOOT_PATH_SHUTDOWN = 1046;
constexpr int IDC_BOOT_CHOOSE_BOOT = 1040;
constexpr int IDC_BOOT_CHOOSE_CHANNEL = 1017;
constexpr int IDC_BOOT_CHOOSE_SHUTDOWN = 1018;
constexpr int IDC_BOOT_FACTORY_BOOT = 1043;
constexpr int IDC_BOOT_FACTORY_CHANNEL = 1044;
constexpr int IDC_BOOT_FACTORY_SHUTDOWN = 1045;
constexpr int IDC_BOOT_REFRESH = 1024;
constexpr int IDC_BOOT_RULES_BOOT = 1055;
constexpr int IDC_BOOT_RULES_CHANNEL = 1056;
constexpr int IDC_BOOT_RULES_SHUTDOWN = 1057;

// Channel-expansion group (hidden).
constexpr int IDC_BOOT_CHANNEL_GROUP = 1058;
constexpr int IDC_BOOT_MODEL_LABEL = 1059;
constexpr int IDC_BOOT_MODEL = 1023;
constexpr int IDC_BOOT_LOCK_CHANNELS = 1038;
constexpr int IDC_BOOT_CHANNEL_HELP = 1060;
constexpr int IDC_BOOT_CHANNELS_4 = 1050;
constexpr int IDC_BOOT_CHANNELS_9 = 1049;
constexpr int IDC_BOOT_CHANNELS_16 = 1047;
constexpr int IDC_BOOT_CHANNELS_25 = 1036;
constexpr int IDC_BOOT_CHANNELS_32 = 1048;

// Buzzer-button group (hidden).
constexpr int IDC_BOOT_BUZZER_GROUP = 1061;
constexpr int IDC_BOOT_BUZZER_ALLOW = 1015;
constexpr int IDC_BOOT_BUZZER_SEND = 1039;
constexpr int IDC_BOOT_BUZZER_HELP = 1062;

// The listed / ticked / busy counts under the list (the console's own addition).
constexpr int IDC_BOOT_STATUS = 1099;

// The recorder list's right-click menu (the console's own addition).
constexpr int IDM_BOOT_EXPORT = 32901;        // 导出列表
constexpr int IDM_BOOT_TICK_FAILED = 32902;   // 勾选失败的设备
constexpr int IDM_BOOT_COPY_SERIALS = 32903;  // 复制序列号
constexpr int IDM_BOOT_SET_NETWORK = 32904;   // 修改网络参数...
constexpr int IDM_BOOT_FORMAT_DISK = 32905;   // 格式化硬盘...

// Timers.
constexpr int IDT_BOOT_LIST = 1125;       // take new search results
constexpr int IDT_BOOT_SUPERVISE = 1126;  // supervise the running sequences
constexpr int IDT_BOOT_NETWORK = 1127;    // confirm new network settings by the search answers
