// Whole desktops on scratch working directories, started as `qm_mailfilter` starts them, driven as
// a user would and ended; what a session did is read back from the files.
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>
#include <thread>

#include "app/application.h"
#include "desktop_workdir.h"
#include "support/file_bytes.h"
#include "support/held_lock.h"
#include "ui/create_mailbox_dialog.h"
#include "ui/desktop_windows.h"
#include "ui/mailbox_dialog.h"
#include "ui/main_frame.h"
#include "ui/model/list_commands.h"
#include "ui/orbalt_view.h"

namespace qm {

class DesktopSessionTest : public QObject, protected CDesktopWorkdir {
  Q_OBJECT
  std::unique_ptr<CApplication> program;
  std::unique_ptr<CDesktopWindows> windows;
  QAbstractItemModel* rows = nullptr;

  // No retrieval at start, no blocklist look-ups and the local server on a loopback port of the
  // system's choosing: nothing outside is reached.
  void Start(bool populated) {
    for (const char* zone : {"Zone0", "Zone1", "Zone2", "Zone3"}) {
      settings->Profile().WriteString(settings::kBlocklistSection, zone, "");
    }
    settings->Set(settings::StartupRetrieve, 0);
    settings->Set(settings::Port, 0);
    settings->Set(settings::BindAddress, "127.0.0.1");
    if (populated) {
      AddMailbox("inbox", {"friend", "news", "read", "junk"});
      if (set->SaveList() == 0 || set->SaveAll(-1) == 0) qFatal("not saved");
    }
    program = std::make_unique<CApplication>(*ui, directory->path().toStdString());
    if (program->Startup() != CApplication::StartResult::Started) qFatal("not started");
    windows = std::make_unique<CDesktopWindows>(*program, *ui);
    rows = windows->View().model();
  }
  void End() {
    windows->SaveLayout();
    ui->Close();
    program->Shutdown();
    windows.reset();
    program.reset();
  }
  CMailbox& Inbox() { return *program->Mailboxes().Get(0); }

 private slots:
  void init() { OpenWorkdir(); }
  void cleanup() { CloseWorkdir(); }

  void KeysChangeTheFilesTheProgramLeaves() {
    Start(true);
    windows->Show();
    COrbaltView& view = windows->View();
    QVERIFY(QTest::qWaitForWindowExposed(&windows->Frame()));
    for (const auto& [row, key] :
         {std::pair{0, Qt::Key_F}, {1, Qt::Key_H}, {2, Qt::Key_O}, {3, Qt::Key_D}}) {
      view.setFocus();
      QTest::mouseClick(view.viewport(), Qt::LeftButton, {},
                        view.visualRect(rows->index(row, 2)).center());
      QTest::keyClick(&view, key);  // friend, hidden, read, into the dustbox
    }
    QCOMPARE(rows->index(2, ColumnNumber).data().toString() +
                 QString::number(rows->index(2, ColumnDate).data().toString().size() > 9),
             "31");
    QTest::keyClick(&view, Qt::Key_G);
    QCOMPARE(rows->rowCount(), 1);
    QTest::keyClick(&view, Qt::Key_Escape);
    QTRY_VERIFY(!windows->Frame().isVisible() || windows->Frame().isMinimized());
    End();
    QCOMPARE(answers.texts, std::vector<std::string>{});
    QVERIFY(test::ReadFileBytes("friend.txt").find("friend@example.org") != std::string::npos);
    CMailboxSet next(settings->Profile());
    QCOMPARE(next.LoadAll(), 1);
    const CMailbox& inbox = *next.Get(0);
    QCOMPARE((std::vector{inbox.MessageCount(), inbox.Mark(1).GetVerdict(),
                          int(inbox.Mark(1).Hidden()), int(inbox.Mark(2).Hidden()),
                          int(inbox.Mark(2).Opened()), int(inbox.Mark(3).Opened())}),
             (std::vector{3, int(VerdictFriend), 0, 1, 0, 1}));
    QCOMPARE(inbox.Dustbox()->Summary(1).senderAddress, std::string("junk@example.org"));
  }

  // A retrieval and a trim on other threads reach the list at the next idle step with the selected
  // mail still selected, and a mail client's login ends the new-mail indication.
  void OthersChangesReachTheListAndALoginEndsTheNewMailIndication() {
    Start(true);
    windows->View().SetSelection(std::vector{1});
    windows->Frame().SetNewMailState(true);
    std::thread([this] {
      if (Inbox().RemoveMessage(1, nullptr) != 1) qFatal("not removed");
      CMailMessage message = Mail("fetched");
      if (Inbox().AppendMessage(message) <= 0) qFatal("not stored");
      program->LoginAccepted(Inbox(), 0);
    }).join();
    QTRY_VERIFY(!windows->Frame().NewMailBlinking());
    QTRY_COMPARE(Column(*rows, ColumnSubject), QStringList({"news", "read", "junk", "fetched"}));
    QCOMPARE(windows->View().SelectedRows(), std::vector<int>{0});
    End();
  }

  // A mail client holds its mailbox from its login to its end: the window still switches views and
  // answers every key at once, saying the mailbox is in use where a command needs it.
  void AMailClientLoggedInNeverStopsTheWindow() {
    Start(true);
    auto client = std::make_unique<test::HeldLock>(Inbox().storeLock);
    QElapsedTimer clock;
    clock.start();
    COrbaltView& view = windows->View();
    QTest::keyClick(&view, Qt::Key_G);
    QCOMPARE(rows->rowCount(), 0);
    QTest::keyClick(&view, Qt::Key_G);
    view.SetSelection(std::vector{1});
    QTest::keyClick(&view, Qt::Key_H);
    QTest::keyClick(&view, Qt::Key_Return);
    qInfo("four commands with the mailbox held: %lld ms", static_cast<long long>(clock.elapsed()));
    client.reset();
    QCOMPARE(answers.texts, (std::vector<std::string>{kMailboxInUseText, kMailboxInUseText}));
    QVERIFY(!Inbox().Mark(2).Hidden());
    End();
  }

  // The first start opens the mailbox dialog by itself; what it makes is offered in the selector
  // without being chosen for the user.
  void AFirstStartAsksForAMailbox() {
    Start(false);
    QTimer poll;
    bool done = false;
    connect(&poll, &QTimer::timeout, this, [&done] {
      auto* dialog = dynamic_cast<CMailboxDialog*>(QApplication::activeModalWidget());
      if (dialog == nullptr || std::exchange(done, true)) return;
      dialog->SetDialogRunner([](QDialog& shown) {
        dynamic_cast<CCreateMailboxDialog&>(shown).NameField()->setText(QStringLiteral("  仕事 "));
        dynamic_cast<CCreateMailboxDialog&>(shown).OkButton()->click();
        return shown.result();
      });
      dialog->AddButton()->click();
      dialog->CloseButton()->click();
    });
    poll.start(20);
    windows->Show();
    QTRY_VERIFY(done && QApplication::activeModalWidget() == nullptr);
    QCOMPARE(windows->View().List().CurrentIndex(), -1);
    QCOMPARE(windows->Frame().MailboxSelector().count(), 1);
    End();
    QCOMPARE(settings->Profile().GetString("Mailbox", "Mailboxes", ""), std::string("仕事:"));
  }
};

}  // namespace qm

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  return qm::RunTest<qm::DesktopSessionTest>(argc, argv);
}

#include "desktop_session_test.moc"
