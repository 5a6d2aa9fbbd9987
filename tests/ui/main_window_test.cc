// The main window on real widgets: the seam's threads and timers, the mail list, the notification
// and the tray, and the frame. The frame runs last: ending the program leaves Qt's "quit now" set.
#include <QApplication>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QThread>
#include <thread>

#include "desktop_workdir.h"
#include "ui/main_frame.h"
#include "ui/orbalt_view.h"

namespace qm {

// Logs "m<n>" on entering a message and "/m<n>" on leaving it, "t<id>", "idle", and "off" for
// anything that arrived off the GUI thread.
struct Client : IUserInterfaceClient {
  void OnMessage(std::uint32_t, std::intptr_t n, std::intptr_t) override {
    Log("m" + std::to_string(n));
    if (n == 1 && onFirst) onFirst();
    Log("/m" + std::to_string(n));
  }
  void OnTimer(std::uint32_t id) override {
    Log("t" + std::to_string(id));
    if (id == 14) killSelf();
  }
  void IdleStep() override { Log("idle"); }
  void Log(const std::string& event) {
    log += (QThread::currentThread() == qApp->thread() ? event : "off") + " ";
  }
  int Count(const std::string& event) const {
    int count = 0;
    for (std::size_t at = 0; (at = (" " + log).find(" " + event + " ", at)) != std::string::npos;) {
      ++at, ++count;
    }
    return count;
  }
  // The log without idle steps, which also come every second.
  std::string Busy() const { return QString::fromStdString(log).remove("idle ").toStdString(); }
  std::string log;
  std::function<void()> onFirst, killSelf;
};

class QtUiTest : public QObject {
  Q_OBJECT
  CQtUi ui;
  Client client;

 private slots:
  void init() { ui.SetClient(&client); }
  void cleanup() { client = {}; }

  void WorkerMessagesArriveInOrderOnTheGuiThreadThenOneIdleStep() {
    std::thread([this] {
      for (int i = 0; i < 200; ++i) ui.PostMessage(kWakeIdle, i, 0);
    }).join();
    std::string expected;
    for (int i = 0; i < 200; ++i)
      expected += "m" + std::to_string(i) + " /m" + std::to_string(i) + " ";
    QTRY_COMPARE(client.log, expected + "idle ");
    // With nothing posted the idle step still comes, so a worker's log line reaches the file.
    QTRY_VERIFY_WITH_TIMEOUT(client.Count("idle") >= 3, 5000);
  }

  void TimersRepeatUntilKilledFromAnyThreadOrTheirOwnHandler() {
    client.killSelf = [this] { ui.KillTimer(14); };
    for (const auto& [id, period] :
         {std::pair{10u, 20u}, {11u, 20u}, {12u, 3600000u}, {12u, 20u}, {14u, 10u}}) {
      ui.SetTimer(id, period);  // 12 set again: the new period from now
    }
    ui.KillTimer(11);
    std::thread([this] { ui.SetTimer(13, 20); }).join();
    QTRY_VERIFY(client.Count("t10") >= 3 && client.Count("t12") >= 1 && client.Count("t13") >= 1);
    ui.KillTimer(10);
    std::thread([this] { ui.KillTimer(13); }).join();
    const auto counts = [this] {
      return std::vector{client.Count("t10"), client.Count("t11"), client.Count("t13"),
                         client.Count("t14"), client.Count("off")};
    };
    const std::vector<int> killed = counts();
    const int twelve = client.Count("t12");
    QTest::qWait(150);
    QCOMPARE(counts(), killed);
    QCOMPARE(std::vector(killed.begin() + 1, killed.end()), (std::vector{0, killed[2], 1, 0}));
    QVERIFY(client.Count("t12") > twelve);
    ui.KillTimer(12);
  }

  void WorkerQuestionsAndStatusAreAnsweredOnTheGuiThread() {
    ui.SetAnswerer([this](std::string_view text, Buttons shown, Answer) {
      client.Log(std::string(text));
      return shown == Buttons::Ok ? Answer::Ok : Answer::No;
    });
    connect(&ui, &CQtUi::StatusTextChanged, this,
            [this](const QString& text) { client.Log(text.toStdString()); });
    std::atomic<bool> done{false};
    Answer answer = Answer::Ok;
    std::thread worker([&] {
      ui.ShowMessage("通信中にエラーが発生しました。");
      answer = ui.Ask("終了してもよろしいですか？", Buttons::YesNoCancel, Answer::Yes);
      ui.SetStatusText("受信中");
      done = true;
    });
    QTRY_VERIFY(done);
    worker.join();
    QCOMPARE(answer, Answer::No);
    QTRY_COMPARE(
        client.Busy(),
        std::string("通信中にエラーが発生しました。 終了してもよろしいですか？ 受信中 m0 /m0 "));
    QCOMPARE(ui.StatusText(), std::string("受信中"));
    // Asked on the GUI thread, a question is answered at once, not after a loop it would block.
    QCOMPARE(ui.Ask("?", Buttons::OkCancel, Answer::Ok), Answer::No);
  }

  void AClientShowingAMessageBoxIsNotEnteredAgain() {
    ui.SetAnswerer([](std::string_view, Buttons, Answer standard) {
      QTest::qWait(50);  // the box's own event loop
      return standard;
    });
    client.onFirst = [this] { ui.ShowMessage("!"); };
    ui.PostMessage(kWakeIdle, 1, 0);
    ui.PostMessage(kWakeIdle, 2, 0);
    QTRY_COMPARE(client.Busy(), std::string("m1 /m1 m2 /m2 "));
  }

  // Last: the seam stays closed.
  void AfterCloseQuestionsTakeTheirDefaultAndTheClientHearsNothing() {
    ui.SetAnswerer([](std::string_view, Buttons, Answer) { return Answer::No; });
    Answer answer = Answer::No;
    std::thread worker([&] { answer = ui.Ask("?", Buttons::YesNo, Answer::Yes); });
    ui.Close();
    worker.join();
    QCOMPARE(answer, Answer::Yes);
    client.log.clear();
    ui.PostMessage(kWakeIdle, 5, 0);
    ui.SetTimer(15, 10);
    QTest::qWait(1200);
    QCOMPARE(client.log, std::string());
  }
};

class WindowsTest : public QObject, protected CDesktopWorkdir {
  Q_OBJECT
  std::unique_ptr<CMainFrame> frame;
  COrbaltView* view = nullptr;
  CRecordingPlayer player;
  std::unique_ptr<CNotifier> notifier;

  // The frame with its list on the first of `count` mailboxes.
  void MakeFrame(int count, const std::vector<std::string>& subjects = {}) {
    for (int i = 0; i < count; ++i) AddMailbox("box" + std::to_string(i), subjects);
    frame = std::make_unique<CMainFrame>(*settings);
    view = new COrbaltView(*set, lists, *settings, *ui);
    frame->AttachView(*view);
    frame->SetUi(*ui);
    view->ActivateMailbox(0);
    notifier = std::make_unique<CNotifier>(*frame, player);
    ShowExposed(*frame);
  }
  void Retrieved(int index, int verdict) {
    CMailMessage message = Mail("new", verdict);
    int deleteNow = 0;
    if (set->Get(index)->StoreRetrieved(message, deleteNow) <= 0) qFatal("not stored");
  }
  QStringList Subjects() const { return Column(*view->model(), ColumnSubject); }
  void Select(int row) { view->SetSelection(std::vector{row}); }
  void Key(int key, Qt::KeyboardModifiers modifiers = {}, quint32 scanCode = 0, bool held = false) {
    QKeyEvent press(QEvent::KeyPress, key, modifiers, scanCode, 0, 0, {}, held);
    QApplication::sendEvent(view, &press);
  }

 private slots:
  void init() {
    OpenWorkdir();
    player.played.clear();
  }
  void cleanup() {
    notifier.reset();
    frame.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(CNotifyWnd::Current() == nullptr);
    CloseWorkdir();
  }

  // What a key or a header click does is the commands' and the list's; the view hands each on
  // once, whatever the keyboard layout prints on a shifted digit.
  void KeysAndHeaderClicksReachTheList() {
    MakeFrame(10, {"b", "c", "a"});
    AddMailbox("box10", {"x"});
    view->LoadLayout();
    QHeaderView& header = *view->horizontalHeader();
    const QPoint subject(header.sectionViewportPosition(ColumnSubject) + 10, header.height() / 2);
    Select(0);
    QTest::mouseClick(header.viewport(), Qt::LeftButton, {}, subject);
    QTest::mouseClick(header.viewport(), Qt::LeftButton, {}, subject);
    QCOMPARE(Subjects(), QStringList({"c", "b", "a"}));
    QCOMPARE(view->SelectedRows(), std::vector<int>({1}));  // mail 1 ("b") where the sort put it
    QVERIFY(view->columnWidth(ColumnDate) >
            view->fontMetrics().horizontalAdvance("2024 03/04 09:12:34"));
    Select(0);
    Key(Qt::Key_D);
    Select(0);
    Key(Qt::Key_D, {}, 0, true);  // held down: not repeated
    QCOMPARE(Subjects(), QStringList({"b", "a"}));
    Key(Qt::Key_G);
    Key(Qt::Key_A);
    Key(Qt::Key_D, Qt::ShiftModifier);
    Key(Qt::Key_G);
    QCOMPARE(set->Get(0)->Dustbox()->MessageCount() + answers.texts.size(), 0u);
    // A digit, the US "@" and the Japanese "\"" over 2, and ")" over 0 (the tenth).
    for (const auto& [key, scanCode, box] : {std::tuple{int(Qt::Key_2), 0u, 1},
                                             {Qt::Key_At, 11u, 1},
                                             {Qt::Key_QuoteDbl, 11u, 1},
                                             {Qt::Key_ParenRight, 19u, 9}}) {
      view->ActivateMailbox(10);
      Key(key, Qt::ShiftModifier, scanCode);
      QCOMPARE(view->List().CurrentIndex(), box);
    }
    // A mail client's session on a mailbox or its dustbox rebuilds the list shown.
    set->Get(9)->RemoveMessage(1, set->Get(9)->Dustbox());
    view->OnMaildropCommitted(true, 1);
    view->OnMaildropCommitted(false, 9);
    QCOMPARE(Subjects(), QStringList({"c", "b", "a"}));
    view->OnMaildropCommitted(true, 9);
    QCOMPARE(Subjects(), QStringList({"c", "a"}));
  }

  void ARetrievalNotifiesWhenDueAndTheWindowShowsTheMailbox() {
    MakeFrame(2);
    frame->hide();
    Retrieved(1, VerdictSpam);  // not notified by default, but counted
    notifier->OnRetrievalEnded(kTriggerTimer, -1);
    QVERIFY(player.played.empty() && CNotifyWnd::Current() == nullptr && !frame->NewMailBlinking());
    Retrieved(1, VerdictFriend);
    notifier->OnRetrievalEnded(kTriggerTimer, -1);
    notifier->OnRetrievalEnded(kTriggerTimer, -1);  // the flags were taken: not due again
    QCOMPARE(player.played, (decltype(player.played){{NotifySound::Beep, ""}}));
    QPointer<CNotifyWnd> window = CNotifyWnd::Current();
    QVERIFY(window->Floating() && window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QCOMPARE(window->CountTexts(), (std::array<QString, 4>{"1", "0", "1", "0"}));
    QCOMPARE(window->CloseTimerMilliseconds(), 10000);
    QCOMPARE(window->geometry().bottomRight(),
             QGuiApplication::primaryScreen()->availableGeometry().bottomRight());
    QCOMPARE(frame->TrayTip(), QStringLiteral("Quillmoor Mail Filter\n1 ( 1 ) / 1 ( 1 )"));
    QVERIFY(frame->NewMailBlinking());
    QTest::mouseClick(window.data(), Qt::RightButton, Qt::NoModifier, QPoint(5, 5));
    QTRY_VERIFY(window.isNull());
    QCOMPARE(Subjects(), QStringList{"new"});
    QVERIFY(frame->isVisible() && !frame->NewMailBlinking() &&
            frame->ShownTrayPicture() == TrayPicture::Normal);
    QCOMPARE(set->Get(1)->friendCount.load(), 0u);

    // On the receive command even no mail is told, over the frame; a second window replaces it.
    settings->Set(settings::NotifySound, "chime.wav");
    notifier->OnRetrievalEnded(kTriggerCommand, 0);
    QCOMPARE(player.played.back(), std::pair(NotifySound::File, std::string("chime.wav")));
    window = CNotifyWnd::Current();
    QVERIFY(!window->Floating() && window->parentWidget() == frame.get());
    QCOMPARE(window->CountTexts(), (std::array<QString, 4>{"0", "0", "0", "0"}));
    QVERIFY((window->geometry().center() - frame->rect().center()).manhattanLength() <= 4);
    notifier->OnRetrievalEnded(kTriggerTray, -1);
    QTRY_VERIFY(window.isNull());  // closed from the event loop, leaving the second current
    QVERIFY(CNotifyWnd::Current()->isVisible());
  }

  void TheTrayBlinksAndItsClicksOpenTheMailboxMenuAndMarkDustboxesRead() {
    MakeFrame(2);
    std::vector<TrayPicture> shown;
    connect(frame.get(), &CMainFrame::TrayPictureShown, this,
            [&shown](TrayPicture picture) { shown.push_back(picture); });
    frame->SetNewMailState(true);
    QTRY_VERIFY_WITH_TIMEOUT(shown.size() >= 4, 5000);
    QCOMPARE(std::vector(shown.begin(), shown.begin() + 4),
             (std::vector{TrayPicture::Normal, TrayPicture::InBetween, TrayPicture::NewMail,
                          TrayPicture::Normal}));
    frame->HandleTrayEvent(TrayEvent::LeftDown);
    frame->HandleTrayEvent(TrayEvent::LeftUp);
    QVERIFY(!frame->NewMailBlinking() && frame->ShownTrayPicture() == TrayPicture::Normal);
    auto* menu = Child<QMenu>(*frame, "mailboxMenu");
    QTRY_VERIFY(menu->isVisible());
    QCOMPARE(menu->actions().size(), 2);
    menu->actions()[1]->trigger();
    menu->close();
    QCOMPARE(view->List().CurrentIndex(), 1);
    frame->HandleTrayEvent(TrayEvent::LeftDoubleClick);
    frame->HandleTrayEvent(TrayEvent::LeftUp);  // the double click's own release
    QVERIFY(!menu->isVisible());
    CMailMessage message = Mail("d");
    if (set->Get(0)->Dustbox()->AppendMessage(message) <= 0) QFAIL("not stored");
    frame->HandleTrayEvent(TrayEvent::MiddleUp);
    QCOMPARE(set->DustboxUnopenedCount(-1), 0);
  }

  // Hidden without a tray host, the window could never be reached again: it is minimised instead,
  // saying why once.
  void ClosingNeverEndsTheProgram() {
    CMainFrame window(*settings);
    window.ShowAtStart(6);
    const bool tray = QSystemTrayIcon::isSystemTrayAvailable();
    QTRY_VERIFY(tray ? !window.isVisible() : window.isMinimized());
    window.ShowMainWindow();
    QTRY_VERIFY(window.isVisible() && !window.isMinimized());
    QVERIFY(!window.HandleCloseRequest(true));
    QTRY_VERIFY(tray ? !window.isVisible() : window.isMinimized() && window.isVisible());
    if (tray) return;
    QLabel& status = *Child<QLabel>(window, "statusText");
    QCOMPARE(status.text(), QStringLiteral("通知領域がないため、ウィンドウは最小化されました。"));
    window.SetStatusText(QStringLiteral("Hello!"));
    window.ShowMainWindow();
    QVERIFY(!window.HandleCloseRequest(true));
    QCOMPARE(status.text(), QStringLiteral("Hello!"));
  }

  void PlacementIsReadAndWrittenAndOneOffEveryScreenIgnored() {
    const auto placement = [this] {
      std::string values;
      for (const auto& key : {settings::MainState, settings::MainX, settings::MainY,
                              settings::MainWidth, settings::MainHeight}) {
        values += std::to_string(settings->Get(key)) + " ";
      }
      return values;
    };
    settings->Set(settings::MainX, 50000);
    settings->Set(settings::MainWidth, 500);
    settings->Set(settings::MainHeight, 300);
    auto shown = std::make_unique<CMainFrame>(*settings);
    QVERIFY(shown->geometry().x() < 50000);
    shown->SavePlacement();  // never shown: the rectangle read stays
    QCOMPARE(settings->Get(settings::MainX), 50000);
    settings->Set(settings::MainX, 40);
    settings->Set(settings::MainY, 30);
    shown = std::make_unique<CMainFrame>(*settings);
    shown->ShowAtStart(5);
    QVERIFY(QTest::qWaitForWindowExposed(shown.get()));
    QCOMPARE(shown->geometry().topLeft().x(), 40);
    shown->setGeometry(60, 50, 520, 320);
    shown->SavePlacement();
    QCOMPARE(placement(), std::string("1 60 50 520 320 "));
    shown = std::make_unique<CMainFrame>(*settings);
    shown->ShowAtStart(3);
    QTRY_VERIFY(shown->isMaximized());
    shown->SavePlacement();
    QCOMPARE(placement(), std::string("3 60 50 520 320 "));  // the normal rectangle
    shown->hide();
    shown->SavePlacement();
    QCOMPARE(settings->Get(settings::MainState), 2);
  }

  // Last: ending the program ends the event loop, which leaves Qt's "quit now" state set.
  void OnlyTheProgramsOwnCloseRequestAsksAndEnds() {
    CMainFrame window(*settings);
    window.SetUi(*ui);
    ShowExposed(window);
    answers.queue = {Answer::Cancel, Answer::Ok};
    QVERIFY(!window.close());
    QVERIFY(window.isVisible() && !window.isMinimized());
    QVERIFY(!window.HandleCloseRequest(true));  // the title bar never asks
    QCOMPARE(answers.texts, std::vector<std::string>{"終了してもよろしいですか？"});
    QVERIFY(window.close() && !window.isVisible() && answers.queue.empty());
    CMainFrame other(*settings);
    ShowExposed(other);
    other.ExitProgram();
    QVERIFY(other.close() && !other.isVisible());
  }
};

}  // namespace qm

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  app.setAttribute(Qt::AA_Use96Dpi, true);
  return qm::RunTests<qm::QtUiTest, qm::WindowsTest>(argc, argv);
}

#include "main_window_test.moc"
