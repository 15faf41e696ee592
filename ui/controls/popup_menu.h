// Shows one sub-menu of a menu resource at the cursor; the chosen item reaches the owner as
// OnCommand(item id, BN_CLICKED). Returns whether the menu could be shown.
#pragma once

#include "ui/platform/resource.h"

class CWndHost;

bool PopupMenu(int subMenu, CWndHost* owner, int menuId = IDR_MENU_CANVAS);
