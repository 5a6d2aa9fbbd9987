// Whole desktops on a scratch working directory with four mails, started as `qm_mailfilter` starts
// them (reaching nothing outside), driven as a user would and ended.
#include <QApplication>
#include <thread>

#include "app/application.h"
#include "desktop_workdir.h"
#include "support/file_bytes.h"
#include "support/held_lock.h"
#include "ui/desktop_windows.h"
#include "ui/main_frame.h"
#include "ui/model/list_commands.h"
#include "ui/orbalt_view.h"

namespace qm {

class DesktopSessionTest : public QObject, protected CDesktopWorkdir {
  Q_OBJECT
  std::unique_ptr<CApplication> program;
  std::unique_ptr<CDesktopWindows> windows;
  COrbaltView* view = nullptr;

  CMailbox& Inbox() { return *program->Mailboxes().Get(0); }
  void End() {
    windows->SaveLayout();
    ui->Close();
    program->Shutdown();
  }

 private slots:
  void init() {
    OpenWorkdir();
    for (const char* zone : {"Zone0", "Zone1", "Zone2", "Zone3"})
      settings->Profile().WriteString(settings::kBlocklistSection, zone, "");
    for (const auto& [key, value] : {std::pair{settings::StartupRetrieve, 0}, {settings::Port, 0}})
      settings->Set(key, value);
    settings->Set(settings::BindAddress, "127.0.0.1");
    AddMailbox("inbox", {"friend", "news", "read", "junk"});
    if (set->SaveList() == 0 || set->SaveAll(-1) == 0) qFatal("not saved");
    program = std::make_unique<CApplication>(*ui, directory->path().toStdString());
    if (program->Startup() != CApplication::StartResult::Started) qFatal("not started");
    windows = std::make_unique<CDesktopWindows>(*program, *ui);
    view = &windows->View();
  }
  void cleanup() {
    windows.reset();
    program.reset();
    CloseWorkdir();
  }

  void KeysChangeTheFilesTheProgramLeaves() {
    windows->Show();
    QVERIFY(QTest::qWaitForWindowExposed(&windows->Frame()));
    for (const auto& [row, key] :
         {std::pair{0, Qt::Key_F}, {1, Qt::Key_H}, {2, Qt::Key_O}, {3, Qt::Key_D}}) {
      QTest::mouseClick(view->viewport(), Qt::LeftButton, {},
                        view->visualRect(view->model()->index(row, 2)).center());
      QTest::keyClick(view, key);  // a friend, hidden, read, into the dustbox
    }
    QCOMPARE(Column(*view->model(), ColumnNumber).join("") +
                 QString::number(Column(*view->model(), ColumnDate).join("").size() > 20),
             "1231");
    QTest::keyClick(view, Qt::Key_Escape);
    QTRY_VERIFY(!windows->Frame().isVisible() || windows->Frame().isMinimized());
    End();
    QVERIFY(told.empty() &&
            test::ReadFileBytes("friend.txt").find("friend@example.org") != std::string::npos);
    CMailboxSet next(settings->Profile());
    next.LoadAll();
    const CMailbox& inbox = *next.Get(0);
    QCOMPARE((std::vector{inbox.MessageCount(), inbox.Mark(1).GetVerdict(),
                          int(inbox.Mark(1).Hidden()), int(inbox.Mark(2).Hidden()),
                          int(inbox.Mark(2).Opened()), int(inbox.Mark(3).Opened())}),
             (std::vector{3, int(VerdictFriend), 0, 1, 0, 1}));
    QCOMPARE(inbox.Dustbox()->Summary(1).senderAddress, "junk@example.org");
  }

  // A retrieval and a trim on other threads reach the list at the next idle step with the selected
  // mail still selected, and a mail client's login ends the new-mail indication.
  void OthersChangesReachTheListAndALoginEndsTheNewMailIndication() {
    view->SetSelection(std::vector{1});
    windows->Frame().SetNewMailState(true);
    std::thread([this] {
      CMailMessage message = Mail("fetched");
      if (Inbox().RemoveMessage(1, nullptr) != 1 || Inbox().AppendMessage(message) <= 0)
        qFatal("not stored");
      program->LoginAccepted(Inbox(), 0);
    }).join();
    QTRY_COMPARE(Column(*view->model(), ColumnSubject),
                 QStringList({"news", "read", "junk", "fetched"}));
    QTRY_VERIFY(!windows->Frame().NewMailBlinking() && view->SelectedRows() == std::vector<int>{0});
    End();
  }

  // A mail client holds its mailbox from its login to its end: the window still switches views and
  // answers every key at once, saying the mailbox is in use where a command needs it.
  void AMailClientLoggedInNeverStopsTheWindow() {
    auto client = std::make_unique<test::HeldLock>(Inbox().storeLock);
    for (const Qt::Key key : {Qt::Key_G, Qt::Key_G, Qt::Key_Down, Qt::Key_H, Qt::Key_Return})
      QTest::keyClick(view, key);
    client.reset();
    QCOMPARE(told, (std::vector<std::string>{kMailboxInUseText, kMailboxInUseText}));
    QVERIFY(!Inbox().Mark(1).Hidden() && !Inbox().Mark(2).Hidden() &&
            view->model()->rowCount() == 4);
    End();
  }
};

}  // namespace qm

QTEST_MAIN(qm::DesktopSessionTest)
#include "desktop_session_test.moc"
