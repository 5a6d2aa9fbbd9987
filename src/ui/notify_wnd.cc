#include "ui/notify_wnd.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QSoundEffect>
#include <QUrl>
#include <algorithm>
#include <vector>

#include "mailboxes/mailbox_set.h"
#include "ui/artwork.h"
#include "ui/main_frame.h"
#include "ui/orbalt_view.h"

namespace qm {

namespace {

const QColor kBackground(255, 255, 240);
const QColor kText(0, 0, 128);

// Only one window is current; the ids let a late destruction of an older window leave the newer
// one current.
CCurrentNotification currentId;
QPointer<CNotifyWnd> currentWindow;
int lastId = 0;

ScreenPoint Point(const QPoint& point) { return {point.x(), point.y()}; }
ScreenSize Size(const QSize& size) { return {size.width(), size.height()}; }

QRect DesktopArea() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  return screen != nullptr ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
}

QPixmap ClassPicture(std::size_t group) {
  // The list's verdict pictures are friend, spam, bad, unclassified; the window shows friend,
  // bad, spam and then other mail with a picture of its own.
  switch (group) {
    case 0:
      return VerdictPicture(0);
    case 1:
      return VerdictPicture(2);
    case 2:
      return VerdictPicture(1);
    default:
      return NotifyOtherPicture();
  }
}

}  // namespace

CQtSoundPlayer::CQtSoundPlayer() = default;
CQtSoundPlayer::~CQtSoundPlayer() = default;

void CQtSoundPlayer::Play(NotifySound sound, const std::string& file) {
  switch (sound) {
    case NotifySound::None:
      return;
    case NotifySound::Beep:
      QApplication::beep();
      return;
    case NotifySound::File:
      break;
  }
  if (!effect) effect = std::make_unique<QSoundEffect>();
  effect->stop();
  // File paths in the settings are the file system's own bytes (UTF-8), as the options dialog
  // writes them and as the mail client's path is opened.
  effect->setSource(QUrl::fromLocalFile(QString::fromStdString(file)));
  effect->play();
}

CNotifyWnd* CNotifyWnd::Show(CMainFrame& frame, const Request& request) {
  const int id = ++lastId;
  auto* window = new CNotifyWnd(frame, request, id);
  const int previous = currentId.Replace(id);
  if (previous != 0 && currentWindow) {
    // Posted, as a click on the old window might be what is running now.
    QMetaObject::invokeMethod(currentWindow.data(), &QWidget::close, Qt::QueuedConnection);
  }
  currentWindow = window;
  window->Place(request);
  window->show();
  if (!window->floating) window->raise();
  const int milliseconds = NotifyCloseMilliseconds(request.seconds);
  if (milliseconds > 0) window->closeTimer.start(milliseconds);
  return window;
}

CNotifyWnd* CNotifyWnd::Current() {
  return currentId.Current() != 0 ? currentWindow.data() : nullptr;
}

void CNotifyWnd::CloseCurrent() {
  if (CNotifyWnd* window = Current()) window->close();
}

CNotifyWnd::CNotifyWnd(CMainFrame& mainFrame, const Request& request, int windowId)
    : QWidget(request.insideMainWindow ? &mainFrame : nullptr,
              request.insideMainWindow
                  ? Qt::Widget
                  : Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      frame(&mainFrame),
      id(windowId),
      floating(!request.insideMainWindow) {
  setAttribute(Qt::WA_DeleteOnClose);
  setAttribute(Qt::WA_ShowWithoutActivating);
  setObjectName(QStringLiteral("notifyWindow"));
  setWindowTitle(QString::fromUtf8(kTitle));
  setCursor(Qt::ArrowCursor);
  const std::array<std::string, 4> counts =
      NotifyCountTexts(request.counts[0], request.counts[1], request.counts[2], request.counts[3]);
  for (std::size_t i = 0; i < counts.size(); ++i) texts[i] = QString::fromStdString(counts[i]);
  closeTimer.setSingleShot(true);
  connect(&closeTimer, &QTimer::timeout, this, &QWidget::close);
}

CNotifyWnd::~CNotifyWnd() {
  currentId.Destroyed(id);
  if (currentId.Current() == 0) currentWindow = nullptr;
}

int CNotifyWnd::CloseTimerMilliseconds() const {
  return closeTimer.isActive() ? closeTimer.interval() : 0;
}

void CNotifyWnd::Place(const Request& request) {
  const QFontMetrics metrics(font());
  const QSize joined = metrics.size(Qt::TextSingleLine, texts[0] + texts[1] + texts[2] + texts[3]);
  const ScreenSize size = NotifyWindowSize(Size(joined));
  resize(size.width, size.height);
  const NotifySettings settings =
      frame ? LoadNotifySettings(frame->Settings().Profile()) : NotifySettings{};
  if (!floating) {
    const ScreenPoint at =
        NotifyWindowPosition(false, settings, request.position, Size(parentWidget()->size()), size);
    move(at.x, at.y);
    return;
  }
  const QRect area = DesktopArea();
  ScreenPoint at = NotifyWindowPosition(true, settings, request.position, Size(area.size()), size);
  // A remembered position is already on the desktop; a mode's position is within the area.
  if (!(settings.positionX && settings.positionY)) {
    at.x += area.x();
    at.y += area.y();
  }
  move(at.x, at.y);
}

void CNotifyWnd::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), kBackground);
  painter.setPen(QColor(0x80, 0x80, 0x80));
  painter.drawRect(rect().adjusted(0, 0, -1, -1));
  painter.setPen(kText);
  const QFontMetrics metrics(font());
  std::array<int, 4> widths{};
  for (std::size_t i = 0; i < texts.size(); ++i) widths[i] = metrics.horizontalAdvance(texts[i]);
  const NotifyLayout layout = LayoutNotification(metrics.height(), widths);
  const auto textAt = [&](ScreenPoint at, const QString& text) {
    painter.drawText(QRect(at.x, at.y, metrics.horizontalAdvance(text) + 1, metrics.height()),
                     Qt::AlignLeft | Qt::AlignTop, text);
  };
  textAt(layout.heading, QString::fromUtf8(kHeading));
  for (std::size_t i = 0; i < texts.size(); ++i) {
    painter.drawPixmap(layout.icons[i].x, layout.icons[i].y, ClassPicture(i));
    textAt(layout.texts[i], texts[i]);
  }
}

void CNotifyWnd::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  const Qt::KeyboardModifiers keys = event->modifiers();
  Carry(mouse.LeftDown(keys.testFlag(Qt::ShiftModifier), keys.testFlag(Qt::ControlModifier),
                       floating, Point(event->globalPosition().toPoint()), Point(pos())));
}

void CNotifyWnd::mouseMoveEvent(QMouseEvent* event) {
  const bool ctrl = event->modifiers().testFlag(Qt::ControlModifier);
  const QRect desktop = DesktopArea();
  // The clamp works from the desktop's origin.
  const QPoint cursor = event->globalPosition().toPoint() - desktop.topLeft();
  const std::uint32_t actions =
      mouse.MouseMove(Point(cursor), ctrl, Size(size()), Size(desktop.size()));
  if (actions & NotifyMove) {
    const ScreenPoint at = mouse.Position();
    move(QPoint(at.x, at.y) + desktop.topLeft());
  }
}

void CNotifyWnd::mouseReleaseEvent(QMouseEvent* event) {
  switch (event->button()) {
    case Qt::LeftButton:
      Carry(mouse.LeftUp());
      break;
    case Qt::RightButton:
      Carry(mouse.RightUp());
      break;
    case Qt::MiddleButton:
      Carry(mouse.MiddleUp(event->modifiers().testFlag(Qt::ShiftModifier)));
      break;
    default:
      break;
  }
}

void CNotifyWnd::Carry(std::uint32_t actions) {
  if (actions & NotifyStartDrag) closeTimer.stop();
  // The mailbox to show is found by its counters, so it must be found before the end of the
  // new-mail indication sets them to zero.
  if ((actions & NotifyShowNewMailbox) && frame) frame->ShowNewMailbox();
  if ((actions & NotifyLaunchMailer) && frame && frame->View() != nullptr) {
    frame->View()->Commands().LaunchMailer((actions & NotifyHideMainWindow) != 0);
  }
  if ((actions & NotifyEndNewMail) && frame) frame->SetNewMailState(false);
  if (actions & NotifyRestartTimer) closeTimer.start(kNotifyAfterDragMilliseconds);
  if ((actions & NotifySavePosition) && frame) {
    SaveNotifyPosition(frame->Settings().Profile(), Point(pos()));
  }
  if ((actions & NotifyRaiseMainWindow) && frame && frame->isVisible()) frame->raise();
  if (actions & NotifyClose) close();
}

void CNotifier::OnRetrievalEnded(int trigger, int index) {
  COrbaltView* view = frame.View();
  if (view == nullptr) return;
  CMailboxSet& mailboxes = view->Mailboxes();
  const NotifySettings settings = LoadNotifySettings(frame.Settings().Profile());
  const bool visible = frame.isVisible() && !frame.isMinimized();
  const MailReceived received =
      OnMailReceived(mailboxes, trigger, index, settings.seconds, visible);
  const NotifyDecision& decision = received.decision;
  if (decision.sound) player.Play(ChooseNotifySound(settings), settings.soundFile);
  if (decision.blink) frame.SetNewMailState(true);
  if (decision.window) {
    CNotifyWnd::Request request;
    request.counts = {received.friendCount, received.badCount, received.spamCount,
                      received.otherCount};
    request.insideMainWindow = decision.insideMainWindow;
    request.position = decision.position;
    request.seconds = settings.seconds;
    CNotifyWnd::Show(frame, request);
  }

  // The new mail shows in the list; the mails that were selected stay selected.
  view->RefreshRows();
  view->UpdateCounts();
}

}  // namespace qm
