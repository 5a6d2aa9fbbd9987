#include "cli/command_line.h"

#include <CLI/CLI.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "app/settings.h"
#include "cli/headless.h"
#include "cli/inspect.h"
#include "cli/mail_command.h"
#include "cli/mailbox_command.h"
#include "cli/workdir.h"

namespace qm {

int RunCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{"Quillmoor Mail Filter: fetches, classifies and serves your POP3 mail",
               "qm_mailfilter"};
  app.require_subcommand(0, 1);
  // --workdir may also follow the sub-command.
  app.fallthrough();

  std::string workdir;
  app.add_option("--workdir", workdir, "Work in DIR: everything the program keeps lies there")
      ->type_name("DIR");
  bool headless = false;
  app.add_flag("--headless", headless,
               "Run without a window: the local POP3 server and retrievals, until SIGTERM");

  std::vector<std::string> inspectFiles;
  bool raw = false;
  CLI::App* inspect =
      app.add_subcommand("inspect", "Show what the filter reads out of message files (JSON Lines)");
  inspect->add_flag("--raw", raw,
                    "Take the files as stored: CR LF, dot-stuffed, \".\" line at end");
  inspect->add_option("FILE", inspectFiles, "Message files")->required();

  MailboxRequest mailboxRequest;
  CLI::App* mailbox = AddMailboxCommand(app, mailboxRequest);
  MailRequest mailRequest;
  CLI::App* mail = AddMailCommand(app, mailRequest);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error, out, err) == 0 ? kExitOk : kExitFailure;
  }

  if (!workdir.empty() && !EnterWorkingDirectory(workdir, err)) return kExitFailure;

  if (headless) return RunHeadless();
  if (*inspect) {
    return RunInspect(inspectFiles, raw ? InputForm::Stored : InputForm::Plain, out, err);
  }
  if (*mailbox || *mail) {
    CWorkdirSession session(err);
    if (const int status = session.Open(); status != kExitOk) return status;
    CSettings settings(session.Directory().string());
    const int status = *mailbox ? RunMailboxCommand(mailboxRequest, settings.Profile(), out, err)
                                : RunMailCommand(mailRequest, settings.Profile(), out, err);
    out.flush();
    return status;
  }
  out << app.help();
  return kExitOk;
}

}  // namespace qm
