#include "ui/controls/report_ctrl.h"

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLocale>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPalette>
#include <QStyle>
#include <QStyleOptionViewItem>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "ui/platform/text.h"

namespace {

COLORREF ToColorRef(const QColor& c) { return RGB(c.red(), c.green(), c.blue()); }
QColor FromColorRef(COLORREF c) { return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF); }
COLORREF DefaultTextColor() { return ToColorRef(QApplication::palette().color(QPalette::Text)); }
COLORREF DefaultBkColor() { return ToColorRef(QApplication::palette().color(QPalette::Base)); }

Qt::Alignment AlignmentOf(int format) {
  switch (format) {
    case LVCFMT_RIGHT: return Qt::AlignRight | Qt::AlignVCenter;
    case LVCFMT_CENTER: return Qt::AlignHCenter | Qt::AlignVCenter;
    default: return Qt::AlignLeft | Qt::AlignVCenter;
  }
}

std::vector<QPixmap> CutImages(const QPixmap& bitmap) {
  std::vector<QPixmap> images;
  for (int x = 0; x + 16 <= bitmap.width(); x += 16) images.push_back(bitmap.copy(x, 0, 16, bitmap.height()));
  return images;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The rows and columns behind the view.

struct ReportRow {
  std::vector<QString> texts;
  std::vector<int> images;
  bool checked = false;
  std::unique_ptr<ReportRowRecord> record;
};

struct ReportColumn {
  QString heading;
  int format = LVCFMT_LEFT;
  int image = -1;
  bool imageLeft = true;
};

class ReportModel : public QAbstractTableModel {
 public:
  std::vector<ReportRow> rows;
  std::vector<ReportColumn> columns;
  std::vector<QPixmap> images;
  std::vector<QPixmap> headerImages;
  bool checkboxes = false;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override {
    return parent.isValid() ? 0 : static_cast<int>(rows.size());
  }
  int columnCount(const QModelIndex& parent = QModelIndex()) const override {
    return parent.isValid() ? 0 : static_cast<int>(columns.size());
  }

  QVariant data(const QModelIndex& index, int role) const override {
    if (!index.isValid()) return QVariant();
    const ReportRow& row = rows[static_cast<size_t>(index.row())];
    const size_t c = static_cast<size_t>(index.column());
    switch (role) {
      case Qt::DisplayRole:
        return c < row.texts.size() ? row.texts[c] : QString();
      case Qt::CheckStateRole:
        if (checkboxes && c == 0) return row.checked ? Qt::Checked : Qt::Unchecked;
        return QVariant();
      case Qt::ForegroundRole:
        if (row.record && c < row.record->textColors.size() && row.record->textColors[c] != DefaultTextColor())
          return FromColorRef(row.record->textColors[c]);
        return QVariant();
      case Qt::BackgroundRole:
        if (row.record && c < row.record->backColors.size() && row.record->backColors[c] != DefaultBkColor())
          return FromColorRef(row.record->backColors[c]);
        return QVariant();
      case Qt::DecorationRole: {
        int image = c < row.images.size() ? row.images[c] : -1;
        if (image >= 0 && static_cast<size_t>(image) < images.size()) return images[static_cast<size_t>(image)];
        return QVariant();
      }
      case Qt::TextAlignmentRole:
        return static_cast<int>(AlignmentOf(columns[c].format));
      default:
        return QVariant();
    }
  }

  QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
    if (orientation != Qt::Horizontal || section < 0 || static_cast<size_t>(section) >= columns.size())
      return QVariant();
    const ReportColumn& col = columns[static_cast<size_t>(section)];
    switch (role) {
      case Qt::DisplayRole: return col.heading;
      case Qt::TextAlignmentRole: return static_cast<int>(AlignmentOf(col.format));
      case Qt::DecorationRole:
        if (col.image >= 0 && static_cast<size_t>(col.image) < headerImages.size())
          return headerImages[static_cast<size_t>(col.image)];
        return QVariant();
      default: return QVariant();
    }
  }

  Qt::ItemFlags flags(const QModelIndex& index) const override {
    if (!index.isValid()) return Qt::NoItemFlags;
    // Check boxes are toggled by the control on the press itself, not by the delegate.
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  }

  void ChangedRow(int row) { emit dataChanged(index(row, 0), index(row, std::max(0, columnCount() - 1))); }
  void ChangedAll() {
    if (!rows.empty() && !columns.empty()) emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
  }
  void BeginLayout() { emit layoutAboutToBeChanged(); }
  void EndLayout() { emit layoutChanged(); }
  void Reset(const std::function<void()>& change) {
    beginResetModel();
    change();
    endResetModel();
  }
  void InsertRowAt(int at, ReportRow row) {
    beginInsertRows(QModelIndex(), at, at);
    rows.insert(rows.begin() + at, std::move(row));
    endInsertRows();
  }
  void RemoveRowAt(int at) {
    beginRemoveRows(QModelIndex(), at, at);
    rows.erase(rows.begin() + at);
    endRemoveRows();
  }
  void InsertColumnAt(int at, ReportColumn col) {
    beginInsertColumns(QModelIndex(), at, at);
    columns.insert(columns.begin() + at, std::move(col));
    for (ReportRow& r : rows) {
      r.texts.insert(r.texts.begin() + at, QString());
      r.images.insert(r.images.begin() + at, -1);
    }
    endInsertColumns();
  }
  void RemoveColumnAt(int at) {
    beginRemoveColumns(QModelIndex(), at, at);
    columns.erase(columns.begin() + at);
    for (ReportRow& r : rows) {
      r.texts.erase(r.texts.begin() + at);
      r.images.erase(r.images.begin() + at);
      if (r.record) {
        r.record->textColors.erase(r.record->textColors.begin() + at);
        r.record->backColors.erase(r.record->backColors.begin() + at);
      }
    }
    endRemoveColumns();
  }
  void HeaderChanged(int column) { emit headerDataChanged(Qt::Horizontal, column, column); }
};

// ---------------------------------------------------------------------------------------------
// Sort keys.

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
int Cmp(T a, T b) { return a < b ? -1 : (b < a ? 1 : 0); }

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

// ---------------------------------------------------------------------------------------------

CReportCtrl::CReportCtrl(QWidget* parent)
    : QTableView(parent), model_(new ReportModel), edit_(new QLineEdit), posts_(this) {
  model_->setParent(this);
  setModel(model_);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setShowGrid(false);
  setWordWrap(false);
  setTabKeyNavigation(false);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  verticalHeader()->hide();
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
  horizontalHeader()->setSectionsClickable(false);
  horizontalHeader()->setHighlightSections(false);
  horizontalHeader()->setStretchLastSection(false);
  horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  connect(horizontalHeader(), &QHeaderView::sectionClicked, this, [this](int c) { OnHeadingClicked(c); });
  connect(this, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& i) {
    emit notify(NM_REPORT_DBLCLK, i.isValid() ? i.row() : -1, i.isValid() ? i.column() : -1);
  });
  edit_->setParent(viewport());
  edit_->hide();
  edit_->installEventFilter(this);
}

CReportCtrl::~CReportCtrl() {
  posts_.detach();
  EndEdit(false);
}

bool CReportCtrl::ValidRow(int row) const { return row >= 0 && row < GetRowCount(); }
bool CReportCtrl::ValidCell(int row, int column) const {
  return ValidRow(row) && column >= 0 && column < GetColumnCount();
}

void CReportCtrl::SetExtendedStyle(unsigned exStyle) {
  exStyle_ = exStyle;
  setShowGrid(exStyle & LVS_EX_GRIDLINES);
  bool boxes = exStyle & LVS_EX_CHECKBOXES;
  if (boxes != model_->checkboxes) {
    model_->checkboxes = boxes;
    model_->ChangedAll();
  }
}

void CReportCtrl::ModifyStyle(unsigned remove, unsigned add) {
  style_ = (style_ & ~remove) | add;
  setSelectionMode((style_ & LVS_SINGLESEL) ? QAbstractItemView::SingleSelection : QAbstractItemView::ExtendedSelection);
  horizontalHeader()->setVisible(!(style_ & LVS_NOCOLUMNHEADER));
  setWordWrap(false);
}

// --- columns ---

int CReportCtrl::InsertColumn(int index, const QString& heading, int format, int width) {
  EndEdit(true);
  if (index < 0) return -1;
  index = std::min(index, GetColumnCount());
  model_->InsertColumnAt(index, ReportColumn{heading, format, -1, true});
  const COLORREF text = DefaultTextColor();
  const COLORREF back = DefaultBkColor();
  for (ReportRow& r : model_->rows) {
    if (!r.record) continue;
    r.record->textColors.insert(r.record->textColors.begin() + index, text);
    r.record->backColors.insert(r.record->backColors.begin() + index, back);
  }
  setColumnWidth(index, width >= 0 ? width : 100);
  return index;
}

bool CReportCtrl::DeleteColumn(int column) {
  EndEdit(true);
  if (column < 0 || column >= GetColumnCount()) return false;
  model_->RemoveColumnAt(column);
  return true;
}

bool CReportCtrl::DeleteAllColumns() {
  EndEdit(false);
  while (GetColumnCount() > 0) model_->RemoveColumnAt(GetColumnCount() - 1);
  return true;
}

int CReportCtrl::GetColumnCount() const { return static_cast<int>(model_->columns.size()); }

bool CReportCtrl::SetColumnHeader(const QString& columns) {
  DeleteAllRows();
  DeleteAllColumns();
  int index = 0;
  for (const QString& field : columns.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
    QStringList parts = field.split(QLatin1Char(','));
    QString heading = parts.value(0);
    bool ok = false;
    int width = parts.size() > 1 ? parts[1].trimmed().toInt(&ok) : 0;
    if (!ok) width = 100;
    int fmt = parts.size() > 2 ? parts[2].trimmed().toInt() : 0;
    int format = fmt == 1 ? LVCFMT_CENTER : fmt == 2 ? LVCFMT_RIGHT : LVCFMT_LEFT;
    if (InsertColumn(index, heading, format, width) < 0) return false;
    ++index;
  }
  return true;
}

bool CReportCtrl::SetHeaderText(int column, const QString& text) {
  if (column < 0 || column >= GetColumnCount()) return false;
  model_->columns[static_cast<size_t>(column)].heading = text;
  model_->HeaderChanged(column);
  return true;
}

QString CReportCtrl::GetHeaderText(int column) const {
  if (column < 0 || column >= GetColumnCount()) return QString();
  return model_->columns[static_cast<size_t>(column)].heading;
}

bool CReportCtrl::SetHeaderImage(int column, int image, bool leftSide) {
  if (column < 0 || column >= GetColumnCount()) return false;
  model_->columns[static_cast<size_t>(column)].image = image;
  model_->columns[static_cast<size_t>(column)].imageLeft = leftSide;
  model_->HeaderChanged(column);
  return true;
}

int CReportCtrl::GetHeaderFormat(int column) const {
  if (column < 0 || column >= GetColumnCount()) return -1;
  return model_->columns[static_cast<size_t>(column)].format;
}

// --- rows ---

int CReportCtrl::InsertRow(int index, const QString& text) {
  EndEdit(true);
  ResetSortState();
  if (index < 0 || GetColumnCount() == 0) return -1;
  index = std::min(index, GetRowCount());
  if (index < GetRowCount()) NewGeneration();
  const size_t columns = static_cast<size_t>(GetColumnCount());
  ReportRow row;
  row.texts.assign(columns, QString());
  row.texts[0] = text;
  row.images.assign(columns, -1);
  row.record = std::make_unique<ReportRowRecord>();
  row.record->textColors.assign(columns, DefaultTextColor());
  row.record->backColors.assign(columns, DefaultBkColor());
  model_->InsertRowAt(index, std::move(row));
  return index;
}

int CReportCtrl::InsertRow(int index, const QStringList& texts) {
  if (texts.isEmpty()) return -1;
  int row = InsertRow(index, texts[0]);
  if (row < 0) return row;
  for (int c = 1; c < std::min<int>(10, static_cast<int>(texts.size())); ++c) {
    if (texts[c].isNull()) break;
    SetCellText(row, c, texts[c]);
  }
  return row;
}

bool CReportCtrl::DeleteRow(int row) {
  if (editRow_ == row) EndEdit(false);
  else EndEdit(true);
  if (!ValidRow(row)) return false;
  NewGeneration();
  model_->RemoveRowAt(row);
  return true;
}

int CReportCtrl::DeleteAllRows() {
  EndEdit(false);
  const int count = GetRowCount();
  NewGeneration();
  setUpdatesEnabled(false);
  model_->Reset([this] { model_->rows.clear(); });
  setUpdatesEnabled(true);
  return count;
}

int CReportCtrl::GetRowCount() const { return static_cast<int>(model_->rows.size()); }

bool CReportCtrl::MoveTo(int row, int newIndex) {
  EndEdit(true);
  if (!ValidRow(row)) return false;
  newIndex = std::clamp(newIndex, 0, GetRowCount() - 1);
  if (newIndex == row) return true;
  NewGeneration();
  const int states = GetRowStates(row);
  ReportRow moved = std::move(model_->rows[static_cast<size_t>(row)]);
  model_->RemoveRowAt(row);
  model_->InsertRowAt(newIndex, std::move(moved));
  SetRowStates(newIndex, states);
  return true;
}

bool CReportCtrl::MoveUp(int row, int count) { return MoveTo(row, row - count); }
bool CReportCtrl::MoveDown(int row, int count) { return MoveTo(row, row + count); }
bool CReportCtrl::MoveToTop(int row) { return MoveTo(row, 0); }
bool CReportCtrl::MoveToBottom(int row) { return MoveTo(row, GetRowCount() - 1); }

bool CReportCtrl::SwapRows(int row1, int row2) {
  EndEdit(true);
  if (!ValidRow(row1) || !ValidRow(row2)) return false;
  if (row1 == row2) return true;
  NewGeneration();
  const int s1 = GetRowStates(row1);
  const int s2 = GetRowStates(row2);
  std::swap(model_->rows[static_cast<size_t>(row1)], model_->rows[static_cast<size_t>(row2)]);
  SetRowStates(row1, s2);
  SetRowStates(row2, s1);
  model_->ChangedRow(row1);
  model_->ChangedRow(row2);
  return true;
}

// --- cells ---

bool CReportCtrl::SetCellText(int row, int column, const QString& text) {
  EndEdit(true);
  ResetSortState();
  if (!ValidCell(row, column)) return false;
  QString& cell = model_->rows[static_cast<size_t>(row)].texts[static_cast<size_t>(column)];
  if (cell != text) {
    cell = text;
    QModelIndex i = model_->index(row, column);
    emit model_->dataChanged(i, i, {Qt::DisplayRole});
  }
  return true;
}

QString CReportCtrl::GetCellText(int row, int column) const {
  if (!ValidCell(row, column)) return QString();
  return model_->rows[static_cast<size_t>(row)].texts[static_cast<size_t>(column)];
}

bool CReportCtrl::SetCellInt(int row, int column, int value) { return SetCellText(row, column, QString::number(value)); }
bool CReportCtrl::SetCellUInt(int row, int column, unsigned value) { return SetCellText(row, column, QString::number(value)); }

bool CReportCtrl::SetCellDouble(int row, int column, double value, int decimals) {
  char buf[512];
  if (decimals >= 0) {
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  } else {
    std::snprintf(buf, sizeof buf, "%f", value);
    if (std::strchr(buf, '.')) {
      size_t n = std::strlen(buf);
      while (n > 0 && buf[n - 1] == '0') buf[--n] = '\0';
      if (n > 0 && buf[n - 1] == '.') buf[--n] = '\0';
    }
  }
  return SetCellText(row, column, QString::fromLatin1(buf));
}

bool CReportCtrl::SetCellDateTime(int row, int column, const QDateTime& value) {
  return SetCellText(row, column, value.isValid() ? QLocale().toString(value, QLocale::ShortFormat) : QString());
}

bool CReportCtrl::SetCellImage(int row, int column, int image) {
  if (!ValidCell(row, column)) return false;
  model_->rows[static_cast<size_t>(row)].images[static_cast<size_t>(column)] = image;
  QModelIndex i = model_->index(row, column);
  emit model_->dataChanged(i, i, {Qt::DecorationRole});
  return true;
}

int CReportCtrl::GetCellImage(int row, int column) const {
  if (!ValidCell(row, column)) return -1;
  return model_->rows[static_cast<size_t>(row)].images[static_cast<size_t>(column)];
}

void CReportCtrl::PostCellText(int row, int column, const QString& text) {
  const unsigned generation = generation_.load(std::memory_order_relaxed);
  posts_.post([this, row, column, text, generation] {
    if (generation_.load(std::memory_order_relaxed) != generation) return;
    SetCellText(row, column, text);
  });
}

void CReportCtrl::DrainPosted() { posts_.drain(); }

// --- check boxes ---

bool CReportCtrl::SetRowCheck(int row, bool checked) {
  if (!ValidRow(row)) return false;
  ReportRow& r = model_->rows[static_cast<size_t>(row)];
  if (r.checked != checked) {
    r.checked = checked;
    QModelIndex i = model_->index(row, 0);
    emit model_->dataChanged(i, i, {Qt::CheckStateRole});
  }
  if (checked && checkMode_ == RC_CHKBOX_SINGLE) UncheckAfter(row);
  return true;
}

bool CReportCtrl::GetRowCheck(int row) const {
  return ValidRow(row) && model_->rows[static_cast<size_t>(row)].checked;
}

void CReportCtrl::UncheckAfter(int row) {
  for (int i = row + 1; i < GetRowCount(); ++i) {
    ReportRow& r = model_->rows[static_cast<size_t>(i)];
    if (r.checked) {
      r.checked = false;
      QModelIndex idx = model_->index(i, 0);
      emit model_->dataChanged(idx, idx, {Qt::CheckStateRole});
    }
  }
}

void CReportCtrl::SetCheckMode(int mode) {
  checkMode_ = mode;
  EndEdit(true);
  if (mode == RC_CHKBOX_NONE) {
    SetExtendedStyle(exStyle_ & ~LVS_EX_CHECKBOXES);
    return;
  }
  SetExtendedStyle(exStyle_ | LVS_EX_CHECKBOXES);
  if (mode == RC_CHKBOX_SINGLE) {
    int first = GetFirstCheckedRow();
    if (first >= 0) UncheckAfter(first);
  }
}

int CReportCtrl::GetFirstCheckedRow() const {
  for (int i = 0; i < GetRowCount(); ++i)
    if (model_->rows[static_cast<size_t>(i)].checked) return i;
  return -1;
}

// --- states ---

int CReportCtrl::GetRowStates(int row) const {
  if (!ValidRow(row)) return 0;
  int s = RVS_ALL;
  const bool selected = selectionModel()->isRowSelected(row, QModelIndex());
  s |= selected ? RVS_SELECTED : RVS_UNSELECTED;
  s |= GetRowCheck(row) ? RVS_CHECKED : RVS_UNCHECKED;
  s |= currentIndex().isValid() && currentIndex().row() == row ? RVS_FOCUSED : RVS_UNFOCUSED;
  return s;
}

bool CReportCtrl::SetRowStates(int row, int states) {
  if (!ValidRow(row)) return false;
  QItemSelectionModel* sel = selectionModel();
  const QModelIndex first = model_->index(row, 0);
  if (states & RVS_SELECTED) sel->select(first, QItemSelectionModel::Select | QItemSelectionModel::Rows);
  else if (states & RVS_UNSELECTED) sel->select(first, QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
  if (states & RVS_CHECKED) SetRowCheck(row, true);
  else if (states & RVS_UNCHECKED) SetRowCheck(row, false);
  if (states & RVS_FOCUSED) sel->setCurrentIndex(first, QItemSelectionModel::NoUpdate);
  else if ((states & RVS_UNFOCUSED) && currentIndex().isValid() && currentIndex().row() == row)
    sel->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
  return true;
}

int CReportCtrl::SetAllRowStates(int filter, int states) {
  int changed = 0;
  for (int i = 0; i < GetRowCount(); ++i) {
    if (GetRowStates(i) & filter) {
      SetRowStates(i, states);
      ++changed;
    }
  }
  return changed;
}

int CReportCtrl::FindPrevRow(int row, int filter) const {
  for (int i = std::min(row, GetRowCount()) - 1; i >= 0; --i)
    if (GetRowStates(i) & filter) return i;
  return -1;
}

void CReportCtrl::InvertSelection() {
  for (int i = 0; i < GetRowCount(); ++i)
    SetRowStates(i, (GetRowStates(i) & RVS_SELECTED) ? RVS_UNSELECTED : RVS_SELECTED);
}

void CReportCtrl::InvertChecks() {
  for (int i = 0; i < GetRowCount(); ++i) SetRowCheck(i, !GetRowCheck(i));
}

bool CReportCtrl::SetRowData(int row, uint32_t data) {
  if (!ValidRow(row) || !model_->rows[static_cast<size_t>(row)].record) return false;
  model_->rows[static_cast<size_t>(row)].record->userData = data;
  return true;
}

uint32_t CReportCtrl::GetRowData(int row) const {
  if (!ValidRow(row) || !model_->rows[static_cast<size_t>(row)].record) return 0;
  return model_->rows[static_cast<size_t>(row)].record->userData;
}

// --- colours ---

namespace {

bool SetColors(ReportModel* model, int row, int column, COLORREF color, bool text) {
  const int rows = model->rowCount();
  const int cols = model->columnCount();
  if (row >= rows || column >= cols || row < -1 || column < -1) return false;
  if (color == kColorInvalid) color = text ? DefaultTextColor() : DefaultBkColor();
  for (int r = (row < 0 ? 0 : row); r < (row < 0 ? rows : row + 1); ++r) {
    ReportRowRecord* rec = model->rows[static_cast<size_t>(r)].record.get();
    if (!rec) continue;
    std::vector<COLORREF>& arr = text ? rec->textColors : rec->backColors;
    for (int c = (column < 0 ? 0 : column); c < (column < 0 ? cols : column + 1); ++c) arr[static_cast<size_t>(c)] = color;
  }
  model->ChangedAll();
  return true;
}

}  // namespace

bool CReportCtrl::SetCellTextColor(int row, int column, COLORREF color) { return SetColors(model_, row, column, color, true); }
bool CReportCtrl::SetCellBkColor(int row, int column, COLORREF color) { return SetColors(model_, row, column, color, false); }

COLORREF CReportCtrl::GetCellTextColor(int row, int column) const {
  if (!ValidCell(row, column)) return kColorInvalid;
  const auto& rec = model_->rows[static_cast<size_t>(row)].record;
  return rec ? rec->textColors[static_cast<size_t>(column)] : kColorInvalid;
}

COLORREF CReportCtrl::GetCellBkColor(int row, int column) const {
  if (!ValidCell(row, column)) return kColorInvalid;
  const auto& rec = model_->rows[static_cast<size_t>(row)].record;
  return rec ? rec->backColors[static_cast<size_t>(column)] : kColorInvalid;
}

void CReportCtrl::SetImageList(const QPixmap& bitmap) {
  model_->images = CutImages(bitmap);
  model_->ChangedAll();
}

void CReportCtrl::SetHeaderImageList(const QPixmap& bitmap) {
  model_->headerImages = CutImages(bitmap);
  if (GetColumnCount() > 0) emit model_->headerDataChanged(Qt::Horizontal, 0, GetColumnCount() - 1);
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
    keys[static_cast<size_t>(r)] = MakeReportSortKey(model_->rows[static_cast<size_t>(r)].texts[static_cast<size_t>(column)]);
  std::vector<int> order;
  for (int r = first; r <= last; ++r) order.push_back(r);
  auto cmp = [&](int a, int b) { return CompareReportKeys(keys[static_cast<size_t>(a)], keys[static_cast<size_t>(b)]); };

  // Hoare quicksort over positions lo..hi of order, recursing into the left part and looping
  // on the right part.
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

// --- cell editor ---

bool CReportCtrl::IsEditing() const {
  return editable_ && editRow_ >= 0 && editRow_ < GetRowCount() && editColumn_ >= 0 && editColumn_ < GetColumnCount();
}

void CReportCtrl::SetEditable(bool editable) {
  if (!editable) EndEdit(true);
  editable_ = editable;
}

bool CReportCtrl::StartEdit(int row, int column) {
  if (!editable_ || !ValidCell(row, column)) return false;
  if (IsEditing() && editRow_ == row && editColumn_ == column) return true;
  EndEdit(true);
  editRow_ = row;
  editColumn_ = column;
  clearSelection();
  selectionModel()->setCurrentIndex(model_->index(row, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  const int format = model_->columns[static_cast<size_t>(column)].format;
  editAlignment_ = format == LVCFMT_RIGHT ? 2 : format == LVCFMT_CENTER ? 1 : 0;
  edit_->setAlignment(editAlignment_ == 2 ? Qt::AlignRight : editAlignment_ == 1 ? Qt::AlignHCenter : Qt::AlignLeft);
  edit_->setFont(font());
  scrollTo(model_->index(row, column));
  QRect r = visualRect(model_->index(row, column));
  if (column > 0 && GetCellImage(row, column) >= 0) r.setLeft(r.left() + 16);
  edit_->setGeometry(r);
  edit_->setText(GetCellText(row, column));
  edit_->show();
  edit_->selectAll();
  edit_->setFocus();
  return true;
}

bool CReportCtrl::EndEdit(bool commit) {
  if (!IsEditing()) {
    editRow_ = editColumn_ = -1;
    if (edit_) edit_->hide();
    return false;
  }
  const QString text = edit_->text();
  const int row = editRow_;
  const int column = editColumn_;
  edit_->hide();
  editRow_ = editColumn_ = -1;
  setFocus();
  return commit && text != GetCellText(row, column);
}

bool CReportCtrl::eventFilter(QObject* watched, QEvent* e) {
  if (watched == edit_ && e->type() == QEvent::KeyPress && IsEditing()) {
    auto* k = static_cast<QKeyEvent*>(e);
    const int row = editRow_;
    const int column = editColumn_;
    switch (k->key()) {
      case Qt::Key_Tab:
        EndEdit(true);
        StartEdit(row, column + 1 < GetColumnCount() ? column + 1 : 0);
        return true;
      case Qt::Key_Return:
      case Qt::Key_Enter:
        EndEdit(true);
        return true;
      case Qt::Key_Escape:
        EndEdit(false);
        return true;
      case Qt::Key_Up:
        if (row > 0) {
          EndEdit(true);
          StartEdit(row - 1, column);
          return true;
        }
        return false;
      case Qt::Key_Down:
        if (row + 1 < GetRowCount()) {
          EndEdit(true);
          StartEdit(row + 1, column);
          return true;
        }
        return false;
      default:
        return false;
    }
  }
  return QTableView::eventFilter(watched, e);
}

// --- mouse and keys ---

QRect CReportCtrl::CheckBoxRect(int row) const {
  if (!ValidRow(row) || GetColumnCount() == 0 || !model_->checkboxes) return QRect();
  QStyleOptionViewItem opt;
  initViewItemOption(&opt);
  opt.rect = visualRect(model_->index(row, 0));
  opt.features |= QStyleOptionViewItem::HasCheckIndicator;
  opt.index = model_->index(row, 0);
  return style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &opt, this);
}

void CReportCtrl::mousePressEvent(QMouseEvent* e) { HandleMouse(e, false); }
void CReportCtrl::mouseDoubleClickEvent(QMouseEvent* e) { HandleMouse(e, true); }

void CReportCtrl::HandleMouse(QMouseEvent* e, bool doubleClick) {
  const QPoint pos = e->position().toPoint();
  const QModelIndex hit = indexAt(pos);
  const int row = hit.isValid() ? hit.row() : -1;
  const bool wasChecked = GetRowCheck(row);
  const bool editWasOpen = IsEditing();
  EndEdit(true);
  const bool wasSelectedFocused = row >= 0 && (GetRowStates(row) & RVS_SELECTED) && (GetRowStates(row) & RVS_FOCUSED);

  unsigned message;
  switch (e->button()) {
    case Qt::RightButton: message = doubleClick ? WM_RBUTTONDBLCLK : WM_RBUTTONDOWN; break;
    case Qt::MiddleButton: message = doubleClick ? WM_MBUTTONDBLCLK : WM_MBUTTONDOWN; break;
    default: message = doubleClick ? WM_LBUTTONDBLCLK : WM_LBUTTONDOWN; break;
  }

  // The list's own handling: selection, and a left press on the check box toggles it.
  if (doubleClick) QTableView::mouseDoubleClickEvent(e);
  else QTableView::mousePressEvent(e);
  if (row >= 0 && e->button() == Qt::LeftButton && model_->checkboxes && CheckBoxRect(row).contains(pos))
    SetRowCheck(row, !GetRowCheck(row));

  const bool nowChecked = GetRowCheck(row);
  bool changed = false;
  if (row >= 0 && checkMode_ != RC_CHKBOX_NONE && nowChecked != wasChecked) {
    changed = true;
    if (checkMode_ == RC_CHKBOX_DISABLED) {
      SetRowCheck(row, wasChecked);
    } else {
      if (checkMode_ == RC_CHKBOX_SINGLE && nowChecked) {
        for (int i = 0; i < GetRowCount(); ++i)
          if (i != row) SetRowCheck(i, false);
        SetRowCheck(row, true);
      }
      clearSelection();
      selectionModel()->setCurrentIndex(model_->index(row, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
      emit notify(WM_REPORT_CHECKCHANGED, row, static_cast<int>(message));
      emit checkChanged(row, static_cast<int>(message));
    }
  }

  if (editable_ && e->button() == Qt::LeftButton && !changed && !editWasOpen && wasSelectedFocused &&
      hit.isValid() && hit.column() == 6)
    StartEdit(row, 6);
}

void CReportCtrl::keyPressEvent(QKeyEvent* e) {
  // The keyboard never toggles a check box.
  if (!IsEditing() && e->key() == Qt::Key_Space) {
    e->accept();
    return;
  }
  QTableView::keyPressEvent(e);
}

void CReportCtrl::FillParent() {
  if (QWidget* p = parentWidget()) setGeometry(p->rect());
}
