#include "cli/mailbox_settings.h"

#include <array>
#include <cstdint>
#include <limits>
#include <ostream>
#include <set>

#include "cli/workdir.h"
#include "platform/decimal.h"
#include "platform/secret_command.h"

namespace qm {

namespace {

// How a value is written on the command line.
enum class Kind { Text, Secret, Port, Flag, Interval, Count, Policy, Security, Auth, Command };

// Where it is kept.
enum class Field {
  Server,
  Port,
  User,
  Password,
  Security,
  CaFile,
  Auth,
  TokenCommand,
  PasswordCommand,
  LocalUser,
  LocalPassword,
  DustboxAccess,
  DustboxUser,
  DustboxPassword,
  TimerInterval,
  Policy,
  DustboxLimit,
  Option,
};

struct Key {
  std::string_view name;
  Field field;
  Kind kind;
  CMailboxConfig::Option bit = CMailboxConfig::Option{};
};

using O = CMailboxConfig::Option;

// In the order `show` prints them.
constexpr Key kKeys[] = {
    {"server", Field::Server, Kind::Text},
    {"port", Field::Port, Kind::Port},
    {"user", Field::User, Kind::Text},
    {"password", Field::Password, Kind::Secret},
    {"security", Field::Security, Kind::Security},
    {"caFile", Field::CaFile, Kind::Text},
    {"auth", Field::Auth, Kind::Auth},
    {"tokenCommand", Field::TokenCommand, Kind::Command},
    {"passwordCommand", Field::PasswordCommand, Kind::Command},
    {"localUser", Field::LocalUser, Kind::Text},
    {"localPassword", Field::LocalPassword, Kind::Secret},
    {"dustboxAccess", Field::DustboxAccess, Kind::Flag},
    {"dustboxUser", Field::DustboxUser, Kind::Text},
    {"dustboxPassword", Field::DustboxPassword, Kind::Secret},
    {"timerInterval", Field::TimerInterval, Kind::Interval},
    {"onDemand", Field::Option, Kind::Flag, O::OnDemandRetrieval},
    {"serverDeletion", Field::Policy, Kind::Policy},
    {"keepFriendOnServer", Field::Option, Kind::Flag, O::KeepFriendOnServer},
    {"keepOtherOnServer", Field::Option, Kind::Flag, O::KeepOtherOnServer},
    {"limitDustbox", Field::Option, Kind::Flag, O::LimitDustbox},
    {"dustboxLimit", Field::DustboxLimit, Kind::Count},
    {"openDustboxAtExit", Field::Option, Kind::Flag, O::OpenDustboxAtExit},
    {"notifyFriend", Field::Option, Kind::Flag, O::NotifyFriend},
    {"notifyBad", Field::Option, Kind::Flag, O::NotifyBad},
    {"notifySpam", Field::Option, Kind::Flag, O::NotifySpam},
    {"notifyOther", Field::Option, Kind::Flag, O::NotifyOther},
    {"dustboxFriend", Field::Option, Kind::Flag, O::DustboxFriend},
    {"dustboxBad", Field::Option, Kind::Flag, O::DustboxBad},
    {"dustboxSpam", Field::Option, Kind::Flag, O::DustboxSpam},
    {"dustboxOther", Field::Option, Kind::Flag, O::DustboxOther},
    {"hideFriend", Field::Option, Kind::Flag, O::HideFriend},
    {"hideBad", Field::Option, Kind::Flag, O::HideBad},
    {"hideSpam", Field::Option, Kind::Flag, O::HideSpam},
    {"hideOther", Field::Option, Kind::Flag, O::HideOther},
};

constexpr std::array<std::string_view, 4> kPolicyNames{"keep", "retrieved", "dustboxed", "purged"};
constexpr std::array<std::string_view, 3> kSecurityNames{"plain", "tls", "starttls"};
constexpr std::array<std::string_view, 2> kAuthNames{"password", "xoauth2"};

// Bits that only their own operations change: the policy has effects on stored mail, and
// dustbox access comes with the local account.
constexpr std::uint32_t kOwnedBits = CMailboxConfig::ServerDeletionMask | O::DustboxAccess;

// Every value of a mailbox that `set` can change, gathered before anything is applied.
struct Values {
  CRemoteAccount account;
  LocalAccount local;
  std::uint32_t timerInterval = 0;
  std::uint32_t dustboxLimit = 0;
  std::uint32_t options = 0;
  ServerDeletion policy = KeepOnServer;
};

Values CurrentValues(const CMailbox& mailbox) {
  const CMailboxConfig& config = mailbox.Config();
  Values values;
  values.account = mailbox.Client().account;
  values.local = {config.localUser, config.localPassword, config.Has(O::DustboxAccess),
                  config.dustboxUser, config.dustboxPassword};
  values.timerInterval = config.timerInterval;
  values.dustboxLimit = config.dustboxLimit;
  values.options = config.options;
  values.policy = config.GetServerDeletion();
  return values;
}

std::string* TextField(Values& values, Field field) {
  switch (field) {
    case Field::Server:
      return &values.account.server;
    case Field::User:
      return &values.account.user;
    case Field::Password:
      return &values.account.password;
    case Field::CaFile:
      return &values.account.caFile;
    case Field::TokenCommand:
      return &values.account.tokenCommand;
    case Field::PasswordCommand:
      return &values.account.passwordCommand;
    case Field::LocalUser:
      return &values.local.user;
    case Field::LocalPassword:
      return &values.local.password;
    case Field::DustboxUser:
      return &values.local.dustboxUser;
    case Field::DustboxPassword:
      return &values.local.dustboxPassword;
    default:
      return nullptr;
  }
}

std::string ShownValue(const CMailbox& mailbox, const Key& key) {
  Values values = CurrentValues(mailbox);
  switch (key.kind) {
    case Kind::Text:
    case Kind::Command:
      return *TextField(values, key.field);
    case Kind::Secret:
      return TextField(values, key.field)->empty() ? "(empty)" : "(set)";
    case Kind::Port:
      return std::to_string(values.account.port);
    case Kind::Interval:
      return std::to_string(values.timerInterval);
    case Kind::Count:
      return std::to_string(values.dustboxLimit);
    case Kind::Policy:
      return std::string(kPolicyNames[values.policy]);
    case Kind::Security:
      return std::string(kSecurityNames[static_cast<std::size_t>(values.account.security)]);
    case Kind::Auth:
      return std::string(kAuthNames[static_cast<std::size_t>(values.account.auth)]);
    case Kind::Flag:
      if (key.field == Field::DustboxAccess) return values.local.dustboxAccess ? "1" : "0";
      return (values.options & key.bit) != 0 ? "1" : "0";
  }
  return {};
}

const Key* FindKey(std::string_view name) {
  for (const Key& key : kKeys) {
    if (key.name == name) return &key;
  }
  return nullptr;
}

// Stores `text` as the value of `key`; false with `problem` saying what a valid value is.
bool Assign(const Key& key, std::string_view text, Values& values, std::string& problem) {
  std::uint64_t number = 0;
  switch (key.kind) {
    case Kind::Text:
    case Kind::Secret:
      // Names and passwords travel in POP3 command lines: a line break would end the command.
      if (text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
        problem = "may not contain line breaks";
        return false;
      }
      *TextField(values, key.field) = std::string(text);
      return true;
    case Kind::Command: {
      // Checked now rather than at the next retrieval; empty: no command.
      std::vector<std::string> words;
      if (!text.empty() && !SplitCommandLine(text, words, problem)) {
        problem = "cannot be run: its command line " + problem;
        return false;
      }
      *TextField(values, key.field) = std::string(text);
      return true;
    }
    case Kind::Auth:
      for (std::size_t i = 0; i < kAuthNames.size(); ++i) {
        if (text == kAuthNames[i]) {
          values.account.auth = static_cast<AuthMethod>(i);
          return true;
        }
      }
      problem = "must be password or xoauth2";
      return false;
    case Kind::Port:
      if (!ParseDecimal(text, 65535, number) || number == 0) {
        problem = "must be a port number from 1 to 65535";
        return false;
      }
      values.account.port = static_cast<std::uint32_t>(number);
      return true;
    case Kind::Flag:
      if (text != "0" && text != "1") {
        problem = "must be 0 or 1";
        return false;
      }
      if (key.field == Field::DustboxAccess) {
        values.local.dustboxAccess = text == "1";
      } else {
        values.options = text == "1" ? values.options | key.bit : values.options & ~key.bit;
      }
      return true;
    case Kind::Interval:
      if (!ParseDecimal(text, 86400, number) || (number != 0 && number < 30)) {
        problem = "must be 0 (no timer retrieval) or from 30 to 86400 seconds";
        return false;
      }
      values.timerInterval = static_cast<std::uint32_t>(number);
      return true;
    case Kind::Count:
      if (!ParseDecimal(text, std::numeric_limits<std::uint32_t>::max(), number)) {
        problem = "must be a number of messages from 0 to 4294967295";
        return false;
      }
      values.dustboxLimit = static_cast<std::uint32_t>(number);
      return true;
    case Kind::Policy:
      for (std::size_t i = 0; i < kPolicyNames.size(); ++i) {
        if (text == kPolicyNames[i]) {
          values.policy = static_cast<ServerDeletion>(i);
          return true;
        }
      }
      problem = "must be keep, retrieved, dustboxed or purged";
      return false;
    case Kind::Security:
      for (std::size_t i = 0; i < kSecurityNames.size(); ++i) {
        if (text == kSecurityNames[i]) {
          values.account.security = static_cast<ConnectionSecurity>(i);
          return true;
        }
      }
      problem = "must be plain, tls or starttls";
      return false;
  }
  return false;
}

bool IsLocalAccountField(Field field) {
  return field == Field::LocalUser || field == Field::LocalPassword ||
         field == Field::DustboxAccess || field == Field::DustboxUser ||
         field == Field::DustboxPassword;
}

// The rules the local account must keep beyond the uniqueness the set checks; an empty string
// when it keeps them.
std::string LocalAccountProblem(const LocalAccount& local) {
  if (local.dustboxAccess) {
    if (local.dustboxUser.empty() || local.dustboxPassword.empty()) {
      return "dustboxAccess=1 needs a dustboxUser and a dustboxPassword";
    }
    if (local.dustboxUser == local.user) return "dustboxUser must differ from localUser";
  } else if (!local.dustboxUser.empty() || !local.dustboxPassword.empty()) {
    return "dustboxUser and dustboxPassword need dustboxAccess=1";
  }
  return {};
}

const char* AnswerEffect(DeletedHereAnswer answer) {
  switch (answer) {
    case DeletedHereAnswer::Delete:
      return "deleted on the server at the next retrieval";
    case DeletedHereAnswer::Keep:
      return "left on the server";
    case DeletedHereAnswer::Refetch:
      return "fetched again at the next retrieval";
  }
  return "";
}

}  // namespace

std::vector<std::string> SecretMailboxKeys() {
  std::vector<std::string> keys;
  for (const Key& key : kKeys) {
    if (key.kind == Kind::Secret) keys.emplace_back(key.name);
  }
  return keys;
}

void ShowMailboxSettings(const CMailbox& mailbox, std::ostream& out) {
  for (const Key& key : kKeys) out << key.name << '=' << ShownValue(mailbox, key) << '\n';
}

bool ParseDeletedHereAnswer(std::string_view text, DeletedHereAnswer& answer) {
  if (text == "delete") {
    answer = DeletedHereAnswer::Delete;
  } else if (text == "keep") {
    answer = DeletedHereAnswer::Keep;
  } else if (text == "refetch") {
    answer = DeletedHereAnswer::Refetch;
  } else {
    return false;
  }
  return true;
}

int ChangeMailboxSettings(CMailboxSet& set, int index, const std::vector<std::string>& assignments,
                          DeletedHereAnswer answer, std::ostream& out, std::ostream& err) {
  CMailbox& mailbox = *set.Get(index);
  const std::string& name = mailbox.Name();
  Values values = CurrentValues(mailbox);
  std::set<std::string_view> given;
  bool localGiven = false;
  bool policyGiven = false;
  for (const std::string& assignment : assignments) {
    const std::size_t equals = assignment.find('=');
    if (equals == std::string::npos) {
      err << "qm_mailfilter: expected KEY=VALUE, not \"" << assignment << "\"\n";
      return kExitFailure;
    }
    const std::string_view keyName = std::string_view(assignment).substr(0, equals);
    const Key* key = FindKey(keyName);
    if (key == nullptr) {
      err << "qm_mailfilter: unknown setting \"" << keyName << "\"; known settings:";
      for (const Key& known : kKeys) err << ' ' << known.name;
      err << '\n';
      return kExitFailure;
    }
    if (!given.insert(key->name).second) {
      err << "qm_mailfilter: " << key->name << " is given twice\n";
      return kExitFailure;
    }
    std::string problem;
    if (!Assign(*key, std::string_view(assignment).substr(equals + 1), values, problem)) {
      err << "qm_mailfilter: " << key->name << ' ' << problem << '\n';
      return kExitFailure;
    }
    localGiven = localGiven || IsLocalAccountField(key->field);
    policyGiven = policyGiven || key->field == Field::Policy;
  }

  // POP3S has its own port: a mailbox on the usual port of one mode moves to that of the other.
  if (given.count("security") != 0 && given.count("port") == 0) {
    const std::uint32_t port = PortForSecurity(values.account.security, values.account.port);
    if (port != values.account.port) {
      values.account.port = port;
      out << name << ": port=" << port << " for "
          << kSecurityNames[static_cast<std::size_t>(values.account.security)] << '\n';
    }
  }

  // A token never travels in clear text; the session would refuse it at every retrieval.
  if (values.account.auth == AuthMethod::XOAuth2 &&
      values.account.security == ConnectionSecurity::Plain) {
    err << "qm_mailfilter: auth=xoauth2 needs security=tls or security=starttls\n";
    return kExitFailure;
  }
  if (values.account.auth == AuthMethod::XOAuth2 && values.account.tokenCommand.empty()) {
    err << "qm_mailfilter: auth=xoauth2 needs a tokenCommand that prints the access token\n";
    return kExitFailure;
  }

  if (localGiven) {
    const std::string problem = LocalAccountProblem(values.local);
    if (!problem.empty()) {
      err << "qm_mailfilter: " << problem << '\n';
      return kExitFailure;
    }
    for (const std::string* login : {&values.local.user, &values.local.dustboxUser}) {
      const int owner = set.LoginNameOwner(index, *login);
      if (owner >= 0) {
        err << "qm_mailfilter: the login name \"" << *login << "\" is already used by mailbox "
            << set.Get(owner)->Name() << '\n';
        return kExitFailure;
      }
    }
  }

  bool asked = false;
  {
    COneSlotGuard hold(mailbox.retrievalLock);
    if (localGiven && !set.AssignLocalAccount(index, values.local)) {
      err << "qm_mailfilter: the local account of " << name << " cannot be set\n";
      return kExitFailure;
    }
    mailbox.Client().account = values.account;
    set.EditConfig(index, [&values](CMailboxConfig& config) {
      config.timerInterval = values.timerInterval;
      config.dustboxLimit = values.dustboxLimit;
      config.options = (values.options & ~kOwnedBits) | (config.options & kOwnedBits);
    });
    // The exemptions are in place before the policy changes: they decide what it releases.
    if (policyGiven) set.ChangeServerDeletion(index, values.policy, answer, &asked);
    mailbox.MarkConfigDirty();
  }
  if (asked) {
    out << name << ": mails deleted here but kept on the server will be " << AnswerEffect(answer)
        << '\n';
  }
  if (!set.SaveAll(index)) {
    err << "qm_mailfilter: the settings of " << name << " could not be saved\n";
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace qm
