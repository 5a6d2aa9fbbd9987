// The dialogs and the mail viewer on real widgets: what their buttons and fields do is tested on
// the UI model; here, that each widget reaches it, and what only a widget shows.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/settings.h"
#include "desktop_workdir.h"
#include "message/mail_message.h"
#include "platform/profile.h"
#include "store/mailbox.h"
#include "support/file_bytes.h"
#include "ui/create_mailbox_dialog.h"
#include "ui/list_editor.h"
#include "ui/mail_viewer.h"
#include "ui/mailbox_dialog.h"
#include "ui/model/mailbox_pages.h"
#include "ui/notify_wnd.h"
#include "ui/options_dialog.h"
#include "ui/property_pages.h"
#include "ui/property_sheet.h"

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

using Texts = std::vector<std::string>;

// What the buttons do to the mailboxes is tested in the model's tests; here, that the widgets
// reach it and show what it did.
class MailboxDialogTest : public QObject, protected CDesktopWorkdir {
  Q_OBJECT

 private:
  void AddMailboxes(const Texts& names) {
    for (const std::string& name : names) {
      if (set->Add(name) < 0) qFatal("no mailbox");
    }
  }
  static QStringList Rows(const CMailboxDialog& dialog) {
    QStringList rows;
    for (int row = 0; row < dialog.List()->topLevelItemCount(); ++row) {
      rows << dialog.List()->topLevelItem(row)->text(0);
    }
    return rows;
  }
  QString Saved() const {
    return QString::fromStdString(
        profile->GetString(CMailboxSet::kListSection, CMailboxSet::kListKey, "none"));
  }

 private slots:
  void init() { OpenWorkdir(); }
  void cleanup() { CloseWorkdir(); }

  // A refused name leaves the creation dialog open to be put right; Cancel creates nothing.
  void AddRunsTheCreationDialogUntilTheNameIsGood() {
    CMailboxDialog dialog(*set, *ui);
    bool stayedOpen = false;
    dialog.SetDialogRunner([&](QDialog& shown) {
      auto& creation = dynamic_cast<CCreateMailboxDialog&>(shown);
      creation.NameField()->setText(QStringLiteral("a:b"));
      creation.OkButton()->click();
      stayedOpen = shown.result() == QDialog::Rejected;
      creation.NameField()->setText(QStringLiteral(" ok "));
      creation.OkButton()->click();
      return shown.result();
    });
    dialog.AddButton()->click();
    QVERIFY(stayedOpen);
    QCOMPARE(answers.texts, Texts{ForbiddenCharactersText()});
    QCOMPARE(Rows(dialog), QStringList{QStringLiteral("ok")});
    dialog.SetDialogRunner([](QDialog& shown) {
      dynamic_cast<CCreateMailboxDialog&>(shown).CancelButton()->click();
      return shown.result();
    });
    dialog.AddButton()->click();
    QCOMPARE(set->Count(), 1);
  }

  void DeleteAndMoveButtonsRefillTheListAndKeepTheSelection() {
    AddMailboxes({"a", "b", "c"});
    CMailboxDialog dialog(*set, *ui);
    dialog.Select(2);
    dialog.UpButton()->click();
    QCOMPARE(Rows(dialog), QStringList({"a", "c", "b"}));
    QCOMPARE(dialog.Selected(), 1);
    dialog.DownButton()->click();
    QCOMPARE(dialog.Selected(), 2);
    answers.queue = {Answer::Ok};
    dialog.DeleteButton()->click();
    QCOMPARE(Rows(dialog), QStringList({"a", "b"}));
    QCOMPARE(answers.texts.size(), std::size_t{1});
  }

  void PropertiesSaveTheMailboxWhateverTheButton() {
    AddMailboxes({"a", "b"});
    CMailbox& mailbox = *set->Get(1);
    CMailboxDialog dialog(*set, *ui);
    QString title;
    dialog.SetDialogRunner([&title](QDialog& shown) {
      auto& sheet = dynamic_cast<CPropertySheet&>(shown);
      title = sheet.windowTitle();
      sheet.CancelButton()->click();
      return sheet.result();
    });
    dialog.PropertiesButton()->click();
    QVERIFY(title.isEmpty());
    QCOMPARE(answers.texts, Texts{kSelectMailboxText});
    mailbox.MarkConfigDirty();
    std::filesystem::remove("b.cfg");
    dialog.Select(1);
    dialog.PropertiesButton()->click();
    QCOMPARE(title, QStringLiteral("bのプロパティ"));
    QVERIFY(!mailbox.ConfigDirty());
    QVERIFY(std::filesystem::exists("b.cfg"));
    QCOMPARE(dialog.Selected(), 1);
  }

  // A mailbox made at the first start must not be gone at the next, whichever way the dialog
  // was closed.
  void EveryWayOfClosingSavesTheList() {
    AddMailboxes({"a", "b"});
    CMailboxDialog dialog(*set, *ui);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    dialog.Select(1);
    dialog.UpButton()->click();
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QVERIFY(dialog.isHidden());
    QCOMPARE(Saved(), QStringLiteral("b:a:"));
    dialog.show();
    dialog.Select(1);
    dialog.UpButton()->click();
    dialog.close();
    QCOMPARE(Saved(), QStringLiteral("a:b:"));
    dialog.show();
    dialog.Select(1);
    dialog.UpButton()->click();
    dialog.CloseButton()->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(Saved(), QStringLiteral("b:a:"));
    QVERIFY(answers.texts.empty());
  }
};

class OptionsDialogTest : public QObject, protected CDesktopWorkdir {
  Q_OBJECT

 private:
  CRecordingPlayer player;

  std::string Ini() const { return settings->Profile().Path(); }
  std::unique_ptr<COptionsDialog> Open() {
    auto dialog = std::make_unique<COptionsDialog>(*settings, *ui, player);
    dialog->show();
    return dialog;
  }
 private slots:
  void init() {
    OpenWorkdir();
    player.played.clear();
  }
  void cleanup() { CloseWorkdir(); }

  void OpensWithStoredValuesAndFollowsTheSwitches() {
    test::WriteFileBytes(Ini(),
                         "[Mailbox]\r\nPort=1995\r\n[Misc]\r\nMailer=/usr/bin/mail client\r\n"
                         "StartupRetrieve=0\r\nShowSplash=0\r\nNotifyTime=0\r\nNotifyBySound=0\r\n"
                         "NotifySound=/snd/ding.wav\r\n[Geometry]\r\nNotifyWindowPosX=-1280\r\n"
                         "NotifyWindowPosY=40\r\n");
    auto dialog = Open();
    // The values read are the model's; the fields show them.
    QCOMPARE(dialog->Values(), ReadOptions(*settings));
    QCOMPARE(dialog->PortField()->value(), 1995);
    QCOMPARE(dialog->PositionXField()->value(), -1280);
    QVERIFY(dialog->PositionXField()->isEnabled() && dialog->PositionYField()->isEnabled());
    QVERIFY(!dialog->NotifyBySoundBox()->isChecked());
    QCOMPARE(dialog->SoundField()->text(), QStringLiteral("/snd/ding.wav"));
    QVERIFY(!dialog->SoundField()->isEnabled());
    QVERIFY(!dialog->SoundBrowseButton()->isEnabled());
    QVERIFY(!dialog->PlayButton()->isEnabled());

    dialog->NotifyBySoundBox()->click();
    QVERIFY(dialog->SoundField()->isEnabled());
    QVERIFY(dialog->SoundBrowseButton()->isEnabled());
    QVERIFY(dialog->PlayButton()->isEnabled());
    dialog->DefaultPositionBox()->click();
    QVERIFY(!dialog->PositionXField()->isEnabled() && !dialog->PositionYField()->isEnabled());
    dialog->DefaultPositionBox()->click();
    QVERIFY(dialog->PositionXField()->isEnabled() && dialog->PositionYField()->isEnabled());
    QCOMPARE(dialog->PositionXField()->value(), -1280);
    dialog->NotifyBySoundBox()->click();
    QVERIFY(!dialog->PlayButton()->isEnabled());
  }

  void OkWritesEveryFieldInOrder() {
    auto dialog = Open();
    dialog->PortField()->setValue(2110);
    dialog->MailerField()->setText(QStringLiteral("/opt/メーラ/run"));
    dialog->StartupRetrieveBox()->click();
    dialog->NotifyTimeField()->setValue(5);
    dialog->SoundField()->setText(QStringLiteral("/snd/ding.wav"));
    dialog->DefaultPositionBox()->click();
    dialog->PositionXField()->setValue(-300);
    dialog->PositionYField()->setValue(25);
    dialog->OkButton()->click();
    QCOMPARE(dialog->result(), int(QDialog::Accepted));
    QCOMPARE(test::ReadFileBytes(Ini()),
             std::string("[Mailbox]\r\nPort=2110\r\n"
                         "[Misc]\r\nMailer=/opt/メーラ/run\r\nStartupRetrieve=0\r\nShowSplash=1\r\n"
                         "NotifyTime=5\r\nNotifyBySound=1\r\nNotifySound=/snd/ding.wav\r\n"
                         "[Geometry]\r\nNotifyWindowPosX=-300\r\nNotifyWindowPosY=25\r\n"));
    QVERIFY(answers.texts.empty());
  }

  void CancelAndTheCloseBoxWriteNothing() {
    const std::string before = "; mine\r\n[Misc]\r\nNotifyTime=3\r\n";
    test::WriteFileBytes(Ini(), before);
    for (const bool closeBox : {false, true}) {
      auto dialog = Open();
      dialog->PortField()->setValue(999);
      dialog->DefaultPositionBox()->click();
      if (closeBox) {
        dialog->close();
      } else {
        dialog->CancelButton()->click();
      }
      QCOMPARE(dialog->result(), int(QDialog::Rejected));
      QCOMPARE(test::ReadFileBytes(Ini()), before);
    }
  }

  void PlayBeepsPlaysOrSaysTheFileIsMissing() {
    const QString existing = directory->filePath(QStringLiteral("ding.wav"));
    test::WriteFileBytes(existing.toStdString(), "RIFF");
    auto dialog = Open();
    dialog->PlayButton()->click();
    dialog->SoundField()->setText(existing);
    dialog->PlayButton()->click();
    dialog->SoundField()->setText(directory->filePath(QStringLiteral("gone.wav")));
    dialog->PlayButton()->click();
    const std::vector<std::pair<NotifySound, std::string>> expected{
        {NotifySound::Beep, ""}, {NotifySound::File, existing.toStdString()}};
    QCOMPARE(player.played, expected);
    QCOMPARE(answers.texts, std::vector<std::string>{"指定したファイルがありません。"});
    // Playing is not choosing: nothing is written.
    QVERIFY(!std::filesystem::exists(Ini()));
  }

  void BrowseOffersTheFiltersAndTakesTheChosenPath() {
    auto dialog = Open();
    std::vector<QStringList> offered;
    std::vector<QString> starts;
    QString answer = QStringLiteral("/usr/local/bin/mailer");
    dialog->SetFileChooser([&](const QStringList& filters, const QString& current) {
      offered.push_back(filters);
      starts.push_back(current);
      return answer;
    });
    dialog->MailerField()->setText(QStringLiteral("/old/mailer"));
    dialog->MailerBrowseButton()->click();
    QCOMPARE(dialog->MailerField()->text(), QStringLiteral("/usr/local/bin/mailer"));
    answer = QStringLiteral("/snd/chime.wav");
    dialog->SoundBrowseButton()->click();
    QCOMPARE(dialog->SoundField()->text(), QStringLiteral("/snd/chime.wav"));
    answer.clear();
    dialog->SoundBrowseButton()->click();
    QCOMPARE(dialog->SoundField()->text(), QStringLiteral("/snd/chime.wav"));
    // Without a mail client yet, the dialog starts among the desktop entries.
    dialog->MailerField()->clear();
    dialog->MailerBrowseButton()->click();
    QCOMPARE(starts, (std::vector<QString>{"/old/mailer", "", "/snd/chime.wav",
                                           "/usr/share/applications/"}));
    QCOMPARE(offered.size(), std::size_t{4});
    QCOMPARE(offered[0], MailerFileFilters());
    QCOMPARE(offered[1], SoundFileFilters());
  }

  void UnwritableSettingsKeepTheDialogOpen() {
    QVERIFY(std::filesystem::create_directory(Ini()));
    auto dialog = Open();
    dialog->OkButton()->click();
    QCOMPARE(answers.texts, std::vector<std::string>{"設定ファイルが保存できません。"});
    QVERIFY(dialog->isVisible());
    QCOMPARE(dialog->result(), int(QDialog::Rejected));
  }
};

using Texts = std::vector<std::string>;

enum Page { kAccount, kProxy, kReceive, kDustbox };

class PropertySheetTest : public QObject, protected CDesktopWorkdir {
  Q_OBJECT

 private:
  std::unique_ptr<CPropertySheet> sheet;

  CMailbox& Mailbox(int index = 0) const { return *set->Get(index); }
  // A sheet on a shown window, with `page` in front.
  CPropertySheet& Open(int index, int page) {
    sheet = std::make_unique<CPropertySheet>(*set, index, *ui);
    sheet->show();
    if (!QTest::qWaitForWindowExposed(sheet.get())) qFatal("not exposed");
    sheet->ShowPage(page);
    return *sheet;
  }
  template <class Widget>
  Widget* Find(int page, const char* name) const {
    auto* widget = sheet->Page(page)->findChild<Widget*>(QString::fromLatin1(name));
    if (widget == nullptr) qFatal("no control %s", name);
    return widget;
  }
  QLineEdit* Field(int page, const char* name) const { return Find<QLineEdit>(page, name); }
  QAbstractButton* Button(int page, const char* name) const {
    return Find<QAbstractButton>(page, name);
  }
  // Replaces the field's text as the user would, key by key.
  static void Type(QLineEdit* field, const QString& text) {
    field->selectAll();
    QTest::keyClick(field, Qt::Key_Backspace);
    QTest::keyClicks(field, text);
  }
  // D1 was deleted here and is kept on the server; P1 waits for deletion there.
  void FillServerLists() const {
    CMailboxClient& client = Mailbox().Client();
    client.RegisterKnown("D1", "<d1@example.org>");
    client.ForgetDeleted("D1");
    client.RegisterKnown("P1", "<p1@example.org>");
    client.RequestServerDeletion("P1");
  }

 private slots:
  void init() {
    OpenWorkdir();
    if (set->Add("a") != 0 || set->Add("b") != 1) qFatal("no mailbox");
  }
  void cleanup() {
    sheet.reset();
    CloseWorkdir();
  }

  void AccountPageEditsTheRemoteAccount() {
    Mailbox().Client().account = {"pop.example.org",         110, "me", "pw",
                                  ConnectionSecurity::Plain, ""};
    CPropertySheet& shown = Open(0, kAccount);
    QCOMPARE(Field(kAccount, "server")->text(), QStringLiteral("pop.example.org"));
    QCOMPARE(Field(kAccount, "port")->text(), QStringLiteral("110"));
    QCOMPARE(Field(kAccount, "password")->echoMode(), QLineEdit::Password);
    auto* security = Find<QComboBox>(kAccount, "security");
    QVERIFY(!shown.ApplyButton()->isEnabled());
    Type(Field(kAccount, "user"), QStringLiteral("you"));
    QVERIFY(shown.ApplyButton()->isEnabled());
    // The combo box as the user works it: the usual port follows the protection.
    security->setFocus();
    QTest::keyClick(security, Qt::Key_Down);
    QCOMPARE(security->currentIndex(), 1);
    QCOMPARE(Field(kAccount, "port")->text(), QStringLiteral("995"));
    Type(Field(kAccount, "caFile"), QStringLiteral("ca.pem"));
    // The login method decides which of the password and the commands can be edited.
    auto* auth = Find<QComboBox>(kAccount, "auth");
    QVERIFY(Field(kAccount, "passwordCommand")->isEnabled());
    QVERIFY(!Field(kAccount, "tokenCommand")->isEnabled());
    auth->setFocus();
    QTest::keyClick(auth, Qt::Key_Down);
    QVERIFY(!Field(kAccount, "password")->isEnabled());
    QVERIFY(!Field(kAccount, "passwordCommand")->isEnabled());
    Type(Field(kAccount, "tokenCommand"), QStringLiteral("oama access you"));
    shown.ApplyButton()->click();
    QVERIFY(!shown.ApplyButton()->isEnabled());
    const CRemoteAccount expected{
        "pop.example.org", 995, "you", "pw", ConnectionSecurity::Tls, "ca.pem", AuthMethod::XOAuth2,
        "oama access you"};
    QCOMPARE(Mailbox().Client().account, expected);
    QVERIFY(Mailbox().ConfigDirty());
    QVERIFY(answers.texts.empty());
  }

  void AutomaticDustboxAccountFollowsTyping() {
    Open(0, kProxy);
    QLineEdit* dustboxUser = Field(kProxy, "dustboxUser");
    QLineEdit* dustboxPassword = Field(kProxy, "dustboxPassword");
    QAbstractButton* access = Button(kProxy, "access");
    QAbstractButton* automatic = Button(kProxy, "automatic");
    QVERIFY(!access->isChecked());
    QVERIFY(!automatic->isEnabled());
    QVERIFY(!dustboxUser->isEnabled());
    QVERIFY(!dustboxPassword->isEnabled());

    access->click();
    QVERIFY(automatic->isEnabled());
    QVERIFY(dustboxUser->isEnabled());
    automatic->click();
    QVERIFY(automatic->isChecked());
    QLineEdit* user = Field(kProxy, "user");
    user->setFocus();
    QTest::keyClick(user, Qt::Key_T);
    QCOMPARE(dustboxUser->text(), QStringLiteral("t_dustbox"));
    QTest::keyClicks(user, QStringLiteral("aro"));
    QCOMPARE(dustboxUser->text(), QStringLiteral("taro_dustbox"));
    Type(Field(kProxy, "password"), QStringLiteral("secret"));
    QCOMPARE(dustboxPassword->text(), QStringLiteral("secret"));

    // Switched off and on again, access fills the account at once.
    access->click();
    QVERIFY(!dustboxUser->isEnabled());
    Type(user, QStringLiteral("jiro"));
    QCOMPARE(dustboxUser->text(), QStringLiteral("taro_dustbox"));
    access->click();
    QCOMPARE(dustboxUser->text(), QStringLiteral("jiro_dustbox"));
    sheet->OkButton()->click();
    QCOMPARE(sheet->result(), int(QDialog::Accepted));
    const CMailboxConfig& config = Mailbox().Config();
    QCOMPARE(config.localUser, std::string("jiro"));
    QCOMPARE(config.dustboxUser, std::string("jiro_dustbox"));
    QCOMPARE(config.dustboxPassword, std::string("secret"));
    QVERIFY(config.Has(CMailboxConfig::DustboxAccess));
  }

  void RefusedLocalAccountKeepsTheSheetOnItsPage() {
    ProxyPageValues first{"taken", "p", true, false, "takenbox", "q"};
    QVERIFY(ApplyProxyPage(*set, 0, first, *ui));
    const CMailboxConfig before = Mailbox(1).Config();
    CPropertySheet& shown = Open(1, kProxy);
    Type(Field(kProxy, "user"), QStringLiteral("same"));
    Button(kProxy, "access")->click();
    Type(Field(kProxy, "dustboxUser"), QStringLiteral("same"));
    Type(Field(kProxy, "dustboxPassword"), QStringLiteral("q"));
    shown.ShowPage(kDustbox);
    shown.OkButton()->click();
    QCOMPARE(shown.result(), int(QDialog::Rejected));
    QVERIFY(shown.isVisible());
    QCOMPARE(shown.CurrentPage(), int(kProxy));

    QCOMPARE(answers.texts, Texts{kLocalAccountRefusedText});
    QCOMPARE(Mailbox(1).Config(), before);
    QVERIFY(shown.ApplyButton()->isEnabled());

    Type(Field(kProxy, "user"), QStringLiteral("mine"));
    shown.ApplyButton()->click();
    QCOMPARE(answers.texts.size(), std::size_t{1});
    QCOMPARE(Mailbox(1).Config().localUser, std::string("mine"));
    QVERIFY(!shown.ApplyButton()->isEnabled());
  }

  void ReceivePageShowsAndSetsTheOptions() {
    Mailbox().Config().timerInterval = 0;
    CPropertySheet& shown = Open(0, kReceive);
    QLineEdit* interval = Field(kReceive, "interval");
    QVERIFY(!Button(kReceive, "timer")->isChecked());
    QVERIFY(!interval->isEnabled());
    QCOMPARE(interval->text(), QStringLiteral("180"));
    // Defaults: friend and other mail notified, bad and spam mail to the dustbox.
    QVERIFY(Button(kReceive, "notify0")->isChecked());
    QVERIFY(!Button(kReceive, "notify1")->isChecked());
    QVERIFY(Button(kReceive, "dustbox1")->isChecked());
    QVERIFY(Button(kReceive, "dustbox2")->isChecked());
    QVERIFY(!Button(kReceive, "hide3")->isChecked());
    Button(kReceive, "timer")->click();
    QVERIFY(interval->isEnabled());
    Button(kReceive, "onDemand")->click();
    Button(kReceive, "hide3")->click();
    Button(kReceive, "notify0")->click();
    shown.ApplyButton()->click();
    const CMailboxConfig& config = Mailbox().Config();
    QCOMPARE(config.timerInterval, 180u);
    QVERIFY(config.Has(CMailboxConfig::OnDemandRetrieval));
    QVERIFY(config.Has(CMailboxConfig::HideOther));
    QVERIFY(!config.Has(CMailboxConfig::NotifyFriend));
    QVERIFY(config.Has(CMailboxConfig::DustboxSpam));
  }

  void DustboxPageEnablesItsControls() {
    Mailbox().Config().SetServerDeletion(KeepOnServer);
    Mailbox().Config().Set(CMailboxConfig::LimitDustbox, false);
    CPropertySheet& shown = Open(0, kDustbox);
    QAbstractButton* keep = Button(kDustbox, "keepOnServer");
    QVERIFY(keep->isChecked());
    QVERIFY(Button(kDustbox, "deleteWhenRetrieved")->isChecked());
    for (const char* name : {"deleteWhenRetrieved", "deleteWhenDustboxed", "deleteWhenPurged",
                             "keepFriend", "keepOther"}) {
      QVERIFY2(!Button(kDustbox, name)->isEnabled(), name);
    }
    QCOMPARE(Field(kDustbox, "deletedHereCount")->text(), QStringLiteral("0"));
    QVERIFY(Field(kDustbox, "deletedHereCount")->isReadOnly());
    QVERIFY(!Button(kDustbox, "refetch")->isEnabled());
    QCOMPARE(Field(kDustbox, "dustboxLimit")->text(), QStringLiteral("100"));
    QVERIFY(!Field(kDustbox, "dustboxLimit")->isEnabled());

    keep->click();
    for (const char* name : {"deleteWhenRetrieved", "deleteWhenDustboxed", "deleteWhenPurged",
                             "keepFriend", "keepOther"}) {
      QVERIFY2(Button(kDustbox, name)->isEnabled(), name);
    }
    Button(kDustbox, "deleteWhenPurged")->click();
    Button(kDustbox, "limitDustbox")->click();
    QVERIFY(Field(kDustbox, "dustboxLimit")->isEnabled());
    Type(Field(kDustbox, "dustboxLimit"), QStringLiteral("20"));
    Button(kDustbox, "openDustboxAtExit")->click();
    shown.OkButton()->click();
    QCOMPARE(shown.result(), int(QDialog::Accepted));
    const CMailboxConfig& config = Mailbox().Config();
    QCOMPARE(config.GetServerDeletion(), DeleteWhenPurged);
    QVERIFY(config.Has(CMailboxConfig::LimitDustbox));
    QCOMPARE(config.dustboxLimit, 20u);
    QVERIFY(config.Has(CMailboxConfig::OpenDustboxAtExit));
  }

  void RefetchForgetsMailDeletedHere() {
    FillServerLists();
    CPropertySheet& shown = Open(0, kDustbox);
    Button(kDustbox, "refetch")->click();
    QVERIFY(shown.ApplyButton()->isEnabled());
    shown.ApplyButton()->click();
    QCOMPARE(Mailbox().Client().DeletedHere().Count(), std::size_t{0});
    QCOMPARE(Field(kDustbox, "deletedHereCount")->text(), QStringLiteral("0"));
    QVERIFY(!Button(kDustbox, "refetch")->isEnabled());
    QVERIFY(answers.texts.empty());
  }

  void CancelKeepsWhatTheLastApplyWrote() {
    CPropertySheet& shown = Open(0, kReceive);
    Type(Field(kReceive, "interval"), QStringLiteral("600"));
    shown.ApplyButton()->click();
    const CMailboxConfig applied = Mailbox().Config();
    const CRemoteAccount account = Mailbox().Client().account;
    Type(Field(kReceive, "interval"), QStringLiteral("900"));
    Button(kReceive, "onDemand")->click();
    shown.ShowPage(kAccount);
    Type(Field(kAccount, "server"), QStringLiteral("elsewhere.example.org"));
    shown.ShowPage(kDustbox);
    Button(kDustbox, "keepOnServer")->click();
    shown.CancelButton()->click();
    QCOMPARE(shown.result(), int(QDialog::Rejected));
    QCOMPARE(Mailbox().Config(), applied);
    QCOMPARE(Mailbox().Config().timerInterval, 600u);
    QCOMPARE(Mailbox().Client().account, account);
  }
};

namespace {

// Quoted-printable body, a display name and a Received field with a date.
const std::string kMail =
    "Received: from relay.example.net by mx.example.org; Tue, 5 Mar 2024 10:20:30 +0000\r\n"
    "From: Taro Yamada <taro@example.org>\r\n"
    "Subject: Quarterly report\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n"
    "\r\n"
    "x =3D 1 line one\r\n"
    "line two\r\n"
    ".\r\n";

CMailMessage Parsed(const std::string& text) {
  CMailMessage message;
  message.Parse(text);
  return message;
}

QString Display(const std::string& text) {
  return QString::fromStdString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

}  // namespace

class MailViewerTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir directory;
  std::unique_ptr<CProfile> profile;

  CMailViewer* Open(const std::string& text) {
    return OpenMailViewer(Parsed(text), *profile, nullptr);
  }
  // Closing deletes the viewer once the event loop runs.
  static void CloseAndWait(CMailViewer* viewer) {
    QPointer<CMailViewer> watch(viewer);
    viewer->close();
    QTRY_VERIFY(watch.isNull());
  }

 private slots:
  void init() {
    profile = std::make_unique<CProfile>(directory.filePath("viewer.ini").toStdString());
  }

  // What the fields and boxes show is the viewer model's; here, that the widgets follow it.
  void FieldsAndBoxesShowTheModel() {
    CMailViewer* viewer = Open(kMail);
    QCOMPARE(viewer->SubjectField()->text(), QStringLiteral("Quarterly report"));
    QCOMPARE(viewer->FromField()->text(), QStringLiteral("Taro Yamada"));
    QVERIFY(viewer->DateField()->text().startsWith(QStringLiteral("2024 03/0")));
    QVERIFY(viewer->BodyField()->toPlainText().startsWith(QStringLiteral("x = 1 line one\n")));
    viewer->UndecodedBox()->click();
    QVERIFY(viewer->HeaderBox()->isChecked());
    QCOMPARE(viewer->BodyField()->toPlainText(), Display(Parsed(kMail).Text()));
    viewer->HeaderBox()->click();
    QVERIFY(!viewer->UndecodedBox()->isChecked());
    QVERIFY(viewer->BodyField()->toPlainText().startsWith(QStringLiteral("x = 1")));
    CloseAndWait(viewer);
  }

  void ViewersCascadeFromSavedGeometryAndSaveOnClose() {
    QVERIFY(profile->WriteInt("Geometry", "MailView_x", 100));
    QVERIFY(profile->WriteInt("Geometry", "MailView_y", 120));
    QVERIFY(profile->WriteInt("Geometry", "MailView_w", 700));
    QVERIFY(profile->WriteInt("Geometry", "MailView_h", 500));
    QCOMPARE(CMailViewer::OpenCount(), 0);
    CMailViewer* first = Open(kMail);
    CMailViewer* second = Open(kMail);
    QCOMPARE(CMailViewer::OpenCount(), 2);
    QCOMPARE(first->pos(), QPoint(100, 120));
    QCOMPARE(second->pos(), QPoint(130, 150));
    QCOMPARE(first->size(), QSize(700, 500));
    QCOMPARE(second->size(), QSize(700, 500));

    second->resize(900, 650);
    QCOMPARE(second->size(), QSize(900, 650));
    // The text area follows the window.
    QCOMPARE(second->BodyField()->geometry().bottom() < 650, true);
    QVERIFY(second->BodyField()->width() > 800);

    CloseAndWait(second);
    QCOMPARE(CMailViewer::OpenCount(), 1);
    QCOMPARE(profile->GetInt("Geometry", "MailView_x", 0), 130);
    QCOMPARE(profile->GetInt("Geometry", "MailView_w", 0), 900);
    QCOMPARE(profile->GetInt("Geometry", "MailView_h", 0), 650);
    CloseAndWait(first);
    QCOMPARE(CMailViewer::OpenCount(), 0);
    // The last one closed decides.
    QCOMPARE(profile->GetInt("Geometry", "MailView_x", 0), 100);
    QCOMPARE(profile->GetInt("Geometry", "MailView_w", 0), 700);

    // A later viewer opens where the last one was, with no cascade left over.
    CMailViewer* third = Open(kMail);
    QCOMPARE(third->pos(), QPoint(100, 120));
    CloseAndWait(third);
  }
};

}  // namespace qm

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  app.setAttribute(Qt::AA_Use96Dpi, true);
  return qm::RunTests<qm::ListEditorTest, qm::MailboxDialogTest, qm::OptionsDialogTest,
                      qm::PropertySheetTest, qm::MailViewerTest>(argc, argv);
}

#include "dialogs_test.moc"
