// What retrieval scheduling needs from the front end: the per-mailbox timers and the message
// that tells the user-interface thread a retrieval request has ended.
#pragma once

#include <cstdint>

namespace qm {

// Who started a retrieval request.
enum RetrievalTrigger : int {
  kTriggerTimer = 1,    // a mailbox's timer, and the retrieval of all mailboxes at start-up
  kTriggerCommand = 3,  // the user's receive command; the only one that reports in message boxes
  kTriggerTray = 4,     // the tray icon
};

class IRetrievalHost {
 public:
  virtual ~IRetrievalHost() = default;
  // A periodic timer by id, and its end. Called on the user-interface thread, and by an
  // on-demand retrieval on a local POP3 connection's thread.
  virtual void SetTimer(std::uint32_t id, std::uint32_t milliseconds) = 0;
  virtual void KillTimer(std::uint32_t id) = 0;
  // A request thread ended (index -1: all mailboxes). Any thread.
  virtual void RetrievalEnded(int trigger, int index) = 0;
  // After every request and on-demand retrieval, once its last status text is set. Any thread.
  virtual void RequestFinished() {}
};

}  // namespace qm
