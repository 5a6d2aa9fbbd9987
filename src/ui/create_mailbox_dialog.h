// The dialog that asks for a new mailbox's name. OK refuses, and keeps the dialog open for, a
// name that cannot be a mailbox's; the name it accepts is trimmed.
//
// User-interface thread only.
#pragma once

#include <QDialog>
#include <string>

class QLineEdit;
class QPushButton;

namespace qm {

class IUserInterface;

class CCreateMailboxDialog : public QDialog {
  Q_OBJECT

 public:
  explicit CCreateMailboxDialog(IUserInterface& ui, QWidget* parent = nullptr);

  // The accepted name.
  const std::string& Name() const { return name; }
  QLineEdit* NameField() const { return field; }
  QPushButton* OkButton() const { return ok; }
  QPushButton* CancelButton() const { return cancel; }

 private:
  void OnOk();

  IUserInterface& ui;
  std::string name;
  QLineEdit* field;
  QPushButton* ok;
  QPushButton* cancel;
};

}  // namespace qm
