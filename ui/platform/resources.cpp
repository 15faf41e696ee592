#include "ui/platform/resources.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include "ui/platform/resource.h"
#include "ui/resources/dchan_ctrl_ids.h"

#if defined(DRAVLIN_HAVE_IMAGING)
#include "imaging/factory_picture.h"
#endif

QString LoadString(int id) {
  switch (id) {
    case IDS_ABOUTBOX: return QString::fromUtf8("关于 Dravlin(&A)...");
    case IDP_SOCKETS_INIT_FAILED: return QString::fromUtf8("Windows 套接字初始化失败。");
    default: return QString();
  }
}

namespace {

// A recorder front panel: dark body, a lens ring and a green status light.
QPixmap DrawIcon(int size) {
  QPixmap pm(size, size);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal s = size;
  QRectF body(s * 0.06, s * 0.22, s * 0.88, s * 0.56);
  QPainterPath path;
  path.addRoundedRect(body, s * 0.10, s * 0.10);
  p.fillPath(path, QColor(0x1d, 0x4e, 0x89));
  p.setPen(QPen(QColor(0x0b, 0x2a, 0x4f), qMax(1.0, s / 32)));
  p.drawPath(path);
  QPointF lens(s * 0.36, s * 0.50);
  p.setBrush(QColor(0xe8, 0xee, 0xf6));
  p.setPen(Qt::NoPen);
  p.drawEllipse(lens, s * 0.19, s * 0.19);
  p.setBrush(QColor(0x10, 0x18, 0x28));
  p.drawEllipse(lens, s * 0.11, s * 0.11);
  p.setBrush(QColor(0x3c, 0xd0, 0x6a));
  p.drawEllipse(QPointF(s * 0.76, s * 0.36), s * 0.06, s * 0.06);
  p.setBrush(QColor(0xe8, 0xee, 0xf6));
  p.drawRect(QRectF(s * 0.62, s * 0.56, s * 0.24, s * 0.06));
  return pm;
}

MenuPopup CanvasPopup(const std::vector<std::pair<int, int>>& items) {
  MenuPopup popup{QString::fromUtf8("画布"), {}};
  for (auto [count, id] : items) popup.items.push_back({id, QString::number(count) + QString::fromUtf8("画面"), {}});
  return popup;
}

}  // namespace

QIcon LoadAppIcon() {
  static const QIcon icon = [] {
    QIcon i;
    for (int size : {16, 24, 32, 48, 64, 128}) i.addPixmap(DrawIcon(size));
    return i;
  }();
  return icon;
}

const MenuResource* LoadMenuResource(int id) {
  if (id != IDR_MENU_CANVAS) return nullptr;
  // Six canvas pop-ups of growing size; the ids are the channel page's command ids.
  static const MenuResource canvas{{
      CanvasPopup({{1, ID_CANVAS0_1}, {2, ID_CANVAS0_2}, {4, ID_CANVAS0_4}}),
      CanvasPopup({{1, ID_CANVAS1_1},
                   {2, ID_CANVAS1_2},
                   {4, ID_CANVAS1_4},
                   {6, ID_CANVAS1_6},
                   {8, ID_CANVAS1_8},
                   {9, ID_CANVAS1_9}}),
      CanvasPopup({{1, ID_CANVAS2_1},
                   {2, ID_CANVAS2_2},
                   {4, ID_CANVAS2_4},
                   {6, ID_CANVAS2_6},
                   {8, ID_CANVAS2_8},
                   {9, ID_CANVAS2_9},
                   {10, ID_CANVAS2_10},
                   {16, ID_CANVAS2_16}}),
      CanvasPopup({{1, ID_CANVAS3_1},
                   {2, ID_CANVAS3_2},
                   {4, ID_CANVAS3_4},
                   {6, ID_CANVAS3_6},
                   {8, ID_CANVAS3_8},
                   {9, ID_CANVAS3_9},
                   {10, ID_CANVAS3_10},
                   {16, ID_CANVAS3_16},
                   {25, ID_CANVAS3_25}}),
      CanvasPopup({{1, ID_CANVAS4_1},
                   {2, ID_CANVAS4_2},
                   {4, ID_CANVAS4_4},
                   {6, ID_CANVAS4_6},
                   {8, ID_CANVAS4_8},
                   {9, ID_CANVAS4_9},
                   {10, ID_CANVAS4_10},
                   {16, ID_CANVAS4_16},
                   {25, ID_CANVAS4_25},
                   {32, ID_CANVAS4_32}}),
      CanvasPopup({{1, ID_CANVAS5_1},
                   {2, ID_CANVAS5_2},
                   {4, ID_CANVAS5_4},
                   {6, ID_CANVAS5_6},
                   {8, ID_CANVAS5_8},
                   {9, ID_CANVAS5_9},
                   {10, ID_CANVAS5_10},
                   {16, ID_CANVAS5_16},
                   {25, ID_CANVAS5_25},
                   {32, ID_CANVAS5_32},
                   {36, ID_CANVAS5_36}}),
  }};
  return &canvas;
}

BinaryResource FindBinaryResource(int id) {
  BinaryResource res;
#if defined(DRAVLIN_HAVE_IMAGING)
  if (id == IDR_FACTORY_BOOT_JPEG) {
    res.data = factory_boot_jpeg_data();
    res.size = factory_boot_jpeg_size();
  }
#else
  (void)id;
#endif
  return res;
}
