#include "ui/platform/ui_seam.h"

#include <QAction>
#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>
#include <QFileDialog>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>

#include "ui/platform/dialog.h"
#include "ui/platform/file_filter.h"
#include "ui/platform/resource.h"
#include "ui/platform/resources.h"

namespace {

void AddItems(QMenu* menu, const std::vector<MenuItem>& items, QWidget* owner) {
  for (const MenuItem& item : items) {
    if (!item.children.empty()) {
      AddItems(menu->addMenu(item.text), item.children, owner);
    } else if (item.id == 0) {
      menu->addSeparator();
    } else {
      QAction* a = menu->addAction(item.text);
      a->setData(item.id);
      // Refresh the enabled and checked state through the owner's command-update handling.
      if (auto* host = dynamic_cast<CWndHost*>(owner)) {
        bool enabled = true;
        bool checked = false;
        host->OnUpdateCommand(item.id, &enabled, &checked);
        a->setEnabled(enabled);
        if (checked) {
          a->setCheckable(true);
          a->setChecked(true);
        }
      }
    }
  }
}

class WindowUiSeam : public UiSeam {
 public:
  int MessageBox(QWidget* owner, const QString& text, const QString& caption, unsigned type) override {
    LoadQtTranslations();
    QMessageBox box(owner);
    box.setWindowTitle(caption);
    box.setText(text);
    switch (type & 0xF0) {
      case MB_ICONERROR: box.setIcon(QMessageBox::Critical); break;
      case MB_ICONQUESTION: box.setIcon(QMessageBox::Question); break;
      case MB_ICONWARNING: box.setIcon(QMessageBox::Warning); break;
      case MB_ICONINFORMATION: box.setIcon(QMessageBox::Information); break;
      default: box.setIcon(QMessageBox::Warning); break;
    }
    QPushButton* ok = nullptr;
    QPushButton* cancel = nullptr;
    QPushButton* yes = nullptr;
    QPushButton* no = nullptr;
    switch (type & 0x0F) {
      case MB_OKCANCEL:
        ok = box.addButton(QString::fromUtf8("确定"), QMessageBox::AcceptRole);
        cancel = box.addButton(QString::fromUtf8("取消"), QMessageBox::RejectRole);
        break;
      case MB_YESNO:
        yes = box.addButton(QString::fromUtf8("是(&Y)"), QMessageBox::YesRole);
        no = box.addButton(QString::fromUtf8("否(&N)"), QMessageBox::NoRole);
        break;
      default: ok = box.addButton(QString::fromUtf8("确定"), QMessageBox::AcceptRole); break;
    }
    box.exec();
    QAbstractButton* clicked = box.clickedButton();
    if (clicked && clicked == yes) return IDYES;
    if (clicked && clicked == no) return IDNO;
    if (clicked && clicked == ok) return IDOK;
    if (cancel) return IDCANCEL;
    return no ? IDNO : IDOK;
  }

  bool GetOpenFileName(QWidget* owner, const QString& filter, QString* path) override {
    LoadQtTranslations();
    QString chosen = QFileDialog::getOpenFileName(owner, QString::fromUtf8("打开"), QString(),
                                                  ToQtFileFilter(ParseFileFilter(filter)));
    if (chosen.isEmpty()) return false;
    *path = chosen;
    return true;
  }

  bool GetSaveFileName(QWidget* owner, const QString& filter, QString* path) override {
    LoadQtTranslations();
    QString chosen = QFileDialog::getSaveFileName(owner, QString::fromUtf8("保存"), QString(),
                                                  ToQtFileFilter(ParseFileFilter(filter)));
    if (chosen.isEmpty()) return false;
    *path = chosen;
    return true;
  }

  int TrackPopupMenu(QWidget* owner, const MenuPopup& popup, QPoint screenPos) override {
    QMenu menu(owner);
    menu.setTitle(popup.title);
    AddItems(&menu, popup.items, owner);
    QAction* chosen = menu.exec(screenPos);
    return chosen ? chosen->data().toInt() : 0;
  }

  int DoModal(CDialog& dialog) override {
    if (!dialog.CreateIndirect()) return -1;
    return dialog.exec();
  }
};

UiSeam*& CurrentSeam() {
  static WindowUiSeam windows;
  static UiSeam* current = &windows;
  return current;
}

}  // namespace

bool LoadQtTranslations() {
  static const bool loaded = [] {
    auto* qt = new QTranslator(QCoreApplication::instance());
    if (!qt->load(QStringLiteral("qtbase_zh_CN"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
      delete qt;
      return false;
    }
    QCoreApplication::installTranslator(qt);
    return true;
  }();
  return loaded;
}

UiSeam& Ui() { return *CurrentSeam(); }

ScopedUiSeam::ScopedUiSeam(UiSeam* seam) : previous_(CurrentSeam()) { CurrentSeam() = seam; }
ScopedUiSeam::~ScopedUiSeam() { CurrentSeam() = previous_; }

int RecordingUiSeam::MessageBox(QWidget*, const QString& text, const QString& caption, unsigned type) {
  boxes.push_back({text, caption, type});
  return boxAnswer;
}

bool RecordingUiSeam::GetOpenFileName(QWidget*, const QString& filter, QString* path) {
  choosers.push_back({filter});
  if (pathAnswers.empty()) return false;
  *path = pathAnswers.front();
  pathAnswers.pop_front();
  return true;
}

bool RecordingUiSeam::GetSaveFileName(QWidget* owner, const QString& filter, QString* path) {
  return GetOpenFileName(owner, filter, path);
}

int RecordingUiSeam::TrackPopupMenu(QWidget*, const MenuPopup& popup, QPoint) {
  Menu m{popup.title, {}};
  for (const MenuItem& item : popup.items) m.ids.push_back(item.id);
  menus.push_back(m);
  return menuAnswer;
}

int RecordingUiSeam::DoModal(CDialog& dialog) {
  modals.push_back(dialog.TemplateId());
  if (!dialog.CreateIndirect()) return -1;
  int code = modalHook ? modalHook(dialog) : IDOK;
  if (!dialog.Ended()) {
    if (code == IDCANCEL) dialog.OnCancel();
    else dialog.OnOK();
  }
  // A dialog that refused to close (its OK handler kept it open) reports -1.
  return dialog.Ended() ? dialog.Result() : -1;
}
