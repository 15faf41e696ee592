// Everything that would stop for the operator — message boxes, the file chooser, pop-up menus
// and modal dialog runs — goes through one replaceable seam. The console uses the real
// windows; tests install a RecordingUiSeam that records the texts and answers in their place.
#pragma once

#include <QPoint>
#include <QString>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

class QWidget;
class CDialog;
struct MenuPopup;

class UiSeam {
 public:
  virtual ~UiSeam() = default;

  // Returns the id of the pressed button (IDOK, IDCANCEL, IDYES, IDNO).
  virtual int MessageBox(QWidget* owner, const QString& text, const QString& caption, unsigned type) = 0;

  // File-open chooser with a filter string "Desc|patterns|...||". False on cancel.
  virtual bool GetOpenFileName(QWidget* owner, const QString& filter, QString* path) = 0;
  // File-save chooser (asks before replacing a file), same filter form. False on cancel.
  virtual bool GetSaveFileName(QWidget* owner, const QString& filter, QString* path) = 0;

  // Shows the pop-up at a screen position; returns the chosen command id, 0 for none.
  virtual int TrackPopupMenu(QWidget* owner, const MenuPopup& popup, QPoint screenPos) = 0;

  // Runs a dialog modally; returns its end code.
  virtual int DoModal(CDialog& dialog) = 0;
};

// Loads Qt's own Chinese texts (the file chooser's labels and buttons) into the application,
// once; the real windows do it before the first chooser or box. False when the translation
// files are not installed (the texts then stay English).
bool LoadQtTranslations();

// The seam in force (the real windows unless a test installed its own).
UiSeam& Ui();

// Installs a seam for as long as the object lives.
class ScopedUiSeam {
 public:
  explicit ScopedUiSeam(UiSeam* seam);
  ~ScopedUiSeam();
  ScopedUiSeam(const ScopedUiSeam&) = delete;
  ScopedUiSeam& operator=(const ScopedUiSeam&) = delete;

 private:
  UiSeam* previous_;
};

// A seam for tests: records every message box, answers the chooser from a queue of paths
// (cancel when empty), the pop-up menu with a preset id, and modal runs through a hook.
class RecordingUiSeam : public UiSeam {
 public:
  struct Box {
    QString text;
    QString caption;
    unsigned type;
  };
  struct Chooser {
    QString filter;
  };
  struct Menu {
    QString title;
    std::vector<int> ids;
  };

  std::vector<Box> boxes;
  std::vector<Chooser> choosers;
  std::vector<Menu> menus;
  std::vector<int> modals;  // template ids of the dialogs run

  std::deque<QString> pathAnswers;  // next chooser answers; empty -> cancel
  int boxAnswer = 1;                // IDOK
  int menuAnswer = 0;
  // Called with the created (not shown) dialog; returns the button to press, IDOK or IDCANCEL
  // (default IDOK). DoModal then returns the dialog's end code, or -1 when it stayed open.
  std::function<int(CDialog&)> modalHook;

  int MessageBox(QWidget* owner, const QString& text, const QString& caption, unsigned type) override;
  bool GetOpenFileName(QWidget* owner, const QString& filter, QString* path) override;
  // Answers from the same queue as the open chooser.
  bool GetSaveFileName(QWidget* owner, const QString& filter, QString* path) override;
  int TrackPopupMenu(QWidget* owner, const MenuPopup& popup, QPoint screenPos) override;
  int DoModal(CDialog& dialog) override;
};
