#include "ui/controls/popup_menu.h"

#include <QCursor>
#include <QTimer>
#include <QWidget>

#include "ui/platform/dialog.h"
#include "ui/platform/resources.h"
#include "ui/platform/ui_seam.h"

bool PopupMenu(int subMenu, CWndHost* owner, int menuId) {
  const MenuResource* menu = LoadMenuResource(menuId);
  if (!menu || subMenu < 0 || static_cast<size_t>(subMenu) >= menu->popups.size() || !owner) return false;
  QWidget* window = owner->Window();
  window->activateWindow();
  const int chosen = Ui().TrackPopupMenu(window, menu->popups[static_cast<size_t>(subMenu)], QCursor::pos());
  if (chosen != 0) {
    // Delivered after the menu has closed, like a command posted to the owner.
    QTimer::singleShot(0, window, [owner, chosen] { owner->OnCommand(chosen, BN_CLICKED); });
  }
  return true;
}
