// The dialogs and the mail viewer on real widgets: what their fields decide is the UI model's;
// here, that each widget reaches it, refusals keep the dialog open, and what only a widget shows.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTreeWidget>

#include "desktop_workdir.h"
#include "support/file_bytes.h"
#include "ui/create_mailbox_dialog.h"
#include "ui/list_editor.h"
#include "ui/mailbox_dialog.h"
#include "ui/model/mailbox_pages.h"
#include "ui/options_dialog.h"
#include "ui/property_pages.h"
#include "ui/property_sheet.h"

namespace qm {

QStringList Rows(const QTreeWidget& list) {
  QStringList rows;
  for (int i = 0; i < list.topLevelItemCount(); ++i) rows << list.topLevelItem(i)->text(0);
  return rows;
}

// Replaces the field's text key by key, as the user would.
void Type(QLineEdit* field, const char* text) {
  field->selectAll();
  QTest::keyClick(field, Qt::Key_Backspace);
  QTest::keyClicks(field, text);
}

class DialogsTest : public QObject, protected CDesktopWorkdir {
  Q_OBJECT
  std::string Ini() const { return settings->Profile().Path(); }
  void BreakSettingsFile() const {
    std::filesystem::remove(Ini());
    std::filesystem::create_directory(Ini());
  }

 private slots:
  void init() { OpenWorkdir(); }
  void cleanup() { CloseWorkdir(); }

  // Addresses are bytes: a code-page-932 sender is shown as best it can be and deleted whole.
  void ListEditorReachesTheListsAndOnlyOkStoresTheSwitch() {
    for (const char* address : {"a@x.jp", "\x93\xfa\x96\x7b@x.jp"})
      lists.AddTo(SenderList::Friend, address);
    lists.AddTo(SenderList::Bad, "spam@");
    auto dialog = std::make_unique<CListEditorDialog>(lists, *settings, *ui);
    ShowExposed(*dialog);
    QTest::keyClicks(dialog->AddressField(), "c@x.jp");
    dialog->AddButton()->click();
    QTreeWidget& list = *dialog->AddressList();
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {},
                      list.visualItemRect(list.topLevelItem(2)).center());
    dialog->DeleteButton()->click();
    QCOMPARE(QString::fromStdString(told.at(0)),
             "\uFFFD\uFFFD\uFFFD{@x.jp を削除します。よろしいですか？");
    QCOMPARE(Rows(list), QStringList({"a@x.jp", "c@x.jp"}));
    QCOMPARE(lists.Entries(SenderList::Friend), (std::vector<std::string>{"a@x.jp", "c@x.jp"}));
    dialog->BadButton()->click();
    QCOMPARE(Rows(list), QStringList({"spam@"}));
    for (const bool ok : {false, true, true}) {
      if (lists.AddEmptyAddrToBadlist()) BreakSettingsFile();
      dialog = std::make_unique<CListEditorDialog>(lists, *settings, *ui);
      ShowExposed(*dialog);
      dialog->EmptyAddressBox()->click();
      ok ? dialog->OkButton()->click() : void(dialog->close());
    }
    QVERIFY(dialog->isVisible() && lists.AddEmptyAddrToBadlist());  // refused: kept and open
  }

  // A refused name leaves the creation dialog open; a mailbox made at the first start must not be
  // gone at the next, however the dialog is closed.
  void MailboxDialogRunsTheCreationAndSavesEveryWay() {
    CMailboxDialog dialog(*set, *ui);
    std::deque<QString> names{"a:b", " b ", "a"};
    dialog.SetDialogRunner([&names](QDialog& shown) {
      for (; shown.result() != QDialog::Accepted; names.pop_front()) {
        dynamic_cast<CCreateMailboxDialog&>(shown).NameField()->setText(names.front());
        dynamic_cast<CCreateMailboxDialog&>(shown).OkButton()->click();
      }
      return shown.result();
    });
    dialog.AddButton()->click();
    dialog.AddButton()->click();
    QCOMPARE(told, std::vector<std::string>{ForbiddenCharactersText()});
    for (const auto& [close, saved] : std::vector<std::pair<std::function<void()>, std::string>>{
             {[&] { QTest::keyClick(&dialog, Qt::Key_Escape); }, "a:b:"},
             {[&] { dialog.close(); }, "b:a:"},
             {[&] { dialog.CloseButton()->click(); }, "a:b:"}}) {
      ShowExposed(dialog);
      dialog.Select(1);
      dialog.UpButton()->click();
      close();
      QCOMPARE(settings->Profile().GetString("Mailbox", "Mailboxes", ""), saved);
    }
  }

  void OptionsShowTheStoredValuesAndOkWritesEveryFieldInOrder() {
    const std::string stored = "[Misc]\r\nNotifyBySound=0\r\n[Geometry]\r\nNotifyWindowPosX=-8\r\n";
    test::WriteFileBytes(Ini(), stored + "NotifyWindowPosY=4\r\n");
    CRecordingPlayer player;
    auto dialog = std::make_unique<COptionsDialog>(*settings, *ui, player);
    QVERIFY(!dialog->NotifyBySoundBox()->isChecked() && !dialog->PlayButton()->isEnabled());
    QVERIFY(dialog->PositionXField()->value() == -8 && dialog->PositionXField()->isEnabled());
    dialog->DefaultPositionBox()->click();
    dialog->NotifyBySoundBox()->click();
    QVERIFY(!dialog->PositionXField()->isEnabled() && dialog->PlayButton()->isEnabled());
    dialog->close();
    QCOMPARE(test::ReadFileBytes(Ini()), stored + "NotifyWindowPosY=4\r\n");
    std::filesystem::remove(Ini());
    dialog = std::make_unique<COptionsDialog>(*settings, *ui, player);
    test::WriteFileBytes("ding.wav", "RIFF");
    for (const char* file : {"", "gone.wav", "ding.wav"}) {
      dialog->SoundField()->setText(file);
      dialog->PlayButton()->click();
    }
    QCOMPARE(player.played,
             (decltype(player.played){{NotifySound::Beep, ""}, {NotifySound::File, "ding.wav"}}));
    QVERIFY(told == std::vector<std::string>{"指定したファイルがありません。"} &&
            !std::filesystem::exists(Ini()));
    dialog->PortField()->setValue(2110);
    dialog->MailerField()->setText("/opt/メーラ");
    dialog->StartupRetrieveBox()->click();
    dialog->NotifyTimeField()->setValue(5);
    dialog->DefaultPositionBox()->click();
    dialog->PositionXField()->setValue(-300);
    dialog->OkButton()->click();
    QCOMPARE(test::ReadFileBytes(Ini()),
             "[Mailbox]\r\nPort=2110\r\n[Misc]\r\nMailer=/opt/"
             "メーラ\r\nStartupRetrieve=0\r\nShowSplash=1\r\n"
             "NotifyTime=5\r\nNotifyBySound=1\r\nNotifySound=ding.wav\r\n[Geometry]"
             "\r\nNotifyWindowPosX=-300\r\nNotifyWindowPosY=0\r\n");
    BreakSettingsFile();
    dialog->show();
    dialog->OkButton()->click();
    QVERIFY(dialog->isVisible() && told.back() == "設定ファイルが保存できません。");
  }

  // One sheet worked key by key; Apply, OK and Cancel reach the mailbox as the pages' model
  // decides, and a refused local account keeps the sheet on its page.
  void PropertySheetPagesReachTheMailbox() {
    AddMailbox("a");
    AddMailbox("b");
    ProxyPageValues taken{"taken", "p", true, false, "takenbox", "q"};
    QVERIFY(ApplyProxyPage(*set, 1, taken, *ui));
    CMailbox& mailbox = *set->Get(0);
    mailbox.Client().account = {"pop.example.org", 110, "me", "pw", ConnectionSecurity::Plain, ""};
    mailbox.Config().SetServerDeletion(KeepOnServer);
    mailbox.Config().Set(CMailboxConfig::LimitDustbox, false);
    mailbox.Client().RegisterKnown("D1", "<d1@example.org>");
    mailbox.Client().ForgetDeleted("D1");  // deleted here, kept on the server
    CPropertySheet sheet(*set, 0, *ui);
    ShowExposed(sheet);
    const auto field = [&sheet](int page, const char* name) {
      return Child<QLineEdit>(*sheet.Page(page), name);
    };
    const auto button = [&sheet](int page, const char* name) {
      return Child<QAbstractButton>(*sheet.Page(page), name);
    };
    for (const char* combo : {"security", "auth"}) {  // the usual port follows the protection
      Child<QComboBox>(*sheet.Page(0), combo)->setFocus();
      QTest::keyClick(Child<QComboBox>(*sheet.Page(0), combo), Qt::Key_Down);
    }
    QVERIFY(!field(0, "password")->isEnabled() && !field(0, "passwordCommand")->isEnabled());
    Type(field(0, "tokenCommand"), "oama access you");
    sheet.ShowPage(1);
    QVERIFY(!button(1, "automatic")->isEnabled() && !field(1, "dustboxUser")->isEnabled());
    button(1, "access")->click();
    button(1, "automatic")->click();
    Type(field(1, "user"), "taken");
    Type(field(1, "password"), "secret");
    QCOMPARE(field(1, "dustboxUser")->text() + field(1, "dustboxPassword")->text(),
             "taken_dustboxsecret");
    sheet.ShowPage(3);
    QVERIFY(button(3, "keepOnServer")->isChecked() &&
            button(3, "deleteWhenRetrieved")->isChecked());
    QVERIFY(!button(3, "deleteWhenPurged")->isEnabled() && !field(3, "dustboxLimit")->isEnabled());
    for (const char* name : {"keepOnServer", "deleteWhenPurged", "refetch", "limitDustbox"})
      button(3, name)->click();
    Type(field(3, "dustboxLimit"), "20");
    sheet.OkButton()->click();
    QVERIFY(sheet.result() == QDialog::Rejected && sheet.CurrentPage() == 1);  // "b" has the name
    QCOMPARE(told, std::vector<std::string>{kLocalAccountRefusedText});
    Type(field(1, "user"), "mine");
    sheet.ShowPage(2);
    Type(field(2, "interval"), "600");
    button(2, "onDemand")->click();
    sheet.ApplyButton()->click();
    QVERIFY(!sheet.ApplyButton()->isEnabled() && button(3, "deleteWhenPurged")->isChecked());
    QCOMPARE(mailbox.Client().account,
             (CRemoteAccount{"pop.example.org", 995, "me", "pw", ConnectionSecurity::Tls, "",
                             AuthMethod::XOAuth2, "oama access you"}));
    const CMailboxConfig applied = mailbox.Config();
    QCOMPARE(applied.dustboxUser + std::to_string(applied.timerInterval) +
                 std::to_string(applied.dustboxLimit),
             "mine_dustbox60020");
    QVERIFY(applied.Has(CMailboxConfig::OnDemandRetrieval) &&
            applied.GetServerDeletion() == DeleteWhenPurged);
    QCOMPARE(field(3, "deletedHereCount")->text() +
                 QString::number(mailbox.Client().DeletedHere().Count()),
             "00");
    Type(field(2, "interval"), "900");
    sheet.CancelButton()->click();
    QCOMPARE(mailbox.Config(), applied);
  }
};

}  // namespace qm

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  app.setAttribute(Qt::AA_Use96Dpi, true);
  qm::DialogsTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "dialogs_test.moc"
