// The recorder list's right-click menu that the maintenance and firmware pages share: export
// the list as CSV, tick the rows whose last run failed, copy serial numbers. What operators ask
// for after a run over many recorders.
#pragma once

#include <QPoint>
#include <QString>
#include <functional>
#include <vector>

#include "ui/platform/resources.h"

class CReportCtrl;
class CWndHost;
class QWidget;

namespace list_menu {

// The CSV of every row (UTF-8 with a byte-order mark, for spreadsheets).
QString Csv(const CReportCtrl& list, int columns);

// Shows the menu at pos (list viewport coordinates) and runs the choice. failed(row): whether
// the row's last run failed; serialColumn: where the serial number is. extra: the page's own
// commands, after a separator; the id chosen is returned (0: none) and the page runs its own.
int Show(CWndHost& page, QWidget* parent, CReportCtrl& list, const QPoint& pos, int columns, int serialColumn,
         const std::function<bool(int row)>& failed, const std::vector<MenuItem>& extra = {});
// Runs one of the menu's commands as if chosen on clickedRow (−1: none).
void Run(CWndHost& page, CReportCtrl& list, int id, int clickedRow, int columns, int serialColumn,
         const std::function<bool(int row)>& failed);

}  // namespace list_menu
