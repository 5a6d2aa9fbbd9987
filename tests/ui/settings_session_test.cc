// A first start of the desktop in an empty working directory, with the settings made the way a user
// makes them: through the mailbox dialog that opens by itself, the creation dialog, the property
// sheet, the list editor and the options. What they leave is read back from the files afterwards.
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <deque>
#include <functional>
#include <string>
#include <typeinfo>

#include "app/settings.h"
#include "desktop_run.h"
#include "mailboxes/mailbox_set.h"
#include "platform/profile.h"
#include "support/file_bytes.h"
#include "ui/create_mailbox_dialog.h"
#include "ui/desktop_windows.h"
#include "ui/list_editor.h"
#include "ui/mailbox_dialog.h"
#include "ui/main_frame.h"
#include "ui/model/list_command_table.h"
#include "ui/options_dialog.h"
#include "ui/orbalt_view.h"
#include "ui/property_pages.h"
#include "ui/property_sheet.h"
#include "ui/settings_commands.h"

namespace qm {

namespace {

// Acts on the modal dialogs as they come up, one step per dialog shown, in order. A step may
// open the next dialog, whose own step then runs inside that dialog's event loop.
class CModalScript : public QObject {
 public:
  struct Step {
    const std::type_info* dialog;
    std::function<void(QWidget&)> act;
  };

  explicit CModalScript(std::deque<Step> script) : steps(std::move(script)) {
    connect(&poll, &QTimer::timeout, this, &CModalScript::Poll);
    poll.start(20);
  }
  bool Done() const { return steps.empty(); }

 private:
  void Poll() {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || steps.empty() || busy) return;
    if (typeid(*modal) != *steps.front().dialog) return;
    // Acted on from a queued call, not from this timer's own handler: a step that opens the next
    // dialog blocks in its event loop, where a timer is never delivered to a handler still running.
    busy = true;
    QMetaObject::invokeMethod(
        this,
        [this, modal] {
          Step step = std::move(steps.front());
          steps.pop_front();
          busy = false;
          step.act(*modal);
        },
        Qt::QueuedConnection);
  }

  std::deque<Step> steps;
  QTimer poll;
  bool busy = false;
};

template <class Dialog>
CModalScript::Step On(std::function<void(Dialog&)> act) {
  return {&typeid(Dialog), [act](QWidget& widget) { act(static_cast<Dialog&>(widget)); }};
}

template <class Widget>
Widget& Child(QWidget& parent, const char* name) {
  auto* widget = parent.findChild<Widget*>(QString::fromLatin1(name));
  if (widget == nullptr) qFatal("no control %s", name);
  return *widget;
}

void Type(QLineEdit& field, const QString& text) {
  field.selectAll();
  QTest::keyClick(&field, Qt::Key_Backspace);
  QTest::keyClicks(&field, text);
}

}  // namespace

class SettingsSessionTest : public QObject {
  Q_OBJECT

 private slots:
  void DialogsSetUpAMailboxThatTheNextStartReads() {
    QTemporaryDir directory;
    const QString previous = QDir::currentPath();
    QDir::setCurrent(directory.path());
    {
      CSettings settings(directory.path().toStdString());
      KeepDesktopLocal(settings);
    }
    CDesktopRun run(directory.path());
    QVERIFY(run.Started());
    {
      CDesktopWindows& windows = run.Windows();
      CModalScript firstStart({
          On<CMailboxDialog>([](CMailboxDialog& dialog) { dialog.AddButton()->click(); }),
          On<CCreateMailboxDialog>([](CCreateMailboxDialog& dialog) {
            // Typed keys are ASCII only; the name is pasted.
            dialog.NameField()->setText(QStringLiteral("  仕事 "));
            dialog.OkButton()->click();
          }),
          On<CMailboxDialog>([](CMailboxDialog& dialog) {
            dialog.Select(0);
            dialog.PropertiesButton()->click();
          }),
          On<CPropertySheet>([](CPropertySheet& sheet) {
            QWidget& account = *sheet.Page(0);
            Type(Child<QLineEdit>(account, "server"), QStringLiteral("pop.example.jp"));
            Type(Child<QLineEdit>(account, "user"), QStringLiteral("taro"));
            Type(Child<QLineEdit>(account, "password"), QStringLiteral("secret"));
            sheet.ShowPage(1);
            QWidget& local = *sheet.Page(1);
            Type(Child<QLineEdit>(local, "user"), QStringLiteral("work"));
            Type(Child<QLineEdit>(local, "password"), QStringLiteral("pass"));
            Child<QAbstractButton>(local, "access").click();
            Child<QAbstractButton>(local, "automatic").click();
            sheet.ShowPage(2);
            QWidget& receive = *sheet.Page(2);
            Type(Child<QLineEdit>(receive, "interval"), QStringLiteral("600"));
            Child<QAbstractButton>(receive, "onDemand").click();
            sheet.ShowPage(3);
            Child<QAbstractButton>(*sheet.Page(3), "deleteWhenPurged").click();
            sheet.OkButton()->click();
          }),
          On<CMailboxDialog>([](CMailboxDialog& dialog) { dialog.CloseButton()->click(); }),
      });
      windows.Show();
      QTRY_VERIFY_WITH_TIMEOUT(firstStart.Done() && QApplication::activeModalWidget() == nullptr,
                               10000);
      // Nothing was shown before, so nothing is chosen for the user; the selector offers the new
      // mailbox.
      QCOMPARE(windows.View().List().CurrentIndex(), -1);
      QCOMPARE(windows.Frame().MailboxSelector().count(), 1);

      CModalScript lists({On<CListEditorDialog>([](CListEditorDialog& dialog) {
        QTest::keyClicks(dialog.findChild<QLineEdit*>(), QStringLiteral("hanako@example.jp"));
        dialog.AddButton()->click();
        dialog.findChild<QCheckBox*>()->click();
        dialog.OkButton()->click();
      })});
      windows.SettingsCommands().Run(CmdListEditor);
      QVERIFY(lists.Done());

      CModalScript options({On<COptionsDialog>([](COptionsDialog& dialog) {
        for (QCheckBox* box : dialog.findChildren<QCheckBox*>()) {
          if (box->text() == QStringLiteral("デフォルト位置")) box->click();
        }
        dialog.OkButton()->click();
      })});
      windows.SettingsCommands().Run(CmdOptions);
      QVERIFY(options.Done());
    }
    run.End();
    QCOMPARE(run.Told(), std::vector<std::string>{});

    const std::string ini =
        test::ReadFileBytes(directory.filePath("qm_mailfilter.ini").toStdString());
    QVERIFY(ini.find("Mailboxes=仕事:") != std::string::npos);
    QVERIFY(ini.find("AddEmptyAddrToBadlist=1") != std::string::npos);
    QVERIFY(ini.find("NotifyWindowPosX=0") != std::string::npos);
    QVERIFY(test::ReadFileBytes(directory.filePath("friend.txt").toStdString())
                .find("hanako@example.jp") != std::string::npos);
    QVERIFY(QFile::exists(directory.filePath("仕事.cfg")));

    CProfile profile("qm_mailfilter.ini");
    CMailboxSet set(profile);
    set.LoadAll();
    QCOMPARE(set.Count(), 1);
    const CMailbox& work = *set.Get(0);
    QCOMPARE(work.Name(), std::string("仕事"));
    const CRemoteAccount& account = work.Client().account;
    QCOMPARE(account.server, std::string("pop.example.jp"));
    QCOMPARE(account.user, std::string("taro"));
    QCOMPARE(account.password, std::string("secret"));
    const CMailboxConfig& config = work.Config();
    QCOMPARE(config.localUser, std::string("work"));
    QCOMPARE(config.localPassword, std::string("pass"));
    QVERIFY(config.Has(CMailboxConfig::DustboxAccess));
    QCOMPARE(config.dustboxUser, std::string("work_dustbox"));
    QCOMPARE(config.dustboxPassword, std::string("pass"));
    QCOMPARE(config.timerInterval, 600u);
    QVERIFY(config.Has(CMailboxConfig::OnDemandRetrieval));
    QCOMPARE(config.GetServerDeletion(), DeleteWhenPurged);
    QDir::setCurrent(previous);
  }
};

}  // namespace qm

QTEST_MAIN(qm::SettingsSessionTest)
#include "settings_session_test.moc"
