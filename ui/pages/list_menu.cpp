#include "ui/pages/list_menu.h"

#include <QApplication>
#include <QClipboard>
#include <QFileInfo>
#include <QItemSelectionModel>
#include <QSaveFile>
#include <set>

#include "ui/controls/report_ctrl.h"
#include "ui/platform/dialog.h"
#include "ui/platform/resources.h"
#include "ui/platform/text.h"
#include "ui/platform/ui_seam.h"
#include "ui/resources/dravlin_dlg_ids.h"

namespace list_menu {
namespace {

constexpr char kCsvFilter[] = "CSV (*.csv)|*.csv|All Files (*.*)|*.*||";

QString CsvField(const QString& text) {
  if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\n')) &&
      !text.contains(QLatin1Char('\r')))
    return text;
  QString quoted = text;
  quoted.replace(QLatin1String("\""), QLatin1String("\"\""));
  return QLatin1Char('"') + quoted + QLatin1Char('"');
}

}  // namespace

QString Csv(const CReportCtrl& list, int columns) {
  QStringList lines;
  QStringList heading;
  for (int c = 0; c < columns; ++c) heading << CsvField(list.GetHeaderText(c));
  lines << heading.join(QLatin1Char(','));
  for (int row = 0; row < list.GetRowCount(); ++row) {
    QStringList fields;
    for (int c = 0; c < columns; ++c) fields << CsvField(list.GetCellText(row, c));
    lines << fields.join(QLatin1Char(','));
  }
  return QString(QChar(0xFEFF)) + lines.join(QLatin1String("\r\n")) + QLatin1String("\r\n");
}

int Show(CWndHost& page, QWidget* parent, CReportCtrl& list, const QPoint& pos, int columns, int serialColumn,
         const std::function<bool(int row)>& failed, const std::vector<MenuItem>& extra) {
  const int row = list.indexAt(pos).row();
  MenuPopup popup;
  popup.items = {{IDM_BOOT_EXPORT, U8("导出列表"), {}},
                 {IDM_BOOT_TICK_FAILED, U8("勾选失败的设备"), {}},
                 {IDM_BOOT_COPY_SERIALS, U8("复制序列号"), {}}};
  if (!extra.empty()) {
    popup.items.push_back({0, QString(), {}});
    popup.items.insert(popup.items.end(), extra.begin(), extra.end());
  }
  const int id = Ui().TrackPopupMenu(parent, popup, list.viewport()->mapToGlobal(pos));
  if (id != 0) Run(page, list, id, row, columns, serialColumn, failed);
  return id;
}

void Run(CWndHost& page, CReportCtrl& list, int id, int clickedRow, int columns, int serialColumn,
         const std::function<bool(int row)>& failed) {
  const int rows = list.GetRowCount();
  if (id == IDM_BOOT_TICK_FAILED) {
    for (int row = 0; row < rows; ++row) list.SetRowCheck(row, failed(row));
  } else if (id == IDM_BOOT_COPY_SERIALS) {
    // The selected rows, or the one clicked on.
    std::set<int> chosen;
    for (const QModelIndex& index : list.selectionModel()->selectedIndexes()) chosen.insert(index.row());
    if (chosen.empty() && clickedRow >= 0) chosen.insert(clickedRow);
    QStringList serials;
    for (int row : chosen) serials << list.GetCellText(row, serialColumn);
    if (!serials.isEmpty()) QApplication::clipboard()->setText(serials.join(QLatin1Char('\n')));
  } else if (id == IDM_BOOT_EXPORT) {
    QString path;
    if (!page.ChooseSaveFile(kCsvFilter, &path)) return;
    if (QFileInfo(path).suffix().isEmpty()) path += QLatin1String(".csv");
    QSaveFile file(path);
    const QByteArray bytes = Csv(list, columns).toUtf8();
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
      page.MessageBox(U8("导出列表失败: %1").arg(file.errorString()), U8("Dravlin"), MB_OK | MB_ICONERROR);
  }
}

}  // namespace list_menu
