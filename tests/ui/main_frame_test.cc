#include "ui/main_frame.h"

#include <QAction>
#include <QImage>
#include <QLabel>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>
#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "desktop_workdir.h"
#include "ui/model/list_command_table.h"
#include "ui/orbalt_view.h"
#include "ui/qt_ui.h"

namespace qm {

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

QTEST_MAIN(qm::MainFrameTest)
#include "main_frame_test.moc"
