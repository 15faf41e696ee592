// A recorder of the search table as a row of a page's list: IP, gateway, device type and serial
// number in the first four columns and "空闲" in the status column, the same on every page that
// lists the search.
#pragma once

struct IPCSearchInfo;
class CReportCtrl;

namespace found_rows {

// Appends the row and returns its index, or -1 when the list would not take it.
int Append(CReportCtrl& list, const IPCSearchInfo& info, int statusColumn);

}  // namespace found_rows
