#include "ui/property_sheet.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "desktop_workdir.h"
#include "store/mailbox.h"
#include "ui/mailbox_dialog.h"
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

  void HasFourPagesAndTheSheetsButtons() {
    CPropertySheet& shown = Open(0, kAccount);
    QCOMPARE(shown.windowTitle(), QStringLiteral("aのプロパティ"));
    auto* tabs = shown.findChild<QTabWidget*>();
    QCOMPARE(tabs->count(), 4);
    QCOMPARE(tabs->tabText(0), QStringLiteral("メールサーバアカウント"));
    QCOMPARE(tabs->tabText(1), QStringLiteral("メールボックスアカウント"));
    QCOMPARE(tabs->tabText(2), QStringLiteral("受信"));
    QCOMPARE(tabs->tabText(3), QStringLiteral("削除"));
    QVERIFY(qobject_cast<CPropertyAccount*>(shown.Page(0)) != nullptr);
    QVERIFY(qobject_cast<CPropertyProxy*>(shown.Page(1)) != nullptr);
    QVERIFY(qobject_cast<CPropertyRecieve*>(shown.Page(2)) != nullptr);
    QVERIFY(qobject_cast<CPropertyDustbox*>(shown.Page(3)) != nullptr);
    QCOMPARE(shown.OkButton()->text(), QStringLiteral("OK"));
    QCOMPARE(shown.CancelButton()->text(), QStringLiteral("ｷｬﾝｾﾙ"));
    QCOMPARE(shown.ApplyButton()->text(), QStringLiteral("適用(&A)"));
    QVERIFY(!shown.ApplyButton()->isEnabled());
    shown.ShowPage(kDustbox);
    QCOMPARE(shown.CurrentPage(), int(kDustbox));
    QCOMPARE(tabs->currentWidget(), shown.Page(kDustbox));
  }

  void AccountPageEditsTheRemoteAccount() {
    Mailbox().Client().account = {"pop.example.org",         110, "me", "pw",
                                  ConnectionSecurity::Plain, ""};
    CPropertySheet& shown = Open(0, kAccount);
    QCOMPARE(Field(kAccount, "server")->text(), QStringLiteral("pop.example.org"));
    QCOMPARE(Field(kAccount, "port")->text(), QStringLiteral("110"));
    QCOMPARE(Field(kAccount, "password")->echoMode(), QLineEdit::Password);
    auto* security = Find<QComboBox>(kAccount, "security");
    QCOMPARE(security->count(), 3);
    QCOMPARE(security->itemText(0), QStringLiteral("なし"));
    QCOMPARE(security->itemText(1), QStringLiteral("SSL/TLS"));
    QCOMPARE(security->itemText(2), QStringLiteral("STARTTLS"));

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

  void TickingAutomaticModifiesOnlyWhenSomethingChanges() {
    ProxyPageValues stored{"u", "p", true, false, "u_dustbox", "p"};
    QVERIFY(ApplyProxyPage(*set, 0, stored, *ui));
    CPropertySheet& shown = Open(0, kProxy);
    Button(kProxy, "automatic")->click();
    QVERIFY(!shown.ApplyButton()->isEnabled());
    Button(kProxy, "automatic")->click();
    Type(Field(kProxy, "dustboxUser"), QStringLiteral("other"));
    QVERIFY(shown.ApplyButton()->isEnabled());
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

    Type(Field(kProxy, "dustboxUser"), QStringLiteral("takenbox"));
    shown.ApplyButton()->click();
    Type(Field(kProxy, "dustboxUser"), QStringLiteral("free"));
    Type(Field(kProxy, "user"), QStringLiteral("taken"));
    shown.ApplyButton()->click();
    QCOMPARE(answers.texts, Texts(3, "設定に問題があります。"));
    QCOMPARE(Mailbox(1).Config(), before);
    QVERIFY(shown.ApplyButton()->isEnabled());

    Type(Field(kProxy, "user"), QStringLiteral("mine"));
    shown.ApplyButton()->click();
    QCOMPARE(answers.texts.size(), std::size_t{3});
    QCOMPARE(Mailbox(1).Config().localUser, std::string("mine"));
    QVERIFY(!shown.ApplyButton()->isEnabled());
  }

  void IntervalIsCheckedOnApply_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("29") << QStringLiteral("29") << false;
    QTest::newRow("30") << QStringLiteral("30") << true;
    QTest::newRow("86400") << QStringLiteral("86400") << true;
    QTest::newRow("86401") << QStringLiteral("86401") << false;
    QTest::newRow("empty") << QString() << false;
  }
  void IntervalIsCheckedOnApply() {
    QFETCH(QString, typed);
    QFETCH(bool, accepted);
    CPropertySheet& shown = Open(0, kReceive);
    QVERIFY(Button(kReceive, "timer")->isChecked());
    QCOMPARE(Field(kReceive, "interval")->text(), QStringLiteral("180"));
    Type(Field(kReceive, "interval"), typed);
    shown.ShowPage(kAccount);
    shown.OkButton()->click();
    if (accepted) {
      QCOMPARE(shown.result(), int(QDialog::Accepted));
      QCOMPARE(Mailbox().Config().timerInterval, typed.toUInt());
      QVERIFY(answers.texts.empty());
    } else {
      QCOMPARE(shown.result(), int(QDialog::Rejected));
      QCOMPARE(shown.CurrentPage(), int(kReceive));
      QCOMPARE(Mailbox().Config().timerInterval, 180u);
      QCOMPARE(answers.texts, Texts{"30 から 86400 までの整数を入力してください。"});
    }
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
    const QStringList labels = [&] {
      QStringList texts;
      for (const QLabel* label : shown.Page(kReceive)->findChildren<QLabel*>()) {
        texts << label->text();
      }
      return texts;
    }();
    for (const char* text : {"削\n除", "隠\nす", "通\n知", "フレンドメール", "バッドメール",
                             "スパムメール", "その他のメール", "秒間隔 "}) {
      QVERIFY2(labels.contains(QString::fromUtf8(text)), text);
    }

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

  void DeletedHereQuestionOnlyWhenNeeded_data() {
    QTest::addColumn<bool>("exemption");
    QTest::addColumn<int>("answer");
    QTest::addColumn<QString>("deletedHere");
    QTest::addColumn<QString>("pending");
    const QString none;
    const QString both = QStringLiteral("P1 D1");
    QTest::newRow("no exemption") << false << -1 << none << both;
    QTest::newRow("yes") << true << int(Answer::Yes) << none << both;
    QTest::newRow("no") << true << int(Answer::No) << QStringLiteral("D1") << QStringLiteral("P1");
    QTest::newRow("cancel") << true << int(Answer::Cancel) << none << QStringLiteral("P1");
  }
  void DeletedHereQuestionOnlyWhenNeeded() {
    QFETCH(bool, exemption);
    QFETCH(int, answer);
    QFETCH(QString, deletedHere);
    QFETCH(QString, pending);
    FillServerLists();
    CPropertySheet& shown = Open(0, kDustbox);
    QCOMPARE(Field(kDustbox, "deletedHereCount")->text(), QStringLiteral("1"));
    QVERIFY(Button(kDustbox, "refetch")->isEnabled());
    if (exemption) Button(kDustbox, "keepOther")->click();
    Button(kDustbox, "deleteWhenDustboxed")->click();
    if (answer >= 0) answers.queue = {static_cast<Answer>(answer)};
    shown.ApplyButton()->click();
    if (answer >= 0) {
      QCOMPARE(answers.texts, Texts{kDeletedHereQuestion});
      QCOMPARE(answers.buttons[0], Buttons::YesNoCancel);
    } else {
      QVERIFY(answers.texts.empty());
    }
    const auto joined = [](CUidList list) {
      QStringList uidls;
      std::string uidl;
      std::string messageId;
      list.Rewind();
      while (list.Next(uidl, messageId)) uidls << QString::fromStdString(uidl);
      return uidls.join(u' ');
    };
    QCOMPARE(joined(Mailbox().Client().DeletedHere()), deletedHere);
    QCOMPARE(joined(Mailbox().Client().PendingDeletions()), pending);
    QCOMPARE(Mailbox().Config().GetServerDeletion(), DeleteWhenDustboxed);
    QCOMPARE(Field(kDustbox, "deletedHereCount")->text(),
             QString::number(deletedHere.isEmpty() ? 0 : 1));
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

  void ValuesSurviveARestart() {
    CMailboxDialog dialog(*set, *ui);
    dialog.SetDialogRunner([this](QDialog& shown) {
      auto& opened = dynamic_cast<CPropertySheet&>(shown);
      sheet.reset();
      opened.show();
      const auto field = [&opened](int page, const char* name) {
        return opened.Page(page)->findChild<QLineEdit*>(QString::fromLatin1(name));
      };
      const auto button = [&opened](int page, const char* name) {
        return opened.Page(page)->findChild<QAbstractButton*>(QString::fromLatin1(name));
      };
      Type(field(kAccount, "server"), QStringLiteral("pop.example.org"));
      Type(field(kAccount, "port"), QStringLiteral("2110"));
      Type(field(kAccount, "user"), QStringLiteral("remote"));
      Type(field(kAccount, "password"), QStringLiteral("remote-pw"));
      opened.Page(kAccount)->findChild<QComboBox*>()->setCurrentIndex(2);
      Type(field(kAccount, "caFile"), QStringLiteral("private-ca.pem"));
      Type(field(kProxy, "user"), QStringLiteral("local"));
      Type(field(kProxy, "password"), QStringLiteral("local-pw"));
      button(kProxy, "access")->click();
      button(kProxy, "automatic")->click();
      Type(field(kReceive, "interval"), QStringLiteral("3600"));
      button(kReceive, "onDemand")->click();
      button(kReceive, "hide2")->click();
      button(kDustbox, "deleteWhenPurged")->click();
      button(kDustbox, "keepFriend")->click();
      Type(field(kDustbox, "dustboxLimit"), QStringLiteral("250"));
      opened.OkButton()->click();
      return opened.result();
    });
    dialog.Select(1);
    dialog.PropertiesButton()->click();
    dialog.CloseButton()->click();
    QVERIFY(answers.texts.empty());
    const CMailboxConfig config = Mailbox(1).Config();
    const CRemoteAccount account = Mailbox(1).Client().account;
    QCOMPARE(config.dustboxUser, std::string("local_dustbox"));
    QCOMPARE(config.timerInterval, 3600u);
    QCOMPARE(account.port, 2110u);
    QCOMPARE(account.security, ConnectionSecurity::StartTls);

    CProfile reopenedProfile("qm_mailfilter.ini");
    CMailboxSet reopened(reopenedProfile);
    reopened.LoadAll();
    QCOMPARE(reopened.Count(), 2);
    QCOMPARE(reopened.Get(1)->Name(), std::string("b"));
    QCOMPARE(reopened.Get(1)->Config(), config);
    QCOMPARE(reopened.Get(1)->Client().account, account);
  }
};

}  // namespace qm

QTEST_MAIN(qm::PropertySheetTest)
#include "property_sheet_test.moc"
