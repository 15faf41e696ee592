#include "ui/platform/ip_address_ctrl.h"

#include <QRegularExpressionValidator>

CIPAddressCtrl::CIPAddressCtrl(QWidget* parent) : QLineEdit(parent) {
  static const QRegularExpression re(
      QStringLiteral("^((25[0-5]|2[0-4]\\d|1\\d\\d|\\d\\d?)?\\.){0,3}(25[0-5]|2[0-4]\\d|1\\d\\d|\\d\\d?)?$"));
  setValidator(new QRegularExpressionValidator(re, this));
}

int CIPAddressCtrl::GetAddress(uint32_t* address) const {
  const QStringList parts = text().split(QLatin1Char('.'));
  uint32_t value = 0;
  int filled = 0;
  for (int i = 0; i < 4; ++i) {
    uint32_t octet = 0;
    if (i < parts.size() && !parts[i].isEmpty()) {
      octet = parts[i].toUInt() & 0xFF;
      ++filled;
    }
    value = (value << 8) | octet;
  }
  if (address) *address = value;
  return filled;
}

void CIPAddressCtrl::SetAddress(uint32_t a) {
  setText(QStringLiteral("%1.%2.%3.%4").arg(a >> 24).arg((a >> 16) & 0xFF).arg((a >> 8) & 0xFF).arg(a & 0xFF));
}

void CIPAddressCtrl::ClearAddress() { clear(); }

bool CIPAddressCtrl::IsBlank() const { return GetAddress(nullptr) == 0; }
