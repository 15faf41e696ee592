// Ids of the channel parameters dialog (template IDD_CHANNELSET).
#pragma once

constexpr int IDC_CHANSET_ADDRESS = 1020;
constexpr int IDC_CHANSET_USER = 1021;
constexpr int IDC_CHANSET_PASSWORD = 1022;
constexpr int IDC_CHANSET_PROTOCOL = 1023;
constexpr int IDC_CHANSET_PORT = 1025;
