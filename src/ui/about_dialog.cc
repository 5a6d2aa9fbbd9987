#include "ui/about_dialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/artwork.h"

#ifndef QM_VERSION
#error "QM_VERSION must be defined by the build"
#endif

namespace qm {

QString VersionText() { return QStringLiteral("Version %1").arg(QStringLiteral(QM_VERSION)); }

CAboutDialog::CAboutDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Quillmoor Mail Filter バージョン情報"));
  auto* picture = new QLabel(this);
  picture->setPixmap(SplashPicture());
  picture->setAlignment(Qt::AlignCenter);
  version = new QLabel(VersionText(), this);
  version->setAlignment(Qt::AlignCenter);
  version->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(picture);
  layout->addWidget(version);
  layout->addWidget(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

void ShowAboutDialog(QWidget* parent) {
  CAboutDialog dialog(parent);
  dialog.exec();
}

}  // namespace qm
