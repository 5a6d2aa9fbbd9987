// A whole desktop on a populated working directory, driven through the list's keys as a user
// would, then ended; what the session did is read back from the files afterwards.
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <array>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/settings.h"
#include "desktop_run.h"
#include "mailboxes/mailbox_set.h"
#include "message/mail_message.h"
#include "platform/profile.h"
#include "support/file_bytes.h"
#include "support/held_lock.h"
#include "ui/desktop_windows.h"
#include "ui/main_frame.h"
#include "ui/model/list_commands.h"
#include "ui/orbalt_view.h"

namespace qm {

namespace {

constexpr std::array<const char*, 4> kSenders = {"friend@example.org", "news@example.org",
                                                 "read@example.org", "junk@example.org"};

void Populate() {
  CSettings settings;
  KeepDesktopLocal(settings);
  CMailboxSet set(settings.Profile());
  CMailbox& inbox = *set.Get(set.Add("inbox"));
  for (const char* sender : kSenders) {
    CMailMessage message;
    message.Parse(std::string("From: ") + sender + "\r\nSubject: from " + sender +
                  "\r\n\r\nbody\r\n.\r\n");
    message.mark.SetClassification(VerdictUnclassified, 0);
    if (inbox.AppendMessage(message) <= 0) qFatal("not stored");
  }
  if (set.SaveList() == 0 || set.SaveAll(-1) == 0) qFatal("not saved");
}

}  // namespace

class DesktopSessionTest : public QObject {
  Q_OBJECT

 private slots:
  // Each session runs in a working directory of its own with the same mail.
  void init() {
    directory = std::make_unique<QTemporaryDir>();
    previous = QDir::currentPath();
    QDir::setCurrent(directory->path());
    Populate();
  }
  void cleanup() {
    QDir::setCurrent(previous);
    directory.reset();
  }

  void KeysChangeTheFilesTheProgramLeaves() {
    CDesktopRun run(directory->path());
    QVERIFY(run.Started());
    CDesktopWindows& windows = run.Windows();
    windows.Show();
    QVERIFY(QTest::qWaitForWindowExposed(&windows.Frame()));
    COrbaltView& view = windows.View();
    QCOMPARE(view.model()->rowCount(), 4);

    const auto select = [&view](int row) {
      view.setFocus();
      QTest::mouseClick(view.viewport(), Qt::LeftButton, {},
                        view.visualRect(view.model()->index(row, 2)).center());
    };
    select(0);
    QTest::keyClick(&view, Qt::Key_F);  // the sender becomes a friend
    select(1);
    QTest::keyClick(&view, Qt::Key_H);  // hidden from the mail client
    select(2);
    QTest::keyClick(&view, Qt::Key_O);  // read
    select(3);
    QTest::keyClick(&view, Qt::Key_D);  // into the dustbox
    QCOMPARE(view.model()->rowCount(), 3);
    QCOMPARE(view.model()->data(view.model()->index(2, 0)).toString(), QStringLiteral("3"));

    QTest::keyClick(&view, Qt::Key_G);  // the dustbox
    QCOMPARE(view.model()->rowCount(), 1);
    QTest::keyClick(&view, Qt::Key_G);
    QCOMPARE(view.model()->rowCount(), 3);

    QTest::keyClick(&view, Qt::Key_Escape);
    QTRY_VERIFY(!windows.Frame().isVisible() || windows.Frame().isMinimized());
    run.End();
    QCOMPARE(run.Told(), std::vector<std::string>{});

    // The files, as the next start reads them.
    QVERIFY(test::ReadFileBytes(directory->filePath("friend.txt").toStdString())
                .find("friend@example.org") != std::string::npos);
    {
      CProfile profile("qm_mailfilter.ini");
      CMailboxSet set(profile);
      QCOMPARE(set.LoadAll(), 1);
      const CMailbox& inbox = *set.Get(0);
      QCOMPARE(inbox.MessageCount(), 3);
      QCOMPARE(inbox.Mark(1).GetVerdict(), static_cast<int>(VerdictFriend));
      QVERIFY(!inbox.Mark(1).Hidden());
      QVERIFY(inbox.Mark(2).Hidden());
      QVERIFY(!inbox.Mark(2).Opened());
      QVERIFY(inbox.Mark(3).Opened());
      QCOMPARE(inbox.Dustbox()->MessageCount(), 1);
      QCOMPARE(inbox.Dustbox()->Summary(1).senderAddress, std::string("junk@example.org"));
    }
  }

  // What other threads do to the shown mailbox reaches the list at the next idle step with the
  // selected mail still selected, and a mail client's login ends the new-mail indication.
  void OthersChangesReachTheListAndALoginEndsTheNewMailIndication() {
    CDesktopRun run(directory->path());
    QVERIFY(run.Started());
    CMainFrame& frame = run.Windows().Frame();
    COrbaltView& view = run.Windows().View();
    const std::vector<int> second = {1};
    view.SetSelection(second);
    frame.SetNewMailState(true);
    QVERIFY(frame.NewMailBlinking());
    // As a retrieval on demand and a trim do it, then as a connection thread reports the login.
    std::thread connection([&run] {
      CMailbox& inbox = *run.Program().Mailboxes().Get(0);
      if (inbox.RemoveMessage(1, nullptr) != 1) qFatal("not removed");
      CMailMessage message;
      message.Parse("Subject: fetched\r\n\r\nbody\r\n.\r\n");
      if (inbox.AppendMessage(message) <= 0) qFatal("not stored");
      run.Program().LoginAccepted(inbox, 0);
    });
    connection.join();
    QTRY_VERIFY(!frame.NewMailBlinking());
    QTRY_COMPARE(view.model()->data(view.model()->index(3, 2)).toString(),
                 QStringLiteral("fetched"));
    QCOMPARE(view.SelectedRows(), std::vector<int>{0});
    QCOMPARE(view.model()->data(view.model()->index(0, 4)).toString(),
             QStringLiteral("news@example.org"));
    run.End();
  }

  // A mail client holds its mailbox from its login to its end: the window switches views and
  // answers every key at once, saying the mailbox is in use where a command needs it.
  void AMailClientLoggedInNeverStopsTheWindow() {
    CDesktopRun run(directory->path());
    QVERIFY(run.Started());
    COrbaltView& view = run.Windows().View();
    CMailbox& inbox = *run.Program().Mailboxes().Get(0);
    auto client = std::make_unique<test::HeldLock>(inbox.storeLock);
    QElapsedTimer clock;
    clock.start();
    QTest::keyClick(&view, Qt::Key_G);  // the dustbox and back
    QCOMPARE(view.model()->rowCount(), 0);
    QTest::keyClick(&view, Qt::Key_G);
    QCOMPARE(view.model()->rowCount(), 4);
    view.SetSelection(std::vector<int>{1});
    QTest::keyClick(&view, Qt::Key_H);
    QTest::keyClick(&view, Qt::Key_Return);
    // Printed, not asserted: two switches, a hide and a view while the client holds the mailbox.
    qInfo("four commands with the mailbox held: %lld ms", static_cast<long long>(clock.elapsed()));
    client.reset();
    QCOMPARE(run.Told(), (std::vector<std::string>{kMailboxInUseText, kMailboxInUseText}));
    QVERIFY(!inbox.Mark(2).Hidden());
    run.End();
  }

 private:
  std::unique_ptr<QTemporaryDir> directory;
  QString previous;
};

}  // namespace qm

QTEST_MAIN(qm::DesktopSessionTest)
#include "desktop_session_test.moc"
