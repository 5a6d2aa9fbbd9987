#include "cli/list_command.h"

#include <CLI/CLI.hpp>
#include <ostream>

#include "app/classification.h"
#include "app/settings.h"
#include "cli/workdir.h"

namespace qm {

std::pair<CLI::App*, CLI::App*> AddListCommands(CLI::App& app, ListRequest& request) {
  auto addList = [&app, &request](const char* name, bool bad, const char* help) {
    CLI::App* list = app.add_subcommand(name, help);
    list->require_subcommand(1);
    auto verb = [list, &request, bad](const char* verbName, ListAction action, const char* text) {
      CLI::App* sub = list->add_subcommand(verbName, text);
      sub->parse_complete_callback([&request, action, bad] {
        request.action = action;
        request.bad = bad;
      });
      return sub;
    };
    verb("add", ListAction::Add, "Add a sender address (or the start of addresses)")
        ->add_option("ADDRESS", request.address, "Address; empty or absent: the empty address");
    verb("remove", ListAction::Remove, "Remove an address")
        ->add_option("ADDRESS", request.address, "Address; empty or absent: the empty address");
    verb("list", ListAction::List, "The addresses, one a line, in byte order");
    return list;
  };
  return {addList("friend", false, "The friend list: senders whose mail is friend mail"),
          addList("bad", true, "The bad list: senders whose mail is bad mail")};
}

int RunListCommand(const ListRequest& request, CSettings& settings, CClassification& lists,
                   const std::string& directory, std::ostream& out, std::ostream& err) {
  CSenderLists& senders = lists.Lists();
  const std::string& address = request.address;
  switch (request.action) {
    case ListAction::List: {
      if (request.bad && senders.AddEmptyAddrToBadlist()) out << "\n";
      for (const std::string& entry :
           request.bad ? senders.BadEntries() : senders.FriendEntries()) {
        out << entry << "\n";
      }
      return kExitOk;
    }
    case ListAction::Add:
      if (address.empty()) {
        if (!request.bad) {
          err << "qm_mailfilter: 空のメールアドレスをフレンドリストに追加することは出来ません。\n";
          return kExitFailure;
        }
        settings.Set(settings::AddEmptyAddrToBadlist, 1);
        return kExitOk;
      }
      request.bad ? senders.AddBad(address) : senders.AddFriend(address);
      break;
    case ListAction::Remove:
      if (address.empty() && request.bad) {
        settings.Set(settings::AddEmptyAddrToBadlist, 0);
        return kExitOk;
      }
      if (!(request.bad ? senders.RemoveBad(address) : senders.RemoveFriend(address))) {
        err << "qm_mailfilter: \"" << address << "\" is not in the "
            << (request.bad ? "bad" : "friend") << " list\n";
        return kExitFailure;
      }
      break;
  }
  if (!lists.SaveLists(directory)) {
    err << "qm_mailfilter: the lists could not be saved\n";
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace qm
