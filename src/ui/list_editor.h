// The friend/bad list editor: the addresses of one sender list at a time, with adding and
// deleting, and the switch that makes an empty sender address count as bad.
//
// Additions and deletions go to the lists at once and mark them changed; the program's idle step
// writes the files. Only OK stores the switch; closing the window otherwise leaves it as it was.
//
// User-interface thread only.
#pragma once

#include <QDialog>
#include <string>

#include "classify/sender_lists.h"

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
  static constexpr const char* kTitle = "フレンド／バッドリスト設定";
  static constexpr const char* kSelectFirstText = "削除するアカウントを選択してください。";
  static constexpr const char* kSettingsNotSavedText = "設定ファイルが保存できません。";
  static constexpr int kColumnWidth = 300;

  // "<address> を削除します。よろしいですか？" and "<n>
  // 個のメールアドレスを削除します。よろしいですか？".
  static std::string DeleteOneQuestion(const std::string& address);
  static std::string DeleteManyQuestion(int count);

  CListEditorDialog(CSenderLists& lists, CSettings& settings, IUserInterface& ui,
                    QWidget* parent = nullptr);

  SenderList Shown() const { return shown; }
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

  CSenderLists& lists;
  CSettings& settings;
  IUserInterface& ui;
  SenderList shown = SenderList::Friend;
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
