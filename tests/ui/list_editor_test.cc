#include "ui/list_editor.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTreeWidget>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "desktop_workdir.h"

namespace qm {

// What the buttons do to the lists is tested on CListEditing; here, that the widgets reach it.
class ListEditorTest : public QObject, protected CDesktopWorkdir {
  Q_OBJECT

 private:
  std::unique_ptr<CSenderLists> senders;

  std::unique_ptr<CListEditorDialog> Open(const std::vector<std::string>& friends) {
    for (const std::string& address : friends) senders->AddTo(SenderList::Friend, address);
    auto dialog = std::make_unique<CListEditorDialog>(*senders, *settings, *ui);
    dialog->show();
    if (!QTest::qWaitForWindowExposed(dialog.get())) qFatal("not exposed");
    return dialog;
  }
  static QStringList Rows(const CListEditorDialog& dialog) {
    QStringList rows;
    QTreeWidget* list = dialog.AddressList();
    for (int i = 0; i < list->topLevelItemCount(); ++i) rows << list->topLevelItem(i)->text(0);
    return rows;
  }

 private slots:
  void init() {
    OpenWorkdir();
    senders = std::make_unique<CSenderLists>();
  }
  void cleanup() { CloseWorkdir(); }

  void ButtonsFollowTheFieldTheSelectionAndTheListChoice() {
    auto dialog = Open({"a@x.jp", "b@x.jp"});
    senders->AddTo(SenderList::Bad, "spam@");
    QVERIFY(!dialog->AddButton()->isEnabled() && !dialog->DeleteButton()->isEnabled());
    QTest::keyClicks(dialog->AddressField(), QStringLiteral("c@x.jp"));
    QVERIFY(dialog->AddButton()->isEnabled());
    dialog->AddButton()->click();
    QCOMPARE(Rows(*dialog), QStringList({"a@x.jp", "b@x.jp", "c@x.jp"}));

    const QTreeWidget& list = *dialog->AddressList();
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {},
                      list.visualItemRect(list.topLevelItem(1)).center());
    QVERIFY(dialog->DeleteButton()->isEnabled());
    dialog->DeleteButton()->click();
    QCOMPARE(answers.texts, std::vector<std::string>{"b@x.jp を削除します。よろしいですか？"});
    QCOMPARE(Rows(*dialog), QStringList({"a@x.jp", "c@x.jp"}));
    QCOMPARE(dialog->AddressField()->text(), QStringLiteral("b@x.jp"));
    QVERIFY(!dialog->DeleteButton()->isEnabled());

    dialog->BadButton()->click();
    QCOMPARE(dialog->Shown(), SenderList::Bad);
    QCOMPARE(Rows(*dialog), QStringList({"spam@"}));
    dialog->ShowList(SenderList::Friend);
    QVERIFY(dialog->FriendButton()->isChecked());
  }

  // Addresses are bytes: each row keeps its own, whatever the text shows.
  void AddressesAreShownAndDeletedWhole_data() {
    QTest::addColumn<QByteArray>("address");
    QTest::addColumn<QString>("shown");
    // Code page 932 bytes from a mail's sender are not UTF-8.
    QTest::newRow("not UTF-8") << QByteArray("\x93\xfa\x96\x7b@x.jp")
                               << QStringLiteral("\uFFFD\uFFFD\uFFFD{@x.jp");
    QTest::newRow("UTF-8") << QByteArray("山田@例え.jp") << QStringLiteral("山田@例え.jp");
  }
  void AddressesAreShownAndDeletedWhole() {
    QFETCH(QByteArray, address);
    QFETCH(QString, shown);
    auto dialog = Open({"a@x.jp", address.toStdString()});
    const QList<QTreeWidgetItem*> rows = dialog->AddressList()->findItems(shown, Qt::MatchExactly);
    QCOMPARE(rows.size(), 1);
    rows.front()->setSelected(true);
    dialog->DeleteSelected();
    QCOMPARE(QString::fromStdString(answers.texts.at(0)),
             shown + QStringLiteral(" を削除します。よろしいですか？"));
    QCOMPARE(senders->Entries(SenderList::Friend), std::vector<std::string>{"a@x.jp"});
    QCOMPARE(dialog->AddressField()->text(), shown);
  }

  void OnlyOkStoresTheSwitchAndARefusalKeepsTheDialogOpen() {
    auto dialog = Open({});
    dialog->EmptyAddressBox()->click();
    dialog->close();
    QVERIFY(!senders->AddEmptyAddrToBadlist());
    dialog = Open({});
    dialog->EmptyAddressBox()->click();
    dialog->OkButton()->click();
    QCOMPARE(dialog->result(), int(QDialog::Accepted));
    QVERIFY(senders->AddEmptyAddrToBadlist());

    std::filesystem::remove(settings->Profile().Path());
    QVERIFY(std::filesystem::create_directory(settings->Profile().Path()));
    dialog = Open({});
    QVERIFY(dialog->EmptyAddressBox()->isChecked());
    dialog->EmptyAddressBox()->click();
    dialog->OkButton()->click();
    QVERIFY(dialog->isVisible());
    QVERIFY(senders->AddEmptyAddrToBadlist());
  }
};

}  // namespace qm

QTEST_MAIN(qm::ListEditorTest)
#include "list_editor_test.moc"
