#include "cli/headless.h"

#include <filesystem>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "app/application.h"
#include "platform/report.h"
#include "platform/termination_signal.h"

namespace qm {

void CHeadlessUi::PostMessage(std::uint32_t message, std::intptr_t wParam, std::intptr_t lParam) {
  {
    std::lock_guard lock(mutex);
    queue.push_back({message, wParam, lParam});
  }
  wake.notify_one();
}

void CHeadlessUi::SetTimer(std::uint32_t id, std::uint32_t milliseconds) {
  std::lock_guard lock(mutex);
  const std::chrono::milliseconds period(milliseconds);
  timers[id] = {period, std::chrono::steady_clock::now() + period};
}

void CHeadlessUi::KillTimer(std::uint32_t id) {
  std::lock_guard lock(mutex);
  timers.erase(id);
}

void CHeadlessUi::ShowMessage(std::string_view text) {
  std::lock_guard lock(mutex);
  std::cerr << "qm_mailfilter: " << text << std::endl;
}

Answer CHeadlessUi::Ask(std::string_view question, Buttons buttons, Answer defaultAnswer) {
  (void)buttons;
  ShowMessage(question);
  return defaultAnswer;
}

void CHeadlessUi::SetStatusText(std::string_view text) {
  // Without a status bar there is nothing to show, and a retrieval sets several texts per
  // message: waking the idle step for each would save the mailboxes over and over.
  (void)text;
}

void CHeadlessUi::Quit() {
  {
    std::lock_guard lock(mutex);
    quitting = true;
  }
  wake.notify_one();
}

void CHeadlessUi::Run(IUserInterfaceClient& client) {
  using Clock = std::chrono::steady_clock;
  // One step that throws (out of memory above all) is given up; the loop, and with it the
  // program, goes on.
  const auto guarded = [](const auto& step) {
    try {
      step();
    } catch (...) {
      LogUncaught("Main loop");
    }
  };
  while (true) {
    std::vector<Posted> batch;
    std::vector<std::uint32_t> dueTimers;
    {
      std::unique_lock lock(mutex);
      auto deadline = Clock::now() + std::chrono::seconds(1);
      for (const auto& [id, timer] : timers) deadline = std::min(deadline, timer.due);
      wake.wait_until(lock, deadline, [this] { return quitting || !queue.empty(); });
      if (quitting) return;
      batch.assign(queue.begin(), queue.end());
      queue.clear();
      const auto now = Clock::now();
      for (auto& [id, timer] : timers) {
        if (timer.due > now) continue;
        dueTimers.push_back(id);
        timer.due = now + timer.period;
      }
    }
    for (const Posted& posted : batch) {
      guarded([&] { client.OnMessage(posted.message, posted.wParam, posted.lParam); });
    }
    for (std::uint32_t id : dueTimers) guarded([&] { client.OnTimer(id); });
    guarded([&] { client.IdleStep(); });
  }
}

namespace {

// The program as the loop sees it, with a look at the first retrieval's end.
class CObservedClient : public IUserInterfaceClient {
 public:
  CObservedClient(CApplication& observed, std::function<void(CApplication&)> retrievalEnded)
      : application(observed), firstRetrievalEnded(std::move(retrievalEnded)) {}
  void OnMessage(std::uint32_t message, std::intptr_t wParam, std::intptr_t lParam) override {
    application.OnMessage(message, wParam, lParam);
    if (message != kRetrievalEnded || !firstRetrievalEnded) return;
    try {
      std::exchange(firstRetrievalEnded, {})(application);
    } catch (...) {
      LogUncaught("Main loop");
    }
  }
  void OnTimer(std::uint32_t id) override { application.OnTimer(id); }
  void IdleStep() override { application.IdleStep(); }

 private:
  CApplication& application;
  std::function<void(CApplication&)> firstRetrievalEnded;
};

}  // namespace

int RunHeadless(const std::function<void(CApplication&)>& firstRetrievalEnded) {
  CHeadlessUi ui;
  // Before any other thread exists, so that every thread leaves the signals to the watcher.
  CTerminationSignal signals;
  signals.Start([&ui] { ui.Quit(); });
  std::error_code error;
  CApplication application(ui, std::filesystem::current_path(error).string());
  if (application.Startup() == CApplication::StartResult::AlreadyRunning) return 1;
  if (application.Mailboxes().Count() == 0) {
    application.Log(std::string("APL : ") + kNoMailboxHint);
    ui.ShowMessage(kNoMailboxHint);
  }
  CObservedClient client(application, firstRetrievalEnded);
  ui.Run(client);
  application.Shutdown();
  return 0;
}

}  // namespace qm
