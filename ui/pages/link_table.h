// The link table is one per process, and every page addresses its entries by list row. Two pages
// logging in at the same time would therefore drive each other's links; so one page at a time
// holds the table while it has links, and the others tell the operator to wait.
#pragma once

#include <functional>
#include <vector>

namespace link_table {

// Installs the diagnostic sink and allocates the table; a later call leaves a running table
// alone.
void Init();

// Takes the table for owner; true when it was free or owner holds it already.
bool Claim(const void* owner);
// Gives it back; no effect unless owner holds it.
void Release(const void* owner);
// The page holding it, or nullptr.
const void* Holder();

// Whether owner may reset every link (a new search, the window closing): only when no other
// page holds the table. Otherwise a page logs out its own rows only.
bool MayResetAll(const void* owner);

// Runs logout(row) for every row side by side and returns when all have ended: each logout
// waits until its link thread notices, so together they take the longest single wait, not
// their sum (seconds for a full list, all of it on the UI thread otherwise).
void LogoutSideBySide(const std::vector<int>& rows, const std::function<void(int)>& logout);

// The message box text for a page that finds the table taken.
constexpr const char* kBusyText = "其他页面正在使用设备连接,请等其完成后再操作";

}  // namespace link_table
