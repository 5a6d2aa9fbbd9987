#include "ui/model/mailbox_pages.h"

#include <limits>
#include <utility>

#include "mailboxes/mailbox_name.h"
#include "mailboxes/mailbox_set.h"
#include "platform/decimal.h"
#include "platform/file_io.h"
#include "platform/locks.h"
#include "platform/secret_command.h"
#include "store/mailbox.h"
#include "ui/model/frame_texts.h"

namespace qm {

namespace {

// A decimal number within min .. max, blanks around it allowed, as a number field takes it.
bool ParseNumber(std::string_view text, std::uint32_t min, std::uint32_t max,
                 std::uint32_t& number) {
  std::uint64_t value = 0;
  if (!ParseDecimal(TrimBlanks(text), max, value) || value < min) return false;
  number = static_cast<std::uint32_t>(value);
  return true;
}

// The POP3 commands carry these texts in lines of their own: a line break would end a command
// early and smuggle the rest in as another command.
bool BreaksCommandLine(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

DeletedHereAnswer FromAnswer(Answer answer) {
  switch (answer) {
    case Answer::Yes:
    case Answer::Ok:
      return DeletedHereAnswer::Delete;
    case Answer::Cancel:
      return DeletedHereAnswer::Refetch;
    case Answer::No:
      break;
  }
  return DeletedHereAnswer::Keep;
}

}  // namespace

std::string ForbiddenCharactersText() {
  return "不正な文字（" + std::string(kForbiddenNameCharacters) + "）が含まれています。";
}

std::string DeleteMailboxQuestion(std::string_view name) {
  return std::string(name) +
         " を削除してもよろしいですか？\r\nメールボックスに入っているメールも削除されます。";
}

std::string NumberRangeText(std::uint32_t min, std::uint32_t max) {
  return std::to_string(min) + " から " + std::to_string(max) + " までの整数を入力してください。";
}

std::string AddFailureText(int result) {
  switch (result) {
    case CMailboxSet::kNameInUse:
      return kNameInUseText;
    case CMailboxSet::kOutOfMemory:
      return kOutOfMemoryText;
    case CMailboxSet::kCannotCreate:
      return kCannotCreateText;
    default:
      return {};
  }
}

NewMailboxName CheckNewMailboxName(std::string_view typed) {
  NewMailboxName result{TrimBlanks(typed), {}};
  switch (CheckMailboxName(result.name)) {
    case MailboxNameProblem::None:
      break;
    case MailboxNameProblem::ForbiddenCharacter:
      result.refusal = ForbiddenCharactersText();
      break;
    case MailboxNameProblem::Empty:
    case MailboxNameProblem::ControlCharacter:
      result.refusal = kInvalidNameText;
      break;
  }
  return result;
}

int CreateMailbox(CMailboxSet& set, IUserInterface& ui, const std::string& name) {
  if (FileExists(name + ".mbx") &&
      ui.Ask(kImportQuestion, Buttons::YesNo, Answer::Yes) != Answer::Yes) {
    return kImportDeclined;
  }
  const int result = set.Add(name);
  if (result < 0) ui.ShowMessage(AddFailureText(result));
  return result;
}

int DeleteMailbox(CMailboxSet& set, IUserInterface& ui, int index) {
  CMailbox* mailbox = set.Get(index);
  if (mailbox == nullptr) return 0;
  const std::string question = DeleteMailboxQuestion(MailboxNameForDisplay(mailbox->Name()));
  if (ui.Ask(question, Buttons::OkCancel, Answer::Cancel) != Answer::Ok) return 0;
  // Timers are stopped while the dialog runs, but a retrieval started before may still work on
  // the mailbox: it ends within the server time-out, so it is waited for, as the property pages
  // wait for it. A mail client may stay logged in for many minutes: the mailbox is then kept.
  mailbox->retrievalLock.Acquire();
  mailbox->retrievalLock.Release();
  const int removed = set.Remove(index);
  if (removed == 0) ui.ShowMessage(kMailboxBusyText);
  return removed;
}

int MoveMailbox(CMailboxSet& set, int selected, bool up) {
  if (up) return set.MoveUp(selected) != 0 ? selected - 1 : -1;
  return set.MoveDown(selected) != 0 ? selected + 1 : -1;
}

CMailbox* MailboxForProperties(const CMailboxSet& set, IUserInterface& ui, int selected) {
  CMailbox* mailbox = set.Get(selected);
  if (mailbox == nullptr) ui.ShowMessage(kSelectMailboxText);
  return mailbox;
}

bool SaveMailboxList(CMailboxSet& set, IUserInterface& ui) {
  if (set.SaveList() != 0) return true;
  ui.ShowMessage(kListNotSavedText);
  return false;
}

AccountPageValues LoadAccountPage(const CMailbox& mailbox) {
  const CRemoteAccount& account = mailbox.Client().account;
  return {account.server,         std::to_string(account.port),
          account.user,           account.password,
          account.security,       account.caFile,
          account.auth,           account.tokenCommand,
          account.passwordCommand};
}

AccountPageFields EditableAccountFields(AuthMethod auth) {
  const bool password = auth == AuthMethod::Password;
  return {password, password, !password};
}

void ChangeSecurity(AccountPageValues& values, ConnectionSecurity security) {
  values.security = security;
  std::uint32_t port = 0;
  if (ParseNumber(values.port, 1, 65535, port)) {
    values.port = std::to_string(PortForSecurity(security, port));
  }
}

int ApplyAccountPage(CMailboxSet& set, int index, const AccountPageValues& values,
                     IUserInterface& ui) {
  CMailbox* mailbox = set.Get(index);
  if (mailbox == nullptr) return 0;
  std::uint32_t port = 0;
  if (!ParseNumber(values.port, 1, 65535, port)) {
    ui.ShowMessage(NumberRangeText(1, 65535));
    return 0;
  }
  if (BreaksCommandLine(values.server) || BreaksCommandLine(values.user) ||
      BreaksCommandLine(values.password)) {
    ui.ShowMessage(kLineBreakRefusedText);
    return 0;
  }
  if (values.auth == AuthMethod::XOAuth2 && values.security == ConnectionSecurity::Plain) {
    ui.ShowMessage(kTokenNeedsTlsText);
    return 0;
  }
  if (values.auth == AuthMethod::XOAuth2 && values.tokenCommand.empty()) {
    ui.ShowMessage(kTokenCommandMissingText);
    return 0;
  }
  for (const std::string* command : {&values.tokenCommand, &values.passwordCommand}) {
    std::vector<std::string> words;
    std::string problem;
    if (!command->empty() && !SplitCommandLine(*command, words, problem)) {
      ui.ShowMessage(kCommandRefusedText);
      return 0;
    }
  }
  COneSlotGuard hold(mailbox->retrievalLock);
  CRemoteAccount& account = mailbox->Client().account;
  account.server = values.server;
  account.port = port;
  account.user = values.user;
  account.password = values.password;
  account.security = values.security;
  account.caFile = values.caFile;
  account.auth = values.auth;
  account.tokenCommand = values.tokenCommand;
  account.passwordCommand = values.passwordCommand;
  mailbox->MarkConfigDirty();
  return 1;
}

ProxyPageValues LoadProxyPage(const CMailbox& mailbox) {
  const CMailboxConfig& config = mailbox.Config();
  ProxyPageValues values;
  values.user = config.localUser;
  values.password = config.localPassword;
  values.dustboxAccess = config.Has(CMailboxConfig::DustboxAccess);
  if (values.dustboxAccess) {
    values.dustboxUser = config.dustboxUser;
    values.dustboxPassword = config.dustboxPassword;
  }
  return values;
}

bool FillAutomaticDustboxAccount(ProxyPageValues& values) {
  if (!values.dustboxAccess || !values.automatic) return false;
  std::string user = values.user + std::string(kAutomaticDustboxSuffix);
  if (user == values.dustboxUser && values.password == values.dustboxPassword) return false;
  values.dustboxUser = std::move(user);
  values.dustboxPassword = values.password;
  return true;
}

int ApplyProxyPage(CMailboxSet& set, int index, ProxyPageValues& values, IUserInterface& ui) {
  CMailbox* mailbox = set.Get(index);
  if (mailbox == nullptr) return 0;
  // The local POP3 server tells the mailbox from its dustbox by the user name alone.
  if (values.dustboxAccess && values.dustboxUser == values.user) {
    ui.ShowMessage(kLocalAccountRefusedText);
    return 0;
  }
  // Nobody could log in to a dustbox without a user name or password: what is stored says so
  // rather than leaving access on in name only.
  const LocalAccount account{
      values.user, values.password,
      values.dustboxAccess && !values.dustboxUser.empty() && !values.dustboxPassword.empty(),
      values.dustboxUser, values.dustboxPassword};
  int assigned = 0;
  {
    COneSlotGuard hold(mailbox->retrievalLock);
    assigned = set.AssignLocalAccount(index, account);
  }
  if (!assigned) {
    ui.ShowMessage(kLocalAccountRefusedText);
    return 0;
  }
  if (!account.dustboxAccess) {
    values.dustboxAccess = false;
    values.dustboxUser.clear();
    values.dustboxPassword.clear();
  }
  return 1;
}

std::uint32_t ReceivePageOptionMask() {
  std::uint32_t mask = CMailboxConfig::OnDemandRetrieval;
  for (const ReceiveGridRow& row : kReceiveGrid) mask |= row.dustbox | row.hide | row.notify;
  return mask;
}

ReceivePageValues LoadReceivePage(const CMailbox& mailbox) {
  const CMailboxConfig& config = mailbox.Config();
  ReceivePageValues values;
  values.timer = config.timerInterval != 0;
  values.interval = values.timer ? std::to_string(config.timerInterval) : kIntervalWhileOff;
  values.options = config.options & ReceivePageOptionMask();
  return values;
}

int ApplyReceivePage(CMailboxSet& set, int index, const ReceivePageValues& values,
                     IUserInterface& ui) {
  CMailbox* mailbox = set.Get(index);
  if (mailbox == nullptr) return 0;
  std::uint32_t interval = 0;
  if (!ParseNumber(values.interval, kMinimumInterval, kMaximumInterval, interval)) {
    ui.ShowMessage(NumberRangeText(kMinimumInterval, kMaximumInterval));
    return 0;
  }
  COneSlotGuard hold(mailbox->retrievalLock);
  set.EditConfig(index, [&values, interval](CMailboxConfig& config) {
    config.timerInterval = values.timer ? interval : 0;
    const std::uint32_t mask = ReceivePageOptionMask();
    config.options = (config.options & ~mask) | (values.options & mask);
  });
  return 1;
}

DustboxPageValues LoadDustboxPage(const CMailbox& mailbox) {
  const CMailboxConfig& config = mailbox.Config();
  DustboxPageValues values;
  const ServerDeletion policy = config.GetServerDeletion();
  values.keepOnServer = policy == KeepOnServer;
  values.deletionMode = policy == KeepOnServer ? DeleteWhenRetrieved : policy;
  values.keepFriend = config.Has(CMailboxConfig::KeepFriendOnServer);
  values.keepOther = config.Has(CMailboxConfig::KeepOtherOnServer);
  values.deletedHereCount = static_cast<int>(mailbox.Client().DeletedHere().Count());
  values.limitDustbox = config.Has(CMailboxConfig::LimitDustbox);
  values.dustboxLimit = std::to_string(config.dustboxLimit);
  values.openDustboxAtExit = config.Has(CMailboxConfig::OpenDustboxAtExit);
  return values;
}

int ApplyDustboxPage(CMailboxSet& set, int index, DustboxPageValues& values, IUserInterface& ui) {
  CMailbox* mailbox = set.Get(index);
  if (mailbox == nullptr) return 0;
  constexpr std::uint32_t kMostMessages = std::numeric_limits<std::uint32_t>::max();
  std::uint32_t limit = 0;
  if (!ParseNumber(values.dustboxLimit, 0, kMostMessages, limit)) {
    ui.ShowMessage(NumberRangeText(0, kMostMessages));
    return 0;
  }
  COneSlotGuard hold(mailbox->retrievalLock);
  CMailboxClient& client = mailbox->Client();
  if (values.refetch) client.ClearDeletedHere();
  set.EditConfig(index, [&values](CMailboxConfig& config) {
    config.Set(CMailboxConfig::KeepFriendOnServer, values.keepFriend);
    config.Set(CMailboxConfig::KeepOtherOnServer, values.keepOther);
  });

  const ServerDeletion policy = values.keepOnServer ? KeepOnServer : values.deletionMode;
  if (policy != mailbox->Config().GetServerDeletion()) {
    // The mails deleted here stayed on the server either because the old policy kept server
    // copies or because an exemption did; only in the second case may the user want them kept.
    DeletedHereAnswer answer = DeletedHereAnswer::Keep;
    if (policy != KeepOnServer && client.DeletedHere().Count() != 0 &&
        (values.keepFriend || values.keepOther)) {
      answer = FromAnswer(ui.Ask(kDeletedHereQuestion, Buttons::YesNoCancel, Answer::Yes));
    }
    set.ChangeServerDeletion(index, policy, answer);
  }

  set.EditConfig(index, [&values, limit](CMailboxConfig& config) {
    config.Set(CMailboxConfig::LimitDustbox, values.limitDustbox);
    config.dustboxLimit = limit;
    config.Set(CMailboxConfig::OpenDustboxAtExit, values.openDustboxAtExit);
  });
  values.deletedHereCount = static_cast<int>(client.DeletedHere().Count());
  values.refetch = false;
  return 1;
}

}  // namespace qm
