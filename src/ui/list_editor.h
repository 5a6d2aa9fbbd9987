// The friend/bad list editor: the addresses of one sender list at a time, with adding and
// deleting, and the switch that makes an empty sender address count as bad. What the buttons do
// is CListEditing's; the dialog shows it.
//
// User-interface thread only.
#pragma once

#include <QDialog>
#include <string>

#include "classify/sender_lists.h"
#include "ui/model/list_editing.h"

class QCheckBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTreeWidget;

namespace qm {

class CSettings;
class IUserInterface;

class CListEditorDialog : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kColumnWidth = 300;

  CListEditorDialog(CSenderLists& lists, CSettings& settings, IUserInterface& ui,
                    QWidget* parent = nullptr);

  SenderList Shown() const { return editing.Shown(); }
  // Each row holds its address's exact bytes under Qt::UserRole; the text shows them as UTF-8.
  QTreeWidget* AddressList() const { return list; }
  QLineEdit* AddressField() const { return field; }
  QPushButton* AddButton() const { return addButton; }
  QPushButton* DeleteButton() const { return deleteButton; }
  QRadioButton* FriendButton() const { return friendButton; }
  QRadioButton* BadButton() const { return badButton; }
  QCheckBox* EmptyAddressBox() const { return emptyAddressBox; }
  QPushButton* OkButton() const { return okButton; }

  // What the buttons do, callable without them (a disabled button cannot be clicked).
  void ShowList(SenderList which);
  void AddAddress();
  void DeleteSelected();

 private:
  void Refill();
  void Store();

  CListEditing editing;
  QTreeWidget* list;
  QLineEdit* field;
  QPushButton* addButton;
  QPushButton* deleteButton;
  QRadioButton* friendButton;
  QRadioButton* badButton;
  QCheckBox* emptyAddressBox;
  QPushButton* okButton;
};

}  // namespace qm
