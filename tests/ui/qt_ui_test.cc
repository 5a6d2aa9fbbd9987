#include "ui/qt_ui.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace qm {
namespace {

bool OnGuiThread() { return QThread::currentThread() == QCoreApplication::instance()->thread(); }

// Records what reaches the client as short strings: "m<wParam>", "t<id>", "idle"; and whether
// anything arrived on another thread than the GUI thread.
class Client : public IUserInterfaceClient {
 public:
  void OnMessage(std::uint32_t, std::intptr_t wParam, std::intptr_t) override {
    Record("m" + std::to_string(wParam));
    if (onMessage) onMessage(wParam);
    Record("m" + std::to_string(wParam) + " done");
  }
  void OnTimer(std::uint32_t id) override {
    Record("t" + std::to_string(id));
    if (onTimer) onTimer(id);
  }
  void IdleStep() override { Record("idle"); }

  int Count(const std::string& event) const {
    return static_cast<int>(std::count(events.begin(), events.end(), event));
  }

  std::vector<std::string> events;
  bool offThread = false;
  std::function<void(std::intptr_t)> onMessage;
  std::function<void(std::uint32_t)> onTimer;

 private:
  void Record(const std::string& event) {
    if (!OnGuiThread()) offThread = true;
    events.push_back(event);
  }
};

}  // namespace

class QtUiTest : public QObject {
  Q_OBJECT

 private slots:
  void MessagesFromAWorkerArriveOnTheGuiThreadInOrder() {
    CQtUi ui;
    Client client;
    ui.SetClient(&client);
    std::thread worker([&ui] {
      for (int i = 0; i < 200; ++i) ui.PostMessage(kWakeIdle, i, 0);
    });
    worker.join();
    QTRY_COMPARE(client.Count("m199"), 1);
    std::vector<std::string> messages;
    for (const std::string& event : client.events) {
      if (event[0] == 'm' && event.find(' ') == std::string::npos) messages.push_back(event);
    }
    QCOMPARE(messages.size(), std::size_t{200});
    for (int i = 0; i < 200; ++i) QCOMPARE(messages[i], "m" + std::to_string(i));
    QVERIFY(!client.offThread);
    QTRY_COMPARE(client.events.back(), std::string("idle"));
  }

  void ABatchIsFollowedByOneIdleStepAndIdleRunsEverySecond() {
    CQtUi ui;
    Client client;
    ui.SetClient(&client);
    ui.PostMessage(kRetrievalEnded, 1, -1);
    ui.PostMessage(kMaildropCommitted, 2, 0);
    ui.PostMessage(kWakeIdle, 3, 0);
    QTRY_COMPARE(client.Count("idle"), 1);
    QCOMPARE(client.events,
             (std::vector<std::string>{"m1", "m1 done", "m2", "m2 done", "m3", "m3 done", "idle"}));
    // Nothing posted: the idle step still comes, so that a log line written by a worker reaches
    // the file.
    QTRY_VERIFY_WITH_TIMEOUT(client.Count("idle") >= 3, 5000);
    QVERIFY(!client.offThread);
  }

  void TimersRepeatUntilKilledFromAnyThread() {
    CQtUi ui;
    Client client;
    ui.SetClient(&client);
    ui.SetTimer(10, 20);
    ui.SetTimer(11, 20);
    ui.KillTimer(11);
    // Set again, a timer runs with its new period from now.
    ui.SetTimer(12, 3600 * 1000);
    ui.SetTimer(12, 20);
    std::thread([&ui] { ui.SetTimer(13, 20); }).join();
    QTRY_VERIFY(client.Count("t10") >= 3 && client.Count("t12") >= 1 && client.Count("t13") >= 1);
    QCOMPARE(client.Count("t11"), 0);

    ui.KillTimer(10);
    std::thread([&ui] { ui.KillTimer(13); }).join();
    const int ten = client.Count("t10");
    const int thirteen = client.Count("t13");
    QTest::qWait(150);
    QCOMPARE(client.Count("t10"), ten);
    QCOMPARE(client.Count("t13"), thirteen);
    QVERIFY(client.Count("t12") > 1);
    QVERIFY(!client.offThread);
  }

  void ATimerMayKillItselfWhenItFires() {
    CQtUi ui;
    Client client;
    client.onTimer = [&ui](std::uint32_t id) { ui.KillTimer(id); };
    ui.SetClient(&client);
    ui.SetTimer(14, 10);
    QTRY_COMPARE(client.Count("t14"), 1);
    QTest::qWait(100);
    QCOMPARE(client.Count("t14"), 1);
  }

  void QuestionsFromAWorkerAreAnsweredOnTheGuiThread() {
    CQtUi ui;
    std::vector<std::string> asked;
    std::vector<Buttons> buttons;
    bool offThread = false;
    ui.SetAnswerer([&](std::string_view text, Buttons shown, Answer) {
      if (!OnGuiThread()) offThread = true;
      asked.emplace_back(text);
      buttons.push_back(shown);
      return shown == Buttons::Ok ? Answer::Ok : Answer::No;
    });
    std::atomic<bool> done{false};
    Answer answer = Answer::Ok;
    std::thread worker([&] {
      ui.ShowMessage("通信中にエラーが発生しました。");
      answer = ui.Ask("終了してもよろしいですか？", Buttons::YesNoCancel, Answer::Yes);
      done = true;
    });
    QTRY_VERIFY(done);
    worker.join();
    QCOMPARE(answer, Answer::No);
    QCOMPARE(asked, (std::vector<std::string>{"通信中にエラーが発生しました。",
                                              "終了してもよろしいですか？"}));
    QCOMPARE(buttons, (std::vector<Buttons>{Buttons::Ok, Buttons::YesNoCancel}));
    QVERIFY(!offThread);

    // Asked on the GUI thread itself, the question is answered at once instead of waiting for a
    // loop that this very call would block.
    QCOMPARE(ui.Ask("?", Buttons::OkCancel, Answer::Ok), Answer::No);
  }

  void AClientShowingAMessageBoxIsNotEnteredAgain() {
    CQtUi ui;
    Client client;
    // The box's own event loop runs while the first message is being handled.
    ui.SetAnswerer([](std::string_view, Buttons, Answer defaultAnswer) {
      QTest::qWait(50);
      return defaultAnswer;
    });
    client.onMessage = [&ui](std::intptr_t wParam) {
      if (wParam == 1) ui.ShowMessage("!");
    };
    ui.SetClient(&client);
    ui.PostMessage(kWakeIdle, 1, 0);
    ui.PostMessage(kWakeIdle, 2, 0);
    QTRY_COMPARE(client.Count("m2 done"), 1);
    QCOMPARE(std::vector<std::string>(client.events.begin(), client.events.begin() + 4),
             (std::vector<std::string>{"m1", "m1 done", "m2", "m2 done"}));
  }

  void AfterCloseQuestionsTakeTheirDefaultAndTheClientHearsNothing() {
    CQtUi ui;
    Client client;
    ui.SetClient(&client);
    bool answered = false;
    ui.SetAnswerer([&](std::string_view, Buttons, Answer) {
      answered = true;
      return Answer::No;
    });
    Answer answer = Answer::No;
    // Whether the question is posted before Close or finds it closed, it must not wait.
    std::thread worker([&] { answer = ui.Ask("?", Buttons::YesNo, Answer::Yes); });
    ui.Close();
    worker.join();
    QCOMPARE(answer, Answer::Yes);
    QVERIFY(!answered);
    ui.PostMessage(kWakeIdle, 5, 0);
    ui.SetTimer(15, 10);
    QTest::qWait(1200);
    QVERIFY(client.events.empty());
  }

  void StatusTextFromAWorkerIsShownOnTheGuiThread() {
    CQtUi ui;
    Client client;
    ui.SetClient(&client);
    QStringList shown;
    bool offThread = false;
    connect(&ui, &CQtUi::StatusTextChanged, this, [&](const QString& text) {
      if (!OnGuiThread()) offThread = true;
      shown.append(text);
    });
    std::thread([&ui] { ui.SetStatusText("受信中 (1/3)"); }).join();
    QTRY_COMPARE(shown.size(), 1);
    QCOMPARE(shown.front(), QStringLiteral("受信中 (1/3)"));
    QCOMPARE(ui.StatusText(), std::string("受信中 (1/3)"));
    QVERIFY(!offThread);
    // The message wakes the idle step, which is what lets the program react.
    QTRY_VERIFY(client.Count("idle") >= 1);
    QCOMPARE(client.events.front(), std::string("m0"));
  }
};

}  // namespace qm

QTEST_MAIN(qm::QtUiTest)
#include "qt_ui_test.moc"
