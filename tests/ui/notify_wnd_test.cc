#include "ui/notify_wnd.h"

#include <QAction>
#include <QDir>
#include <QGuiApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QPointer>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/settings.h"
#include "classify/sender_lists.h"
#include "desktop_workdir.h"
#include "mailboxes/mailbox_set.h"
#include "message/mail_message.h"
#include "platform/profile.h"
#include "store/mailbox.h"
#include "ui/main_frame.h"
#include "ui/orbalt_view.h"
#include "ui/qt_ui.h"

namespace qm {

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

}  // namespace qm

QTEST_MAIN(qm::NotifyWndTest)
#include "notify_wnd_test.moc"
