// The main window on real widgets: the seam's threads and timers, the mail list, the notification
// and the frame.
#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QThread>
#include <thread>

#include "app/application.h"
#include "desktop_workdir.h"
#include "support/held_lock.h"
#include "ui/desktop_windows.h"
#include "ui/main_frame.h"
#include "ui/model/list_commands.h"
#include "ui/orbalt_view.h"

namespace qm {

// Logs "m<n>" entering a message and "/m<n>" leaving it, "t<id>", "idle", and "off" for anything
// that arrived off the GUI thread.
struct Client : IUserInterfaceClient {
  void OnMessage(std::uint32_t, std::intptr_t n, std::intptr_t) override {
    Log("m" + std::to_string(n));
    if (n == 1 && onFirst) onFirst();
    Log("/m" + std::to_string(n));
  }
  void OnTimer(std::uint32_t id) override { Log("t" + std::to_string(id)); }
  void IdleStep() override { Log("idle"); }
  void Log(const std::string& e) {
    log += (QThread::currentThread() == qApp->thread() ? e : "off") + " ";
  }
  int Count(const char* e) const {
    return int(QString::fromStdString(" " + log).count(QString(" %1 ").arg(e)));
  }
  // Without the idle steps, which also come every second.
  std::string Busy() const { return QString::fromStdString(log).remove("idle ").toStdString(); }
  std::string log;
  std::function<void()> onFirst;
};

class MainWindowTest : public QObject, protected CDesktopWorkdir {
  Q_OBJECT
  Client client;
  std::unique_ptr<CMainFrame> frame;
  COrbaltView* view = nullptr;
  std::unique_ptr<CApplication> program;
  std::unique_ptr<CDesktopWindows> windows;

  // The frame shown with its list on the first of `count` mailboxes.
  void MakeFrame(int count, const std::vector<std::string>& subjects = {}) {
    for (int i = 0; i < count; ++i) AddMailbox("box" + std::to_string(i), subjects);
    frame = std::make_unique<CMainFrame>(*settings);
    frame->AttachView(*(view = new COrbaltView(*set, lists, *settings, *ui)));
    frame->SetUi(*ui);
    view->ActivateMailbox(0);
    ShowExposed(*frame);
  }
  // The whole desktop as `qm_mailfilter` starts it on four mails, reaching nothing outside.
  CMailbox& StartDesktop() {
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
    return *program->Mailboxes().Get(0);
  }
  void Key(int key, Qt::KeyboardModifiers modifiers = {}, quint32 scanCode = 0, bool held = false) {
    QKeyEvent press(QEvent::KeyPress, key, modifiers, scanCode, 0, 0, {}, held);
    QApplication::sendEvent(view, &press);
  }

 private slots:
  void init() {
    OpenWorkdir();
    ui->SetClient(&(client = {}));
  }
  void cleanup() {
    if (program) ui->Close(), program->Shutdown();
    windows.reset();
    program.reset();
    frame.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(CNotifyWnd::Current() == nullptr);
    CloseWorkdir();
  }

  void WorkerMessagesArriveInOrderOnTheGuiThreadThenOneIdleStep() {
    std::thread([this] {
      for (int i = 0; i < 200; ++i) ui->PostMessage(kWakeIdle, i, 0);
    }).join();
    std::string expected;
    for (int i = 0; i < 200; ++i) expected += QString("m%1 /m%1 ").arg(i).toStdString();
    QTRY_COMPARE(client.log, expected + "idle ");
    // With nothing posted the idle step still comes, so a worker's log line reaches the file.
    QTRY_VERIFY_WITH_TIMEOUT(client.Count("idle") >= 3, 5000);
  }

  void TimersRepeatUntilKilledFromAnyThread() {
    for (const auto& [id, ms] : {std::pair{10u, 20u}, {11u, 20u}, {12u, 3600000u}, {12u, 20u}}) {
      ui->SetTimer(id, ms);  // 12 set again: the new period from now
    }
    ui->KillTimer(11);
    std::thread([this] { ui->SetTimer(13, 20); }).join();
    QTRY_VERIFY(client.Count("t10") >= 3 && client.Count("t12") >= 1 && client.Count("t13") >= 1);
    ui->KillTimer(10);
    std::thread([this] { ui->KillTimer(13); }).join();
    const int ten = client.Count("t10"), thirteen = client.Count("t13"),
              twelve = client.Count("t12");
    QTest::qWait(150);
    QVERIFY(client.Count("t10") == ten && client.Count("t13") == thirteen &&
            client.Count("t12") > twelve);
    QVERIFY(client.Count("t11") + client.Count("off") == 0);
  }

  // Asked on the GUI thread itself, a question is answered at once, not after a loop it would
  // block.
  void WorkerQuestionsAndStatusAreAnsweredOnTheGuiThread() {
    ui->SetAnswerer([this](std::string_view text, Buttons shown, Answer) {
      client.Log(std::string(text));
      return shown == Buttons::Ok ? Answer::Ok : Answer::No;
    });
    Answer answer = Answer::Ok;
    std::thread worker([&] {
      ui->ShowMessage("通信中にエラーが発生しました。");
      answer = ui->Ask("終了してもよろしいですか？", Buttons::YesNoCancel, Answer::Yes);
      ui->SetStatusText("受信中");
    });
    QTRY_COMPARE(client.Busy(),
                 std::string("通信中にエラーが発生しました。 終了してもよろしいですか？ m0 /m0 "));
    worker.join();
    QVERIFY(ui->StatusText() == "受信中" && answer == Answer::No);
    QCOMPARE(ui->Ask("?", Buttons::OkCancel, Answer::Ok), Answer::No);
  }

  void AClientShowingAMessageBoxIsNotEnteredAgain() {
    ui->SetAnswerer([](std::string_view, Buttons, Answer standard) {
      QTest::qWait(50);  // the box's own event loop
      return standard;
    });
    client.onFirst = [this] { ui->ShowMessage("!"); };
    ui->PostMessage(kWakeIdle, 1, 0);
    ui->PostMessage(kWakeIdle, 2, 0);
    QTRY_COMPARE(client.Busy(), std::string("m1 /m1 m2 /m2 "));
  }

  void AfterCloseQuestionsTakeTheirDefaultAndTheClientHearsNothing() {
    Answer answer = Answer::No;
    std::thread worker([&] { answer = ui->Ask("?", Buttons::YesNo, Answer::Yes); });
    ui->Close();
    worker.join();
    client.log.clear();
    ui->PostMessage(kWakeIdle, 5, 0);
    ui->SetTimer(15, 10);
    QTest::qWait(1200);
    QVERIFY(answer == Answer::Yes && client.log.empty() && told.empty());
  }

  // What a key or a header click does is the commands' and the list's; the view hands each on
  // once, whatever the keyboard layout prints on a shifted digit.
  void KeysAndHeaderClicksReachTheList() {
    MakeFrame(10, {"b", "c", "a"});
    view->LoadLayout();
    QHeaderView& header = *view->horizontalHeader();
    view->SetSelection(std::vector{0});
    for (int i = 0; i < 2; ++i) {
      QTest::mouseClick(header.viewport(), Qt::LeftButton, {},
                        {header.sectionViewportPosition(ColumnSubject) + 9, 5});
    }
    QCOMPARE(view->SelectedRows(), std::vector<int>({1}));  // mail 1 ("b") where the sort put it
    Key(Qt::Key_D);
    view->SetSelection(std::vector{0});
    Key(Qt::Key_D, {}, 0, true);  // held down: not repeated
    QCOMPARE(Column(*view->model(), ColumnSubject), QStringList({"c", "a"}));
    Key(Qt::Key_QuoteDbl, Qt::ShiftModifier, 11);  // "\"" over 2 on a Japanese keyboard
    QCOMPARE(view->List().CurrentIndex(), 1);
    Key(Qt::Key_ParenRight, Qt::ShiftModifier, 19);  // 0 is the tenth
    QVERIFY(view->List().CurrentIndex() == 9 && told.empty());
  }

  void ARetrievalNotifiesWhenDueAndTheWindowShowsTheMailbox() {
    MakeFrame(2);
    frame->hide();
    CRecordingPlayer player;
    CNotifier notifier(*frame, player);
    for (const int verdict : {VerdictSpam, VerdictFriend}) {  // spam is counted, not notified
      CMailMessage message = Mail("new", verdict);
      int deleteNow = 0;
      set->Get(1)->StoreRetrieved(message, deleteNow);
      notifier.OnRetrievalEnded(kTriggerTimer, -1);
    }
    notifier.OnRetrievalEnded(kTriggerTimer, -1);  // the flags were taken: not due again
    QCOMPARE(player.played, (decltype(player.played){{NotifySound::Beep, ""}}));
    QPointer<CNotifyWnd> window = CNotifyWnd::Current();
    QCOMPARE(window->CountTexts(), (std::array<QString, 4>{"1", "0", "1", "0"}));
    QVERIFY(window->Floating() && frame->NewMailBlinking() &&
            frame->TrayTip().endsWith("\n1 ( 1 ) / 1 ( 1 )"));
    QTest::mouseClick(window.data(), Qt::RightButton, Qt::NoModifier, QPoint(5, 5));
    QTRY_VERIFY(window.isNull());
    QCOMPARE(Column(*view->model(), ColumnSubject), QStringList{"new"});
    QVERIFY(frame->isVisible() && !frame->NewMailBlinking() && set->Get(1)->friendCount == 0);
    notifier.OnRetrievalEnded(kTriggerCommand, 0);  // told even without mail, over the frame
    window = CNotifyWnd::Current();
    notifier.OnRetrievalEnded(kTriggerTray, -1);
    QTRY_VERIFY(window.isNull());  // closed from the event loop, leaving the second current
    QVERIFY(CNotifyWnd::Current()->isVisible());
  }

  // A retrieval and a trim on other threads reach the list at the next idle step with the selected
  // mail still selected, and a mail client's login ends the new-mail indication.
  void OthersChangesReachTheListAndALoginEndsTheNewMailIndication() {
    CMailbox& inbox = StartDesktop();
    view->SetSelection(std::vector{1});
    windows->Frame().SetNewMailState(true);
    std::thread([&] {
      CMailMessage message = Mail("fetched");
      if (inbox.RemoveMessage(1, nullptr) != 1 || inbox.AppendMessage(message) <= 0)
        qFatal("not stored");
      program->LoginAccepted(inbox, 0);
    }).join();
    QTRY_COMPARE(Column(*view->model(), ColumnSubject),
                 QStringList({"news", "read", "junk", "fetched"}));
    QTRY_VERIFY(!windows->Frame().NewMailBlinking() && view->SelectedRows() == std::vector<int>{0});
  }

  // A mail client holds its mailbox from its login to its end: the window still switches views and
  // answers every key at once, saying the mailbox is in use where a command needs it.
  void AMailClientLoggedInNeverStopsTheWindow() {
    CMailbox& inbox = StartDesktop();
    auto mailClient = std::make_unique<test::HeldLock>(inbox.storeLock);
    for (const Qt::Key key : {Qt::Key_G, Qt::Key_G, Qt::Key_Down, Qt::Key_H, Qt::Key_Return})
      QTest::keyClick(view, key);
    mailClient.reset();
    QCOMPARE(told, (std::vector<std::string>{kMailboxInUseText, kMailboxInUseText}));
    QVERIFY(!inbox.Mark(1).Hidden() && !inbox.Mark(2).Hidden() && view->model()->rowCount() == 4);
  }

  void PlacementIsReadAndWrittenAndOneOffEveryScreenIgnored() {
    for (const int x : {50000, 40}) {
      for (const auto& [key, value] : {std::pair{settings::MainX, x},
                                       {settings::MainY, 30},
                                       {settings::MainWidth, 500},
                                       {settings::MainHeight, 300}})
        settings->Set(key, value);
      CMainFrame window(*settings);
      if (x == 40) window.ShowAtStart(3);
      QTRY_VERIFY(x == 40 ? window.isMaximized() : window.geometry().x() < 50000);
      window.SavePlacement();  // unshown, the rectangle read stays; maximised, the normal one
      QCOMPARE(settings->Get(settings::MainX) + settings->Get(settings::MainWidth), x + 500);
    }
  }

  // The title bar never ends the program: without a tray host, where hidden the window could never
  // be reached again, it is minimised, saying why. Last: ending the program leaves Qt's "quit now".
  void OnlyTheProgramsOwnCloseRequestAsksAndEnds() {
    CMainFrame window(*settings);
    window.SetUi(*ui);
    ShowExposed(window);
    answers = {Answer::Cancel, Answer::Ok};
    QVERIFY(!window.close() && window.isVisible() && !window.isMinimized());
    QVERIFY(!window.HandleCloseRequest(true));
    const bool tray = QSystemTrayIcon::isSystemTrayAvailable();
    QTRY_VERIFY(tray ? !window.isVisible() : window.isMinimized() && window.isVisible());
    QCOMPARE(Child<QLabel>(window, "statusText")->text(),
             tray ? "" : "通知領域がないため、ウィンドウは最小化されました。");
    QCOMPARE(told, std::vector<std::string>{"終了してもよろしいですか？"});
    QVERIFY(window.close() && !window.isVisible() && answers.empty());
    CMainFrame other(*settings);
    other.ExitProgram();
    QVERIFY(other.close());
  }
};

}  // namespace qm

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  app.setAttribute(Qt::AA_Use96Dpi, true);
  qm::MainWindowTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "main_window_test.moc"
