// The four pages of a mailbox's property sheet: the remote account, the local account the mail
// client uses, receiving, and deletion. Each page copies its fields from the mailbox when it is
// built and writes them back only when the sheet applies it; the rules behind the fields live in
// ui/model/mailbox_pages.h.
//
// User-interface thread only.
#pragma once

#include <QWidget>
#include <array>

#include "ui/model/mailbox_pages.h"

class QAbstractButton;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace qm {

class CMailboxSet;
class IUserInterface;

class CPropertyPage : public QWidget {
  Q_OBJECT

 public:
  CPropertyPage(CMailboxSet& set, int index, IUserInterface& ui, QWidget* parent);

  // The tab's text.
  virtual QString Title() const = 0;
  // Writes the page to the mailbox under its retrieval lock; false when the page refused its
  // values (the user has been told), with nothing written.
  virtual bool Apply() = 0;

  bool Modified() const { return modified; }
  void SetModified(bool on);

 signals:
  void ModifiedChanged();

 protected:
  // Marks the page modified whenever the user edits the field or clicks the button.
  void Watch(QLineEdit* field);
  void Watch(QAbstractButton* button);

  CMailboxSet& set;
  const int index;
  IUserInterface& ui;

 private:
  bool modified = false;
};

class CPropertyAccount : public CPropertyPage {
  Q_OBJECT

 public:
  CPropertyAccount(CMailboxSet& set, int index, IUserInterface& ui, QWidget* parent = nullptr);
  QString Title() const override;
  bool Apply() override;

 private:
  AccountPageValues Values() const;
  void OnSecurityChanged(int choice);
  void EnableLoginFields();

  QLineEdit* server;
  QLineEdit* port;
  QLineEdit* user;
  QLineEdit* password;
  QComboBox* security;
  QLineEdit* caFile;
  QComboBox* auth;
  QLineEdit* passwordCommand;
  QLineEdit* tokenCommand;
};

class CPropertyProxy : public CPropertyPage {
  Q_OBJECT

 public:
  CPropertyProxy(CMailboxSet& set, int index, IUserInterface& ui, QWidget* parent = nullptr);
  QString Title() const override;
  bool Apply() override;

 private:
  ProxyPageValues Values() const;
  void Show(const ProxyPageValues& values);
  void EnableDustboxControls();
  // Fills the dustbox account from the account when the automatic setting says so.
  void FillAutomatically();

  QLineEdit* user;
  QLineEdit* password;
  QCheckBox* access;
  QPushButton* automatic;
  QLineEdit* dustboxUser;
  QLineEdit* dustboxPassword;
};

class CPropertyRecieve : public CPropertyPage {
  Q_OBJECT

 public:
  CPropertyRecieve(CMailboxSet& set, int index, IUserInterface& ui, QWidget* parent = nullptr);
  QString Title() const override;
  bool Apply() override;

 private:
  struct GridBoxes {
    QCheckBox* dustbox;
    QCheckBox* hide;
    QCheckBox* notify;
  };

  QCheckBox* timer;
  QLineEdit* interval;
  QCheckBox* onDemand;
  std::array<GridBoxes, kReceiveGrid.size()> grid;
};

class CPropertyDustbox : public CPropertyPage {
  Q_OBJECT

 public:
  CPropertyDustbox(CMailboxSet& set, int index, IUserInterface& ui, QWidget* parent = nullptr);
  QString Title() const override;
  bool Apply() override;

 private:
  DustboxPageValues Values() const;
  void Show(const DustboxPageValues& values);
  void EnableControls();

  QCheckBox* keepOnServer;
  std::array<QRadioButton*, 3> modes;
  QCheckBox* keepFriend;
  QCheckBox* keepOther;
  QLineEdit* deletedHereCount;
  QPushButton* refetch;
  QCheckBox* limitDustbox;
  QLineEdit* dustboxLimit;
  QCheckBox* openDustboxAtExit;
};

}  // namespace qm
