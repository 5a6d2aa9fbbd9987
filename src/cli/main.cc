#include <CLI/CLI.hpp>
#include <iostream>
#include <string>
#include <vector>

#include "cli/inspect.h"

int main(int argc, char** argv) {
  CLI::App app{"Quillmoor Mail Filter: fetches, classifies and serves your POP3 mail",
               "qm_mailfilter"};
  app.require_subcommand(0, 1);

  std::vector<std::string> inspectFiles;
  bool raw = false;
  CLI::App* inspect =
      app.add_subcommand("inspect", "Show what the filter reads out of message files (JSON Lines)");
  inspect->add_flag("--raw", raw,
                    "Take the files as stored: CR LF, dot-stuffed, \".\" line at end");
  inspect->add_option("FILE", inspectFiles, "Message files")->required();

  CLI11_PARSE(app, argc, argv);

  if (*inspect) {
    return qm::RunInspect(inspectFiles, raw ? qm::InputForm::Stored : qm::InputForm::Plain,
                          std::cout, std::cerr);
  }
  std::cout << app.help();
  return 0;
}
