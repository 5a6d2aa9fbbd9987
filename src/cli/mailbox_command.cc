#include "cli/mailbox_command.h"

#include <CLI/CLI.hpp>
#include <ostream>

#include "cli/mailbox_settings.h"
#include "cli/workdir.h"
#include "mailboxes/mailbox_name.h"
#include "platform/file_io.h"
#include "platform/privacy.h"
#include "platform/profile.h"

namespace qm {

namespace {

// What the mailbox set's refusals mean to the user.
const char* AddFailureText(int result) {
  switch (result) {
    case CMailboxSet::kNameInUse:
      return "このメールボックスはすでに使用中です。";
    case CMailboxSet::kOutOfMemory:
      return "メモリーが不足しています。\n 非常に不安定です。";
    default:
      return "メールボックスを作れません。\nメールボックス名が正しくない可能性があります。";
  }
}

int SaveList(CMailboxSet& set, CProfile& settings, std::ostream& err) {
  if (set.SaveList()) return kExitOk;
  err << "qm_mailfilter: the mailbox list could not be written to " << settings.Path() << '\n';
  return kExitFailure;
}

int Add(CMailboxSet& set, CProfile& settings, const std::string& rawName, std::ostream& out,
        std::ostream& err) {
  const std::string name = TrimBlanks(rawName);
  switch (CheckMailboxName(name)) {
    case MailboxNameProblem::None:
      break;
    case MailboxNameProblem::Empty:
      err << "qm_mailfilter: a mailbox name may not be empty\n";
      return kExitFailure;
    case MailboxNameProblem::ForbiddenCharacter:
    case MailboxNameProblem::ControlCharacter:
      err << "qm_mailfilter: \"" << name << "\": a mailbox name may not contain any of "
          << kForbiddenNameCharacters << " nor control characters\n";
      return kExitFailure;
  }
  const bool adopted = FileExists(name + ".mbx");
  const int result = set.Add(name);
  if (result < 0) {
    err << "qm_mailfilter: " << name << ": " << AddFailureText(result) << '\n';
    return kExitFailure;
  }
  if (adopted) {
    out << name << ": adopted the existing mailbox files (" << set.MessageCount(result)
        << " messages)\n";
  }
  return SaveList(set, settings, err);
}

void List(const CMailboxSet& set, std::ostream& out) {
  for (int i = 0; i < set.Count(); ++i) {
    out << set.Get(i)->Name() << '\t' << set.MessageCount(i) << '\t' << set.UnopenedCount(i) << '\t'
        << set.DustboxMessageCount(i) << '\n';
  }
}

}  // namespace

CLI::App* AddMailboxCommand(CLI::App& app, MailboxRequest& request) {
  CLI::App* mailbox = app.add_subcommand("mailbox", "Add, remove, order and configure mailboxes");
  mailbox->require_subcommand(1);
  auto verb = [mailbox, &request](const char* name, MailboxAction action, const char* help,
                                  bool named) {
    CLI::App* sub = mailbox->add_subcommand(name, help);
    if (named) sub->add_option("NAME", request.name, "Mailbox name")->required();
    sub->parse_complete_callback([&request, action] { request.action = action; });
    return sub;
  };
  verb("add", MailboxAction::Add, "Create a mailbox (adopting files of that name)", true);
  verb("remove", MailboxAction::Remove, "Delete a mailbox and its mail", true);
  verb("list", MailboxAction::List, "Name, messages, unread and dustbox messages of each", false);
  verb("show", MailboxAction::Show, "Show every setting of a mailbox", true);
  verb("up", MailboxAction::Up, "Move a mailbox one place up", true);
  verb("down", MailboxAction::Down, "Move a mailbox one place down", true);
  CLI::App* set = verb("set", MailboxAction::Set, "Change settings of a mailbox", true);
  set->add_option("KEY=VALUE", request.assignments, "Settings to change (see `mailbox show`)");
  set->add_option("--password-stdin", request.secretKeyFromInput,
                  "Read the value of this password key from standard input (one line; not shown "
                  "on a terminal)")
      ->type_name("KEY")
      ->check(CLI::IsMember(SecretMailboxKeys()));
  set->add_option_function<std::string>(
         "--deleted-here",
         [&request](const std::string& text) { ParseDeletedHereAnswer(text, request.deletedHere); },
         "When a serverDeletion change finds mails deleted here but kept on the server while an "
         "exemption is set: delete them there, keep them there, or refetch them (default: delete)")
      ->check(CLI::IsMember({"delete", "keep", "refetch"}));
  return mailbox;
}

int RunMailboxCommand(const MailboxRequest& request, CProfile& settings, std::ostream& out,
                      std::ostream& err) {
  CMailboxSet set(settings);
  set.LoadAll();
  if (request.action == MailboxAction::Add) return Add(set, settings, request.name, out, err);
  if (request.action == MailboxAction::List) {
    List(set, out);
    return kExitOk;
  }

  const int index = set.Find(request.name);
  if (index < 0) {
    err << "qm_mailfilter: there is no mailbox named \"" << request.name << "\"\n";
    return kExitFailure;
  }
  switch (request.action) {
    case MailboxAction::Remove:
      set.Remove(index);
      return SaveList(set, settings, err);
    case MailboxAction::Show:
      ShowMailboxSettings(*set.Get(index), out);
      return kExitOk;
    case MailboxAction::Up:
    case MailboxAction::Down: {
      const bool up = request.action == MailboxAction::Up;
      if (!(up ? set.MoveUp(index) : set.MoveDown(index))) {
        err << "qm_mailfilter: " << set.Get(index)->Name() << " is already the "
            << (up ? "first" : "last") << " mailbox\n";
        return kExitFailure;
      }
      return SaveList(set, settings, err);
    }
    case MailboxAction::Set: {
      std::vector<std::string> assignments = request.assignments;
      if (!request.secretKeyFromInput.empty()) {
        std::string value;
        if (!ReadSecretLine(request.secretKeyFromInput + ": ", value)) {
          err << "qm_mailfilter: no value for " << request.secretKeyFromInput
              << " on standard input\n";
          return kExitFailure;
        }
        assignments.push_back(request.secretKeyFromInput + "=" + value);
      }
      if (assignments.empty()) {
        err << "qm_mailfilter: nothing to set: give KEY=VALUE or --password-stdin KEY\n";
        return kExitFailure;
      }
      return ChangeMailboxSettings(set, index, assignments, request.deletedHere, out, err);
    }
    case MailboxAction::Add:
    case MailboxAction::List:
      break;
  }
  return kExitOk;
}

}  // namespace qm
