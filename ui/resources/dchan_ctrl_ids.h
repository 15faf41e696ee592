// Ids of the channel-management page (template IDD_DCHANCTRL): controls, its timer and the
// command ids of the canvas pop-ups of menu IDR_MENU_CANVAS.
#pragma once

constexpr int IDC_CHAN_NVR_LIST = 1016;
constexpr int IDC_CHAN_IPC_LIST = 1019;
constexpr int IDC_CHAN_CHANNEL_LIST = 1020;
constexpr int IDC_CHAN_IPC_SEARCH = 1014;
constexpr int IDC_CHAN_ADD = 1015;
constexpr int IDC_CHAN_ADD_ALL = 1017;
constexpr int IDC_CHAN_DELETE = 1018;
constexpr int IDC_CHAN_CLEAR = 1023;
constexpr int IDC_CHAN_SWAP = 1024;
constexpr int IDC_CHAN_CANVAS = 1028;
constexpr int IDC_CHAN_PREV = 1029;
constexpr int IDC_CHAN_NEXT = 1031;
constexpr int IDC_CHAN_REFRESH = 1030;
constexpr int IDC_CHAN_NVR_SEARCH = 1026;
constexpr int IDC_CHAN_LOGIN_STATE = 1027;
constexpr int IDC_CHAN_NVR_HINT = 1021;  // the line under the NVR list

constexpr int IDT_CHAN_NVR_LIST = 1225;  // take new search results
constexpr int IDT_CHAN_REREAD = 1226;    // read the channel table again after a delete, clear or swap

// Canvas pop-ups: ID_CANVAS<popup>_<pictures>; popup 0 offers up to 4 pictures, popup 5 up to 36.
constexpr int ID_CANVAS0_1 = 32792, ID_CANVAS0_2 = 32793, ID_CANVAS0_4 = 32795;
constexpr int ID_CANVAS1_1 = 32796, ID_CANVAS1_2 = 32797, ID_CANVAS1_4 = 32798, ID_CANVAS1_6 = 32799,
              ID_CANVAS1_8 = 32800, ID_CANVAS1_9 = 32802;
constexpr int ID_CANVAS2_1 = 32803, ID_CANVAS2_2 = 32804, ID_CANVAS2_4 = 32805, ID_CANVAS2_6 = 32806,
              ID_CANVAS2_8 = 32807, ID_CANVAS2_9 = 32808, ID_CANVAS2_10 = 32809, ID_CANVAS2_16 = 32810;
constexpr int ID_CANVAS3_1 = 32811, ID_CANVAS3_2 = 32812, ID_CANVAS3_4 = 32813, ID_CANVAS3_6 = 32814,
              ID_CANVAS3_8 = 32815, ID_CANVAS3_9 = 32816, ID_CANVAS3_10 = 32817, ID_CANVAS3_16 = 32818,
              ID_CANVAS3_25 = 32819;
constexpr int ID_CANVAS4_1 = 32820, ID_CANVAS4_2 = 32821, ID_CANVAS4_4 = 32822, ID_CANVAS4_6 = 32823,
              ID_CANVAS4_8 = 32824, ID_CANVAS4_9 = 32825, ID_CANVAS4_10 = 32826, ID_CANVAS4_16 = 32827,
              ID_CANVAS4_25 = 32828, ID_CANVAS4_32 = 32829;
constexpr int ID_CANVAS5_1 = 32830, ID_CANVAS5_2 = 32831, ID_CANVAS5_4 = 32832, ID_CANVAS5_6 = 32833,
              ID_CANVAS5_8 = 32834, ID_CANVAS5_9 = 32835, ID_CANVAS5_10 = 32836, ID_CANVAS5_16 = 32837,
              ID_CANVAS5_25 = 32838, ID_CANVAS5_32 = 32840, ID_CANVAS5_36 = 32839;
