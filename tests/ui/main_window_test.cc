// The main window on real widgets: the seam's threads and timers, the mail list view, the
// notification and the tray, and the frame. The frame's tests run last: ending the program leaves
// Qt's "quit now" state set.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPointer>
#include <QScreen>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QToolBar>
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "app/settings.h"
#include "classify/sender_lists.h"
#include "desktop_workdir.h"
#include "mailboxes/mailbox_set.h"
#include "message/mail_message.h"
#include "platform/profile.h"
#include "store/mailbox.h"
#include "ui/mail_table_model.h"
#include "ui/main_frame.h"
#include "ui/model/frame_texts.h"
#include "ui/model/list_command_table.h"
#include "ui/notify_wnd.h"
#include "ui/orbalt_view.h"
#include "ui/qt_ui.h"

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

class OrbaltViewTest : public QObject, protected CDesktopWorkdir {
  Q_OBJECT

 private:
  CMailbox& AddMailbox(const std::string& name, const std::vector<std::string>& subjects) {
    const int index = set->Add(name);
    if (index < 0) qFatal("no mailbox %s", name.c_str());
    CMailbox& mailbox = *set->Get(index);
    for (const std::string& subject : subjects) {
      CMailMessage message;
      message.Parse("From: " + subject + "@example.org\r\nSubject: " + subject +
                    "\r\n\r\nbody\r\n.\r\n");
      message.mark.SetClassification(VerdictUnclassified, 0);
      if (mailbox.AppendMessage(message) <= 0) qFatal("not stored");
    }
    return mailbox;
  }
  static QStringList Column(COrbaltView& view, int column) {
    QStringList texts;
    QAbstractItemModel& model = *view.model();
    for (int row = 0; row < model.rowCount(); ++row) {
      texts << model.data(model.index(row, column)).toString();
    }
    return texts;
  }
  static QStringList StoredSubjects(const CMailbox& mailbox) {
    QStringList subjects;
    for (int n = 1; n <= mailbox.MessageCount(); ++n) {
      subjects << QString::fromStdString(mailbox.Summary(n).subject);
    }
    return subjects;
  }
  std::unique_ptr<COrbaltView> MakeView(int mailbox) {
    auto view = std::make_unique<COrbaltView>(*set, lists, *settings, *ui);
    view->ActivateMailbox(mailbox);
    view->resize(800, 400);
    view->show();
    if (!QTest::qWaitForWindowExposed(view.get())) qFatal("not exposed");
    return view;
  }
  static QAction* FindAction(const QList<QAction*>& actions, int command) {
    for (QAction* action : actions) {
      if (action->data().toInt() == command) return action;
    }
    return nullptr;
  }

 private slots:
  void init() { OpenWorkdir(); }
  void cleanup() { CloseWorkdir(); }

  // The rows and their order are the model's; the view shows them with numbers to the right, the
  // icons drawn and unread mail in bold.
  void ShowsTheRowsWithNumbersIconsAndBoldUnreadMail() {
    AddMailbox("a", {"m1", "m2", "m3"});
    auto view = MakeView(0);
    QAbstractItemModel& model = *view->model();
    QCOMPARE(Column(*view, 2), QStringList({"m1", "m2", "m3"}));
    const QModelIndex number = model.index(0, 0);
    QVERIFY(model.data(number, Qt::TextAlignmentRole).value<Qt::Alignment>() & Qt::AlignRight);
    QVERIFY(!(model.data(model.index(0, 2), Qt::TextAlignmentRole).value<Qt::Alignment>() &
              Qt::AlignRight));
    QVERIFY(!model.data(number, Qt::DecorationRole).value<QPixmap>().isNull());
    QVERIFY(model.data(number, Qt::FontRole).value<QFont>().bold());
  }

  // Without widths of the user's, every column shows its heading and a whole date.
  void DefaultColumnsShowTheirWholeContent() {
    AddMailbox("a", {"m1"});
    auto view = MakeView(0);
    view->LoadLayout();
    const QFontMetrics heading = view->horizontalHeader()->fontMetrics();
    for (int column = 0; column < kMailColumnCount; ++column) {
      QVERIFY(view->columnWidth(column) >
              heading.horizontalAdvance(QString::fromUtf8(kMailColumns[column].heading)));
    }
    QVERIFY(view->columnWidth(ColumnDate) >
            view->fontMetrics().horizontalAdvance(QStringLiteral("2024 03/04 09:12:34")));
  }

  // What a key does is the commands'; the view hands it on once, with Shift, not while held.
  void KeyDDeletesTheSelectedRowAndAHeldKeyDoesNotRepeat() {
    CMailbox& a = AddMailbox("a", {"m1", "m2", "m3"});
    auto view = MakeView(0);
    const int selected[] = {1};
    view->SetSelection(selected);
    QTest::keyClick(view.get(), Qt::Key_D);
    QCOMPARE(Column(*view, 2), QStringList({"m1", "m3"}));
    QCOMPARE(StoredSubjects(*a.Dustbox()), QStringList({"m2"}));
    view->SetSelection(selected);
    QKeyEvent repeated(QEvent::KeyPress, Qt::Key_D, Qt::NoModifier, QString(), true);
    QApplication::sendEvent(view.get(), &repeated);
    QCOMPARE(view->model()->rowCount(), 2);
    QTest::keyClick(view.get(), Qt::Key_G);
    QTest::keyClick(view.get(), Qt::Key_A);
    QTest::keyClick(view.get(), Qt::Key_D, Qt::ShiftModifier);
    QCOMPARE(a.Dustbox()->MessageCount(), 0);
    QVERIFY(answers.texts.empty());
  }

  // Shift with a digit picks the mailbox as the digit alone does, whatever symbol the layout
  // prints on the key (US "@", Japanese "\"" over 2).
  void ShiftWithADigitKeyActivatesItsMailbox_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("scanCode");
    QTest::newRow("digit") << int(Qt::Key_2) << 0;
    QTest::newRow("us layout") << int(Qt::Key_At) << 11;
    QTest::newRow("japanese layout") << int(Qt::Key_QuoteDbl) << 11;
    QTest::newRow("zero is the tenth") << int(Qt::Key_ParenRight) << 19;
  }
  void ShiftWithADigitKeyActivatesItsMailbox() {
    QFETCH(int, key);
    QFETCH(int, scanCode);
    for (int i = 0; i < 10; ++i) AddMailbox("box" + std::to_string(i), {"in " + std::to_string(i)});
    auto view = MakeView(0);
    QKeyEvent press(QEvent::KeyPress, key, Qt::ShiftModifier, static_cast<quint32>(scanCode), 0, 0);
    QApplication::sendEvent(view.get(), &press);
    QCOMPARE(Column(*view, 2), QStringList({scanCode == 19 ? "in 9" : "in 1"}));
  }

  void AClientsDeletionsRebuildTheShownList() {
    CMailbox& a = AddMailbox("a", {"m1", "m2", "m3"});
    AddMailbox("b", {"x"});
    auto view = MakeView(0);
    a.RemoveMessage(1, nullptr);
    view->OnMaildropCommitted(true, 1);
    QCOMPARE(view->model()->rowCount(), 3);
    view->OnMaildropCommitted(false, 0);
    QCOMPARE(view->model()->rowCount(), 3);
    view->OnMaildropCommitted(true, 0);
    QCOMPARE(Column(*view, 2), QStringList({"m2", "m3"}));

    // A session on the dustbox is reported under its mailbox's index.
    view->List().ShowDustbox(true);
    view->RowsChanged();
    a.RemoveMessage(1, a.Dustbox());
    a.RemoveMessage(1, a.Dustbox());
    view->List().UpdateList();
    view->RowsChanged();
    QCOMPARE(view->model()->rowCount(), 2);
    a.Dustbox()->RemoveMessage(1, nullptr);
    view->OnMaildropCommitted(true, 0);
    QCOMPARE(view->model()->rowCount(), 1);
  }

  void HeaderClickTwiceSortsDescending() {
    AddMailbox("a", {"b", "c", "a"});
    auto view = MakeView(0);
    const int selected[] = {0};
    view->SetSelection(selected);
    QHeaderView& header = *view->horizontalHeader();
    const QPoint subject(header.sectionViewportPosition(2) + 10, header.height() / 2);
    QTest::mouseClick(header.viewport(), Qt::LeftButton, {}, subject);
    QCOMPARE(Column(*view, 2), QStringList({"a", "b", "c"}));
    QTest::mouseClick(header.viewport(), Qt::LeftButton, {}, subject);
    QCOMPARE(Column(*view, 2), QStringList({"c", "b", "a"}));
    QCOMPARE(Column(*view, 0), QStringList({"2", "1", "3"}));
    QCOMPARE(header.sortIndicatorOrder(), Qt::DescendingOrder);
    // Mail 1 ("b") stays selected where the sort put it.
    QCOMPARE(view->SelectedRows(), std::vector<int>({1}));
  }

  void FrameMenusAndToolbarComeFromTheCommands() {
    // "受信箱" in code page 932, as a working directory carried over may name it; names made here
    // are UTF-8.
    AddMailbox("\x8e\xf3\x90\x4d\x94\xa0", {"m1"});
    AddMailbox("仕事", {});
    CMainFrame frame(*settings);
    auto* view = new COrbaltView(*set, lists, *settings, *ui);
    view->ActivateMailbox(0);
    frame.AttachView(*view);
    QCOMPARE(frame.centralWidget(), view);

    QCOMPARE(frame.menuBar()->actions().size(), 6);
    QMenu& mail = *frame.menuBar()->actions()[0]->menu();
    QAction* dustbox = FindAction(mail.actions(), CmdShowDustbox);
    QCOMPARE(dustbox->text(), QStringLiteral("ごみ箱を見る(&G)\tG"));

    // States are refreshed as the menu is about to show.
    view->List().ShowDustbox(true);
    emit mail.aboutToShow();
    QVERIFY(dustbox->isChecked());
    view->List().ShowDustbox(false);
    emit mail.aboutToShow();
    QVERIFY(!dustbox->isChecked());

    QCOMPARE(frame.MailboxSelector().count(), 2);
    QCOMPARE(frame.MailboxSelector().currentIndex(), 0);
    QCOMPARE(frame.MailboxSelector().itemText(0), QStringLiteral("1 ( 1 ) - 0 ( 0 ) 受信箱"));
    QCOMPARE(frame.MailboxSelector().itemText(1), QStringLiteral("0 ( 0 ) - 0 ( 0 ) 仕事"));
  }
};

class NotifyWndTest : public QObject, protected CDesktopWorkdir {
  Q_OBJECT

 private:
  std::unique_ptr<CMainFrame> frame;
  COrbaltView* view = nullptr;
  CRecordingPlayer player;
  std::unique_ptr<CNotifier> notifier;

  void Retrieved(int index, int verdict, const std::string& subject) {
    CMailMessage message;
    message.Parse("From: " + subject + "@example.org\r\nSubject: " + subject +
                  "\r\n\r\nbody\r\n.\r\n");
    message.mark.SetClassification(verdict, 0);
    int deleteNow = 0;
    if (set->Get(index)->StoreRetrieved(message, deleteNow) <= 0) qFatal("not stored");
  }
  // The frame with its list on mailbox 0 of `count` mailboxes.
  void MakeFrame(int count, bool shown) {
    for (int i = 0; i < count; ++i) {
      if (set->Add("box" + std::to_string(i)) != i) qFatal("no mailbox");
    }
    frame = std::make_unique<CMainFrame>(*settings);
    view = new COrbaltView(*set, lists, *settings, *ui);
    frame->AttachView(*view);
    frame->SetUi(*ui);
    view->ActivateMailbox(0);
    notifier = std::make_unique<CNotifier>(*frame, player);
    if (shown) {
      frame->show();
      if (!QTest::qWaitForWindowExposed(frame.get())) qFatal("not exposed");
    }
  }
  static QRect Desktop() { return QGuiApplication::primaryScreen()->availableGeometry(); }
  static void Send(QWidget& widget, QEvent::Type type, QPoint at, Qt::MouseButton button,
                   Qt::MouseButtons held, Qt::KeyboardModifiers keys) {
    QMouseEvent event(type, QPointF(at), QPointF(widget.mapToGlobal(at)), button, held, keys);
    QApplication::sendEvent(&widget, &event);
  }

 private slots:
  void init() {
    OpenWorkdir();
    player.played.clear();
  }
  void cleanup() {
    notifier.reset();
    frame.reset();
    // Deferred deletions of closed windows.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(CNotifyWnd::Current() == nullptr);
    CloseWorkdir();
  }

  void TimedRetrievalSpeaksOnlyWhenDue() {
    MakeFrame(1, false);
    // Spam is not notified by default: not due, so nothing at all.
    Retrieved(0, VerdictSpam, "s1");
    notifier->OnRetrievalEnded(kTriggerTimer, -1);
    QVERIFY(player.played.empty());
    QVERIFY(CNotifyWnd::Current() == nullptr);
    QVERIFY(!frame->NewMailBlinking());
    // Spam went to the dustbox; the counts show it all the same.
    QCOMPARE(frame->TrayTip(), QStringLiteral("Quillmoor Mail Filter\n0 ( 0 ) / 1 ( 1 )"));

    Retrieved(0, VerdictFriend, "f1");
    notifier->OnRetrievalEnded(kTriggerTimer, -1);
    QCOMPARE(player.played.size(), std::size_t{1});
    QCOMPARE(player.played[0].first, NotifySound::Beep);
    QVERIFY(frame->NewMailBlinking());
    CNotifyWnd* window = CNotifyWnd::Current();
    QVERIFY(window != nullptr);
    QVERIFY(window->Floating());
    QVERIFY(window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QCOMPARE(window->CountTexts()[0], QStringLiteral("1"));
    // Counted since the indication last ended: the spam of the silent retrieval as well.
    QCOMPARE(window->CountTexts()[2], QStringLiteral("1"));
    QCOMPARE(window->CloseTimerMilliseconds(), 10000);
    QCOMPARE(window->geometry().bottomRight(), Desktop().bottomRight());
    // The new mail is in the list.
    QCOMPARE(view->model()->rowCount(), 1);
    QCOMPARE(frame->TrayTip(), QStringLiteral("Quillmoor Mail Filter\n1 ( 1 ) / 1 ( 1 )"));

    // The flags were taken: the same retrieval again is not due.
    player.played.clear();
    notifier->OnRetrievalEnded(kTriggerTimer, -1);
    QVERIFY(player.played.empty());
  }

  void ReceiveWithoutNewMailShowsFourZerosInTheWindow() {
    MakeFrame(1, true);
    settings->Set(settings::NotifySound, "chime.wav");
    notifier->OnRetrievalEnded(kTriggerCommand, 0);
    QCOMPARE(player.played.size(), std::size_t{1});
    QCOMPARE(player.played[0].first, NotifySound::File);
    QCOMPARE(player.played[0].second, std::string("chime.wav"));
    QVERIFY(!frame->NewMailBlinking());
    CNotifyWnd* window = CNotifyWnd::Current();
    QVERIFY(window != nullptr);
    QVERIFY(!window->Floating());
    QCOMPARE(window->parentWidget(), frame.get());
    for (const QString& text : window->CountTexts()) QCOMPARE(text, QStringLiteral("0"));
    QVERIFY((window->geometry().center() - frame->rect().center()).manhattanLength() <= 4);
  }

  void ASecondNotificationReplacesTheFirst() {
    MakeFrame(1, false);
    notifier->OnRetrievalEnded(kTriggerTray, -1);
    QPointer<CNotifyWnd> first = CNotifyWnd::Current();
    QVERIFY(first);
    notifier->OnRetrievalEnded(kTriggerTray, -1);
    CNotifyWnd* second = CNotifyWnd::Current();
    QVERIFY(second != nullptr);
    QVERIFY(second != first.data());
    // The first closes from the event loop; its end leaves the second current.
    QTRY_VERIFY(first.isNull());
    QCOMPARE(CNotifyWnd::Current(), second);
    QVERIFY(second->isVisible());
  }

  void APlainClickClosesAndEndsTheIndication() {
    MakeFrame(1, false);
    Retrieved(0, VerdictFriend, "f1");
    notifier->OnRetrievalEnded(kTriggerTimer, -1);
    QPointer<CNotifyWnd> window = CNotifyWnd::Current();
    QVERIFY(window);
    QVERIFY(frame->NewMailBlinking());
    QTest::mouseClick(window.data(), Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    QTRY_VERIFY(window.isNull());
    QVERIFY(CNotifyWnd::Current() == nullptr);
    QVERIFY(!frame->NewMailBlinking());
    QCOMPARE(frame->ShownTrayPicture(), TrayPicture::Normal);
    QCOMPARE(set->Get(0)->friendCount.load(), 0u);
  }

  void RightClickShowsTheMailboxWithNewMail() {
    MakeFrame(2, false);
    view->List().ShowDustbox(true);
    Retrieved(1, VerdictFriend, "f1");
    notifier->OnRetrievalEnded(kTriggerTimer, -1);
    QPointer<CNotifyWnd> window = CNotifyWnd::Current();
    QVERIFY(window);
    QTest::mouseClick(window.data(), Qt::RightButton, Qt::NoModifier, QPoint(5, 5));
    QTRY_VERIFY(window.isNull());
    // Found before the counters were reset.
    QCOMPARE(view->List().CurrentIndex(), 1);
    QVERIFY(!view->List().DustboxView());
    QVERIFY(frame->isVisible());
    QVERIFY(!frame->NewMailBlinking());
  }

  void AShiftDragMovesAndIsRemembered() {
    MakeFrame(1, false);
    notifier->OnRetrievalEnded(kTriggerTray, -1);
    CNotifyWnd* window = CNotifyWnd::Current();
    QVERIFY(window != nullptr);
    const QPoint start = window->pos();
    Send(*window, QEvent::MouseButtonPress, QPoint(4, 4), Qt::LeftButton, Qt::LeftButton,
         Qt::ShiftModifier);
    QCOMPARE(window->CloseTimerMilliseconds(), 0);
    Send(*window, QEvent::MouseMove, QPoint(4 - 30, 4 - 20), Qt::NoButton, Qt::LeftButton,
         Qt::ShiftModifier);
    QCOMPARE(window->pos(), start - QPoint(30, 20));
    Send(*window, QEvent::MouseButtonRelease, QPoint(4, 4), Qt::LeftButton, Qt::NoButton,
         Qt::ShiftModifier);
    QCOMPARE(CNotifyWnd::Current(), window);
    QCOMPARE(window->CloseTimerMilliseconds(), 3000);
    QCOMPARE(settings->Get(settings::NotifyWindowPosX), start.x() - 30);
    QCOMPARE(settings->Get(settings::NotifyWindowPosY), start.y() - 20);

    // The next floating window goes where this one was left.
    notifier->OnRetrievalEnded(kTriggerTray, -1);
    QCOMPARE(CNotifyWnd::Current()->pos(), start - QPoint(30, 20));
  }

  void TheTrayBlinksThroughItsThreePictures() {
    MakeFrame(1, false);
    std::vector<TrayPicture> shown;
    connect(frame.get(), &CMainFrame::TrayPictureShown, this,
            [&shown](TrayPicture picture) { shown.push_back(picture); });
    frame->SetNewMailState(true);
    QTRY_VERIFY_WITH_TIMEOUT(shown.size() >= 4, 5000);
    QCOMPARE(shown[0], TrayPicture::Normal);
    QCOMPARE(shown[1], TrayPicture::InBetween);
    QCOMPARE(shown[2], TrayPicture::NewMail);
    QCOMPARE(shown[3], TrayPicture::Normal);
    Retrieved(0, VerdictFriend, "f1");
    frame->SetNewMailState(false);
    QCOMPARE(frame->ShownTrayPicture(), TrayPicture::Normal);
    QVERIFY(!frame->NewMailBlinking());
    QCOMPARE(set->Get(0)->friendCount.load(), 0u);
    const std::size_t count = shown.size();
    QTest::qWait(700);
    QCOMPARE(shown.size(), count);
  }

  void TrayClicksOpenTheMailboxMenuAndMarkDustboxesRead() {
    MakeFrame(2, false);
    notifier->OnRetrievalEnded(kTriggerTray, -1);
    QPointer<CNotifyWnd> window = CNotifyWnd::Current();
    frame->SetNewMailState(true);

    frame->HandleTrayEvent(TrayEvent::LeftDown);
    frame->HandleTrayEvent(TrayEvent::LeftUp);
    QVERIFY(!frame->NewMailBlinking());
    QTRY_VERIFY(window.isNull());
    auto* menu = frame->findChild<QMenu*>(QStringLiteral("mailboxMenu"));
    QVERIFY(menu != nullptr);
    QTRY_VERIFY(menu->isVisible());
    const QList<QAction*> entries = menu->actions();
    QCOMPARE(entries.size(), 2);
    QCOMPARE(entries[1]->data().toInt(), 35001);
    QCOMPARE(entries[1]->text(), QStringLiteral("0 ( 0 ) - 0 ( 0 ) box1"));
    entries[1]->trigger();
    menu->close();
    QCOMPARE(view->List().CurrentIndex(), 1);
    QVERIFY(frame->isVisible());

    // The double click's own release opens no second menu.
    frame->HandleTrayEvent(TrayEvent::LeftDoubleClick);
    frame->HandleTrayEvent(TrayEvent::LeftUp);
    QVERIFY(!menu->isVisible());

    CMailMessage message;
    message.Parse("Subject: d\r\n\r\nbody\r\n.\r\n");
    if (set->Get(0)->Dustbox()->AppendMessage(message) <= 0) QFAIL("not stored");
    QCOMPARE(set->DustboxUnopenedCount(-1), 1);
    frame->HandleTrayEvent(TrayEvent::MiddleUp);
    QCOMPARE(set->DustboxUnopenedCount(-1), 0);
  }
};

// A mailbox and the mail list on it, for a frame with its commands.
class CListWorkdir : public CDesktopWorkdir {
 public:
  CListWorkdir() {
    OpenWorkdir();
    set->Add("受信箱");
  }
  ~CListWorkdir() { CloseWorkdir(); }
  CSettings& Settings() { return *settings; }
  COrbaltView* MakeView() { return new COrbaltView(*set, lists, *settings, *ui); }
};

class MainFrameTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> directory;
  std::unique_ptr<CSettings> settings;

  QLabel& Pane(CMainFrame& frame, const char* name) {
    auto* pane = frame.findChild<QLabel*>(QString::fromUtf8(name));
    if (pane == nullptr) qFatal("no pane %s", name);
    return *pane;
  }
  static int OpaquePixels(const QImage& image) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
      for (int x = 0; x < image.width(); ++x) count += image.pixelColor(x, y).alpha() > 0 ? 1 : 0;
    }
    return count;
  }

 private slots:
  void init() {
    directory = std::make_unique<QTemporaryDir>();
    settings = std::make_unique<CSettings>(directory->path().toStdString());
  }

  void EveryToolbarButtonShowsItsOwnPictureAtTheFirstSize() {
    CListWorkdir workdir;
    CMainFrame frame(workdir.Settings());
    frame.AttachView(*workdir.MakeView());
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    QToolBar& bar = frame.ToolBar();
    std::vector<QImage> pictures;
    for (QAction* action : bar.actions()) {
      // Nothing overflows into the "more" menu: every button, separator and the selector show.
      QVERIFY2(bar.widgetForAction(action)->isVisible(), qPrintable(action->iconText()));
      const int id = action->data().toInt();
      if (id == kSeparatorId) continue;
      const ListCommandInfo& info = *FindListCommand(id);
      QCOMPARE(action->toolTip(), QString::fromStdString(ToolTipText(info)));
      QCOMPARE(action->iconText(), QString::fromStdString(PlainLabel(info)));
      // Sharp on screens of double density too.
      QCOMPARE(action->icon().availableSizes(), QList<QSize>({QSize(16, 16), QSize(32, 32)}));
      const QImage picture = action->icon().pixmap(16, 16).toImage();
      QCOMPARE(picture.size(), QSize(16, 16));
      QVERIFY2(OpaquePixels(picture) > 16, qPrintable(action->iconText()));
      for (const QImage& other : pictures) QVERIFY(other != picture);
      pictures.push_back(picture);
    }
    QCOMPARE(pictures.size(), static_cast<std::size_t>(std::ranges::count_if(
                                  ToolBarCommands(), [](int id) { return id != kSeparatorId; })));
  }

  void ClosingNeverEndsTheProgram() {
    CMainFrame frame(*settings);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    QVERIFY(!frame.HandleCloseRequest(true));
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
      QVERIFY(!frame.isVisible());
      return;
    }
    // No tray host: hidden, the window could never be reached again; minimised it can, and the
    // user is told why, once.
    QTRY_VERIFY(frame.isMinimized());
    QVERIFY(frame.isVisible());
    QLabel& status = Pane(frame, "statusText");
    QCOMPARE(status.text(), QStringLiteral("通知領域がないため、ウィンドウは最小化されました。"));
    frame.SetStatusText(QStringLiteral("Hello!"));
    frame.ShowMainWindow();
    QTRY_VERIFY(!frame.isMinimized());
    QVERIFY(!frame.HandleCloseRequest(true));
    QTRY_VERIFY(frame.isMinimized());
    QCOMPARE(status.text(), QStringLiteral("Hello!"));
  }

  void MinimisedStartStaysReachable() {
    CMainFrame frame(*settings);
    frame.ShowAtStart(6);
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
      QVERIFY(!frame.isVisible());
    } else {
      QVERIFY(frame.isVisible());
      QTRY_VERIFY(frame.isMinimized());
    }
  }

  void PlacementIsReadAndWritten() {
    settings->Set(settings::MainX, 40);
    settings->Set(settings::MainY, 30);
    settings->Set(settings::MainWidth, 500);
    settings->Set(settings::MainHeight, 300);
    {
      CMainFrame frame(*settings);
      frame.ShowAtStart(5);
      QVERIFY(QTest::qWaitForWindowExposed(&frame));
      QCOMPARE(frame.geometry(), QRect(40, 30, 500, 300));
      frame.setGeometry(60, 50, 520, 320);
      frame.SavePlacement();
    }
    QCOMPARE(settings->Get(settings::MainState), 1);
    QCOMPARE(settings->Get(settings::MainX), 60);
    QCOMPARE(settings->Get(settings::MainY), 50);
    QCOMPARE(settings->Get(settings::MainWidth), 520);
    QCOMPARE(settings->Get(settings::MainHeight), 320);
    {
      CMainFrame frame(*settings);
      frame.ShowAtStart(3);
      QTRY_VERIFY(frame.isMaximized());
      frame.SavePlacement();
      QCOMPARE(settings->Get(settings::MainState), 3);
      // The normal rectangle, not the maximised one.
      QCOMPARE(settings->Get(settings::MainWidth), 520);
      frame.hide();
      frame.SavePlacement();
      QCOMPARE(settings->Get(settings::MainState), 2);
    }
  }

  void ARectangleOffEveryScreenIsIgnored() {
    settings->Set(settings::MainX, 50000);
    settings->Set(settings::MainY, 50000);
    settings->Set(settings::MainWidth, 500);
    settings->Set(settings::MainHeight, 300);
    CMainFrame frame(*settings);
    QVERIFY(frame.geometry().x() < 50000);
    // Never shown: the rectangle read stays as it was.
    frame.SavePlacement();
    QCOMPARE(settings->Get(settings::MainX), 50000);
  }

  void OtherCloseRequestsAskBeforeEnding() {
    CMainFrame frame(*settings);
    CQtUi ui;
    frame.SetUi(ui);
    std::vector<std::string> asked;
    ui.SetAnswerer([&asked](std::string_view text, Buttons buttons, Answer) {
      asked.emplace_back(text);
      return buttons == Buttons::OkCancel ? Answer::Cancel : Answer::No;
    });
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    // The program's own close request, not the window system's.
    QVERIFY(!frame.close());
    QCOMPARE(asked, std::vector<std::string>{"終了してもよろしいですか？"});
    QVERIFY(frame.isVisible());
    QVERIFY(!frame.isMinimized());
    // The title bar never asks.
    asked.clear();
    QVERIFY(!frame.HandleCloseRequest(true));
    QVERIFY(asked.empty());
  }

  // Last: ending the program ends the event loop, which leaves Qt's "quit now" state set.
  void AfterExitTheWindowCloses() {
    CMainFrame frame(*settings);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    frame.ExitProgram();
    QVERIFY(frame.close());
    QVERIFY(!frame.isVisible());
    QVERIFY(!frame.isMinimized());

    // Answered OK, the question ends the program and lets the window go.
    CMainFrame other(*settings);
    CQtUi ui;
    other.SetUi(ui);
    ui.SetAnswerer([](std::string_view, Buttons, Answer) { return Answer::Ok; });
    other.show();
    QVERIFY(QTest::qWaitForWindowExposed(&other));
    QVERIFY(other.close());
    QVERIFY(!other.isVisible());
  }
};

}  // namespace qm

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  app.setAttribute(Qt::AA_Use96Dpi, true);
  return qm::RunTests<qm::QtUiTest, qm::OrbaltViewTest, qm::NotifyWndTest, qm::MainFrameTest>(argc,
                                                                                              argv);
}

#include "main_window_test.moc"
