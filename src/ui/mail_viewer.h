// The mail viewer window: one stored mail in a modeless, resizable dialog. What it shows and how
// its parts move come from CMailViewerModel and the layout functions beside it; this class only
// puts them on the screen.
//
// User-interface thread only.
#pragma once

#include <QDialog>

#include "ui/model/viewer.h"

class QCheckBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace qm {

class CMailMessage;
class CProfile;

class CMailViewer : public QDialog {
  Q_OBJECT

 public:
  // Takes its own copy of `message`; `profile` keeps the last viewer's geometry and must outlive
  // the viewer. The viewer deletes itself when it is closed.
  CMailViewer(const CMailMessage& message, CProfile& profile, QWidget* parent = nullptr);
  ~CMailViewer() override;

  // How many viewers are open in the whole program.
  static int OpenCount();

  QLineEdit* SubjectField() const { return subject; }
  QLineEdit* FromField() const { return from; }
  QLineEdit* DateField() const { return date; }
  QCheckBox* HeaderBox() const { return headerBox; }
  QCheckBox* UndecodedBox() const { return undecodedBox; }
  QPlainTextEdit* BodyField() const { return body; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void OnHeaderClicked(bool checked);
  void OnUndecodedClicked(bool checked);
  void ShowModel();

  CMailViewerModel model;
  CProfile& profile;
  QLineEdit* subject;
  QLineEdit* from;
  QLineEdit* date;
  QCheckBox* headerBox;
  QCheckBox* undecodedBox;
  QPlainTextEdit* body;
  QPushButton* ok;
  ViewerMargins margins;
  int minimumWidth = 0;
  int minimumHeight = 0;
};

// Opens a viewer for `message` and shows it; it closes and frees itself.
CMailViewer* OpenMailViewer(const CMailMessage& message, CProfile& profile, QWidget* parent);

}  // namespace qm
