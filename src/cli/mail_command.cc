#include "cli/mail_command.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <ostream>

#include "cli/mail_rows.h"
#include "cli/workdir.h"
#include "mailboxes/mailbox_set.h"
#include "platform/decimal.h"

namespace qm {

namespace {

void ListMail(const CMailbox& mailbox, bool json, std::ostream& out) {
  for (int n = 1; n <= mailbox.MessageCount(); ++n) {
    const MailRow row = MakeMailRow(mailbox, n);
    if (json) {
      out << MailRowJson(row).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
          << '\n';
    } else {
      out << FormatMailRow(row) << '\n';
    }
  }
}

// The numbers of the request, each naming a message of `mailbox`, in ascending order without
// repeats; false with a message on `err` when one does not.
bool CheckNumbers(const MailRequest& request, const CMailbox& mailbox, std::vector<int>& numbers,
                  std::ostream& err) {
  const std::string where = request.dustbox || request.action == MailAction::Restore
                                ? "the dustbox of " + request.name
                                : request.name;
  for (const std::string& text : request.numbers) {
    std::uint64_t n = 0;
    if (!ParseDecimal(text, static_cast<std::uint64_t>(mailbox.MessageCount()), n) || n == 0) {
      err << "qm_mailfilter: " << where << " has no message \"" << text << "\" (it holds "
          << mailbox.MessageCount() << ")\n";
      return false;
    }
    numbers.push_back(static_cast<int>(n));
  }
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  return true;
}

int ChangeMail(const MailRequest& request, CMailbox& mailbox, const std::vector<int>& numbers,
               std::ostream& err) {
  CMailbox& main = mailbox.IsDustbox() ? *mailbox.MainMailbox() : mailbox;
  const int wanted = static_cast<int>(numbers.size());
  int removed = 0;
  switch (request.action) {
    case MailAction::Hide:
    case MailAction::Unhide:
      for (int n : numbers) {
        request.action == MailAction::Hide ? mailbox.SetHidden(n) : mailbox.ClearHidden(n);
      }
      return kExitOk;
    case MailAction::Read:
    case MailAction::Unread:
      for (int n : numbers) mailbox.SetOpened(n, request.action == MailAction::Read);
      return kExitOk;
    case MailAction::Delete: {
      // From the dustbox, deleting is for good; the file is rewritten once for all of them.
      CMailbox* target = request.purge || mailbox.IsDustbox() ? nullptr : main.Dustbox();
      removed = mailbox.RemoveMessages(numbers, target);
      if (removed == wanted) return kExitOk;
      err << "qm_mailfilter: " << removed << " of " << wanted << " messages were "
          << (target != nullptr ? "moved to the dustbox" : "deleted") << '\n';
      return kExitFailure;
    }
    case MailAction::Restore:
      removed = main.Dustbox()->RemoveMessages(numbers, &main);
      if (removed == wanted) return kExitOk;
      err << "qm_mailfilter: " << removed << " of " << wanted
          << " messages were restored from the dustbox; the others stay there\n";
      return kExitFailure;
    case MailAction::Reclassify:
      for (int n : numbers) mailbox.GetClassification(n, true);
      return kExitOk;
    case MailAction::List:
      break;
  }
  return kExitOk;
}

}  // namespace

CLI::App* AddMailCommand(CLI::App& app, MailRequest& request) {
  CLI::App* mail = app.add_subcommand("mail", "List the mail of a mailbox and act on messages");
  mail->require_subcommand(1);
  auto verb = [mail, &request](const char* name, MailAction action, const char* help) {
    CLI::App* sub = mail->add_subcommand(name, help);
    sub->add_option("NAME", request.name, "Mailbox name")->required();
    sub->parse_complete_callback([&request, action] { request.action = action; });
    return sub;
  };
  auto withNumbers = [&verb, &request](const char* name, MailAction action, const char* help) {
    CLI::App* sub = verb(name, action, help);
    sub->add_option("N", request.numbers, "Message numbers, as `mail list` shows them")->required();
    return sub;
  };
  const char* dustboxHelp = "Numbers refer to the mailbox's dustbox";

  CLI::App* list = verb("list", MailAction::List, "One row per message, in mailbox order");
  list->add_flag("--dustbox", request.dustbox, "List the mailbox's dustbox");
  list->add_flag("--json", request.json, "JSON Lines instead of tab-separated text");
  withNumbers("hide", MailAction::Hide, "Hide messages from the mail client")
      ->add_flag("--dustbox", request.dustbox, dustboxHelp);
  withNumbers("unhide", MailAction::Unhide, "Offer hidden messages to the mail client again")
      ->add_flag("--dustbox", request.dustbox, dustboxHelp);
  withNumbers("read", MailAction::Read, "Mark messages read")
      ->add_flag("--dustbox", request.dustbox, dustboxHelp);
  withNumbers("unread", MailAction::Unread, "Mark messages unread")
      ->add_flag("--dustbox", request.dustbox, dustboxHelp);
  CLI::App* remove = withNumbers("delete", MailAction::Delete,
                                 "Move messages to the dustbox (from the dustbox: delete them)");
  remove->add_flag("--dustbox", request.dustbox, dustboxHelp);
  remove->add_flag("--purge", request.purge, "Delete for good instead of moving to the dustbox");
  withNumbers("restore", MailAction::Restore, "Move messages of the dustbox back to the mailbox")
      ->add_flag("--dustbox", request.dustbox, "Accepted for symmetry: numbers are the dustbox's");
  withNumbers("reclassify", MailAction::Reclassify,
              "Classify messages again with the current lists and blocklists")
      ->add_flag("--dustbox", request.dustbox, dustboxHelp);
  return mail;
}

int RunMailCommand(const MailRequest& request, CProfile& settings, std::ostream& out,
                   std::ostream& err, IClassifier* classifier) {
  if (request.action == MailAction::Reclassify && classifier == nullptr) {
    err << "qm_mailfilter: no classifier to reclassify with\n";
    return kExitFailure;
  }
  CMailboxSet set(settings);
  set.SetClassifier(classifier);
  set.LoadAll();
  const int index = set.Find(request.name);
  if (index < 0) {
    err << "qm_mailfilter: there is no mailbox named \"" << request.name << "\"\n";
    return kExitFailure;
  }
  CMailbox& main = *set.Get(index);
  const bool inDustbox = request.dustbox || request.action == MailAction::Restore;
  CMailbox& mailbox = inDustbox ? *main.Dustbox() : main;
  if (request.action == MailAction::List) {
    ListMail(mailbox, request.json, out);
    return kExitOk;
  }

  std::vector<int> numbers;
  if (!CheckNumbers(request, mailbox, numbers, err)) return kExitFailure;
  const int status = ChangeMail(request, mailbox, numbers, err);
  // Whatever part of the change took place is kept.
  if (!set.SaveAll(index)) {
    err << "qm_mailfilter: the marks of " << main.Name() << " could not be saved\n";
    return kExitFailure;
  }
  return status;
}

}  // namespace qm
