#include "demo/demo.h"

#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "app/application.h"
#include "app/settings.h"
#include "classify/sender_lists.h"
#include "cli/headless.h"
#include "cli/mail_rows.h"
#include "cli/mailbox_settings.h"
#include "cli/workdir.h"
#include "demo/demo_dns.h"
#include "demo/demo_samples.h"
#include "mailboxes/mailbox_set.h"
#include "message/mail_mark.h"
#include "message/stored_form.h"
#include "platform/file_io.h"
#include "platform/privacy.h"
#include "platform/socket.h"

namespace qm {

namespace {

constexpr const char* kFriends[] = {"hanako@mail.example.jp", "mom@family.example",
                                    // A start of an address covers every address it begins.
                                    "kenji.sato@"};
constexpr const char* kBads[] = {"deals@shady-outlet.example", "noreply@lottery-win.example"};

std::string ErrorText(int error) { return std::generic_category().message(error); }

// As the desktop judges it.
bool DisplayAvailable() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

// A new private directory: the one named, which must be new or empty, or a fresh one.
std::string MakeDirectory(const std::string& named, std::ostream& err) {
  int error = 0;
  if (named.empty()) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const bool useRuntime = runtime != nullptr && runtime[0] == '/' &&
                            CheckDirectoryTrust(runtime) == DirectoryTrust::Private;
    const std::string parent = useRuntime ? runtime : "/tmp";
    std::string made = CreatePrivateTemporaryDirectory(parent, "qm_mailfilter-demo.", &error);
    if (made.empty()) {
      err << "qm_mailfilter demo: cannot create a directory in " << parent << ": "
          << ErrorText(error) << '\n';
    }
    return made;
  }
  std::error_code status;
  std::filesystem::path path = std::filesystem::absolute(named, status);
  if (std::filesystem::exists(path, status)) {
    if (!std::filesystem::is_directory(path, status) || !std::filesystem::is_empty(path, status) ||
        status) {
      err << "qm_mailfilter demo: " << named
          << " is not an empty directory; name a new one, or none for a fresh one\n";
      return {};
    }
  } else if (!CreatePrivateDirectories(path.string(), &error)) {
    err << "qm_mailfilter demo: cannot create " << named << ": " << ErrorText(error) << '\n';
    return {};
  }
  return path.string();
}

// The demo's settings, mailboxes and lists in the current directory, which `session` holds.
bool FillDirectory(const std::string& directory, std::uint16_t popPort, std::uint16_t dnsPort,
                   std::ostream& err) {
  CSettings settings(directory);
  bool ok =
      settings.Set(settings::Port, popPort) && settings.Set(settings::BindAddress, "127.0.0.1");
  CProfile& profile = settings.Profile();
  for (std::size_t zone = 0; zone < kDemoZones.size(); ++zone) {
    const std::string key = "Zone" + std::to_string(zone);
    // No blocklist rather than a public one when the demo's own server is missing.
    ok = profile.WriteString(settings::kBlocklistSection, key,
                             dnsPort != 0 ? kDemoZones[zone] : "") &&
         ok;
  }
  if (dnsPort != 0) {
    const std::string server = "127.0.0.1:" + std::to_string(dnsPort);
    ok = settings.Set(settings::DnsServers, server.c_str()) &&
         settings.Set(settings::DnsTimeout, 2) && ok;
  }

  // The samples are the mail waiting on the "remote" server: the source mailbox adopts them.
  std::string stored;
  for (const DemoSample& sample : DemoSamples()) stored += ToStoredForm(sample.text);
  int error = 0;
  if (!ok || !ReplaceFileContent(std::string(kDemoSourceMailbox) + ".mbx", stored, &error)) {
    err << "qm_mailfilter demo: cannot write the demo's files in " << directory << '\n';
    return false;
  }

  CMailboxSet set(profile);
  set.LoadAll();
  if (set.Add(kDemoMailbox) < 0 || set.Add(kDemoSourceMailbox) < 0 || !set.SaveList()) {
    err << "qm_mailfilter demo: cannot create the demo's mailboxes in " << directory << '\n';
    return false;
  }
  const std::string password = kDemoPassword;
  const std::vector<std::string> demo = {
      "server=127.0.0.1", "port=" + std::to_string(popPort), std::string("user=") + kDemoSourceUser,
      "password=" + password, std::string("localUser=") + kDemoUser, "localPassword=" + password,
      // The samples stay in the source mailbox, so every start shows the same mail.
      "serverDeletion=keep", "timerInterval=0",
      // Spam goes to the dustbox hidden; bad mail stays in the list, hidden from the client.
      "dustboxSpam=1", "hideSpam=1", "dustboxBad=0", "hideBad=1", "notifyBad=0", "notifySpam=0"};
  const std::vector<std::string> source = {std::string("localUser=") + kDemoSourceUser,
                                           "localPassword=" + password, "timerInterval=0",
                                           "onDemand=0"};
  std::ostringstream quiet;
  if (ChangeMailboxSettings(set, set.Find(kDemoMailbox), demo, DeletedHereAnswer::Delete, quiet,
                            err) != kExitOk ||
      ChangeMailboxSettings(set, set.Find(kDemoSourceMailbox), source, DeletedHereAnswer::Delete,
                            quiet, err) != kExitOk) {
    return false;
  }

  CSenderLists lists;
  for (const char* address : kFriends) lists.AddFriend(address);
  for (const char* address : kBads) lists.AddBad(address);
  if (!lists.SaveChanged(directory)) {
    err << "qm_mailfilter demo: cannot write the sender lists in " << directory << '\n';
    return false;
  }
  return true;
}

void Introduce(const std::string& directory, std::uint16_t popPort, std::uint16_t dnsPort,
               bool headless, std::ostream& out) {
  const std::string workdir = "qm_mailfilter --workdir " + directory;
  out << "qm_mailfilter demo: working directory " << directory << "\n"
      << "  " << DemoSamples().size() << " sample messages wait in the mailbox \""
      << kDemoSourceMailbox << "\", which the program's own POP3 server serves; the mailbox \""
      << kDemoMailbox << "\" fetches them from there now and classifies them:\n"
      << "  friend list " << kFriends[0] << ", " << kFriends[1] << ", " << kFriends[2]
      << "; bad list " << kBads[0] << ", " << kBads[1] << ";\n";
  if (dnsPort != 0) {
    out << "  blocklists " << kDemoZones[0] << ", " << kDemoZones[1] << ", " << kDemoZones[2]
        << ", " << kDemoZones[3] << " answered by dnsmasq on 127.0.0.1:" << dnsPort << ".\n";
  } else {
    out << "  no blocklists.\n";
  }
  out << "  Mail client (POP3, no encryption): server 127.0.0.1, port " << popPort << ", user "
      << kDemoUser << ", password " << kDemoPassword << ": it gets only the mail that passed.\n";
  if (headless) {
    out << "  After Ctrl-C the verdicts stay there to look at: " << workdir << " mail list "
        << kDemoMailbox << " (and --dustbox).\n";
  } else {
    out << "  The window shows the mailbox \"" << kDemoMailbox
        << "\"; its dustbox holds the spam. End the demo with 終了 in the tray menu.\n";
  }
  out.flush();
}

std::string ReasonText(unsigned reason) {
  switch (reason) {
    case ReasonFriendList:
      return "friend list";
    case ReasonBadList:
      return "bad list";
    case ReasonUrlHostZone:
      return std::string("link host in ") + kDemoZones[0];
    case ReasonDomainZone:
      return std::string("sender domain in ") + kDemoZones[3];
    case ReasonRelayZoneA:
      return std::string("relay in ") + kDemoZones[1];
    case ReasonRelayZoneB:
      return std::string("relay in ") + kDemoZones[2];
    default:
      return "no rule fired";
  }
}

// What the first retrieval made of the samples, for a user who has no window to look at.
void ReportRetrieval(CApplication& application, std::ostream& out) {
  const int index = application.Mailboxes().Find(kDemoMailbox);
  CMailbox* mailbox = application.Mailboxes().Get(index);
  if (mailbox == nullptr) return;
  int served = 0;
  std::ostringstream lines;
  for (CMailbox* box : {mailbox, mailbox->Dustbox()}) {
    if (box == nullptr) continue;
    for (int n = 1; n <= box->MessageCount(); ++n) {
      const MailRow row = MakeMailRow(*box, n);
      const bool passed = !row.hidden && box == mailbox;
      served += passed ? 1 : 0;
      std::string verdict(VerdictName(row.verdict));
      verdict.resize(7, ' ');
      std::string where = passed ? "served" : box == mailbox ? "hidden" : "dustbox";
      where.resize(8, ' ');
      std::string reason = ReasonText(row.reason);
      reason.resize(37, ' ');
      lines << "  " << verdict << where << reason << row.subject << '\n';
    }
  }
  out << "qm_mailfilter demo: the first retrieval fetched and classified the samples; the "
         "mailbox \""
      << kDemoMailbox << "\" and its dustbox hold:\n"
      << lines.str() << "  A mail client logging in as " << kDemoUser << " gets the " << served
      << " messages marked \"served\". Stop with Ctrl-C.\n";
  out.flush();
}

}  // namespace

int RunDemo(const DemoOptions& options, std::ostream& out, std::ostream& err,
            const std::function<int()>& desktop) {
  const std::string directory = MakeDirectory(options.directory, err);
  if (directory.empty() || !EnterWorkingDirectory(directory, err)) return kExitFailure;

  CDemoDns dns;
  const std::uint16_t dnsPort = dns.Start(directory, err) ? dns.Port() : 0;
  const std::uint16_t popPort = FreeLoopbackPort();
  {
    // Nobody else may work in the directory while it is filled.
    CWorkdirSession session(err);
    if (const int status = session.Open(); status != kExitOk) return status;
    if (popPort == 0 || !FillDirectory(directory, popPort, dnsPort, err)) return kExitFailure;
  }

  const bool headless = options.headless || !desktop || !DisplayAvailable();
  Introduce(directory, popPort, dnsPort, headless, out);
  const int status =
      headless ? RunHeadless([&out](CApplication& program) { ReportRetrieval(program, out); })
               : desktop();
  dns.Stop();
  out << "qm_mailfilter demo: ended; the demo directory stays: " << directory << '\n';
  return status;
}

}  // namespace qm
