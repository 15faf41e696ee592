// Windows built from dialog templates. CWndHost holds what every page and dialog shares:
// controls addressed by numeric id, timers by id, command dispatch, the message box and file
// chooser through the UI seam, and the queue through which worker threads post to the window.
// CDialogPage is a child page (a tab); CDialog is a modal dialog.
#pragma once

#include <QDialog>
#include <QWidget>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "ui/platform/dialog_template.h"
#include "ui/platform/post_queue.h"
#include "ui/platform/resource.h"

class QTimer;
class CReportCtrl;

// Numeric id of a control within its parent (−1 when it has none).
void SetDlgCtrlID(QWidget* control, int id);
int GetDlgCtrlID(const QWidget* control);
// The direct child of parent with this id, or nullptr.
QWidget* GetDlgItem(const QWidget* parent, int id);

class CWndHost {
 public:
  virtual ~CWndHost();
  CWndHost(const CWndHost&) = delete;
  CWndHost& operator=(const CWndHost&) = delete;

  QWidget* Window() const { return self_; }
  int TemplateId() const { return templateId_; }
  bool IsCreated() const { return created_; }
  const DialogBaseUnits& BaseUnits() const { return units_; }

  // Before the window is created: the given object takes the place of control id (it keeps
  // its class; position, text and style come from the template).
  void Bind(int id, QWidget& control);

  // Controls.
  QWidget* Control(int id) const;
  QWidget* GetDlgItem(int id) const { return Control(id); }
  template <class T>
  T* ControlAs(int id) const {
    return dynamic_cast<T*>(Control(id));
  }
  CReportCtrl* Report(int id) const;

  bool SetDlgItemText(int id, const QString& text);
  bool SetDlgItemText(int id, const char* utf8) { return SetDlgItemText(id, QString::fromUtf8(utf8)); }
  QString GetDlgItemText(int id) const;
  int GetDlgItemInt(int id, bool* ok = nullptr) const;
  bool EnableWindow(int id, bool enable = true);
  bool IsWindowEnabled(int id) const;
  bool ShowWindow(int id, bool show);
  bool IsWindowVisible(int id) const;  // not hidden by its own flag
  bool IsDlgButtonChecked(int id) const;
  bool CheckDlgButton(int id, bool checked);
  bool MoveDlgItem(int id, int x, int y, int cx, int cy);  // pixels, parent coordinates
  QRect GetDlgItemRect(int id) const;                      // pixels, parent coordinates
  bool SetFocus(int id);

  // Combo boxes.
  int ComboAddString(int id, const QString& text);
  bool ComboResetContent(int id);
  bool ComboSetCurSel(int id, int index);
  int ComboGetCurSel(int id) const;  // −1 when none
  int ComboGetCount(int id) const;

  // Timers of this window by id; setting an id again restarts it with the new period.
  int SetTimer(int id, int milliseconds);
  bool KillTimer(int id);
  bool IsTimerSet(int id) const;

  // Operator feedback through the UI seam.
  int MessageBox(const QString& text, const QString& caption = QString::fromUtf8("Dravlin"), unsigned type = MB_OK);
  int MessageBox(const char* utf8, unsigned type = MB_OK) {
    return MessageBox(QString::fromUtf8(utf8), QString::fromUtf8("Dravlin"), type);
  }
  bool ChooseOpenFile(const QString& filter, QString* path);
  bool ChooseOpenFile(const char* filterUtf8, QString* path) {
    return ChooseOpenFile(QString::fromUtf8(filterUtf8), path);
  }
  bool ChooseSaveFile(const char* filterUtf8, QString* path);

  // Any thread: queue fn for the UI thread and return at once (never waits). Posts are run
  // in order; posts made after the window is gone are dropped.
  bool post(std::function<void()> fn);
  // UI thread: run what is pending now.
  void DrainPosts();

  // Handlers registered by id; OnCommand's default dispatch calls them.
  void HandleCommand(int id, std::function<void()> fn);
  void HandleCommand(int id, int code, std::function<void()> fn);

  // Overridables, called on the UI thread.
  virtual bool OnInitDialog() { return true; }
  virtual void OnCommand(int id, int code);
  virtual void OnTimer(int /*id*/) {}
  virtual void OnSize(int /*type*/, int /*cx*/, int /*cy*/) {}
  virtual long OnReportNotify(int /*ctrlId*/, unsigned /*message*/, int /*wParam*/, int /*lParam*/) { return 0; }
  virtual void OnUpdateCommand(int /*id*/, bool* /*enabled*/, bool* /*checked*/) {}
  virtual void OnOK() {}
  virtual void OnCancel() {}

 protected:
  explicit CWndHost(QWidget* self, int templateId);

  // Builds the controls of the template (once) and runs OnInitDialog.
  bool BuildFromTemplate();
  // Stops timers and posts; the concrete window's destructor calls it first.
  void DestroyHost();
  // Size handling shared by pages and dialogs.
  void DispatchSize();

 private:
  QWidget* CreateControl(const ControlSpec& ctl);

  QWidget* self_;
  int templateId_;
  bool created_ = false;
  bool destroyed_ = false;
  DialogBaseUnits units_;
  std::map<int, QWidget*> controls_;
  std::map<int, QWidget*> bound_;
  std::map<int, QTimer*> timers_;
  std::multimap<std::pair<int, int>, std::function<void()>> handlers_;
  std::unique_ptr<PostQueue> posts_;
};

// A child page: created from its template inside a parent (the tab sheet), shown and hidden
// by its owner. Enter and Escape do nothing on a page.
class CDialogPage : public QWidget, public CWndHost {
 public:
  explicit CDialogPage(int templateId);
  ~CDialogPage() override;

  // Creates the window as a child of parent; false when there is no such template.
  bool Create(int templateId, QWidget* parent);

 protected:
  void resizeEvent(QResizeEvent* e) override;
};

// A modal dialog. DoModal runs it through the UI seam; OK and Cancel end it.
class CDialog : public QDialog, public CWndHost {
 public:
  explicit CDialog(int templateId, QWidget* parent = nullptr);
  ~CDialog() override;

  int DoModal();
  // Creates the window and its controls without showing it (DoModal does this first).
  bool CreateIndirect();
  void EndDialog(int code);
  bool Ended() const { return ended_; }
  int Result() const { return endCode_; }

  void OnOK() override { EndDialog(IDOK); }
  void OnCancel() override { EndDialog(IDCANCEL); }

  void accept() override { OnOK(); }
  void reject() override { OnCancel(); }

 protected:
  void resizeEvent(QResizeEvent* e) override;
  void changeEvent(QEvent* e) override;

 private:
  bool ended_ = false;
  int endCode_ = 0;
};

// Shows the wait cursor for as long as it lives.
class CWaitCursor {
 public:
  CWaitCursor();
  ~CWaitCursor();
  CWaitCursor(const CWaitCursor&) = delete;
  CWaitCursor& operator=(const CWaitCursor&) = delete;
};
