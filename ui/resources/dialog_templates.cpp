// The console's dialog templates: every window's controls with their ids, texts and
// positions in dialog units.
#include <map>

#include "ui/platform/dialog_template.h"
#include "ui/platform/resource.h"
#include "ui/resources/channel_set_ids.h"
#include "ui/resources/dchan_ctrl_ids.h"
#include "ui/resources/dravlin_dlg_ids.h"
#include "ui/resources/dravlins_ids.h"
#include "ui/resources/sendtime_ids.h"
#include "ui/resources/history_ids.h"
#include "ui/resources/net_assign_ids.h"
#include "ui/resources/upgrade_ids.h"

namespace {

using K = ControlKind;

// clang-format off
// Main window: its only control is the tab strip that holds the pages.
const DialogTemplate kMainWindow{IDD_DRAVLINS, "Dravlins", 609, 410, {
    {IDC_MAIN_TAB, K::Tab, nullptr, 7, 7, 595, 396},
}};

const DialogTemplate kAbout{IDD_ABOUTBOX, "关于 Dravlin", 170, 62, {
    {IDC_STATIC, K::Icon, nullptr, 14, 14, 21, 20},
    {IDC_STATIC, K::Static, "Dravlin 1.0 版", 42, 14, 114, 10, CS_NOWRAP},
    {IDOK, K::DefButton, "确定", 113, 41, 50, 14},
}};

// Boot-picture page.
const DialogTemplate kBootPicturePage{IDD_DRAVLIN_DIALOG, nullptr, 590, 380, {
    {IDC_BOOT_LIST, K::Report, nullptr, 7, 7, 505, 148},
    {IDC_BOOT_SEARCH, K::Button, "搜索NVR", 520, 10, 62, 18},
    {IDC_BOOT_SELECT_ALL, K::Button, "全选", 520, 34, 62, 18},
    {IDC_BOOT_INVERT, K::Button, "反选", 520, 58, 62, 18},
    {IDC_BOOT_PICTURE_GROUP, K::GroupBox, "刷新开机画面/通道背景/关机画面 —— 供技术支持和中间商使用，较低版本NVR不支持", 7, 160, 576, 214},
    {IDC_BOOT_LABEL_BOOT, K::Static, "开机画面", 15, 178, 40, 10, CS_NOWRAP},
    {IDC_BOOT_PATH_BOOT, K::Edit, nullptr, 58, 176, 220, 14, CS_READONLY},
    {IDC_BOOT_CHOOSE_BOOT, K::Button, "选择开机图片", 284, 175, 62, 16},
    {IDC_BOOT_FACTORY_BOOT, K::CheckBox, "出厂开机图片", 354, 176, 72, 14},
    {IDC_BOOT_LABEL_CHANNEL, K::Static, "通道背景", 15, 199, 40, 10, CS_NOWRAP},
    {IDC_BOOT_PATH_CHANNEL, K::Edit, nullptr, 58, 197, 220, 14, CS_READONLY},
    {IDC_BOOT_CHOOSE_CHANNEL, K::Button, "选择通道图片", 284, 196, 62, 16},
    {IDC_BOOT_FACTORY_CHANNEL, K::CheckBox, "出厂通道图片", 354, 197, 72, 14},
    {IDC_BOOT_LABEL_SHUTDOWN, K::Static, "关机画面", 15, 220, 40, 10, CS_NOWRAP},
    {IDC_BOOT_PATH_SHUTDOWN, K::Edit, nullptr, 58, 218, 220, 14, CS_READONLY},
    {IDC_BOOT_CHOOSE_SHUTDOWN, K::Button, "选择关机图片", 284, 217, 62, 16},
    {IDC_BOOT_FACTORY_SHUTDOWN, K::CheckBox, "出厂关机图片", 354, 218, 72, 14},
    {IDC_BOOT_REFRESH, K::Button, "刷新图片并重启", 440, 180, 130, 46},
    {IDC_BOOT_RULES_BOOT, K::Static, "开机图片要求：\r\n   a.分辨率：小于1920*1080\r\n   b.文件不大于240KB无渐变色的JPG文件\r\n",
     15, 244, 175, 124},
    {IDC_BOOT_RULES_CHANNEL, K::Static, "通道图片要求：\r\n   a. 推荐分辨率360X288\r\n   b. 推荐4位PNG格式图片\r\n   c. 无渐变色\r\n   d. 图片背景颜色RGB(13，13，15)\r\n",
     196, 244, 175, 124},
    {IDC_BOOT_RULES_SHUTDOWN, K::Static, "关机图片要求：\r\n   a. 推荐分辨率1024X768\r\n   b. 推荐8位PNG格式图片\r\n   c. 无渐变色\r\n\n操作步骤:1、搜索NVR选中.2、选择图片.3、刷新图片并重启.",
     377, 244, 200, 124},
    // Channel-expansion group.
    {IDC_BOOT_CHANNEL_GROUP, K::GroupBox, "通道配置 —— 供技术支持和中间商使用, 较低版本NVR不支持", 7, 300, 576, 76, CS_HIDDEN},
    {IDC_BOOT_MODEL_LABEL, K::Static, "型号选择:", 15, 316, 40, 10, CS_HIDDEN | CS_NOWRAP},
    {IDC_BOOT_MODEL, K::ComboBox, nullptr, 58, 314, 80, 100, CS_HIDDEN},
    {IDC_BOOT_LOCK_CHANNELS, K::CheckBox, "禁止NVR用户修改通道配置", 146, 314, 120, 14, CS_HIDDEN},
    {IDC_BOOT_CHANNEL_HELP, K::Static, "该功能用于NVR的的通道扩容配置:\r\n禁止NVR用户修改为：禁用NVR本地的通道扩容按钮\r\n\n操作说明:1、搜索NVR选中 2、选择型号 3、选择是否禁用用户修改 4、点击相应的通道 5、等待设备重启完毕",
     280, 312, 296, 60, CS_HIDDEN},
    {IDC_BOOT_CHANNELS_4, K::Button, "4通道", 15, 352, 40, 14, CS_HIDDEN},
    {IDC_BOOT_CHANNELS_9, K::Button, "9通道", 60, 352, 40, 14, CS_HIDDEN},
    {IDC_BOOT_CHANNELS_16, K::Button, "16通道", 105, 352, 40, 14, CS_HIDDEN},
    {IDC_BOOT_CHANNELS_25, K::Button, "25通道", 150, 352, 40, 14, CS_HIDDEN},
    {IDC_BOOT_CHANNELS_32, K::Button, "32通道", 195, 352, 40, 14, CS_HIDDEN},
    // Buzzer-button group.
    {IDC_BOOT_BUZZER_GROUP, K::GroupBox, "蜂鸣器按钮配置 —— 供技术支持和中间商使用, 4.5.7.3及更高版本NVR支持", 7, 300, 576, 76, CS_HIDDEN},
    {IDC_BOOT_BUZZER_ALLOW, K::CheckBox, "允许NVR用户操作蜂鸣器按钮", 15, 316, 130, 14, CS_HIDDEN},
    {IDC_BOOT_BUZZER_SEND, K::Button, "发送配置", 15, 340, 60, 16, CS_HIDDEN},
    {IDC_BOOT_BUZZER_HELP, K::Static, "该功能用于NVR的蜂鸣器按钮配置:\r\n针对在出厂不带蜂鸣器的NVR上焊接蜂鸣器后, 界面上按钮不可操作的情况\r\n\n操作说明:1、搜索NVR选中 2、选择是否允许用户操作 3、点击发送配置 ",
     160, 312, 416, 60, CS_HIDDEN},
}};

// Clock-broadcast page.
const DialogTemplate kClockPage{IDD_SENDTIME, nullptr, 590, 380, {
    {IDC_CLOCK_ENABLE, K::CheckBox, "勾选开启广播对时", 20, 20, 150, 14},
    {IDC_CLOCK_NOTICE, K::Static,
     "开启时,本程序取本地（运行本程序的电脑）的时间（无时区）,向局域网内的NVR进行广播每秒广播一次，因此需要一定保证电脑时间和时区是准确的.考虑到NVR本身有和公网对时的功能,本程序不要放在可以上公网的环境下运行（电脑时间调的非常准也可以),否则会出现时间不断跳动的情况,这种情况下严禁开启本功能！\r\n局域网内尽量不要多台电脑运行本功能,要用的话每台电脑时间要准，否则会冲突！本功能只考虑给生产时在局域网内使用！！！\r\n",
     20, 45, 540, 90},
}};

// Channel-management page.
const DialogTemplate kChannelPage{IDD_DCHANCTRL, nullptr, 590, 380, {
    {IDC_CHAN_NVR_LIST, K::Report, nullptr, 7, 7, 150, 250},
    {IDC_CHAN_NVR_HINT, K::Static, "双击选中NVR后对NVR进行操作", 7, 262, 150, 10, CS_NOWRAP},
    {IDC_CHAN_NVR_SEARCH, K::Button, "搜索NVR", 7, 278, 60, 16},
    {IDC_CHAN_LOGIN_STATE, K::Static, "NVR登录状态（无）", 7, 300, 150, 20},
    {IDC_CHAN_IPC_LIST, K::Report, nullptr, 165, 7, 418, 130},
    {IDC_CHAN_IPC_SEARCH, K::Button, "搜索", 165, 141, 50, 16},
    {IDC_CHAN_ADD, K::Button, "添加", 220, 141, 50, 16},
    {IDC_CHAN_ADD_ALL, K::Button, "加满", 275, 141, 50, 16},
    {IDC_CHAN_CHANNEL_LIST, K::Report, nullptr, 165, 162, 418, 190},
    {IDC_CHAN_DELETE, K::Button, "删除", 165, 357, 50, 16},
    {IDC_CHAN_CLEAR, K::Button, "清空", 220, 357, 50, 16},
    {IDC_CHAN_SWAP, K::Button, "交换", 275, 357, 50, 16},
    {IDC_CHAN_CANVAS, K::Button, "画布", 330, 357, 50, 16},
    {IDC_CHAN_PREV, K::Button, "前翻", 385, 357, 50, 16},
    {IDC_CHAN_NEXT, K::Button, "后翻", 440, 357, 50, 16},
    {IDC_CHAN_REFRESH, K::Button, "刷新", 495, 357, 50, 16},
}};

// Channel parameters dialog.
const DialogTemplate kChannelSet{IDD_CHANNELSET, "设置通道参数", 233, 140, {
    {IDC_STATIC, K::Static, "设备地址", 35, 9, 40, 10, CS_NOWRAP},
    {IDC_STATIC, K::Static, "用户名", 35, 30, 40, 10, CS_NOWRAP},
    {IDC_STATIC, K::Static, "密码", 35, 51, 40, 10, CS_NOWRAP},
    {IDC_STATIC, K::Static, "协议", 35, 72, 40, 10, CS_NOWRAP},
    {IDC_STATIC, K::Static, "端口", 35, 93, 40, 10, CS_NOWRAP},
    {IDC_CHANSET_ADDRESS, K::IpAddress, nullptr, 78, 7, 111, 14},
    {IDC_CHANSET_USER, K::Edit, nullptr, 78, 28, 111, 14},
    {IDC_CHANSET_PASSWORD, K::Edit, nullptr, 78, 49, 111, 14, CS_PASSWORD},
    {IDC_CHANSET_PROTOCOL, K::ComboBox, nullptr, 78, 70, 111, 60},
    {IDC_CHANSET_PORT, K::Edit, nullptr, 78, 91, 111, 14, CS_NUMBER},
    {IDOK, K::DefButton, "确定", 55, 117, 50, 14},
    {IDCANCEL, K::Button, "取消", 128, 117, 50, 14},
}};

// New network settings for the ticked recorders, with a preview of their new addresses.
const DialogTemplate kNetAssign{IDD_NETASSIGN, "修改网络参数", 330, 250, {
    {IDC_STATIC, K::Static, "起始IP地址", 12, 11, 50, 10, CS_NOWRAP},
    {IDC_STATIC, K::Static, "子网掩码", 12, 30, 50, 10, CS_NOWRAP},
    {IDC_STATIC, K::Static, "默认网关", 12, 49, 50, 10, CS_NOWRAP},
    {IDC_STATIC, K::Static, "首选DNS", 170, 11, 40, 10, CS_NOWRAP},
    {IDC_STATIC, K::Static, "备用DNS", 170, 30, 40, 10, CS_NOWRAP},
    {IDC_NET_START_IP, K::IpAddress, nullptr, 64, 9, 95, 14},
    {IDC_NET_NETMASK, K::IpAddress, nullptr, 64, 28, 95, 14},
    {IDC_NET_GATEWAY, K::IpAddress, nullptr, 64, 47, 95, 14},
    {IDC_NET_DNS1, K::IpAddress, nullptr, 214, 9, 95, 14},
    {IDC_NET_DNS2, K::IpAddress, nullptr, 214, 28, 95, 14},
    {IDC_NET_DHCP, K::CheckBox, "自动获取IP地址(DHCP)", 170, 49, 140, 12},
    {IDC_NET_PREVIEW, K::Report, nullptr, 12, 70, 306, 148},
    {IDOK, K::DefButton, "确定", 190, 228, 58, 14},
    {IDCANCEL, K::Button, "取消", 260, 228, 58, 14},
}};

// Which disk of the ticked recorders to format.
const DialogTemplate kFormatDisk{IDD_FORMATDISK, "格式化硬盘", 180, 70, {
    {IDC_STATIC, K::Static, "硬盘", 15, 14, 30, 10, CS_NOWRAP},
    {IDC_FMT_DISK, K::ComboBox, nullptr, 50, 12, 110, 60},
    {IDOK, K::DefButton, "确定", 40, 46, 50, 14},
    {IDCANCEL, K::Button, "取消", 100, 46, 50, 14},
}};

// Firmware-upgrade page.
const DialogTemplate kUpgradePage{IDD_UPGRADE, nullptr, 617, 333, {
    {IDC_UPG_LIST, K::Report, nullptr, 24, 25, 498, 104},
    {IDC_UPG_SEARCH, K::Button, "搜索NVR", 533, 39, 60, 22},
    {IDC_UPG_INVERT, K::Button, "反选", 531, 81, 62, 23},
    {IDC_UPG_GROUP, K::GroupBox, "设备升级", 17, 170, 570, 104},
    {IDC_UPG_FILE_LABEL, K::Static, "固件升级文件", 19, 200, 61, 15, CS_NOWRAP},
    {IDC_UPG_FILE, K::Edit, nullptr, 88, 197, 434, 18},
    {IDC_UPG_BROWSE, K::Button, "浏览", 115, 235, 83, 20},
    {IDC_UPG_START, K::Button, "升级", 362, 234, 83, 20},
}};

// Production-record page: what every front did to each recorder, newest first.
const DialogTemplate kHistoryPage{IDD_HISTORY, nullptr, 609, 380, {
    {IDC_HIST_SERIAL_LABEL, K::Static, "序列号", 12, 12, 40, 12, CS_NOWRAP},
    {IDC_HIST_SERIAL, K::Edit, nullptr, 54, 10, 150, 14},
    {IDC_HIST_FILTER, K::Button, "筛选", 212, 9, 60, 16},
    {IDC_HIST_EXPORT, K::Button, "导出", 280, 9, 60, 16},
    {IDC_HIST_WHERE, K::Static, nullptr, 350, 12, 250, 12, CS_NOWRAP},
    {IDC_HIST_LIST, K::Report, nullptr, 12, 32, 585, 338},
}};
// clang-format on

}  // namespace

const DialogTemplate* FindDialogTemplate(int id) {
  static const std::map<int, const DialogTemplate*> templates = {
      {IDD_DRAVLINS, &kMainWindow},   {IDD_ABOUTBOX, &kAbout},        {IDD_DRAVLIN_DIALOG, &kBootPicturePage},
      {IDD_SENDTIME, &kClockPage},    {IDD_DCHANCTRL, &kChannelPage}, {IDD_CHANNELSET, &kChannelSet},
      {IDD_UPGRADE, &kUpgradePage},   {IDD_HISTORY, &kHistoryPage},   {IDD_NETASSIGN, &kNetAssign},
      {IDD_FORMATDISK, &kFormatDisk},
  };
  auto it = templates.find(id);
  return it == templates.end() ? nullptr : it->second;
}
