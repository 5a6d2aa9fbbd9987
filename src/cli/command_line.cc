#include "cli/command_line.h"

#include <CLI/CLI.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "app/classification.h"
#include "app/settings.h"
#include "cli/headless.h"
#include "cli/inspect.h"
#include "cli/list_command.h"
#include "cli/mail_command.h"
#include "cli/mailbox_command.h"
#include "cli/retrieve_command.h"
#include "cli/workdir.h"

namespace qm {

int RunCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                   const std::function<int()>& desktop, const DemoRunner& demo) {
  CLI::App app{"Quillmoor Mail Filter: fetches, classifies and serves your POP3 mail",
               "qm_mailfilter"};
  app.set_version_flag("--version", "qm_mailfilter " QM_VERSION);
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
  bool classify = false;
  CLI::App* inspect =
      app.add_subcommand("inspect", "Show what the filter reads out of message files (JSON Lines)");
  inspect->add_flag("--raw", raw,
                    "Take the files as stored: CR LF, dot-stuffed, \".\" line at end");
  inspect->add_flag("--classify", classify,
                    "Also classify: verdict, reason and every blocklist look-up (asks DNS)");
  inspect->add_option("FILE", inspectFiles, "Message files")->required();

  MailboxRequest mailboxRequest;
  CLI::App* mailbox = AddMailboxCommand(app, mailboxRequest);
  MailRequest mailRequest;
  CLI::App* mail = AddMailCommand(app, mailRequest);
  ListRequest listRequest;
  const auto [friendList, badList] = AddListCommands(app, listRequest);
  RetrieveRequest retrieveRequest;
  CLI::App* retrieve = AddRetrieveCommand(app, retrieveRequest);
  std::string demoDirectory;
  CLI::App* demoCommand = app.add_subcommand(
      "demo",
      "Try the filter without an account of your own: sample mail fetched from the program's own "
      "POP3 server, classified and served, in a new working directory");
  demoCommand
      ->add_option("DIR", demoDirectory,
                   "A new or empty directory (default: a fresh one in $XDG_RUNTIME_DIR or /tmp)")
      ->type_name("DIR");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error, out, err) == 0 ? kExitOk : kExitFailure;
  }

  if (*demoCommand) {
    if (!demo) {
      err << "qm_mailfilter: this build has no demo\n";
      return kExitFailure;
    }
    if (!demoDirectory.empty() && !workdir.empty() && demoDirectory != workdir) {
      err << "qm_mailfilter: demo: name the directory once (DIR or --workdir)\n";
      return kExitFailure;
    }
    return demo(demoDirectory.empty() ? workdir : demoDirectory, headless);
  }
  // Reading message files needs no working directory; everything else keeps its state there.
  if (*inspect && !classify) {
    return RunInspect(inspectFiles, raw ? InputForm::Stored : InputForm::Plain, out, err);
  }
  const bool keepsState =
      headless || *inspect || *mailbox || *mail || *friendList || *badList || *retrieve || desktop;
  if (!keepsState) {
    out << app.help();
    return kExitOk;
  }
  if (!EnterWorkingDirectory(workdir, err)) return kExitFailure;

  if (headless) return RunHeadless();
  if (*inspect) {
    const InputForm form = raw ? InputForm::Stored : InputForm::Plain;
    // Reads the lists and the blocklist settings of the working directory; changes nothing.
    CSettings settings;
    CClassification classification(settings);
    classification.Load({}, settings);
    return RunInspect(inspectFiles, form, out, err, &classification);
  }
  if (*mailbox || *mail || *friendList || *badList || *retrieve) {
    CWorkdirSession session(err);
    if (const int status = session.Open(); status != kExitOk) return status;
    const std::string directory = session.Directory().string();
    CSettings settings(directory);
    CClassification classification(settings);
    classification.Load(directory, settings);
    int status = kExitOk;
    if (*retrieve) {
      session.ShowProgress(true);
      status = RunRetrieveCommand(retrieveRequest, settings, classification, err);
    } else if (*mailbox) {
      status = RunMailboxCommand(mailboxRequest, settings.Profile(), out, err);
    } else if (*mail) {
      status =
          RunMailCommand(mailRequest, settings.Profile(), out, err, &classification.Classifier());
    } else {
      status = RunListCommand(listRequest, settings, classification, directory, out, err);
    }
    out.flush();
    return status;
  }
  return desktop();
}

}  // namespace qm
