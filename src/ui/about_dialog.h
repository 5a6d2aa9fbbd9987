// The version dialog of the Help menu: the title picture and the program's version.
#pragma once

#include <QDialog>

class QLabel;

namespace qm {

class CAboutDialog : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDialog(QWidget* parent = nullptr);

  QLabel* VersionLabel() const { return version; }

 private:
  QLabel* version;
};

// "Version x.y.z" for the program's own version.
QString VersionText();

// Shows the dialog modally and returns when it is closed.
void ShowAboutDialog(QWidget* parent);

}  // namespace qm
