#include "ui/pages/link_table.h"

#include "link/link.h"
#include "util/log.h"

#include <atomic>
#include <system_error>
#include <thread>

namespace link_table {
namespace {

std::atomic<const void*> g_holder{nullptr};

}  // namespace

void Init() {
  // Both steps keep what is there: the table is allocated by the first caller only.
  log_set_sink(log_sink_to_debug);
  ipc_init();
}

bool Claim(const void* owner) {
  const void* expected = nullptr;
  return g_holder.compare_exchange_strong(expected, owner) || expected == owner;
}

void Release(const void* owner) {
  const void* expected = owner;
  g_holder.compare_exchange_strong(expected, nullptr);
}

bool MayResetAll(const void* owner) {
  const void* holder = g_holder.load();
  return holder == nullptr || holder == owner;
}

void LogoutSideBySide(const std::vector<int>& rows, const std::function<void(int)>& logout) {
  if (rows.size() <= 1) {
    for (int row : rows) logout(row);
    return;
  }
  std::vector<std::thread> workers;
  workers.reserve(rows.size());
  for (int row : rows) {
    try {
      workers.emplace_back([row, &logout] { logout(row); });
    } catch (const std::system_error&) {
      logout(row);  // no thread to spare: this one waits here
    }
  }
  for (std::thread& t : workers) t.join();
}

const void* Holder() { return g_holder.load(); }

}  // namespace link_table
