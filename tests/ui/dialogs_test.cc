// The dialogs and the mail viewer on real widgets: what their buttons and fields decide is the UI
// model's; here, that each widget reaches it, refusals keep the dialog open, and what only a
// widget shows.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTreeWidget>

#include "desktop_workdir.h"
#include "support/file_bytes.h"
#include "ui/create_mailbox_dialog.h"
#include "ui/list_editor.h"
#include "ui/mail_viewer.h"
#include "ui/mailbox_dialog.h"
#include "ui/model/mailbox_pages.h"
#include "ui/options_dialog.h"
#include "ui/property_pages.h"
#include "ui/property_sheet.h"

namespace qm {

using Texts = std::vector<std::string>;

QStringList Rows(const QTreeWidget& list) {
  QStringList rows;
  for (int i = 0; i < list.topLevelItemCount(); ++i) rows << list.topLevelItem(i)->text(0);
  return rows;
}

class DialogsTest : public QObject, protected CDesktopWorkdir {
  Q_OBJECT
  CRecordingPlayer player;
  std::string Ini() const { return settings->Profile().Path(); }

 private slots:
  void init() {
    OpenWorkdir();
    player.played.clear();
  }
  void cleanup() { CloseWorkdir(); }

  // Addresses are bytes: a code-page-932 sender is shown as best it can be and deleted whole.
  void ListEditorButtonsReachTheListsAndOnlyOkStoresTheSwitch() {
    lists.AddTo(SenderList::Friend, "a@x.jp");
    lists.AddTo(SenderList::Friend, "\x93\xfa\x96\x7b@x.jp");
    lists.AddTo(SenderList::Bad, "spam@");
    auto dialog = std::make_unique<CListEditorDialog>(lists, *settings, *ui);
    ShowExposed(*dialog);
    QVERIFY(!dialog->AddButton()->isEnabled() && !dialog->DeleteButton()->isEnabled());
    QTest::keyClicks(dialog->AddressField(), QStringLiteral("c@x.jp"));
    dialog->AddButton()->click();
    const QString shown = QStringLiteral("\uFFFD\uFFFD\uFFFD{@x.jp");
    QTreeWidget& list = *dialog->AddressList();
    QCOMPARE(Rows(list), QStringList({"a@x.jp", "c@x.jp", shown}));
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {},
                      list.visualItemRect(list.topLevelItem(2)).center());
    dialog->DeleteButton()->click();
    QCOMPARE(QString::fromStdString(answers.texts.at(0)),
             shown + " を削除します。よろしいですか？");
    QCOMPARE(lists.Entries(SenderList::Friend), (Texts{"a@x.jp", "c@x.jp"}));
    QCOMPARE(dialog->AddressField()->text() + QString::number(dialog->DeleteButton()->isEnabled()),
             shown + "0");
    dialog->BadButton()->click();
    QCOMPARE(Rows(list), QStringList({"spam@"}));

    dialog->EmptyAddressBox()->click();
    dialog->close();
    QVERIFY(!lists.AddEmptyAddrToBadlist());
    dialog = std::make_unique<CListEditorDialog>(lists, *settings, *ui);
    dialog->EmptyAddressBox()->click();
    dialog->OkButton()->click();
    QVERIFY(lists.AddEmptyAddrToBadlist() && dialog->result() == QDialog::Accepted);
    std::filesystem::remove(Ini());  // unwritable settings: the dialog stays open
    std::filesystem::create_directory(Ini());
    dialog = std::make_unique<CListEditorDialog>(lists, *settings, *ui);
    ShowExposed(*dialog);
    dialog->EmptyAddressBox()->click();
    dialog->OkButton()->click();
    QVERIFY(dialog->isVisible() && lists.AddEmptyAddrToBadlist());
  }

  // A refused name leaves the creation dialog open; a mailbox made at the first start must not be
  // gone at the next, however the dialog was closed; properties save the mailbox even on Cancel.
  void MailboxDialogRunsTheCreationAndSavesEveryWay() {
    CMailboxDialog dialog(*set, *ui);
    ShowExposed(dialog);
    std::deque<QString> names{"a:b", " b ", "a"};
    dialog.SetDialogRunner([&names](QDialog& shown) {
      auto& creation = dynamic_cast<CCreateMailboxDialog&>(shown);
      do {
        creation.NameField()->setText(names.front());
        names.pop_front();
        creation.OkButton()->click();
      } while (shown.result() == QDialog::Rejected);
      return shown.result();
    });
    dialog.AddButton()->click();
    dialog.AddButton()->click();
    QCOMPARE(answers.texts, Texts{ForbiddenCharactersText()});
    QCOMPARE(Rows(*dialog.List()), QStringList({"b", "a"}));
    const auto saved = [this] { return settings->Profile().GetString("Mailbox", "Mailboxes", ""); };
    dialog.Select(1);
    dialog.UpButton()->click();
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QCOMPARE(saved(), std::string("a:b:"));
    dialog.show();
    dialog.DownButton()->click();
    dialog.close();
    QCOMPARE(saved() + std::to_string(dialog.Selected()), std::string("b:a:1"));
    dialog.show();
    dialog.UpButton()->click();
    dialog.CloseButton()->click();
    QCOMPARE(saved(), std::string("a:b:"));

    set->Get(1)->MarkConfigDirty();
    dialog.Select(1);
    QString title;
    dialog.SetDialogRunner([&title](QDialog& shown) {
      title = shown.windowTitle();
      dynamic_cast<CPropertySheet&>(shown).CancelButton()->click();
      return shown.result();
    });
    dialog.PropertiesButton()->click();
    QCOMPARE(title + QString::number(std::filesystem::exists("b.cfg")),
             QStringLiteral("bのプロパティ1"));
    answers.queue = {Answer::Ok};
    dialog.DeleteButton()->click();
    QCOMPARE(Rows(*dialog.List()), QStringList({"a"}));
    QCOMPARE(answers.texts.size(), std::size_t{2});  // the bad name and the deletion
  }

  void OptionsShowTheStoredValuesAndOkWritesEveryFieldInOrder() {
    const std::string stored =
        "[Mailbox]\r\nPort=1995\r\n[Misc]\r\nNotifyBySound=0\r\n[Geometry]\r\n"
        "NotifyWindowPosX=-1280\r\nNotifyWindowPosY=40\r\n";
    test::WriteFileBytes(Ini(), stored);
    auto dialog = std::make_unique<COptionsDialog>(*settings, *ui, player);
    QCOMPARE(dialog->PortField()->value() + dialog->PositionXField()->value(), 1995 - 1280);
    QVERIFY(!dialog->NotifyBySoundBox()->isChecked() && !dialog->PlayButton()->isEnabled());
    QVERIFY(!dialog->SoundField()->isEnabled() && !dialog->SoundBrowseButton()->isEnabled());
    dialog->DefaultPositionBox()->click();
    QVERIFY(!dialog->PositionXField()->isEnabled() && !dialog->PositionYField()->isEnabled());
    dialog->NotifyBySoundBox()->click();
    QVERIFY(dialog->SoundField()->isEnabled() && dialog->SoundBrowseButton()->isEnabled());
    dialog->close();
    dialog = std::make_unique<COptionsDialog>(*settings, *ui, player);
    dialog->PortField()->setValue(999);
    dialog->CancelButton()->click();
    QCOMPARE(test::ReadFileBytes(Ini()), stored);
    QVERIFY(std::filesystem::remove(Ini()) && dialog->result() == QDialog::Rejected);

    dialog = std::make_unique<COptionsDialog>(*settings, *ui, player);
    QStringList offered;
    dialog->SetFileChooser([&](const QStringList& filters, const QString& current) {
      offered << filters.join("|") + " @" + current;
      return current.isEmpty() ? QString() : QStringLiteral("/opt/メーラ/run");
    });
    dialog->MailerBrowseButton()->click();  // no client yet: starts among the desktop entries
    dialog->MailerField()->setText(QStringLiteral("/old"));
    dialog->MailerBrowseButton()->click();
    dialog->SoundBrowseButton()->click();
    QCOMPARE(offered, QStringList({MailerFileFilters().join("|") + " @/usr/share/applications/",
                                   MailerFileFilters().join("|") + " @/old",
                                   SoundFileFilters().join("|") + " @"}));
    dialog->PlayButton()->click();
    dialog->SoundField()->setText(directory->filePath("gone.wav"));
    dialog->PlayButton()->click();
    test::WriteFileBytes("ding.wav", "RIFF");
    dialog->SoundField()->setText(QStringLiteral("ding.wav"));
    dialog->PlayButton()->click();
    QCOMPARE(player.played,
             (decltype(player.played){{NotifySound::Beep, ""}, {NotifySound::File, "ding.wav"}}));
    QCOMPARE(answers.texts, Texts{"指定したファイルがありません。"});
    QVERIFY(!std::filesystem::exists(Ini()));  // playing is not choosing
    dialog->PortField()->setValue(2110);
    dialog->StartupRetrieveBox()->click();
    dialog->NotifyTimeField()->setValue(5);
    dialog->DefaultPositionBox()->click();
    dialog->PositionXField()->setValue(-300);
    dialog->PositionYField()->setValue(25);
    dialog->OkButton()->click();
    QCOMPARE(test::ReadFileBytes(Ini()),
             std::string("[Mailbox]\r\nPort=2110\r\n"
                         "[Misc]\r\nMailer=/opt/メーラ/run\r\nStartupRetrieve=0\r\nShowSplash=1\r\n"
                         "NotifyTime=5\r\nNotifyBySound=1\r\nNotifySound=ding.wav\r\n"
                         "[Geometry]\r\nNotifyWindowPosX=-300\r\nNotifyWindowPosY=25\r\n"));
    std::filesystem::remove(Ini());
    std::filesystem::create_directory(Ini());
    dialog = std::make_unique<COptionsDialog>(*settings, *ui, player);
    ShowExposed(*dialog);
    dialog->OkButton()->click();
    QVERIFY(dialog->isVisible() && dialog->result() == QDialog::Rejected);
    QCOMPARE(answers.texts.back(), std::string("設定ファイルが保存できません。"));
  }

  // The sheet on one mailbox, worked key by key; Apply, OK and Cancel reach the mailbox as the
  // pages' model decides, and a refusal keeps the sheet on the refused page.
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
    QCOMPARE(field(0, "password")->echoMode(), QLineEdit::Password);
    QVERIFY(!sheet.ApplyButton()->isEnabled());
    Type(field(0, "user"), QStringLiteral("you"));
    auto* security = Child<QComboBox>(*sheet.Page(0), "security");
    security->setFocus();
    QTest::keyClick(security, Qt::Key_Down);  // the usual port follows the protection
    auto* auth = Child<QComboBox>(*sheet.Page(0), "auth");
    auth->setFocus();
    QTest::keyClick(auth, Qt::Key_Down);
    QVERIFY(!field(0, "password")->isEnabled() && !field(0, "passwordCommand")->isEnabled());
    Type(field(0, "tokenCommand"), QStringLiteral("oama access you"));
    sheet.ApplyButton()->click();
    QVERIFY(!sheet.ApplyButton()->isEnabled());
    QCOMPARE(mailbox.Client().account,
             (CRemoteAccount{"pop.example.org", 995, "you", "pw", ConnectionSecurity::Tls, "",
                             AuthMethod::XOAuth2, "oama access you"}));

    sheet.ShowPage(1);
    QVERIFY(!button(1, "automatic")->isEnabled() && !field(1, "dustboxUser")->isEnabled());
    button(1, "access")->click();
    button(1, "automatic")->click();
    field(1, "user")->setFocus();
    QTest::keyClicks(field(1, "user"), QStringLiteral("taken"));
    QCOMPARE(field(1, "dustboxUser")->text(), QStringLiteral("taken_dustbox"));
    Type(field(1, "password"), QStringLiteral("secret"));
    QCOMPARE(field(1, "dustboxPassword")->text(), QStringLiteral("secret"));

    sheet.ShowPage(3);
    QVERIFY(button(3, "keepOnServer")->isChecked() &&
            button(3, "deleteWhenRetrieved")->isChecked());
    QVERIFY(!button(3, "deleteWhenPurged")->isEnabled() && !field(3, "dustboxLimit")->isEnabled());
    QCOMPARE(field(3, "deletedHereCount")->text(), QStringLiteral("1"));
    button(3, "keepOnServer")->click();
    button(3, "deleteWhenPurged")->click();
    button(3, "refetch")->click();
    button(3, "limitDustbox")->click();
    Type(field(3, "dustboxLimit"), QStringLiteral("20"));
    sheet.OkButton()->click();
    QCOMPARE(sheet.result(), int(QDialog::Rejected));  // the name is taken by "b"
    QCOMPARE(sheet.CurrentPage(), 1);
    QCOMPARE(answers.texts, Texts{kLocalAccountRefusedText});
    Type(field(1, "user"), QStringLiteral("mine"));
    sheet.ShowPage(2);
    Type(field(2, "interval"), QStringLiteral("600"));
    button(2, "onDemand")->click();
    sheet.ApplyButton()->click();
    const CMailboxConfig applied = mailbox.Config();
    QCOMPARE(applied.dustboxUser + std::to_string(applied.timerInterval) +
                 std::to_string(applied.dustboxLimit),
             std::string("mine_dustbox60020"));
    QVERIFY(applied.Has(CMailboxConfig::OnDemandRetrieval) &&
            applied.Has(CMailboxConfig::LimitDustbox));
    QCOMPARE(applied.GetServerDeletion(), DeleteWhenPurged);
    QCOMPARE(field(3, "deletedHereCount")->text() +
                 QString::number(button(3, "deleteWhenPurged")->isChecked()),
             QStringLiteral("01"));
    QCOMPARE(mailbox.Client().DeletedHere().Count(), std::size_t{0});
    Type(field(2, "interval"), QStringLiteral("900"));
    sheet.CancelButton()->click();
    QCOMPARE(mailbox.Config(), applied);
  }

  // What the fields and boxes show is the viewer model's; here, that the widgets follow it, and
  // that viewers cascade from the saved geometry and the last one closed saves it.
  void ViewersShowTheModelCascadeAndSaveTheirGeometry() {
    const std::string mail =
        "From: Taro Yamada <taro@example.org>\r\nSubject: Quarterly report\r\n"
        "Content-Transfer-Encoding: quoted-printable\r\n\r\nx =3D 1\r\n.\r\n";
    CMailMessage message;
    message.Parse(mail);
    for (const auto& [key, value] : {std::pair{"MailView_x", 100},
                                     {"MailView_y", 120},
                                     {"MailView_w", 700},
                                     {"MailView_h", 500}}) {
      settings->Profile().WriteInt("Geometry", key, value);
    }
    QPointer<CMailViewer> first = OpenMailViewer(message, settings->Profile(), nullptr);
    QPointer<CMailViewer> second = OpenMailViewer(message, settings->Profile(), nullptr);
    QCOMPARE(second->SubjectField()->text() + second->FromField()->text(),
             QStringLiteral("Quarterly reportTaro Yamada"));
    QCOMPARE(second->BodyField()->toPlainText(), QStringLiteral("x = 1\n"));
    second->UndecodedBox()->click();
    QVERIFY(second->HeaderBox()->isChecked());
    QVERIFY(second->BodyField()->toPlainText().contains(QStringLiteral("\n\nx =3D 1\n")));
    QCOMPARE(second->pos(), QPoint(130, 150));
    QCOMPARE(second->size(), QSize(700, 500));
    second->resize(900, 650);
    QVERIFY(second->BodyField()->width() > 800);  // the text follows the window
    second->close();
    QTRY_VERIFY(second.isNull());
    QCOMPARE(settings->Profile().GetInt("Geometry", "MailView_w", 0), 900);
    first->close();
    QTRY_VERIFY(first.isNull());
    QCOMPARE(CMailViewer::OpenCount(), 0);
    QCOMPARE(settings->Profile().GetInt("Geometry", "MailView_w", 0), 700);  // the last one decides
  }
};

}  // namespace qm

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  app.setAttribute(Qt::AA_Use96Dpi, true);
  return qm::RunTest<qm::DialogsTest>(argc, argv);
}

#include "dialogs_test.moc"
