// Ids of the network-settings dialog (template IDD_NETASSIGN) and the disk-format dialog
// (template IDD_FORMATDISK).
#pragma once

constexpr int IDD_NETASSIGN = 140;
constexpr int IDC_NET_START_IP = 1201;
constexpr int IDC_NET_NETMASK = 1202;
constexpr int IDC_NET_GATEWAY = 1203;
constexpr int IDC_NET_DNS1 = 1204;
constexpr int IDC_NET_DNS2 = 1205;
constexpr int IDC_NET_DHCP = 1206;
constexpr int IDC_NET_PREVIEW = 1207;

constexpr int IDD_FORMATDISK = 141;
constexpr int IDC_FMT_DISK = 1211;
