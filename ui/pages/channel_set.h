// CChannelSet: the modal dialog in which the operator sets the camera of one NVR channel by
// hand (address, login, protocol, port). The channel page fills the members, runs it, and on OK
// reads them back; the dialog sends nothing and checks only the field formats.
#pragma once

#include <QString>
#include <cstdint>

#include "ui/platform/dialog.h"
#include "ui/resources/channel_set_ids.h"

class CChannelSet : public CDialog {
 public:
  explicit CChannelSet(QWidget* parent = nullptr) : CDialog(IDD_CHANNELSET, parent) {}

  bool OnInitDialog() override;
  // Copies the fields back (address, user name, password, port, then protocol) and closes; a
  // port that is not a decimal integer keeps the dialog open.
  void OnOK() override;

  uint32_t m_address = 0;  // first octet in the most significant byte
  QString m_user;
  QString m_password;
  QString m_protocol;  // "MVK" or "ONVIF"
  int m_port = 0;
  int m_addressEditable = 0;  // 0: the address is shown but cannot be changed

  // The platform's text for an integer field that holds none.
  static constexpr const char* kNeedIntegerText = "Please enter an integer.";
};
