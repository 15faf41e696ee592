// Four-octet IPv4 address field. The address is a 32-bit value with the first octet in the
// most significant byte.
#pragma once

#include <QLineEdit>
#include <cstdint>

class CIPAddressCtrl : public QLineEdit {
 public:
  explicit CIPAddressCtrl(QWidget* parent = nullptr);

  // Number of non-blank fields (4 when the address is complete).
  int GetAddress(uint32_t* address) const;
  void SetAddress(uint32_t address);
  void ClearAddress();
  bool IsBlank() const;
};
