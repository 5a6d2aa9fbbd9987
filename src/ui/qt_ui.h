// The user-interface thread of the desktop: Qt's GUI thread. Posted messages become Qt events,
// timers are QTimers, and questions asked from worker threads are carried over to the GUI thread
// and shown there as modal message boxes while the worker waits for the answer.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "app/user_interface.h"

namespace qm {

class CQtUi : public QObject, public IUserInterface {
  Q_OBJECT

 public:
  static constexpr const char* kTitle = "Quillmoor Mail Filter";

  // Answers a message box instead of the user; called on the GUI thread.
  using Answerer =
      std::function<Answer(std::string_view text, Buttons buttons, Answer defaultAnswer)>;

  // Construct on the GUI thread, after the QApplication.
  CQtUi();
  ~CQtUi() override;
  CQtUi(const CQtUi&) = delete;
  CQtUi& operator=(const CQtUi&) = delete;

  // GUI thread. Messages, timers and idle steps reach `client` from the next event-loop pass on.
  void SetClient(IUserInterfaceClient* client);
  // GUI thread. With an answerer set no message box is shown: tests answer through it.
  void SetAnswerer(Answerer answerer);
  // GUI thread, once the event loop has ended: the client hears nothing more, and questions from
  // worker threads get their default answers, since no loop is left to show them.
  void Close();

  // Any thread.
  std::string StatusText() const;

  void PostMessage(std::uint32_t message, std::intptr_t wParam, std::intptr_t lParam) override;
  void SetTimer(std::uint32_t id, std::uint32_t milliseconds) override;
  void KillTimer(std::uint32_t id) override;
  void ShowMessage(std::string_view text) override;
  Answer Ask(std::string_view question, Buttons buttons, Answer defaultAnswer) override;
  void SetStatusText(std::string_view text) override;

 signals:
  // On the GUI thread, for the status pane.
  void StatusTextChanged(const QString& text);

 protected:
  void customEvent(QEvent* event) override;

 private:
  struct Work {
    enum class Kind { Message, Timer, Idle } kind;
    std::uint32_t id;
    std::intptr_t wParam;
    std::intptr_t lParam;
  };
  struct TimerSetting {
    std::uint32_t milliseconds;
    std::uint64_t generation;
  };
  struct RunningTimer {
    std::unique_ptr<QTimer> timer;
    std::uint64_t generation;
  };

  bool OnGuiThread() const;
  void Dispatch(const Work& work);
  void RequestIdle();
  void SyncTimers();
  void TimerFired(std::uint32_t id);
  Answer AskNow(const std::string& text, Buttons buttons, Answer defaultAnswer);

  // Guards what worker threads touch: the status text, the timer table and `closed`.
  mutable std::mutex mutex;
  std::string statusText;
  std::map<std::uint32_t, TimerSetting> timerTable;
  std::uint64_t timerGeneration = 0;
  bool closed = false;

  // GUI thread only.
  IUserInterfaceClient* client = nullptr;
  Answerer answerer;
  std::map<std::uint32_t, RunningTimer> running;
  std::deque<Work> pending;
  bool dispatching = false;
  bool idlePosted = false;
  QTimer idleTimer;
};

}  // namespace qm
