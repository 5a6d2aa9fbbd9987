#include "ui/qt_ui.h"

#include <QCoreApplication>
#include <QEvent>
#include <QMessageBox>
#include <QThread>
#include <algorithm>
#include <climits>
#include <future>
#include <iostream>

namespace qm {

namespace {

QEvent::Type PostedEventType() {
  static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

QEvent::Type IdleEventType() {
  static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

struct PostedEvent : QEvent {
  PostedEvent(std::uint32_t posted, std::intptr_t w, std::intptr_t l)
      : QEvent(PostedEventType()), message(posted), wParam(w), lParam(l) {}
  std::uint32_t message;
  std::intptr_t wParam;
  std::intptr_t lParam;
};

QMessageBox::StandardButtons ToStandardButtons(Buttons buttons) {
  switch (buttons) {
    case Buttons::Ok:
      return QMessageBox::Ok;
    case Buttons::OkCancel:
      return QMessageBox::Ok | QMessageBox::Cancel;
    case Buttons::YesNo:
      return QMessageBox::Yes | QMessageBox::No;
    case Buttons::YesNoCancel:
      return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
  }
  return QMessageBox::Ok;
}

QMessageBox::StandardButton ToStandardButton(Answer answer) {
  switch (answer) {
    case Answer::Ok:
      return QMessageBox::Ok;
    case Answer::Cancel:
      return QMessageBox::Cancel;
    case Answer::Yes:
      return QMessageBox::Yes;
    case Answer::No:
      return QMessageBox::No;
  }
  return QMessageBox::Ok;
}

Answer FromStandardButton(int button, Answer defaultAnswer) {
  switch (button) {
    case QMessageBox::Ok:
      return Answer::Ok;
    case QMessageBox::Cancel:
      return Answer::Cancel;
    case QMessageBox::Yes:
      return Answer::Yes;
    case QMessageBox::No:
      return Answer::No;
    default:
      return defaultAnswer;
  }
}

// A zero period would fire on every pass of the loop and starve it; QTimer counts in int.
int TimerInterval(std::uint32_t milliseconds) {
  return static_cast<int>(std::clamp<std::uint32_t>(milliseconds, 10, INT_MAX));
}

}  // namespace

CQtUi::CQtUi() {
  idleTimer.setInterval(1000);
  connect(&idleTimer, &QTimer::timeout, this, [this] { Dispatch({Work::Kind::Idle, 0, 0, 0}); });
}

CQtUi::~CQtUi() { Close(); }

void CQtUi::SetClient(IUserInterfaceClient* newClient) {
  client = newClient;
  if (client != nullptr) {
    idleTimer.start();
  } else {
    idleTimer.stop();
  }
}

void CQtUi::SetAnswerer(Answerer newAnswerer) { answerer = std::move(newAnswerer); }

void CQtUi::Close() {
  {
    std::lock_guard lock(mutex);
    closed = true;
  }
  SetClient(nullptr);
  pending.clear();
  // Questions already on their way find `closed` and take their default answers now, so that no
  // worker waits for a loop that will not run again.
  QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

std::string CQtUi::StatusText() const {
  std::lock_guard lock(mutex);
  return statusText;
}

bool CQtUi::OnGuiThread() const { return QThread::currentThread() == thread(); }

void CQtUi::PostMessage(std::uint32_t message, std::intptr_t wParam, std::intptr_t lParam) {
  QCoreApplication::postEvent(this, new PostedEvent(message, wParam, lParam));
}

void CQtUi::SetTimer(std::uint32_t id, std::uint32_t milliseconds) {
  {
    std::lock_guard lock(mutex);
    timerTable[id] = {milliseconds, ++timerGeneration};
  }
  // The table is the truth at once, whatever the thread; the QTimers, which live on the GUI
  // thread, follow it there.
  if (OnGuiThread()) {
    SyncTimers();
  } else {
    QMetaObject::invokeMethod(
        this, [this] { SyncTimers(); }, Qt::QueuedConnection);
  }
}

void CQtUi::KillTimer(std::uint32_t id) {
  {
    std::lock_guard lock(mutex);
    timerTable.erase(id);
  }
  if (OnGuiThread()) {
    SyncTimers();
  } else {
    QMetaObject::invokeMethod(
        this, [this] { SyncTimers(); }, Qt::QueuedConnection);
  }
}

void CQtUi::SyncTimers() {
  std::map<std::uint32_t, TimerSetting> table;
  {
    std::lock_guard lock(mutex);
    table = timerTable;
  }
  // A killed timer is only stopped: it may be the one whose timeout is being handled.
  for (auto& [id, timer] : running) {
    if (table.find(id) == table.end()) timer.timer->stop();
  }
  for (const auto& [id, setting] : table) {
    RunningTimer& timer = running[id];
    if (!timer.timer) {
      timer.timer = std::make_unique<QTimer>();
      connect(timer.timer.get(), &QTimer::timeout, this,
              [this, timerId = id] { TimerFired(timerId); });
    }
    if (timer.generation != setting.generation) {
      timer.timer->start(TimerInterval(setting.milliseconds));
      timer.generation = setting.generation;
    }
  }
}

void CQtUi::TimerFired(std::uint32_t id) { Dispatch({Work::Kind::Timer, id, 0, 0}); }

void CQtUi::Dispatch(const Work& work) {
  if (client == nullptr) return;
  pending.push_back(work);
  // A client that shows a message box on this thread runs a nested event loop. What arrives
  // meanwhile waits until the client returns, so that the client is never entered twice: an idle
  // step inside an idle step would save a mailbox in the middle of its own save.
  if (dispatching) return;
  dispatching = true;
  bool worked = false;
  while (!pending.empty() && client != nullptr) {
    const Work next = pending.front();
    pending.pop_front();
    switch (next.kind) {
      case Work::Kind::Message:
        client->OnMessage(next.id, next.wParam, next.lParam);
        worked = true;
        break;
      case Work::Kind::Timer: {
        bool set = false;
        {
          std::lock_guard lock(mutex);
          set = timerTable.find(next.id) != timerTable.end();
        }
        // Killed while it waited its turn.
        if (!set) break;
        client->OnTimer(next.id);
        worked = true;
        break;
      }
      case Work::Kind::Idle:
        client->IdleStep();
        break;
    }
  }
  dispatching = false;
  if (worked) RequestIdle();
}

void CQtUi::RequestIdle() {
  if (idlePosted) return;
  idlePosted = true;
  // Low priority: it comes after the messages already waiting, so that a batch of them is
  // followed by one idle step rather than one each.
  QCoreApplication::postEvent(this, new QEvent(IdleEventType()), Qt::LowEventPriority);
}

void CQtUi::customEvent(QEvent* event) {
  if (event->type() == PostedEventType()) {
    const auto* posted = static_cast<const PostedEvent*>(event);
    if (posted->message == kStatusTextChanged) {
      emit StatusTextChanged(QString::fromStdString(StatusText()));
    }
    Dispatch({Work::Kind::Message, posted->message, posted->wParam, posted->lParam});
  } else if (event->type() == IdleEventType()) {
    idlePosted = false;
    Dispatch({Work::Kind::Idle, 0, 0, 0});
  } else {
    QObject::customEvent(event);
  }
}

void CQtUi::ShowMessage(std::string_view text) { Ask(text, Buttons::Ok, Answer::Ok); }

Answer CQtUi::Ask(std::string_view question, Buttons buttons, Answer defaultAnswer) {
  if (OnGuiThread()) return AskNow(std::string(question), buttons, defaultAnswer);
  // A promise rather than a blocking queued call: Close answers what is still queued, and the
  // check of `closed` and the posting happen under one lock, so no question slips past it.
  auto reply = std::make_shared<std::promise<Answer>>();
  std::future<Answer> answer = reply->get_future();
  {
    std::lock_guard lock(mutex);
    if (closed) {
      std::cerr << "qm_mailfilter: " << question << std::endl;
      return defaultAnswer;
    }
    QMetaObject::invokeMethod(
        this,
        [this, reply, text = std::string(question), buttons, defaultAnswer] {
          bool isClosed = false;
          {
            std::lock_guard innerLock(mutex);
            isClosed = closed;
          }
          reply->set_value(isClosed ? defaultAnswer : AskNow(text, buttons, defaultAnswer));
        },
        Qt::QueuedConnection);
  }
  return answer.get();
}

Answer CQtUi::AskNow(const std::string& text, Buttons buttons, Answer defaultAnswer) {
  if (answerer) return answerer(text, buttons, defaultAnswer);
  // Errors come as OK boxes and deserve the warning sign; choices get the question mark.
  const bool question = buttons == Buttons::YesNo || buttons == Buttons::YesNoCancel;
  QMessageBox box(question ? QMessageBox::Question : QMessageBox::Warning, QString(kTitle),
                  QString::fromStdString(text), ToStandardButtons(buttons));
  // Mail-derived text may hold '<'; it must not be read as markup.
  box.setTextFormat(Qt::PlainText);
  box.setDefaultButton(ToStandardButton(defaultAnswer));
  return FromStandardButton(box.exec(), defaultAnswer);
}

void CQtUi::SetStatusText(std::string_view text) {
  {
    std::lock_guard lock(mutex);
    statusText = text;
  }
  PostMessage(kStatusTextChanged, 0, 0);
}

}  // namespace qm
