// The desktop on real widgets. What fields and keys decide is the UI model's; here, that each
// widget reaches it, a refusal keeps its dialog open, and what only real windows and threads show.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTreeWidget>
#include <deque>
#include <filesystem>
#include <ranges>
#include <thread>

#include "app/application.h"
#include "support/file_bytes.h"
#include "support/held_lock.h"
#include "ui/create_mailbox_dialog.h"
#include "ui/desktop_windows.h"
#include "ui/list_editor.h"
#include "ui/mailbox_dialog.h"
#include "ui/main_frame.h"
#include "ui/model/list_commands.h"
#include "ui/model/mailbox_pages.h"
#include "ui/notify_wnd.h"
#include "ui/options_dialog.h"
#include "ui/orbalt_view.h"
#include "ui/property_pages.h"
#include "ui/property_sheet.h"
#include "ui/qt_ui.h"

namespace qm {

namespace fs = std::filesystem;

struct CRecordingPlayer : ISoundPlayer {
  void Play(NotifySound s, const std::string& f) override { played.emplace_back(s, f); }
  std::vector<std::pair<NotifySound, std::string>> played;
};

inline void ShowExposed(QWidget& widget) {
  widget.show();
  if (!QTest::qWaitForWindowExposed(&widget)) qFatal("not exposed");
}

template <class Widget>
Widget* Child(const QWidget& parent, const char* name) {
  auto* widget = parent.findChild<Widget*>(QString::fromLatin1(name));
  if (widget == nullptr) qFatal("no control %s", name);
  return widget;
}

inline QStringList Column(const QAbstractItemModel& model, int column) {
  QStringList texts;
  for (int r = 0; r < model.rowCount(); ++r) texts << model.index(r, column).data().toString();
  return texts;
}

inline CMailMessage Mail(const std::string& s, int verdict = 0) {
  CMailMessage message;
  message.Parse("From: " + s + "@example.org\r\nSubject: " + s + "\r\n\r\nbody\r\n.\r\n");
  message.mark.SetClassification(verdict, 0);
  return message;
}

bool OnGui() { return QThread::currentThread() == qApp->thread(); }

// Logs "m<n>", "/m<n>" entering, leaving a message; "t<id>", "idle"; "off" off the GUI thread.
struct Client : IUserInterfaceClient {
  void OnMessage(std::uint32_t, std::intptr_t n, std::intptr_t) override {
    Log(QString("m%1").arg(n));
    if (n == 1 && onFirst) onFirst();
    Log(QString("/m%1").arg(n));
  }
  void OnTimer(std::uint32_t id) override { Log(QString("t%1").arg(id)); }
  void IdleStep() override { Log("idle"); }
  void Log(const QString& e) { log += (OnGui() ? e : "off") + " "; }
  int Count(const char* e) const { return int((" " + log).count(QString(" %1 ").arg(e))); }
  QString Busy() const { return QString(log).remove("idle "); }  // idle steps come every second too
  QString log;
  std::function<void()> onFirst;
};

void Type(QLineEdit* field, const char* text) { field->clear(), QTest::keyClicks(field, text); }

class MainWindowTest : public QObject {
  Q_OBJECT
  // A scratch working directory made current; message boxes recorded, answered from the queue.
  std::unique_ptr<QTemporaryDir> directory;
  std::unique_ptr<CSettings> settings;
  std::unique_ptr<CMailboxSet> set;
  std::unique_ptr<CQtUi> ui;
  std::vector<std::string> told;
  std::deque<Answer> answers;
  CSenderLists lists;
  Client client;
  std::unique_ptr<CMainFrame> frame;
  COrbaltView* view = nullptr;
  std::unique_ptr<CApplication> program;
  std::unique_ptr<CDesktopWindows> windows;

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
  std::string Ini() const { return settings->Profile().Path(); }
  void BreakIni() const { fs::remove(Ini()), fs::create_directory(Ini()); }  // unwritable
  CMailbox& AddMailbox(const std::string& name, const std::vector<std::string>& subjects = {}) {
    const int index = set->Add(name);
    for (CMailMessage message : subjects | std::views::transform([](auto& s) { return Mail(s); }))
      if (index < 0 || set->Get(index)->AppendMessage(message) <= 0) qFatal("not stored");
    return *set->Get(index);
  }
  void Key(int key, Qt::KeyboardModifiers modifiers = {}, quint32 scanCode = 0, bool held = false) {
    QKeyEvent press(QEvent::KeyPress, key, modifiers, scanCode, 0, 0, {}, held);
    QApplication::sendEvent(view, &press);
  }

 private slots:
  void init() {
    directory = std::make_unique<QTemporaryDir>();
    QDir::setCurrent(directory->path());
    settings = std::make_unique<CSettings>(directory->path().toStdString());
    set = std::make_unique<CMailboxSet>(settings->Profile());
    ui = std::make_unique<CQtUi>();
    told.clear();
    ui->SetAnswerer([this](std::string_view text, Buttons, Answer standard) {
      told.emplace_back(text);
      const Answer answer = answers.empty() ? standard : answers.front();
      if (!answers.empty()) answers.pop_front();
      return answer;
    });
    ui->SetClient(&(client = {}));
  }
  void cleanup() {
    if (program) ui->Close(), program->Shutdown();
    windows.reset(), program.reset(), frame.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ui.reset(), set.reset(), settings.reset();
    std::error_code ignored;  // Qt cannot remove files of code-page-932 names
    fs::remove_all(directory->path().toStdString(), ignored);
  }

  void WorkerMessagesArriveInOrderOnTheGuiThreadThenOneIdleStep() {
    std::thread([this] {
      for (int i = 0; i < 200; ++i) ui->PostMessage(kWakeIdle, i, 0);
    }).join();
    QString expected;
    for (int i = 0; i < 200; ++i) expected += QString("m%1 /m%1 ").arg(i);
    QTRY_COMPARE(client.log, expected + "idle ");
    // With nothing posted the idle step still comes, so a worker's log line reaches the file.
    QTRY_VERIFY_WITH_TIMEOUT(client.Count("idle") >= 3, 5000);
  }

  void TimersRepeatUntilKilledFromAnyThread() {
    for (const auto& [id, ms] : {std::pair{10u, 20u}, {11u, 20u}, {12u, 3600000u}, {12u, 20u}})
      ui->SetTimer(id, ms);
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

  void WorkerQuestionsAreAnsweredOnTheGuiThreadAndItsOwnAtOnce() {
    ui->SetAnswerer([this](std::string_view text, Buttons shown, Answer) {
      client.Log(QString::fromStdString(std::string(text)));
      return shown == Buttons::Ok ? Answer::Ok : Answer::No;
    });
    Answer answer = Answer::Ok;
    std::thread worker([&] {
      ui->ShowMessage("通信中にエラーが発生しました。");
      answer = ui->Ask("終了してもよろしいですか？", Buttons::YesNoCancel, Answer::Yes);
      ui->SetStatusText("受信中");
    });
    QTRY_COMPARE(client.Busy(),
                 QString("通信中にエラーが発生しました。 終了してもよろしいですか？ m0 /m0 "));
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
    QTRY_COMPARE(client.Busy(), QString("m1 /m1 m2 /m2 "));
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
    QVERIFY(answer == Answer::Yes && client.log.isEmpty() && told.empty());
  }

  // Each key once, whatever the keyboard layout prints on a shifted digit.
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
    QVERIFY(window->Floating() && frame->NewMailBlinking() &&
            frame->TrayTip().endsWith("\n1 ( 1 ) / 1 ( 1 )"));
    QTest::mouseClick(window.data(), Qt::RightButton, Qt::NoModifier, QPoint(5, 5));
    QTRY_VERIFY(window.isNull());
    QCOMPARE(Column(*view->model(), ColumnSubject), QStringList{"new"});
    QVERIFY(frame->isVisible() && !frame->NewMailBlinking() && set->Get(1)->friendCount == 0);
    notifier.OnRetrievalEnded(kTriggerCommand, 0);  // told even without mail, over the frame
    window = CNotifyWnd::Current();
    notifier.OnRetrievalEnded(kTriggerTray, -1);  // the first closes from the event loop
    QTRY_VERIFY(window.isNull() && CNotifyWnd::Current()->isVisible());
  }

  // Other threads' retrieval, trim and mail-client login reach the window at the next idle step.
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

  // A mail client holds its mailbox from login to end: every key still answers at once.
  void AMailClientLoggedInNeverStopsTheWindow() {
    CMailbox& inbox = StartDesktop();
    auto mailClient = std::make_unique<test::HeldLock>(inbox.storeLock);
    for (const Qt::Key key : {Qt::Key_G, Qt::Key_G, Qt::Key_Down, Qt::Key_H, Qt::Key_Return})
      QTest::keyClick(view, key);
    mailClient.reset();
    QCOMPARE(told, (std::vector<std::string>{kMailboxInUseText, kMailboxInUseText}));
    QVERIFY(!inbox.Mark(1).Hidden() && !inbox.Mark(2).Hidden() && view->model()->rowCount() == 4);
  }

  // Addresses are bytes: a code-page-932 sender is shown as best it can be and deleted whole.
  void ListEditorReachesTheListsAndOnlyOkStoresTheSwitch() {
    for (const char* address : {"a@x.jp", "\x93\xfa\x96\x7b@x.jp"})
      lists.AddTo(SenderList::Friend, address);
    auto dialog = std::make_unique<CListEditorDialog>(lists, *settings, *ui);
    ShowExposed(*dialog);
    QTest::keyClicks(dialog->AddressField(), "c@x.jp");
    dialog->AddButton()->click();
    QTreeWidget& list = *dialog->AddressList();
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {},
                      list.visualItemRect(list.topLevelItem(2)).center());
    dialog->DeleteButton()->click();
    QCOMPARE(QString::fromStdString(told.at(0)),
             "\uFFFD\uFFFD\uFFFD{@x.jp を削除します。よろしいですか？");
    QCOMPARE(lists.Entries(SenderList::Friend), (std::vector<std::string>{"a@x.jp", "c@x.jp"}));
    dialog->BadButton()->click();
    QCOMPARE(list.topLevelItemCount(), 0);
    for (const bool ok : {false, true, true}) {
      if (lists.AddEmptyAddrToBadlist()) BreakIni();
      dialog = std::make_unique<CListEditorDialog>(lists, *settings, *ui);
      ShowExposed(*dialog);
      dialog->EmptyAddressBox()->click();
      ok ? dialog->OkButton()->click() : void(dialog->close());
    }
    QVERIFY(dialog->isVisible() && lists.AddEmptyAddrToBadlist());  // refused: kept and open
  }

  // A refused name keeps the creation dialog open; every way of closing saves the list.
  void MailboxDialogRunsTheCreationAndSavesEveryWay() {
    CMailboxDialog dialog(*set, *ui);
    std::deque<QString> names{"a:b", " b ", "a"};
    dialog.SetDialogRunner([&names](QDialog& shown) {
      for (; shown.result() != QDialog::Accepted; names.pop_front()) {
        dynamic_cast<CCreateMailboxDialog&>(shown).NameField()->setText(names.front());
        dynamic_cast<CCreateMailboxDialog&>(shown).OkButton()->click();
      }
      return shown.result();
    });
    dialog.AddButton()->click();
    dialog.AddButton()->click();
    QCOMPARE(told, std::vector<std::string>{ForbiddenCharactersText()});
    for (const auto& [close, saved] : std::vector<std::pair<std::function<void()>, std::string>>{
             {[&] { QTest::keyClick(&dialog, Qt::Key_Escape); }, "a:b:"},
             {[&] { dialog.close(); }, "b:a:"},
             {[&] { dialog.CloseButton()->click(); }, "a:b:"}}) {
      ShowExposed(dialog);
      dialog.Select(1);
      dialog.UpButton()->click();
      close();
      QCOMPARE(settings->Profile().GetString("Mailbox", "Mailboxes", ""), saved);
    }
  }

  void OptionsShowTheStoredValuesAndOkWritesEveryFieldInOrder() {
    test::WriteFileBytes(Ini(), "[Misc]\r\nNotifyBySound=0\r\n");
    CRecordingPlayer player;
    auto dialog = std::make_unique<COptionsDialog>(*settings, *ui, player);
    QVERIFY(!dialog->NotifyBySoundBox()->isChecked() && !dialog->PlayButton()->isEnabled());
    dialog->NotifyBySoundBox()->click();
    dialog->close();
    QCOMPARE(test::ReadFileBytes(Ini()), "[Misc]\r\nNotifyBySound=0\r\n");
    fs::remove(Ini());
    dialog = std::make_unique<COptionsDialog>(*settings, *ui, player);
    test::WriteFileBytes("ding.wav", "RIFF");
    for (const char* file : {"", "gone.wav", "ding.wav"}) {
      dialog->SoundField()->setText(file);
      dialog->PlayButton()->click();
    }
    QCOMPARE(player.played,
             (decltype(player.played){{NotifySound::Beep, ""}, {NotifySound::File, "ding.wav"}}));
    QVERIFY(told == std::vector<std::string>{"指定したファイルがありません。"} &&
            !fs::exists(Ini()));
    dialog->PortField()->setValue(2110);
    dialog->MailerField()->setText("/opt/メーラ");
    dialog->StartupRetrieveBox()->click();
    dialog->NotifyTimeField()->setValue(5);
    dialog->DefaultPositionBox()->click();
    dialog->PositionXField()->setValue(-300);
    dialog->OkButton()->click();
    QCOMPARE(test::ReadFileBytes(Ini()),
             "[Mailbox]\r\nPort=2110\r\n[Misc]\r\nMailer=/opt/"
             "メーラ\r\nStartupRetrieve=0\r\nShowSplash=1\r\n"
             "NotifyTime=5\r\nNotifyBySound=1\r\nNotifySound=ding.wav\r\n"
             "[Geometry]\r\nNotifyWindowPosX=-300\r\nNotifyWindowPosY=0\r\n");
    BreakIni();
    dialog->show();
    dialog->OkButton()->click();
    QVERIFY(dialog->isVisible() && told.back() == "設定ファイルが保存できません。");
  }

  // A refused local account keeps the sheet on its page; after Apply the pages show what is stored.
  void PropertySheetReachesTheMailboxAndARefusalKeepsItsPage() {
    AddMailbox("a");
    AddMailbox("b");
    ProxyPageValues taken{"taken", "p", true, false, "takenbox", "q"};
    QVERIFY(ApplyProxyPage(*set, 1, taken, *ui));
    set->Get(0)->Config().SetServerDeletion(KeepOnServer);
    CPropertySheet sheet(*set, 0, *ui);
    ShowExposed(sheet);
    const auto text = [&](int p, const char* n) { return Child<QLineEdit>(*sheet.Page(p), n); };
    const auto box = [&](int p, const char* n) {
      return Child<QAbstractButton>(*sheet.Page(p), n);
    };
    QVERIFY(box(3, "deleteWhenRetrieved")->isChecked() && !box(3, "deleteWhenPurged")->isEnabled());
    box(3, "keepOnServer")->click();
    box(3, "deleteWhenPurged")->click();
    sheet.ShowPage(1);
    box(1, "access")->click();
    box(1, "automatic")->click();
    Type(text(1, "user"), "taken");
    Type(text(1, "password"), "secret");
    sheet.OkButton()->click();
    QVERIFY(sheet.result() == QDialog::Rejected && sheet.CurrentPage() == 1 && sheet.isVisible());
    QCOMPARE(told, std::vector<std::string>{kLocalAccountRefusedText});
    Type(text(1, "user"), "mine");
    sheet.ApplyButton()->click();
    QVERIFY(!sheet.ApplyButton()->isEnabled() && box(3, "deleteWhenPurged")->isChecked());
    const CMailboxConfig applied = set->Get(0)->Config();
    QVERIFY(applied.dustboxUser == "mine_dustbox" &&
            applied.GetServerDeletion() == DeleteWhenPurged);
    Type(text(2, "interval"), "900");
    sheet.CancelButton()->click();
    QCOMPARE(set->Get(0)->Config(), applied);
  }

  void PlacementIsReadAndWrittenAndOneOffEveryScreenIgnored() {
    settings->Set(settings::MainWidth, 500);
    settings->Set(settings::MainHeight, 300);
    settings->Set(settings::MainY, 30);
    for (const int x : {50000, 40}) {
      settings->Set(settings::MainX, x);
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
