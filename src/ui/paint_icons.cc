// Paints the program's icon for installation: qm_paint_icons DIR SIZE... writes
// DIR/SIZExSIZE/apps/qm_mailfilter.png for each size, the layout of an icon theme. Runs at build
// time without a display.
#include <QDir>
#include <QImage>
#include <QString>
#include <cstdio>

#include "ui/artwork.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: qm_paint_icons DIR SIZE...\n");
    return 2;
  }
  const QString root = QString::fromLocal8Bit(argv[1]);
  for (int i = 2; i < argc; ++i) {
    bool number = false;
    const int size = QString::fromLatin1(argv[i]).toInt(&number);
    if (!number || size < 16 || size > 1024) {
      std::fprintf(stderr, "qm_paint_icons: not a size from 16 to 1024: %s\n", argv[i]);
      return 2;
    }
    const QString folder = QStringLiteral("%1/%2x%2/apps").arg(root).arg(size);
    const QString file = folder + QStringLiteral("/qm_mailfilter.png");
    if (!QDir().mkpath(folder) || !qm::ApplicationIcon(size).save(file, "PNG")) {
      std::fprintf(stderr, "qm_paint_icons: cannot write %s\n", qPrintable(file));
      return 1;
    }
  }
  return 0;
}
