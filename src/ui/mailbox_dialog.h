// The mailbox settings dialog: the list of mailboxes, with buttons to add one, delete one, open
// one's property sheet and move one up or down; what the buttons do is in ui/model/mailbox_pages.h.
// However it closes ("閉じる" accepts, the window's close box and Escape reject), it saves the list
// of mailboxes. Stopping the retrieval timers meanwhile and choosing the current mailbox
// afterwards are the caller's.
//
// User-interface thread only.
#pragma once

#include <QDialog>
#include <functional>

class QPushButton;
class QTreeWidget;

namespace qm {

class CMailboxSet;
class IUserInterface;

class CMailboxDialog : public QDialog {
  Q_OBJECT

 public:
  // Runs a dialog that the buttons open (the creation dialog, a property sheet) and returns its
  // result; exec by default. Tests answer the dialogs through it.
  using DialogRunner = std::function<int(QDialog& dialog)>;

  CMailboxDialog(CMailboxSet& set, IUserInterface& ui, QWidget* parent = nullptr);

  void SetDialogRunner(DialogRunner runner);

  // The first selected row, or -1.
  int Selected() const;
  void Select(int row);

  QTreeWidget* List() const { return list; }
  QPushButton* AddButton() const { return addButton; }
  QPushButton* DeleteButton() const { return deleteButton; }
  QPushButton* PropertiesButton() const { return propertiesButton; }
  QPushButton* UpButton() const { return upButton; }
  QPushButton* DownButton() const { return downButton; }
  QPushButton* CloseButton() const { return closeButton; }

  void done(int result) override;

 private:
  void Fill();
  void OnAdd();
  void OnDelete();
  void OnProperties();
  void OnUp();
  void OnDown();
  void Move(bool up);
  void OnClose();

  CMailboxSet& set;
  IUserInterface& ui;
  DialogRunner runDialog;
  QTreeWidget* list;
  QPushButton* addButton;
  QPushButton* deleteButton;
  QPushButton* propertiesButton;
  QPushButton* upButton;
  QPushButton* downButton;
  QPushButton* closeButton;
};

}  // namespace qm
