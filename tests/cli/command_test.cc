// qm_mailfilter's command line run in-process on a scratch working directory.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "app/settings.h"
#include "cli/command_line.h"
#include "cli/inspect.h"
#include "cli/workdir.h"
#include "mailboxes/mailbox_set.h"
#include "platform/profile.h"
#include "platform/report.h"
#include "support/file_bytes.h"
#include "support/scratch_directory.h"
#include "support/words.h"

namespace qm {
namespace {

using namespace std::string_literals;
using Args = std::vector<std::string>;
using P = std::filesystem::perms;

class CommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    std::filesystem::current_path(dir.Path());  // where in-process mailboxes are looked for
  }
  void TearDown() override { std::filesystem::current_path(previous); }

  // `qm_mailfilter --workdir DIR args...`, or the command line `words` then args.
  int Run(const Args& args, Args words = {}) {
    if (words.empty()) words = {"qm_mailfilter", "--workdir", dir.Path()};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<const char*> argv;
    for (const std::string& word : words) argv.push_back(word.c_str());
    std::ostringstream o, e;
    const int status = RunCommandLine(static_cast<int>(argv.size()), argv.data(), o, e);
    err = e.str();
    EXPECT_EQ(CurrentReporter(), nullptr);  // none left pointing at the finished session
    return status;
  }
  void Ok(const Args& args) { EXPECT_EQ(std::to_string(Run(args)) + err, "0"); }
  std::map<std::string, std::string> Snapshot() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
      const std::string name = entry.path().filename().string();
      if (name == "qm_mailfilter.log" || name == "qm_mailfilter.lock") continue;
      files[name] = entry.is_directory() ? "(dir)" : test::ReadFileBytes(dir.File(name));
    }
    return files;
  }
  // Refused with `message`, and nothing changed.
  void Refused(const Args& args, const std::string& message) {
    SCOPED_TRACE(args[1] + " " + args.back());
    const auto before = Snapshot();
    EXPECT_EQ(Run(args), 1);
    EXPECT_NE(err.find(message), std::string::npos) << err;
    EXPECT_EQ(Snapshot(), before);
  }

  std::filesystem::path previous = std::filesystem::current_path();
  ScratchDirectory dir;
  std::string err;
};

// A working directory that others could fill with settings and lists of their choosing.
TEST_F(CommandTest, UnsafeWorkingDirectoriesAreNamedAndLeftAlone) {
  const std::tuple<const char*, P, const char*> cases[] = {
      {"group", P::owner_all | P::group_all, "other users can write to"},
      {"like_tmp", P::all | P::sticky_bit, "other users can write to"},
      {"another_users", P::owner_all, "belongs to another user"}};
  for (const auto& [name, perms, message] : cases) {
    const std::filesystem::path other = dir.File(name);
    std::filesystem::create_directory(other);
    std::filesystem::permissions(other, perms);
    if (name[0] == 'a' && (geteuid() != 0 || chown(other.c_str(), 65534, 65534) != 0))
      continue;  // only root can give a directory away
    EXPECT_EQ(Run({"mailbox", "add", "a"}, {"qm_mailfilter", "--workdir", other.string()}), 1);
    EXPECT_NE(err.find(message), std::string::npos) << err;
    EXPECT_FALSE(std::filesystem::exists(other / "a.mbx"));
  }
}

TEST(DefaultWorkingDirectoryTest, FollowsTheEnvironment) {
  // QM_WORKDIR, XDG_DATA_HOME (a relative one is ignored), HOME, and the result.
  const std::array<const char*, 4> cases[] = {{"/w", "/x", "/h", "/w"},
                                              {"rel", nullptr, "/h", "rel"},
                                              {"", "/x", "/h", "/x/qm_mailfilter"},
                                              {nullptr, "x", "/h", "/h/.local/share/qm_mailfilter"},
                                              {nullptr, "", "/h", "/h/.local/share/qm_mailfilter"},
                                              {nullptr, nullptr, "", ""}};
  for (const auto& [qm, xdg, home, expected] : cases)
    EXPECT_EQ(DefaultWorkingDirectory(qm, xdg, home), expected);
}

// Mailbox a holds s1 ... s5 (s2 read, s3 hidden), its dustbox d1 (hidden, read) and d2.
class MailCommandTest : public CommandTest {
 protected:
  void SetUp() override {
    CommandTest::SetUp();
    CProfile profile(settings::kFileName);
    CMailboxSet set(profile);
    ASSERT_EQ(set.Add("a") * 10 + set.SaveList(), 1);
    CMailbox &a = *set.Get(0), &dustbox = *a.Dustbox();
    for (const char* subject : {"s1", "s2", "s3", "s4", "s5", "d1", "d2"}) {
      CMailMessage message;
      message.Parse("Subject: " + std::string(subject) + "\r\n\r\nbody\r\n.\r\n");
      ASSERT_GT((subject[0] == 'd' ? dustbox : a).AppendMessage(message), 0);
    }
    a.SetOpened(2, true);
    a.SetHidden(3);
    dustbox.SetHidden(1);
    dustbox.SetOpened(1, true);
    ASSERT_EQ(set.SaveAll(0), 1);
    Ok({"mail", "list", "a"});  // takes the lock file into the directory
    before = Snapshot();
  }
  // Each message as its subject, then "h" when hidden and "o" when read; "|" before the dustbox.
  std::string State() {
    CProfile profile(settings::kFileName);
    CMailboxSet set(profile);
    set.LoadAll();
    std::string state;
    for (const CMailbox* box : {set.Get(0), set.Get(0)->Dustbox()}) {
      state += box->IsDustbox() ? "|" : "";
      for (int n = 1; n <= box->MessageCount(); ++n)
        state += " " + box->Summary(n).subject + (box->Mark(n).Hidden() ? "h" : "") +
                 (box->Mark(n).Opened() ? "o" : "");
    }
    return state;
  }

  std::map<std::string, std::string> before;
};

TEST_F(MailCommandTest, ChangesTheMailboxAndSavesIt) {
  const std::pair<const char*, const char*> cases[] = {
      // clang-format off
      {"hide a 1 3 1", " s1h s2o s3h s4 s5| d1ho d2"}, {"unhide a 3", " s1 s2o s3 s4 s5| d1ho d2"}, {"read a 5 1", " s1o s2o s3h s4 s5o| d1ho d2"},
      {"unread a 2", " s1 s2 s3h s4 s5| d1ho d2"}, {"unhide --dustbox a 1", " s1 s2o s3h s4 s5| d1o d2"}, {"read --dustbox a 2", " s1 s2o s3h s4 s5| d1ho d2o"},
      {"delete a 2 4", " s1 s3h s5| d1ho d2 s4 s2o"}, {"delete --purge a 4 2", " s1 s3h s5| d1ho d2"}, {"delete --dustbox a 1", " s1 s2o s3h s4 s5| d2"},
      {"restore a 1 2", " s1 s2o s3h s4 s5 d2 d1ho|"}, {"restore --dustbox a 2", " s1 s2o s3h s4 s5 d2| d1ho"},
      // clang-format on
  };
  for (const auto& [args, state] : cases) {  // several numbers: the highest first
    for (const auto& [name, bytes] : before) test::WriteFileBytes(dir.File(name), bytes);
    Ok(test::Words("mail "s + args));
    EXPECT_EQ(State(), state) << args;
  }
}

// What the store reports reaches the log, a message on one line whatever its line breaks.
TEST_F(MailCommandTest, ReportsReachTheLog) {
  test::WriteFileBytes(dir.File("a.cfg"), "\x05short");
  Ok({"mailbox", "list"});
  std::ostringstream errors;
  {
    CWorkdirSession session(errors);
    ASSERT_EQ(session.Open(), kExitOk);
    session.ShowMessage("one\r\ntwo\nthree");
  }
  EXPECT_EQ(errors.str(), "qm_mailfilter: one\r\ntwo\nthree\n");
  const std::string log = test::ReadFileBytes(dir.File("qm_mailfilter.log"));
  EXPECT_NE(log.find("a.cfg ) is damaged"), std::string::npos) << log;
  EXPECT_NE(log.find("\tAPL : one  two three\r\n"), std::string::npos) << log;
}

// Mailbox a logs in as u1 with dustbox access as d1; b has no local account.
TEST_F(MailCommandTest, RefusalsExplainAndChangeNothing) {
  Ok({"mailbox", "add", "b"});
  Ok({"mailbox", "set", "a", "localUser=u1", "localPassword=p", "dustboxAccess=1", "dustboxUser=d1",
      "dustboxPassword=dp"});
  std::filesystem::create_directory(dir.File("broken.mbx"));
  const std::pair<const char*, const char*> cases[] = {
      // clang-format off
      {"mailbox add a", "このメールボックスはすでに使用中です。"}, {"mailbox add a_dustbox", "このメールボックスはすでに使用中です。"},
      {"mailbox add broken", "メールボックスを作れません。"}, {"mailbox add ../up", "may not contain"}, {"mailbox add x:y", "may not contain"},
      {"mailbox remove zzz", "no mailbox named \"zzz\""}, {"mailbox frobnicate", "A subcommand is required"}, {"mailbox up a", "a is already the first mailbox"},
      {"mailbox down b", "b is already the last mailbox"}, {"mail hide a 0", "a has no message \"0\" (it holds 5)"}, {"mail delete a 1 6", "a has no message \"6\""},
      {"mail read a x", "a has no message \"x\""}, {"mail read a +1", "a has no message \"+1\""}, {"mail read a 99999999999999999999", "has no message"},
      {"mail hide a", "N is required"}, {"mail delete --dustbox a 3", "the dustbox of a has no message \"3\""}, {"mail hide zzz 1", "no mailbox named \"zzz\""},
      {"mail restore a 1 3", "the dustbox of a has no message \"3\""}, {"mailbox set b port=0", "port must be a port number"}, {"mailbox set b port=65536", "port must be"},
      {"mailbox set b timerInterval=29", "timerInterval must be 0"}, {"mailbox set b timerInterval=86401", "timerInterval must be 0"},
      {"mailbox set b dustboxLimit=-1", "dustboxLimit must be"}, {"mailbox set b dustboxLimit=4294967296", "dustboxLimit must be"},
      {"mailbox set b hideSpam=yes", "hideSpam must be 0 or 1"}, {"mailbox set b serverDeletion=never", "serverDeletion must be keep"},
      {"mailbox set b colour=red", "unknown setting \"colour\""}, {"mailbox set b server", "expected KEY=VALUE"}, {"mailbox set b port=1 port=2", "port is given twice"},
      {"mailbox set b security=tls auth=xoauth2", "needs a tokenCommand"}, {"mailbox set b localUser=u1 localPassword=x", "already used by mailbox a"},
      {"mailbox set b localUser=d1", "already used by mailbox a"}, {"mailbox set b dustboxAccess=1 dustboxUser=u1 dustboxPassword=x", "already used by"},
      {"mailbox set b localUser=me dustboxAccess=1 dustboxUser=me dustboxPassword=x", "dustboxUser must differ from localUser"},
      {"mailbox set b dustboxAccess=1", "needs a dustboxUser and a dustboxPassword"}, {"mailbox set b dustboxUser=x", "need dustboxAccess=1"},
      {"mailbox set b serverDeletion=keep --deleted-here=maybe", "deleted-here"},
      {"mailbox set b server=pop.example.org notifyBad=2", "notifyBad must be"},  // nothing gets through beside a bad one
      // clang-format on
  };
  for (const auto& [words, message] : cases) Refused(test::Words(words), message);
  const std::pair<Args, const char*> withBlanks[] = {
      // clang-format off
      {{"mailbox", "add", "  "}, "may not be empty"}, {{"mailbox", "set", "b", "password=a\r\nQUIT"}, "may not contain line breaks"},
      {{"mailbox", "set", "b", "auth=xoauth2", "tokenCommand=oama access x"}, "xoauth2 needs security=tls or"},
      {{"mailbox", "set", "b", "security=tls", "tokenCommand=pass x | head -1"}, "its command line uses |"},
      {{"mailbox", "set", "b", "passwordCommand=secret-tool 'lookup"}, "its command line has a single quote"},
      // clang-format on
  };
  for (const auto& [args, message] : withBlanks) Refused(args, message);
}

// A message file reads as its stored form does; unreadable files are named, the others still come.
TEST_F(CommandTest, InspectReadsBothFormsAndGoesPastUnreadableFiles) {
  test::WriteFileBytes(dir.File("m.eml"), "Subject: =?ISO-2022-JP?B?GyRCJCIbKEI=?=\n\n.dot\n");
  test::WriteFileBytes(dir.File("raw.eml"),
                       "Subject: =?ISO-2022-JP?B?GyRCJCIbKEI=?=\r\n\r\n..dot\r\n.\r\n");
  test::WriteFileBytes(dir.File("empty.eml"), "");
  std::ostringstream plain, stored, e;
  const Args files = {dir.File("m.eml"), dir.File("missing.eml"), dir.Path(),
                      dir.File("empty.eml")};
  EXPECT_EQ(RunInspect(files, InputForm::Plain, plain, e), 1);
  EXPECT_EQ(RunInspect({dir.File("raw.eml")}, InputForm::Stored, stored, e), 0);
  const std::string records = plain.str(), record = stored.str();
  const std::string first = records.substr(0, records.find('\n') + 1);
  EXPECT_EQ(first.substr(first.find(",\"headerLength\"")),
            record.substr(record.find(",\"headerLength\"")));
  EXPECT_NE(records.rfind(",\"headerLength\":0,\"fields\":[],"), std::string::npos) << records;
  EXPECT_NE(e.str().find(dir.File("missing.eml")), std::string::npos) << e.str();
  EXPECT_NE(e.str().find(dir.Path() + ":"), std::string::npos) << e.str();
}

}  // namespace
}  // namespace qm
