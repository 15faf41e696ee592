// The console's built-in resources: string table, application icon, pop-up menus and binary
// data, looked up by their numeric ids.
#pragma once

#include <QIcon>
#include <QString>
#include <cstddef>
#include <vector>

// String table entry, or an empty text for an unknown id.
QString LoadString(int id);

// Icon 128, drawn at every size the window system asks for.
QIcon LoadAppIcon();

struct MenuItem {
  int id;                          // command id; 0 for a separator
  QString text;                    // UTF-16 text, "&" marks the mnemonic
  std::vector<MenuItem> children;  // a nested sub-menu when not empty
};

struct MenuPopup {
  QString title;
  std::vector<MenuItem> items;
};

struct MenuResource {
  std::vector<MenuPopup> popups;
};

// Menu resource by id, or nullptr.
const MenuResource* LoadMenuResource(int id);

struct BinaryResource {
  const unsigned char* data = nullptr;
  size_t size = 0;
  bool empty() const { return data == nullptr || size == 0; }
};

// Binary resource of type "BINARY" by id; empty when there is none.
BinaryResource FindBinaryResource(int id);
