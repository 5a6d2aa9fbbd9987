// The byte layouts of a mailbox's small files, as pure functions over bytes: the marks (N.flg),
// the settings with the remote account (N.cfg) and the server lists (N.svm). Readers never read
// past the end of their input and report whether it was whole.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "message/mail_mark.h"
#include "store/mailbox_config.h"
#include "store/server_lists.h"
#include "store/uid_list.h"

namespace qm {

// The record count, then each mark's flag word and unique id.
std::string WriteMarksArchive(const std::vector<CMailMark>& marks, std::size_t count);
// The marks read whole, in order; false when the input ended early. `recordCount` is the count
// the file claims (0 when even that is missing).
bool ReadMarksArchive(std::string_view bytes, std::vector<CMailMark>& marks,
                      std::uint32_t& recordCount);

// The four local account strings, the interval and dustbox limit, the two option words, then the
// remote server, port, user and password; then, only when they differ from the defaults, the
// connection's security block and the login block (method, token and password commands).
std::string WriteConfigArchive(const CMailboxConfig& config, const CRemoteAccount& account);
// False, leaving both outputs untouched, unless the whole layout is there.
bool ReadConfigArchive(std::string_view bytes, CMailboxConfig& config, CRemoteAccount& account);

std::string WriteServerListsArchive(const CUidList& deletedHere, const CUidList& pending);
// Appends what it reads to both lists; false when the input ended early.
bool ReadServerListsArchive(std::string_view bytes, CUidList& deletedHere, CUidList& pending);

}  // namespace qm
