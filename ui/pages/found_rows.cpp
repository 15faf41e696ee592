#include "ui/pages/found_rows.h"

#include "discovery/search.h"
#include "ui/controls/report_ctrl.h"
#include "ui/platform/text.h"
#include "util/fixedstr.h"

namespace found_rows {

int Append(CReportCtrl& list, const IPCSearchInfo& info, int statusColumn) {
  const int row = list.InsertRow(list.GetRowCount(), FromGbk(fixed_view(info.lancfg.IPAddress)));
  if (row < 0) return -1;
  list.SetCellText(row, 1, FromGbk(fixed_view(info.lancfg.Gateway)));
  list.SetCellText(row, 2, FromGbk(fixed_view(info.devid.DeviceType)));
  list.SetCellText(row, 3, FromGbk(fixed_view(info.devid.SerialNumber)));
  list.SetCellText(row, statusColumn, "空闲");
  return row;
}

}  // namespace found_rows
