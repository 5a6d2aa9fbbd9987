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

namespace qm {
namespace {

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
  void Ok(const Args& args) {
    ASSERT_EQ(Run(args), 0) << err;
    EXPECT_EQ(err, "");
  }
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
    ASSERT_EQ(set.Add("a"), 0);
    ASSERT_EQ(set.SaveList(), 1);
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
      for (int n = 1; n <= box->MessageCount(); ++n) {
        state += " " + box->Summary(n).subject + (box->Mark(n).Hidden() ? "h" : "") +
                 (box->Mark(n).Opened() ? "o" : "");
      }
    }
    return state;
  }

  std::map<std::string, std::string> before;
};

TEST_F(MailCommandTest, ChangesTheMailboxAndSavesIt) {
  const struct {
    Args args;
    const char* state;
  } cases[] = {
      // clang-format off
      {{"mail", "hide", "a", "1", "3", "1"}, " s1h s2o s3h s4 s5| d1ho d2"}, {{"mail", "unhide", "a", "3"}, " s1 s2o s3 s4 s5| d1ho d2"},
      {{"mail", "read", "a", "5", "1"}, " s1o s2o s3h s4 s5o| d1ho d2"}, {{"mail", "unread", "a", "2"}, " s1 s2 s3h s4 s5| d1ho d2"},
      {{"mail", "unhide", "--dustbox", "a", "1"}, " s1 s2o s3h s4 s5| d1o d2"},
      {{"mail", "read", "--dustbox", "a", "2"}, " s1 s2o s3h s4 s5| d1ho d2o"},
      {{"mail", "delete", "a", "2", "4"}, " s1 s3h s5| d1ho d2 s4 s2o"},  // the highest number first
      {{"mail", "delete", "--purge", "a", "4", "2"}, " s1 s3h s5| d1ho d2"},
      {{"mail", "delete", "--dustbox", "a", "1"}, " s1 s2o s3h s4 s5| d2"},
      {{"mail", "restore", "a", "1", "2"}, " s1 s2o s3h s4 s5 d2 d1ho|"},
      {{"mail", "restore", "--dustbox", "a", "2"}, " s1 s2o s3h s4 s5 d2| d1ho"},
      // clang-format on
  };
  for (const auto& c : cases) {
    for (const auto& [name, bytes] : before) test::WriteFileBytes(dir.File(name), bytes);
    Ok(c.args);
    EXPECT_EQ(State(), c.state) << c.args[1];
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

// Mailbox a holds the messages above, logs in as u1 with dustbox access as d1; b has no local
// account.
TEST_F(MailCommandTest, RefusalsExplainAndChangeNothing) {
  Ok({"mailbox", "add", "b"});
  Ok({"mailbox", "set", "a", "localUser=u1", "localPassword=p", "dustboxAccess=1", "dustboxUser=d1",
      "dustboxPassword=dp"});
  std::filesystem::create_directory(dir.File("broken.mbx"));
  const std::pair<Args, const char*> cases[] = {
      // clang-format off
      {{"mailbox", "add", "a"}, "このメールボックスはすでに使用中です。"}, {{"mailbox", "add", "a_dustbox"}, "このメールボックスはすでに使用中です。"},
      {{"mailbox", "add", "broken"}, "メールボックスを作れません。"}, {{"mailbox", "add", "  "}, "may not be empty"}, {{"mailbox", "add", "../up"}, "may not contain"},
      {{"mailbox", "add", "x:y"}, "may not contain"}, {{"mailbox", "remove", "zzz"}, "no mailbox named \"zzz\""}, {{"mailbox", "frobnicate"}, "A subcommand is required"},
      {{"mailbox", "up", "a"}, "a is already the first mailbox"}, {{"mailbox", "down", "b"}, "b is already the last mailbox"},
      {{"mail", "hide", "a", "0"}, "a has no message \"0\" (it holds 5)"}, {{"mail", "delete", "a", "1", "6"}, "a has no message \"6\""},
      {{"mail", "read", "a", "x"}, "a has no message \"x\""}, {{"mail", "read", "a", "+1"}, "a has no message \"+1\""},
      {{"mail", "read", "a", "99999999999999999999"}, "has no message"}, {{"mail", "hide", "a"}, "N is required"},
      {{"mail", "delete", "--dustbox", "a", "3"}, "the dustbox of a has no message \"3\""},
      {{"mail", "restore", "a", "1", "3"}, "the dustbox of a has no message \"3\""}, {{"mail", "hide", "zzz", "1"}, "no mailbox named \"zzz\""},
      // clang-format on
  };
  for (const auto& [args, message] : cases) Refused(args, message);
  // `mailbox set b` with these settings.
  const std::pair<Args, const char*> settings[] = {
      // clang-format off
      {{"port=0"}, "port must be a port number"}, {{"port=65536"}, "port must be"}, {{"timerInterval=29"}, "timerInterval must be 0"},
      {{"timerInterval=86401"}, "timerInterval must be 0"}, {{"dustboxLimit=-1"}, "dustboxLimit must be"}, {{"dustboxLimit=4294967296"}, "dustboxLimit must be"},
      {{"hideSpam=yes"}, "hideSpam must be 0 or 1"}, {{"serverDeletion=never"}, "serverDeletion must be keep"}, {{"colour=red"}, "unknown setting \"colour\""},
      {{"server"}, "expected KEY=VALUE"}, {{"password=a\r\nQUIT"}, "may not contain line breaks"}, {{"port=1", "port=2"}, "port is given twice"},
      {{"auth=xoauth2", "tokenCommand=oama access x"}, "xoauth2 needs security=tls or"}, {{"security=tls", "auth=xoauth2"}, "needs a tokenCommand"},
      {{"security=tls", "tokenCommand=pass x | head -1"}, "its command line uses |"}, {{"passwordCommand=secret-tool 'lookup"}, "its command line has a single quote"},
      {{"server=pop.example.org", "notifyBad=2"}, "notifyBad must be"},  // nothing gets through beside a bad one
      {{"localUser=u1", "localPassword=x"}, "already used by mailbox a"}, {{"localUser=d1"}, "already used by mailbox a"},
      {{"dustboxAccess=1", "dustboxUser=u1", "dustboxPassword=x"}, "already used by"}, {{"dustboxAccess=1"}, "needs a dustboxUser and a dustboxPassword"},
      {{"localUser=me", "dustboxAccess=1", "dustboxUser=me", "dustboxPassword=x"}, "dustboxUser must differ from localUser"},
      {{"dustboxUser=x"}, "need dustboxAccess=1"}, {{"serverDeletion=keep", "--deleted-here=maybe"}, "deleted-here"},
      // clang-format on
  };
  for (auto [args, message] : settings) {
    args.insert(args.begin(), {"mailbox", "set", "b"});
    Refused(args, message);
  }
}

// A message file reads as its stored form does; files that cannot be read are named and the
// others still come.
TEST_F(CommandTest, InspectReadsBothFormsAndGoesPastUnreadableFiles) {
  test::WriteFileBytes(dir.File("m.eml"), "Subject: =?ISO-2022-JP?B?GyRCJCIbKEI=?=\n\n.dot\n");
  test::WriteFileBytes(dir.File("raw.eml"),
                       "Subject: =?ISO-2022-JP?B?GyRCJCIbKEI=?=\r\n\r\n..dot\r\n.\r\n");
  test::WriteFileBytes(dir.File("empty.eml"), "");
  const std::string record =
      "\",\"headerLength\":43,\"fields\":[[\"Subject\",\"=?ISO-2022-JP?B?GyRCJCIbKEI=?=\"]],"
      "\"subject\":\"\xE3\x81\x82\",\"from\":\"\",\"senderName\":\"\",\"senderAddress\":\"\","
      "\"displaySender\":\"\",\"received\":0,\"date\":\"\",\"relays\":[],\"urlHosts\":[],\"body\":"
      "\"..dot\\r\\n\",\"text\":\"..dot\\r\\n\",\"parts\":[{\"type\":\"text/plain\",\"charset\":"
      "\"\",\"encoding\":\"\",\"size\":6,\"fileName\":\"\",\"attachment\":false,\"depth\":0}]}\n";
  std::ostringstream plain, stored, e;
  EXPECT_EQ(
      RunInspect({dir.File("m.eml"), dir.File("missing.eml"), dir.Path(), dir.File("empty.eml")},
                 InputForm::Plain, plain, e) *
              10 +
          RunInspect({dir.File("raw.eml")}, InputForm::Stored, stored, e),
      10);
  EXPECT_EQ(
      plain.str().substr(0, plain.str().find('\n') + 1) + stored.str(),
      "{\"file\":\"" + dir.File("m.eml") + record + "{\"file\":\"" + dir.File("raw.eml") + record);
  EXPECT_NE(plain.str().find("empty.eml\",\"headerLength\":0,\"fields\":[],"), std::string::npos);
  EXPECT_NE(e.str().find(dir.File("missing.eml")), std::string::npos) << e.str();
  EXPECT_NE(e.str().find(dir.Path() + ":"), std::string::npos) << e.str();
}

}  // namespace
}  // namespace qm
