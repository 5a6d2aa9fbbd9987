// The program without a window: the user-interface thread is a queue of posted messages and a
// set of timers, and message boxes go to standard error.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "app/user_interface.h"

namespace qm {

class CApplication;

class CHeadlessUi : public IUserInterface {
 public:
  void PostMessage(std::uint32_t message, std::intptr_t wParam, std::intptr_t lParam) override;
  void SetTimer(std::uint32_t id, std::uint32_t milliseconds) override;
  void KillTimer(std::uint32_t id) override;
  void ShowMessage(std::string_view text) override;
  // Nobody is there to answer: the default answer.
  Answer Ask(std::string_view question, Buttons buttons, Answer defaultAnswer) override;
  void SetStatusText(std::string_view text) override;

  // Ends Run after the current batch; callable from any thread (the signal watcher).
  void Quit();
  // Runs the message loop until Quit: each batch of messages and due timers, then the idle step,
  // which also runs at least once a second.
  void Run(IUserInterfaceClient& client);

 private:
  struct Posted {
    std::uint32_t message;
    std::intptr_t wParam;
    std::intptr_t lParam;
  };
  struct Timer {
    std::chrono::milliseconds period;
    std::chrono::steady_clock::time_point due;
  };

  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Posted> queue;
  std::map<std::uint32_t, Timer> timers;
  bool quitting = false;
};

// What the headless program says when it starts with no mailbox, on standard error and in the log.
inline constexpr const char* kNoMailboxHint =
    "no mailbox is set up, so nothing is fetched or served: add one with `qm_mailfilter mailbox "
    "add NAME`, then `qm_mailfilter mailbox set NAME server=HOST user=USER --password-stdin "
    "password`; or see the filter at work with `qm_mailfilter demo`";

// `qm_mailfilter --headless`: starts the program in the current directory and runs it until
// SIGTERM or SIGINT. The exit status: 0 after an orderly shutdown, 1 when another copy runs in
// the directory. `firstRetrievalEnded`, when set, runs on the loop's thread once the first
// retrieval request (the one at start) has ended.
int RunHeadless(const std::function<void(CApplication&)>& firstRetrievalEnded = {});

}  // namespace qm
