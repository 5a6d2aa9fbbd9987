#include "ui/list_editor.h"

#include <QCheckBox>
#include <QDir>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/settings.h"
#include "classify/sender_lists.h"
#include "desktop_workdir.h"
#include "platform/profile.h"

namespace qm {

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

class ListEditorTest : public QObject, protected CDesktopWorkdir {
  Q_OBJECT

 private:
  std::unique_ptr<CSenderLists> senders;

  std::string Dir() const { return directory->path().toStdString(); }
  // Lists loaded from files, so that nothing counts as changed at the start.
  void LoadLists(const std::vector<std::string>& friends, const std::vector<std::string>& bads) {
    CSenderLists made;
    for (const std::string& address : friends) made.AddTo(SenderList::Friend, address);
    for (const std::string& address : bads) made.AddTo(SenderList::Bad, address);
    if (!made.SaveChanged(Dir())) qFatal("lists not saved");
    senders = std::make_unique<CSenderLists>();
    senders->Load(Dir());
  }
  std::unique_ptr<CListEditorDialog> Open() {
    auto dialog = std::make_unique<CListEditorDialog>(*senders, *settings, *ui);
    dialog->show();
    return dialog;
  }
  static QStringList Rows(const CListEditorDialog& dialog) {
    QStringList rows;
    QTreeWidget* list = dialog.AddressList();
    for (int i = 0; i < list->topLevelItemCount(); ++i) rows << list->topLevelItem(i)->text(0);
    return rows;
  }
  static void ClickRow(CListEditorDialog& dialog, int row, Qt::KeyboardModifiers keys = {}) {
    QTreeWidget* list = dialog.AddressList();
    const QRect rect = list->visualItemRect(list->topLevelItem(row));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, keys, rect.center());
  }

 private slots:
  void init() {
    OpenWorkdir();
    LoadLists({"b@x.jp", "a@x.jp", "c@x.jp"}, {"spam@", "a@x.jp"});
  }
  void cleanup() {
    senders.reset();
    CloseWorkdir();
  }

  void OpensOnTheFriendListWithItsControls() {
    senders->SetAddEmptyAddrToBadlist(true);
    auto dialog = Open();
    QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
    QCOMPARE(dialog->windowTitle(), QStringLiteral("フレンド／バッドリスト設定"));
    QCOMPARE(dialog->AddButton()->text(), QStringLiteral("追 加"));
    QCOMPARE(dialog->DeleteButton()->text(), QStringLiteral("削 除"));
    QCOMPARE(dialog->FriendButton()->text(), QStringLiteral("フレンドリスト"));
    QCOMPARE(dialog->BadButton()->text(), QStringLiteral("バッドリスト"));
    QCOMPARE(dialog->EmptyAddressBox()->text(),
             QStringLiteral("バッドリストに空のアドレスを含める"));
    QCOMPARE(dialog->OkButton()->text(), QStringLiteral("OK"));
    QTreeWidget* list = dialog->AddressList();
    QCOMPARE(list->columnCount(), 1);
    QCOMPARE(list->headerItem()->text(0), QStringLiteral("Mail Address"));
    QCOMPARE(list->columnWidth(0), 300);

    QVERIFY(dialog->FriendButton()->isChecked());
    QCOMPARE(dialog->Shown(), SenderList::Friend);
    QCOMPARE(Rows(*dialog), QStringList({"a@x.jp", "b@x.jp", "c@x.jp"}));
    QVERIFY(dialog->EmptyAddressBox()->isChecked());
    QVERIFY(!dialog->AddButton()->isEnabled());
    QVERIFY(!dialog->DeleteButton()->isEnabled());
    ClickRow(*dialog, 1);
    QVERIFY(dialog->DeleteButton()->isEnabled());
  }

  void AddButtonFollowsTheFieldAndAddingKeepsOneEntry() {
    auto dialog = Open();
    QTest::keyClicks(dialog->AddressField(), QStringLiteral("d"));
    QVERIFY(dialog->AddButton()->isEnabled());
    QTest::keyClick(dialog->AddressField(), Qt::Key_Backspace);
    QVERIFY(!dialog->AddButton()->isEnabled());

    QTest::keyClicks(dialog->AddressField(), QStringLiteral("b@x.jp"));
    dialog->AddButton()->click();
    QCOMPARE(Rows(*dialog), QStringList({"a@x.jp", "b@x.jp", "c@x.jp"}));
    QCOMPARE(dialog->AddressField()->text(), QStringLiteral("b@x.jp"));
    QVERIFY(senders->Changed());

    // Typed exactly, blanks and case included.
    dialog->AddressField()->setText(QStringLiteral(" D@x.jp"));
    dialog->AddButton()->click();
    QCOMPARE(Rows(*dialog), QStringList({" D@x.jp", "a@x.jp", "b@x.jp", "c@x.jp"}));
    QVERIFY(!dialog->DeleteButton()->isEnabled());
  }

  void AddingToOneListLeavesTheOther() {
    auto dialog = Open();
    dialog->AddressField()->setText(QStringLiteral("spam@"));
    dialog->AddButton()->click();
    QVERIFY(senders->InFriendList("spam@x.jp"));
    QVERIFY(senders->InBadList("spam@x.jp"));
    dialog->BadButton()->click();
    QCOMPARE(Rows(*dialog), QStringList({"a@x.jp", "spam@"}));
    dialog->AddressField()->setText(QStringLiteral("c@x.jp"));
    dialog->AddButton()->click();
    QCOMPARE(Rows(*dialog), QStringList({"a@x.jp", "c@x.jp", "spam@"}));
    QVERIFY(senders->InFriendList("c@x.jp"));
  }

  void SwitchingListsRefillsAndDisablesDelete() {
    auto dialog = Open();
    ClickRow(*dialog, 0);
    QVERIFY(dialog->DeleteButton()->isEnabled());
    dialog->BadButton()->click();
    QCOMPARE(dialog->Shown(), SenderList::Bad);
    QVERIFY(!dialog->FriendButton()->isChecked());
    QCOMPARE(Rows(*dialog), QStringList({"a@x.jp", "spam@"}));
    QVERIFY(!dialog->DeleteButton()->isEnabled());
    QVERIFY(dialog->AddressList()->selectedItems().isEmpty());
    ClickRow(*dialog, 1);
    dialog->ShowList(SenderList::Friend);
    QVERIFY(dialog->FriendButton()->isChecked());
    QCOMPARE(Rows(*dialog), QStringList({"a@x.jp", "b@x.jp", "c@x.jp"}));
    QVERIFY(!dialog->DeleteButton()->isEnabled());
    QVERIFY(!senders->Changed());
  }

  void DeletingOneRowPutsItIntoTheField() {
    auto dialog = Open();
    QVERIFY(!dialog->AddButton()->isEnabled());
    ClickRow(*dialog, 1);
    answers.queue = {Answer::Ok};
    dialog->DeleteButton()->click();
    QCOMPARE(answers.texts, std::vector<std::string>{"b@x.jp を削除します。よろしいですか？"});
    QCOMPARE(Rows(*dialog), QStringList({"a@x.jp", "c@x.jp"}));
    QVERIFY(!senders->InFriendList("b@x.jp"));
    QCOMPARE(dialog->AddressField()->text(), QStringLiteral("b@x.jp"));
    QVERIFY(dialog->AddButton()->isEnabled());
    QVERIFY(!dialog->DeleteButton()->isEnabled());
    QVERIFY(senders->Changed());
    // Corrected and added again.
    dialog->AddButton()->click();
    QCOMPARE(Rows(*dialog), QStringList({"a@x.jp", "b@x.jp", "c@x.jp"}));
  }

  void DeletingSeveralRowsAsksWithTheirNumber() {
    auto dialog = Open();
    dialog->AddressField()->setText(QStringLiteral("typed"));
    ClickRow(*dialog, 0);
    ClickRow(*dialog, 2, Qt::ControlModifier);
    answers.queue = {Answer::Ok};
    dialog->DeleteButton()->click();
    QCOMPARE(answers.texts,
             std::vector<std::string>{"2 個のメールアドレスを削除します。よろしいですか？"});
    QCOMPARE(Rows(*dialog), QStringList({"b@x.jp"}));
    QCOMPARE(dialog->AddressField()->text(), QStringLiteral("typed"));
    // The bad list's copy of a@x.jp is not the friend list's.
    QVERIFY(senders->InBadList("a@x.jp"));
  }

  void CancelChangesNothing() {
    auto dialog = Open();
    for (const int count : {1, 3}) {
      dialog->AddressList()->clearSelection();
      for (int row = 0; row < count; ++row) {
        dialog->AddressList()->topLevelItem(row)->setSelected(true);
      }
      answers.queue = {Answer::Cancel};
      dialog->DeleteButton()->click();
      QCOMPARE(Rows(*dialog), QStringList({"a@x.jp", "b@x.jp", "c@x.jp"}));
      QVERIFY(dialog->AddressField()->text().isEmpty());
      QVERIFY(dialog->DeleteButton()->isEnabled());
    }
    QCOMPARE(answers.texts.size(), std::size_t{2});
    QVERIFY(!senders->Changed());
  }

  void DeletingWithoutSelectionSaysSo() {
    auto dialog = Open();
    dialog->DeleteSelected();
    QCOMPARE(answers.texts, std::vector<std::string>{"削除するアカウントを選択してください。"});
    QCOMPARE(Rows(*dialog).size(), 3);
    QVERIFY(!senders->Changed());
  }

  void AddressesAreShownAndDeletedWhole_data() {
    QTest::addColumn<QByteArray>("address");
    QTest::addColumn<QString>("shown");
    const QByteArray longAddress = QByteArray(144, 'l') + "@x.jp";
    QTest::newRow("150 bytes") << longAddress << QString::fromLatin1(longAddress);
    // Code page 932 bytes from a mail's sender are not UTF-8.
    QTest::newRow("not UTF-8") << QByteArray("\x93\xfa\x96\x7b@x.jp")
                               << QStringLiteral("\uFFFD\uFFFD\uFFFD{@x.jp");
    QTest::newRow("UTF-8") << QByteArray("山田@例え.jp") << QStringLiteral("山田@例え.jp");
  }
  void AddressesAreShownAndDeletedWhole() {
    QFETCH(QByteArray, address);
    QFETCH(QString, shown);
    LoadLists({"a@x.jp", address.toStdString()}, {});
    auto dialog = Open();
    QTreeWidget* list = dialog->AddressList();
    const QList<QTreeWidgetItem*> rows = list->findItems(shown, Qt::MatchExactly);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.front()->data(0, Qt::UserRole).toByteArray(), address);
    rows.front()->setSelected(true);
    answers.queue = {Answer::Ok};
    dialog->DeleteButton()->click();
    QCOMPARE(answers.texts.size(), std::size_t{1});
    QCOMPARE(QString::fromStdString(answers.texts.front()),
             shown + QStringLiteral(" を削除します。よろしいですか？"));
    QCOMPARE(Rows(*dialog), QStringList({"a@x.jp"}));
    QCOMPARE(senders->Entries(SenderList::Friend), std::vector<std::string>{"a@x.jp"});
    QCOMPARE(dialog->AddressField()->text(), shown);
  }

  void OkStoresTheSwitchAndTheCloseBoxDoesNot() {
    const std::string ini = settings->Profile().Path();
    {
      auto dialog = Open();
      dialog->EmptyAddressBox()->click();
      dialog->AddressField()->setText(QStringLiteral("new@x.jp"));
      dialog->AddButton()->click();
      dialog->close();
      QCOMPARE(dialog->result(), int(QDialog::Rejected));
    }
    QVERIFY(!senders->AddEmptyAddrToBadlist());
    QVERIFY(!std::filesystem::exists(ini));
    QVERIFY(senders->InFriendList("new@x.jp"));
    {
      auto dialog = Open();
      QVERIFY(!dialog->EmptyAddressBox()->isChecked());
      dialog->EmptyAddressBox()->click();
      dialog->OkButton()->click();
      QCOMPARE(dialog->result(), int(QDialog::Accepted));
    }
    QVERIFY(senders->AddEmptyAddrToBadlist());
    QCOMPARE(ReadAll(ini), std::string("[ProcessMail]\r\nAddEmptyAddrToBadlist=1\r\n"));
    {
      auto dialog = Open();
      QVERIFY(dialog->EmptyAddressBox()->isChecked());
      dialog->EmptyAddressBox()->click();
      dialog->OkButton()->click();
    }
    QVERIFY(!senders->AddEmptyAddrToBadlist());
    QCOMPARE(settings->Get(settings::AddEmptyAddrToBadlist), 0);
    QVERIFY(answers.texts.empty());
  }

  void UnwritableSettingsKeepTheDialogOpen() {
    QVERIFY(std::filesystem::create_directory(settings->Profile().Path()));
    auto dialog = Open();
    dialog->EmptyAddressBox()->click();
    dialog->OkButton()->click();
    QCOMPARE(answers.texts, std::vector<std::string>{"設定ファイルが保存できません。"});
    QVERIFY(dialog->isVisible());
    QVERIFY(!senders->AddEmptyAddrToBadlist());
  }
};

}  // namespace qm

QTEST_MAIN(qm::ListEditorTest)
#include "list_editor_test.moc"
