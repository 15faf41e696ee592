#include "ui/platform/dialog.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QResizeEvent>
#include <QTimer>

#include "ui/controls/report_ctrl.h"
#include "ui/platform/ip_address_ctrl.h"
#include "ui/platform/resources.h"
#include "ui/platform/ui_seam.h"

namespace {

const char kIdProperty[] = "dravlin_ctrl_id";

// Dialog texts keep their CR LF line ends; the widgets want plain LF.
QString DisplayText(const QString& text) {
  QString t = text;
  t.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  t.remove(QLatin1Char('\r'));
  return t;
}

}  // namespace

void SetDlgCtrlID(QWidget* control, int id) {
  if (control) control->setProperty(kIdProperty, id);
}

int GetDlgCtrlID(const QWidget* control) {
  if (!control) return -1;
  QVariant v = control->property(kIdProperty);
  return v.isValid() ? v.toInt() : -1;
}

QWidget* GetDlgItem(const QWidget* parent, int id) {
  if (!parent) return nullptr;
  if (auto* host = dynamic_cast<const CWndHost*>(parent)) {
    if (QWidget* w = host->Control(id)) return w;
  }
  for (QObject* child : parent->children()) {
    auto* w = qobject_cast<QWidget*>(child);
    if (w && GetDlgCtrlID(w) == id) return w;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------------------------

CWndHost::CWndHost(QWidget* self, int templateId)
    : self_(self), templateId_(templateId), posts_(std::make_unique<PostQueue>(self)) {}

CWndHost::~CWndHost() { DestroyHost(); }

void CWndHost::DestroyHost() {
  if (destroyed_) return;
  destroyed_ = true;
  posts_->detach();
  for (auto& [id, timer] : timers_) {
    timer->stop();
    delete timer;
  }
  timers_.clear();
}

void CWndHost::Bind(int id, QWidget& control) { bound_[id] = &control; }

QWidget* CWndHost::Control(int id) const {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

CReportCtrl* CWndHost::Report(int id) const { return ControlAs<CReportCtrl>(id); }

bool CWndHost::BuildFromTemplate() {
  if (created_) return true;
  const DialogTemplate* tpl = FindDialogTemplate(templateId_);
  if (!tpl) return false;
  created_ = true;
  self_->setFont(DialogFont());
  units_ = BaseUnitsOf(*self_);
  if (tpl->caption) self_->setWindowTitle(QString::fromUtf8(tpl->caption));
  self_->resize(DluToPixelsX(tpl->cx, units_), DluToPixelsY(tpl->cy, units_));
  std::vector<QWidget*> groups;
  for (const ControlSpec& ctl : tpl->controls) {
    QWidget* w = CreateControl(ctl);
    if (ctl.kind == ControlKind::GroupBox) groups.push_back(w);
  }
  // Group frames stay below the controls they surround.
  for (QWidget* g : groups) g->lower();
  OnInitDialog();
  return true;
}

QWidget* CWndHost::CreateControl(const ControlSpec& ctl) {
  const int id = ctl.id;
  const QString text = ctl.text ? QString::fromUtf8(ctl.text) : QString();
  QWidget* w = nullptr;
  auto bound = bound_.find(id);
  if (bound != bound_.end() && id != IDC_STATIC) {
    w = bound->second;
    w->setParent(self_);
  }
  auto command = [this, id](int code) { return [this, id, code] { OnCommand(id, code); }; };
  switch (ctl.kind) {
    case ControlKind::Button:
    case ControlKind::DefButton: {
      auto* b = w ? qobject_cast<QPushButton*>(w) : new QPushButton(self_);
      if (!w) w = b;
      if (b) {
        b->setText(text);
        b->setAutoDefault(false);
        b->setDefault(ctl.kind == ControlKind::DefButton);
        QObject::connect(b, &QAbstractButton::clicked, self_, command(BN_CLICKED));
      }
      break;
    }
    case ControlKind::CheckBox:
    case ControlKind::Radio: {
      QAbstractButton* b = w ? qobject_cast<QAbstractButton*>(w) : nullptr;
      if (!w) {
        if (ctl.kind == ControlKind::CheckBox) b = new QCheckBox(self_);
        else b = new QRadioButton(self_);
        w = b;
      }
      if (b) {
        b->setText(text);
        QObject::connect(b, &QAbstractButton::clicked, self_, command(BN_CLICKED));
      }
      break;
    }
    case ControlKind::GroupBox: {
      auto* g = w ? qobject_cast<QGroupBox*>(w) : new QGroupBox(self_);
      if (!w) w = g;
      if (g) g->setTitle(text);
      break;
    }
    case ControlKind::Static: {
      auto* l = w ? qobject_cast<QLabel*>(w) : new QLabel(self_);
      if (!w) w = l;
      if (l) {
        l->setTextFormat(Qt::PlainText);
        l->setWordWrap(!(ctl.style & CS_NOWRAP));
        Qt::Alignment h = (ctl.style & CS_CENTER)  ? Qt::AlignHCenter
                          : (ctl.style & CS_RIGHT) ? Qt::AlignRight
                                                   : Qt::AlignLeft;
        l->setAlignment(h | Qt::AlignTop);
        l->setText(DisplayText(text));
      }
      break;
    }
    case ControlKind::Edit: {
      if (ctl.style & CS_MULTILINE) {
        auto* e = w ? qobject_cast<QPlainTextEdit*>(w) : new QPlainTextEdit(self_);
        if (!w) w = e;
        if (e) {
          e->setReadOnly(ctl.style & CS_READONLY);
          e->setPlainText(DisplayText(text));
          QObject::connect(e, &QPlainTextEdit::textChanged, self_, command(EN_CHANGE));
        }
      } else {
        auto* e = w ? qobject_cast<QLineEdit*>(w) : new QLineEdit(self_);
        if (!w) w = e;
        if (e) {
          e->setReadOnly(ctl.style & CS_READONLY);
          if (ctl.style & CS_PASSWORD) e->setEchoMode(QLineEdit::Password);
          if (ctl.style & CS_NUMBER)
            e->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("\\d*")), e));
          e->setText(text);
          QObject::connect(e, &QLineEdit::textChanged, self_, command(EN_CHANGE));
        }
      }
      break;
    }
    case ControlKind::ComboBox: {
      auto* c = w ? qobject_cast<QComboBox*>(w) : new QComboBox(self_);
      if (!w) w = c;
      if (c) QObject::connect(c, &QComboBox::activated, self_, command(CBN_SELCHANGE));
      break;
    }
    case ControlKind::IpAddress: {
      auto* e = w ? qobject_cast<QLineEdit*>(w) : new CIPAddressCtrl(self_);
      if (!w) w = e;
      break;
    }
    case ControlKind::Report: {
      auto* r = w ? qobject_cast<CReportCtrl*>(w) : new CReportCtrl(self_);
      if (!w) w = r;
      if (r) {
        QObject::connect(r, &CReportCtrl::notify, self_,
                         [this, id](unsigned msg, int wParam, int lParam) { OnReportNotify(id, msg, wParam, lParam); });
      }
      break;
    }
    case ControlKind::Tab: {
      if (!w) w = new QWidget(self_);
      break;
    }
    case ControlKind::Icon: {
      auto* l = w ? qobject_cast<QLabel*>(w) : new QLabel(self_);
      if (!w) w = l;
      if (l) l->setPixmap(LoadAppIcon().pixmap(32, 32));
      break;
    }
  }
  if (!w) return nullptr;
  QRect r = DluToPixels(ctl.x, ctl.y, ctl.cx, ctl.cy, units_);
  if (ctl.kind == ControlKind::ComboBox) {
    // A combo's template height includes its drop-down list; the field itself is one line.
    r.setHeight(std::min(r.height(), w->sizeHint().height()));
  }
  w->setGeometry(r);
  if (!w->font().resolveMask()) w->setFont(self_->font());
  SetDlgCtrlID(w, id);
  w->setEnabled(!(ctl.style & CS_DISABLED));
  w->setVisible(!(ctl.style & CS_HIDDEN));
  if (id != IDC_STATIC) controls_[id] = w;
  return w;
}

bool CWndHost::SetDlgItemText(int id, const QString& text) {
  QWidget* w = Control(id);
  if (!w) return false;
  if (auto* b = qobject_cast<QAbstractButton*>(w)) b->setText(text);
  else if (auto* l = qobject_cast<QLabel*>(w)) l->setText(DisplayText(text));
  else if (auto* e = qobject_cast<QLineEdit*>(w)) e->setText(text);
  else if (auto* p = qobject_cast<QPlainTextEdit*>(w)) p->setPlainText(DisplayText(text));
  else if (auto* g = qobject_cast<QGroupBox*>(w)) g->setTitle(text);
  else if (auto* c = qobject_cast<QComboBox*>(w)) {
    if (c->isEditable()) c->setEditText(text);
  } else w->setWindowTitle(text);
  return true;
}

QString CWndHost::GetDlgItemText(int id) const {
  QWidget* w = Control(id);
  if (!w) return QString();
  if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
  if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
  if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text();
  if (auto* p = qobject_cast<QPlainTextEdit*>(w)) return p->toPlainText();
  if (auto* g = qobject_cast<QGroupBox*>(w)) return g->title();
  if (auto* c = qobject_cast<QComboBox*>(w)) return c->currentText();
  return w->windowTitle();
}

int CWndHost::GetDlgItemInt(int id, bool* ok) const {
  bool good = false;
  int v = GetDlgItemText(id).trimmed().toInt(&good);
  if (ok) *ok = good;
  return good ? v : 0;
}

bool CWndHost::EnableWindow(int id, bool enable) {
  QWidget* w = Control(id);
  if (!w) return false;
  w->setEnabled(enable);
  return true;
}

bool CWndHost::IsWindowEnabled(int id) const {
  QWidget* w = Control(id);
  return w && w->isEnabled();
}

bool CWndHost::ShowWindow(int id, bool show) {
  QWidget* w = Control(id);
  if (!w) return false;
  w->setVisible(show);
  return true;
}

bool CWndHost::IsWindowVisible(int id) const {
  QWidget* w = Control(id);
  return w && !w->isHidden();
}

bool CWndHost::IsDlgButtonChecked(int id) const {
  auto* b = ControlAs<QAbstractButton>(id);
  return b && b->isCheckable() && b->isChecked();
}

bool CWndHost::CheckDlgButton(int id, bool checked) {
  auto* b = ControlAs<QAbstractButton>(id);
  if (!b || !b->isCheckable()) return false;
  b->setChecked(checked);
  return true;
}

bool CWndHost::MoveDlgItem(int id, int x, int y, int cx, int cy) {
  QWidget* w = Control(id);
  if (!w) return false;
  w->setGeometry(x, y, std::max(0, cx), std::max(0, cy));
  return true;
}

QRect CWndHost::GetDlgItemRect(int id) const {
  QWidget* w = Control(id);
  return w ? w->geometry() : QRect();
}

bool CWndHost::SetFocus(int id) {
  QWidget* w = Control(id);
  if (!w) return false;
  w->setFocus();
  return true;
}

int CWndHost::ComboAddString(int id, const QString& text) {
  auto* c = ControlAs<QComboBox>(id);
  if (!c) return -1;
  c->addItem(text);
  return c->count() - 1;
}

bool CWndHost::ComboResetContent(int id) {
  auto* c = ControlAs<QComboBox>(id);
  if (!c) return false;
  c->clear();
  return true;
}

bool CWndHost::ComboSetCurSel(int id, int index) {
  auto* c = ControlAs<QComboBox>(id);
  if (!c || index < -1 || index >= c->count()) return false;
  c->setCurrentIndex(index);
  return true;
}

int CWndHost::ComboGetCurSel(int id) const {
  auto* c = ControlAs<QComboBox>(id);
  return c ? c->currentIndex() : -1;
}

int CWndHost::ComboGetCount(int id) const {
  auto* c = ControlAs<QComboBox>(id);
  return c ? c->count() : 0;
}

int CWndHost::SetTimer(int id, int milliseconds) {
  if (destroyed_) return 0;
  QTimer*& t = timers_[id];
  if (!t) {
    t = new QTimer();
    QObject::connect(t, &QTimer::timeout, self_, [this, id] { OnTimer(id); });
  }
  t->start(std::max(0, milliseconds));
  return id;
}

bool CWndHost::KillTimer(int id) {
  auto it = timers_.find(id);
  if (it == timers_.end() || !it->second->isActive()) return false;
  it->second->stop();
  return true;
}

bool CWndHost::IsTimerSet(int id) const {
  auto it = timers_.find(id);
  return it != timers_.end() && it->second->isActive();
}

int CWndHost::MessageBox(const QString& text, const QString& caption, unsigned type) {
  return Ui().MessageBox(self_, text, caption, type);
}

bool CWndHost::ChooseOpenFile(const QString& filter, QString* path) {
  return Ui().GetOpenFileName(self_, filter, path);
}
bool CWndHost::ChooseSaveFile(const char* filterUtf8, QString* path) {
  return Ui().GetSaveFileName(self_, QString::fromUtf8(filterUtf8), path);
}

bool CWndHost::post(std::function<void()> fn) { return posts_->post(std::move(fn)); }

void CWndHost::DrainPosts() { posts_->drain(); }

void CWndHost::HandleCommand(int id, std::function<void()> fn) { HandleCommand(id, -1, std::move(fn)); }

void CWndHost::HandleCommand(int id, int code, std::function<void()> fn) {
  handlers_.emplace(std::make_pair(id, code), std::move(fn));
}

void CWndHost::OnCommand(int id, int code) {
  bool handled = false;
  for (int c : {code, -1}) {
    auto [first, last] = handlers_.equal_range({id, c});
    for (auto it = first; it != last; ++it) {
      it->second();
      handled = true;
    }
    if (c == -1) break;
  }
  if (handled) return;
  if (id == IDOK && code == BN_CLICKED) OnOK();
  else if (id == IDCANCEL && code == BN_CLICKED) OnCancel();
}

void CWndHost::DispatchSize() {
  QWidget* top = self_->window();
  int type = top->isMinimized() ? SIZE_MINIMIZED : top->isMaximized() ? SIZE_MAXIMIZED : SIZE_RESTORED;
  OnSize(type, self_->width(), self_->height());
}

// ---------------------------------------------------------------------------------------------

CDialogPage::CDialogPage(int templateId) : QWidget(nullptr), CWndHost(this, templateId) { hide(); }

CDialogPage::~CDialogPage() { DestroyHost(); }

bool CDialogPage::Create(int templateId, QWidget* parent) {
  if (IsCreated()) return true;
  if (!FindDialogTemplate(templateId)) return false;
  if (templateId != TemplateId()) return false;
  setParent(parent);
  setAutoFillBackground(false);
  return BuildFromTemplate();
}

void CDialogPage::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  if (IsCreated()) DispatchSize();
}

// ---------------------------------------------------------------------------------------------

CDialog::CDialog(int templateId, QWidget* parent) : QDialog(parent), CWndHost(this, templateId) {}

CDialog::~CDialog() { DestroyHost(); }

int CDialog::DoModal() {
  ended_ = false;
  endCode_ = 0;
  return Ui().DoModal(*this);
}

bool CDialog::CreateIndirect() { return BuildFromTemplate(); }

void CDialog::EndDialog(int code) {
  ended_ = true;
  endCode_ = code;
  QDialog::done(code);
}

void CDialog::resizeEvent(QResizeEvent* e) {
  QDialog::resizeEvent(e);
  if (IsCreated()) DispatchSize();
}

void CDialog::changeEvent(QEvent* e) {
  QDialog::changeEvent(e);
  // Restoring a minimised window lays it out again even when its size did not change.
  if (e->type() == QEvent::WindowStateChange && IsCreated() && !isMinimized()) DispatchSize();
}

// ---------------------------------------------------------------------------------------------

CWaitCursor::CWaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
CWaitCursor::~CWaitCursor() { QApplication::restoreOverrideCursor(); }
