// One retrieval run of a mailbox: log in to its remote account, fetch, classify and store the
// messages the mailbox has not seen, carry out the server-side deletions it asked for, and log
// out.
#pragma once

namespace qm {

class CMailbox;
class CPop3Session;
class IClassifier;

// RetrieveNew results.
inline constexpr int kRetrievedAll = 1;
inline constexpr int kUidlFailed = 0;
inline constexpr int kRetrOrStoreFailed = -1;

// Retrieve results.
inline constexpr int kRetrieveDone = 0;
inline constexpr int kRetrieveFailed = -1;
inline constexpr int kRetrieveBusy = -2;

// The messages of the logged-in `session` that `mailbox` has not seen, each classified with
// `classifier` (none: left unclassified) and stored. A failed STAT counts as a failed UIDL. A
// message the server refuses (a -ERR reply to RETR) is skipped and the others are still fetched;
// the result is then kRetrOrStoreFailed, as when the connection breaks or a store fails, which
// end the run at once. A message over the size limit is left on the server, in no list, and does
// not fail the run.
int RetrieveNew(CPop3Session& session, CMailbox& mailbox, IClassifier* classifier);

// A whole run on a main mailbox, with the mailbox's own session and classifier: 0 done (or no
// remote account), -1 failed (the messages stored before the failure stay stored and recorded),
// -2 another run of this mailbox is in progress.
int Retrieve(CMailbox& mailbox);

}  // namespace qm
