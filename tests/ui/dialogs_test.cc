// The dialogs on real widgets: what their fields decide is the UI model's; here, that each widget
// reaches it, and that a refusal keeps the dialog open and loses nothing.
#include <QApplication>
#include <QCheckBox>
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
    QCOMPARE(lists.Entries(SenderList::Friend), (std::vector<std::string>{"a@x.jp", "c@x.jp"}));
    dialog->BadButton()->click();
    QCOMPARE(list.topLevelItemCount(), 0);
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
    const std::string stored =
        "[Misc]\r\nNotifyBySound=0\r\n[Geometry]\r\nNotifyWindowPosX=-8\r\nNotifyWindowPosY=4\r\n";
    test::WriteFileBytes(Ini(), stored);
    CRecordingPlayer player;
    auto dialog = std::make_unique<COptionsDialog>(*settings, *ui, player);
    QVERIFY(!dialog->NotifyBySoundBox()->isChecked() && !dialog->PlayButton()->isEnabled());
    QVERIFY(dialog->PositionXField()->value() == -8 && dialog->PositionXField()->isEnabled());
    dialog->DefaultPositionBox()->click();
    QVERIFY(!dialog->PositionXField()->isEnabled());
    dialog->close();
    QCOMPARE(test::ReadFileBytes(Ini()), stored);
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
             "NotifyTime=5\r\nNotifyBySound=1\r\nNotifySound=ding.wav\r\n"
             "[Geometry]\r\nNotifyWindowPosX=-300\r\nNotifyWindowPosY=0\r\n");
    BreakSettingsFile();
    dialog->show();
    dialog->OkButton()->click();
    QVERIFY(dialog->isVisible() && told.back() == "設定ファイルが保存できません。");
  }

  // The pages reach the mailbox as their model decides; a refused local account keeps the sheet
  // open on its page, and after an Apply the pages show what was stored.
  void PropertySheetReachesTheMailboxAndARefusalKeepsItsPage() {
    AddMailbox("a");
    AddMailbox("b");
    ProxyPageValues taken{"taken", "p", true, false, "takenbox", "q"};
    QVERIFY(ApplyProxyPage(*set, 1, taken, *ui));
    set->Get(0)->Config().SetServerDeletion(KeepOnServer);
    CPropertySheet sheet(*set, 0, *ui);
    ShowExposed(sheet);
    const auto text = [&sheet](int page, const char* name) {
      return Child<QLineEdit>(*sheet.Page(page), name);
    };
    const auto box = [&sheet](int page, const char* name) {
      return Child<QAbstractButton>(*sheet.Page(page), name);
    };
    QVERIFY(box(3, "deleteWhenRetrieved")->isChecked() &&
            !box(3, "deleteWhenRetrieved")->isEnabled());
    box(3, "keepOnServer")->click();
    box(3, "deleteWhenPurged")->click();
    sheet.ShowPage(1);
    box(1, "access")->click();
    box(1, "automatic")->click();
    Type(text(1, "user"), "taken");
    Type(text(1, "password"), "secret");
    sheet.OkButton()->click();
    QVERIFY(sheet.result() == QDialog::Rejected && sheet.CurrentPage() == 1 && sheet.isVisible());
    QCOMPARE(told, std::vector<std::string>{kLocalAccountRefusedText});
    Type(text(1, "user"), "mine");
    sheet.ApplyButton()->click();
    QVERIFY(!sheet.ApplyButton()->isEnabled() && box(3, "deleteWhenPurged")->isChecked());
    const CMailboxConfig applied = set->Get(0)->Config();
    QVERIFY(applied.dustboxUser == "mine_dustbox" &&
            applied.GetServerDeletion() == DeleteWhenPurged);
    Type(text(2, "interval"), "900");
    sheet.CancelButton()->click();
    QCOMPARE(set->Get(0)->Config(), applied);
  }
};

}  // namespace qm

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  qm::DialogsTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "dialogs_test.moc"
