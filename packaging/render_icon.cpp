// Writes the console's application icon as PNG files for the desktop menu: one per size, in
// hicolor's layout (OUTDIR/SIZExSIZE/apps/dravlin.png). The icon is drawn in code, so the
// package's pictures are rendered from the same drawing rather than kept as copies.
#include <QDir>
#include <QGuiApplication>
#include <QPixmap>
#include <cstdio>

#include "ui/platform/resources.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fputs("Usage: dravlin-render-icon OUTDIR\n", stderr);
        return 2;
    }
    QGuiApplication app(argc, argv);
    const QString out = QString::fromLocal8Bit(argv[1]);
    const QIcon icon = LoadAppIcon();
    for (int size : {16, 24, 32, 48, 64, 128}) {
        const QString dir = QStringLiteral("%1/%2x%2/apps").arg(out).arg(size);
        const QPixmap pm = icon.pixmap(size, size);
        if (pm.width() != size || !QDir().mkpath(dir) || !pm.save(dir + QStringLiteral("/dravlin.png"), "PNG")) {
            std::fprintf(stderr, "dravlin-render-icon: cannot write the %dx%d icon under %s\n", size, size, argv[1]);
            return 1;
        }
    }
    return 0;
}
