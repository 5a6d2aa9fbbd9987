// The seam between the program and its front end, "the user-interface thread". The core never
// calls a window: it posts messages, sets timers, shows messages, asks questions and sets the
// status text through this interface, which the desktop implements with its event loop and the
// headless program with a queue.
#pragma once

#include <cstdint>
#include <string_view>

namespace qm {

// Messages posted to the user-interface thread. The numbers are those of the window messages the
// front ends have always used.
enum UiMessage : std::uint32_t {
  // Wakes the idle step (a local POP3 connection ended; the tray).
  kWakeIdle = 0x400,
  // A retrieval ended: wParam the trigger (1 timer or start-up, 3 receive command, 4 tray),
  // lParam the mailbox index or -1 for all.
  kRetrievalEnded = 0x465,
  // A mail client's deletions were applied: wParam 1 if messages were removed, lParam the index
  // of the mailbox.
  kMaildropCommitted = 0x466,
  // A status text was set: wakes the idle step so that it shows.
  kStatusTextChanged = 0x467,
  // A mail client logged in to a mailbox (lParam its index): it has been given the new mail, so
  // the new-mail indication ends.
  kMailClientLoggedIn = 0x468,
};

enum class Buttons { Ok, OkCancel, YesNo, YesNoCancel };
enum class Answer { Ok, Cancel, Yes, No };

class IUserInterface {
 public:
  virtual ~IUserInterface() = default;
  // Any thread.
  virtual void PostMessage(std::uint32_t message, std::intptr_t wParam = 0,
                           std::intptr_t lParam = 0) = 0;
  // User-interface thread: a periodic timer by id (setting it again restarts it).
  virtual void SetTimer(std::uint32_t id, std::uint32_t milliseconds) = 0;
  virtual void KillTimer(std::uint32_t id) = 0;
  // Any thread.
  virtual void ShowMessage(std::string_view text) = 0;
  virtual Answer Ask(std::string_view question, Buttons buttons, Answer defaultAnswer) = 0;
  virtual void SetStatusText(std::string_view text) = 0;
};

// What the front end's event loop calls: the program's reactions on the user-interface thread.
class IUserInterfaceClient {
 public:
  virtual ~IUserInterfaceClient() = default;
  virtual void OnMessage(std::uint32_t message, std::intptr_t wParam, std::intptr_t lParam) = 0;
  virtual void OnTimer(std::uint32_t id) = 0;
  // Runs after each batch of messages and timers.
  virtual void IdleStep() = 0;
};

}  // namespace qm
