// Sorting a report list by a column: the sort keys of a cell text and the group sort.
#include "ui/controls/report_ctrl.h"

#include <QHeaderView>
#include <QItemSelectionModel>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "ui/controls/report_model.h"
#include "ui/platform/text.h"

namespace {

bool IsSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The unsigned 32-bit base-16 conversion of the C library: leading blanks, an optional sign,
// an optional 0x, at least one digit, the whole text consumed; overflow gives 0xFFFFFFFF.
bool ParseHex(const std::string& s, uint32_t* out) {
  size_t i = 0;
  while (i < s.size() && IsSpace(static_cast<unsigned char>(s[i]))) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  size_t digitsStart = i;
  if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X') && i + 2 < s.size() &&
      std::isxdigit(static_cast<unsigned char>(s[i + 2])))
    i += 2, digitsStart = i;
  uint64_t value = 0;
  bool overflow = false;
  size_t j = digitsStart;
  for (; j < s.size() && std::isxdigit(static_cast<unsigned char>(s[j])); ++j) {
    int d = std::isdigit(static_cast<unsigned char>(s[j])) ? s[j] - '0' : (std::tolower(s[j]) - 'a' + 10);
    value = value * 16 + static_cast<uint64_t>(d);
    if (value > 0xFFFFFFFFull) overflow = true, value = 0xFFFFFFFFull;
  }
  if (j == digitsStart || j != s.size()) return false;
  uint32_t v = overflow ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
  if (negative && !overflow) v = static_cast<uint32_t>(0u - v);
  *out = v;
  return true;
}

// A decimal floating number (leading blanks, sign, digits with an optional fraction and
// exponent), optionally followed by one "%", and nothing else.
bool ParseFloat(const std::string& s, double* out) {
  size_t i = 0;
  while (i < s.size() && IsSpace(static_cast<unsigned char>(s[i]))) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  size_t start = i;
  size_t digits = 0;
  while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    size_t k = i + 1;
    if (k < s.size() && (s[k] == '+' || s[k] == '-')) ++k;
    size_t expStart = k;
    while (k < s.size() && std::isdigit(static_cast<unsigned char>(s[k]))) ++k;
    if (k > expStart) i = k;
  }
  size_t end = i;
  if (i < s.size() && s[i] == '%') ++i;
  if (i != s.size()) return false;
  double v = 0;
  auto res = std::from_chars(s.data() + start, s.data() + end, v);
  if (res.ec != std::errc() && res.ec != std::errc::result_out_of_range) return false;
  *out = negative ? -v : v;
  return true;
}

// Days since 1899-12-30 plus the fraction of the day, for year-first dates with "-" or "/",
// an optional time "h:m[:s]", or a time alone.
bool ParseDate(const std::string& s, double* out) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
  int n = 0;
  char sep1 = 0, sep2 = 0;
  auto timeOk = [&] { return h >= 0 && h < 24 && mi >= 0 && mi < 60 && sec >= 0 && sec < 60; };
  auto finish = [&](bool hasDate) {
    QDate date = hasDate ? QDate(y, mo, d) : QDate(1899, 12, 30);
    if (!date.isValid() || !timeOk()) return false;
    *out = static_cast<double>(QDate(1899, 12, 30).daysTo(date)) + (h * 3600 + mi * 60 + sec) / 86400.0;
    return true;
  };
  const char* c = s.c_str();
  if (std::sscanf(c, "%4d%c%2d%c%2d%n", &y, &sep1, &mo, &sep2, &d, &n) == 5 && (sep1 == '-' || sep1 == '/') &&
      sep2 == sep1 && y >= 100 && std::isdigit(static_cast<unsigned char>(c[0]))) {
    const char* rest = c + n;
    if (*rest == '\0') return finish(true);
    int m = 0;
    sec = 0;
    if (std::sscanf(rest, " %2d:%2d%n", &h, &mi, &m) == 2) {
      const char* tail = rest + m;
      int k = 0;
      if (*tail == ':' && std::sscanf(tail, ":%2d%n", &sec, &k) == 1) tail += k;
      if (*tail == '\0') return finish(true);
    }
    return false;
  }
  int m = 0;
  if (std::isdigit(static_cast<unsigned char>(c[0])) && std::sscanf(c, "%2d:%2d%n", &h, &mi, &m) == 2) {
    const char* tail = c + m;
    int k = 0;
    sec = 0;
    if (*tail == ':' && std::sscanf(tail, ":%2d%n", &sec, &k) == 1) tail += k;
    if (*tail == '\0') return finish(false);
  }
  return false;
}

// Dotted decimal that prints back to the same text, each part 0..255.
bool ParseIpv4(const std::string& s, uint32_t* out) {
  int a = 0, b = 0, c = 0, d = 0;
  if (std::sscanf(s.c_str(), "%d.%d.%d.%d", &a, &b, &c, &d) != 4) return false;
  char again[64];
  std::snprintf(again, sizeof again, "%d.%d.%d.%d", a, b, c, d);
  if (s != again) return false;
  for (int p : {a, b, c, d})
    if (p < 0 || p > 255) return false;
  *out = (static_cast<uint32_t>(a) << 24) | (static_cast<uint32_t>(b) << 16) | (static_cast<uint32_t>(c) << 8) |
         static_cast<uint32_t>(d);
  return true;
}

template <class T>
int Cmp(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

}  // namespace

ReportSortKey MakeReportSortKey(const QString& text) {
  ReportSortKey k;
  k.bytes = ToGbk(text);
  if (text.isEmpty()) return k;
  const QByteArray latin = text.toUtf8();
  const std::string s(latin.constData(), static_cast<size_t>(latin.size()));
  k.isHex = ParseHex(s, &k.hex);
  k.isFloat = ParseFloat(s, &k.number);
  k.isDate = ParseDate(s, &k.date);
  k.isIp = ParseIpv4(s, &k.ip);
  return k;
}

int CompareReportKeys(const ReportSortKey& a, const ReportSortKey& b) {
  if (a.isHex && b.isHex) return Cmp(a.hex, b.hex);
  if (a.isFloat && b.isFloat) return Cmp(a.number, b.number);
  if (a.isDate && b.isDate) return Cmp(a.date, b.date);
  if (a.isIp && b.isIp) return Cmp(a.ip, b.ip);
  int r = std::strcmp(a.bytes.c_str(), b.bytes.c_str());
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

// --- sorting ---

bool CReportCtrl::EnableSorting(bool enable) {
  if (!horizontalHeader()->isVisibleTo(this) || (style_ & LVS_NOCOLUMNHEADER)) return false;
  horizontalHeader()->setSectionsClickable(enable);
  horizontalHeader()->viewport()->update();
  sortable_ = enable;
  return true;
}

bool CReportCtrl::IsSortable() const {
  return !(style_ & LVS_NOCOLUMNHEADER) && horizontalHeader()->isVisibleTo(this) &&
         horizontalHeader()->sectionsClickable();
}

void CReportCtrl::ResetSortState() {
  sortColumn_ = -1;
  sortAscending_ = true;
}

void CReportCtrl::OnHeadingClicked(int column) {
  if (!sortable_) return;
  const bool ascending = column != sortColumn_ || !sortAscending_;
  SortItems(column, ascending);
}

void CReportCtrl::SortItems(int column, bool ascending) {
  EndEdit(true);
  if (column < 0 || column >= GetColumnCount() || !IsSortable()) return;
  sortColumn_ = column;
  sortAscending_ = ascending;
  const int count = GetRowCount();
  int first = 0;
  for (int i = 0; i <= count; ++i) {
    const bool divider = i < count && separator_ &&
                         model_->rows[static_cast<size_t>(i)].texts[static_cast<size_t>(column)] == *separator_;
    if (i == count || divider) {
      if (i - 1 > first) SortGroup(first, i - 1, ascending);
      first = i + 1;
    }
  }
  emit notify(WM_REPORT_SORTED, column, ascending ? 1 : 0);
  emit sorted(column, ascending ? 1 : 0);
}

void CReportCtrl::SortGroup(int first, int last, bool ascending) {
  NewGeneration();
  const int column = sortColumn_;
  // Keys are computed once per row; the comparisons then cost no parsing.
  std::vector<ReportSortKey> keys(static_cast<size_t>(GetRowCount()));
  for (int r = first; r <= last; ++r)
    keys[static_cast<size_t>(r)] =
        MakeReportSortKey(model_->rows[static_cast<size_t>(r)].texts[static_cast<size_t>(column)]);
  std::vector<int> order;
  for (int r = first; r <= last; ++r) order.push_back(r);
  auto cmp = [&](int a, int b) {
    return CompareReportKeys(keys[static_cast<size_t>(a)], keys[static_cast<size_t>(b)]);
  };

  // Hoare quicksort over positions lo..hi of order, recursing into the left part and looping
  // on the right part. Not std::sort: the comparison picks its rule per pair (numbers for one
  // pair, bytes for another), so it is not a strict weak ordering ("ff" < "100" as numbers,
  // "100" < "5z" < "ff" as bytes), and std::sort may then read outside the range. This loop
  // stays inside lo..hi whatever the texts are, and equal keys keep the order users know.
  std::function<void(int, int)> quick = [&](int lo, int hi) {
    while (lo < hi) {
      const int pivot = order[static_cast<size_t>((lo + hi) / 2)];
      int i = lo;
      int j = hi;
      while (i <= j) {
        // The bounds never bind for a comparison that is reflexive (it is); they only keep
        // the scans inside the range whatever the texts are.
        if (ascending) {
          while (i < hi && cmp(order[static_cast<size_t>(i)], pivot) < 0) ++i;
          while (j > lo && cmp(order[static_cast<size_t>(j)], pivot) > 0) --j;
        } else {
          while (i < hi && cmp(order[static_cast<size_t>(i)], pivot) > 0) ++i;
          while (j > lo && cmp(order[static_cast<size_t>(j)], pivot) < 0) --j;
        }
        if (i <= j) {
          if (i != j) std::swap(order[static_cast<size_t>(i)], order[static_cast<size_t>(j)]);
          ++i;
          --j;
        }
      }
      if (lo < j) quick(lo, j);
      lo = i;
    }
  };
  quick(0, static_cast<int>(order.size()) - 1);

  // Snapshot selection and focus, move the rows (texts, images, check box, record) into the
  // sorted order, then put selection and focus back on the rows they belonged to.
  std::vector<char> selected(order.size());
  int focused = -1;
  const int current = currentIndex().isValid() ? currentIndex().row() : -1;
  for (size_t k = 0; k < order.size(); ++k) {
    selected[k] = selectionModel()->isRowSelected(order[k], QModelIndex());
    if (order[k] == current) focused = first + static_cast<int>(k);
  }
  model_->BeginLayout();
  std::vector<ReportRow> sortedRows;
  sortedRows.reserve(order.size());
  for (int r : order) sortedRows.push_back(std::move(model_->rows[static_cast<size_t>(r)]));
  bool anyChecked = false;
  for (size_t k = 0; k < sortedRows.size(); ++k) {
    anyChecked = anyChecked || sortedRows[k].checked;
    model_->rows[static_cast<size_t>(first) + k] = std::move(sortedRows[k]);
  }
  model_->EndLayout();
  QItemSelection selection;
  for (size_t k = 0; k < order.size(); ++k) {
    if (!selected[k]) continue;
    const int r = first + static_cast<int>(k);
    selection.select(model_->index(r, 0), model_->index(r, std::max(0, GetColumnCount() - 1)));
  }
  QItemSelection outside;
  for (const QModelIndex& i : selectionModel()->selectedRows()) {
    if (i.row() < first || i.row() > last)
      outside.select(model_->index(i.row(), 0), model_->index(i.row(), std::max(0, GetColumnCount() - 1)));
  }
  selection.merge(outside, QItemSelectionModel::Select);
  selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
  if (focused >= 0) selectionModel()->setCurrentIndex(model_->index(focused, 0), QItemSelectionModel::NoUpdate);
  if (anyChecked && checkMode_ == RC_CHKBOX_SINGLE) UncheckAfter(last);
  model_->ChangedAll();
}

void CReportCtrl::SetSeparatorText(const std::optional<QString>& text) { separator_ = text; }
