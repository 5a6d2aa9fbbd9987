#include "ui/property_sheet.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "desktop_workdir.h"
#include "store/mailbox.h"
#include "ui/model/mailbox_pages.h"
#include "ui/property_pages.h"

namespace qm {

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

}  // namespace qm

QTEST_MAIN(qm::PropertySheetTest)
#include "property_sheet_test.moc"
