// The progress bar behind an upload's status text.
#include <QImage>
#include <QPainter>
#include <QStandardItemModel>
#include <QStyleOptionViewItem>
#include <QTableView>

#include "gui/gui_test.h"
#include "ui/pages/progress_text_delegate.h"
#include "ui/platform/text.h"

#include <gtest/gtest.h>

TEST(ProgressTextDelegate, ReadsThePercentageOnlyFromAProgressText) {
  GuiApp();
  CProgressTextDelegate d(U8("上传文件中.."), U8(".."));
  const std::pair<const char*, int> cases[] = {
      {"上传文件中..0..", 0},
      {"上传文件中..5..", 5},
      {"上传文件中..100..", 100},
      {"上传文件中..101..", -1},
      {"上传文件中..-5..", -1},
      {"上传文件中....", -1},
      {"上传文件中..1000..", -1},
      {"上传文件中..5", -1},
      {"设置图片成功", -1},
      {"上传文件中..x5..", -1},
      {"空闲", -1},
      {"", -1},
  };
  for (auto [text, pct] : cases) EXPECT_EQ(d.PercentOf(U8(text)), pct) << text;
}

TEST(ProgressTextDelegate, PaintsABarAsWideAsThePercentageBehindTheText) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "text drawing runs on Qt's own uninstrumented threads";
#endif
  GuiApp();
  QStandardItemModel model(2, 1);
  model.setItem(0, 0, new QStandardItem(U8("上传文件中..50..")));
  model.setItem(1, 0, new QStandardItem(U8("空闲")));
  QTableView view;
  view.setModel(&model);
  CProgressTextDelegate d(U8("上传文件中.."), U8(".."));
  auto paintRow = [&](int row) {
    QImage img(200, 20, QImage::Format_ARGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    QStyleOptionViewItem opt;
    opt.rect = QRect(0, 0, 200, 20);
    opt.widget = &view;
    opt.state = QStyle::State_Enabled;
    opt.palette = view.palette();
    opt.font = view.font();
    d.paint(&p, opt, model.index(row, 0));
    p.end();
    return img;
  };
  auto greenish = [](QRgb c) { return qGreen(c) > qRed(c) + 20 && qGreen(c) > qBlue(c) + 20; };
  // Inside the frame: the left half is mostly bar (glyphs cover some of it), the right half none.
  auto greenIn = [&](const QImage& img, int x0, int x1) {
    int n = 0;
    for (int x = x0; x < x1; ++x)
      for (int y = 4; y < 16; ++y) n += greenish(img.pixel(x, y)) ? 1 : 0;
    return n;
  };
  const QImage bar = paintRow(0);
  EXPECT_GT(greenIn(bar, 4, 96), 92 * 12 / 3);
  EXPECT_EQ(greenIn(bar, 104, 194), 0);
  const QImage plain = paintRow(1);
  EXPECT_EQ(greenIn(plain, 4, 194), 0);

  // The bar's frame stays clear of the first character: between the frame's left edge and the
  // first glyph pixel there is at least one column of neither.
  auto dark = [](QRgb c) { return qRed(c) < 110 && qGreen(c) < 110 && qBlue(c) < 110; };
  int frameX = -1, glyphX = -1;
  for (int x = 0; x < 60 && (frameX < 0 || glyphX < 0); ++x)
    for (int y = 3; y < 17; ++y) {
      if (frameX < 0 && greenish(bar.pixel(x, y)) && !dark(bar.pixel(x, y))) frameX = x;
      if (glyphX < 0 && dark(bar.pixel(x, y))) glyphX = x;
    }
  ASSERT_GE(frameX, 0);
  ASSERT_GE(glyphX, 0);
  EXPECT_GE(glyphX, frameX + 2);
}
