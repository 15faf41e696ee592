// CTabSheet: the tab control of the main window with up to 16 pages inside it. The pages are
// child windows of the tab control placed below the tab strip; exactly one (the current one)
// is shown once they exist. Only a mouse press on the strip switches pages.
#pragma once

#include <QString>
#include <QTabBar>
#include <QWidget>
#include <array>

class CDialogPage;
class CTabSheet;

// The strip of tab buttons; tells its sheet after each mouse press.
class CTabStrip : public QTabBar {
 public:
  explicit CTabStrip(CTabSheet* sheet);

 protected:
  void mousePressEvent(QMouseEvent* e) override;
  void wheelEvent(QWheelEvent* e) override;

 private:
  CTabSheet* sheet_;
};

class CTabSheet : public QWidget {
 public:
  static constexpr int kMaxPages = 16;

  explicit CTabSheet(QWidget* parent = nullptr);
  ~CTabSheet() override;

  // False when 16 pages are already held (nothing changes).
  bool AddPage(const QString& title, CDialogPage* page, int templateId);
  bool AddPage(const char* titleUtf8, CDialogPage* page, int templateId) {
    return AddPage(QString::fromUtf8(titleUtf8), page, templateId);
  }
  void CreatePages();
  void PlacePages();
  void ResizePages();
  // Previous index, or −1 for an index outside the pages; the current index gives no change.
  int SelectPage(int index);

  int GetPageCount() const { return count_; }
  int GetCurrentPage() const { return current_; }
  CDialogPage* GetPage(int index) const;
  QString GetTitle(int index) const;
  int GetTemplateId(int index) const;
  CTabStrip* Strip() const { return strip_; }
  // The rectangle every page occupies, in this control's coordinates.
  QRect PageRect() const;

  // The strip reports a mouse press after it has processed it.
  void OnStripPressed();

 protected:
  void resizeEvent(QResizeEvent* e) override;
  void paintEvent(QPaintEvent* e) override;

 private:
  std::array<QString, kMaxPages> titles_;
  std::array<int, kMaxPages> templateIds_{};
  std::array<CDialogPage*, kMaxPages> pages_{};
  int count_ = 0;
  int current_ = 0;
  CTabStrip* strip_;
};
