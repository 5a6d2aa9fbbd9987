#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/settings.h"
#include "cli/workdir.h"
#include "command_fixture.h"
#include "mailboxes/mailbox_set.h"
#include "platform/profile.h"

namespace qm {
namespace {

using MailboxCommandTest = test::CommandTest;
using P = std::filesystem::perms;

// Mailbox a logs in as u1 with dustbox access as d1; b has no local account.
TEST_F(MailboxCommandTest, RefusalsExplainAndChangeNothing) {
  Ok({"mailbox", "add", "a"});
  Ok({"mailbox", "add", "b"});
  Ok({"mailbox", "set", "a", "localUser=u1", "localPassword=p", "dustboxAccess=1", "dustboxUser=d1",
      "dustboxPassword=dp"});
  std::filesystem::create_directory(File("broken.mbx"));
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      // clang-format off
      {{"add", "a"}, "このメールボックスはすでに使用中です。"},
      {{"add", "a_dustbox"}, "このメールボックスはすでに使用中です。"},
      {{"add", "broken"}, "メールボックスを作れません。"}, {{"add", "  "}, "may not be empty"},
      {{"add", "../up"}, "may not contain"}, {{"add", "x:y"}, "may not contain"},
      {{"remove", "zzz"}, "no mailbox named \"zzz\""}, {{"show", "zzz"}, "no mailbox named"},
      {{"up", "a"}, "a is already the first mailbox"},
      {{"down", "b"}, "b is already the last mailbox"},
      {{"set", "zzz", "port=1"}, "no mailbox named"},
      {{"set", "b", "port=0"}, "port must be a port number"},
      {{"set", "b", "port=65536"}, "port must be"}, {{"set", "b", "port=1x"}, "port must be"},
      {{"set", "b", "timerInterval=29"}, "timerInterval must be 0"},
      {{"set", "b", "timerInterval=86401"}, "timerInterval must be 0"},
      {{"set", "b", "dustboxLimit=-1"}, "dustboxLimit must be"},
      {{"set", "b", "dustboxLimit=4294967296"}, "dustboxLimit must be"},
      {{"set", "b", "hideSpam=yes"}, "hideSpam must be 0 or 1"},
      {{"set", "b", "serverDeletion=never"}, "serverDeletion must be keep"},
      {{"set", "b", "colour=red"}, "unknown setting \"colour\""},
      {{"set", "b", "server"}, "expected KEY=VALUE"},
      {{"set", "b", "password=a\r\nQUIT"}, "may not contain line breaks"},
      {{"set", "b", "port=1", "port=2"}, "port is given twice"},
      {{"set", "b", "auth=oauth"}, "auth must be password or xoauth2"},
      {{"set", "b", "auth=xoauth2", "tokenCommand=oama access x"}, "xoauth2 needs security=tls or"},
      {{"set", "b", "security=tls", "auth=xoauth2"}, "needs a tokenCommand"},
      {{"set", "b", "security=tls", "tokenCommand=pass x | head -1"}, "its command line uses |"},
      {{"set", "b", "passwordCommand=secret-tool 'lookup"}, "its command line has a single quote"},
      // A valid assignment does not get through beside a bad one.
      {{"set", "b", "server=pop.example.org", "notifyBad=2"}, "notifyBad must be"},
      {{"set", "b", "localUser=u1", "localPassword=x"}, "already used by mailbox a"},
      {{"set", "b", "localUser=d1"}, "already used by mailbox a"},
      {{"set", "b", "dustboxAccess=1", "dustboxUser=u1", "dustboxPassword=x"}, "already used by"},
      {{"set", "b", "localUser=me", "dustboxAccess=1", "dustboxUser=me", "dustboxPassword=x"},
       "dustboxUser must differ from localUser"},
      {{"set", "b", "dustboxAccess=1"}, "needs a dustboxUser and a dustboxPassword"},
      {{"set", "b", "dustboxUser=x"}, "need dustboxAccess=1"},
      {{"set", "b", "serverDeletion=keep", "--deleted-here=maybe"}, "deleted-here"},
      {{"frobnicate"}, "A subcommand is required"},
      // clang-format on
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"mailbox"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(args[1] + " " + args.back());
    Refused(args, c.message);
  }
}

TEST_F(MailboxCommandTest, TokenAccountIsSetAndShown) {
  Ok({"mailbox", "add", "a"});
  Ok({"mailbox", "set", "a", "security=tls", "auth=xoauth2",
      "tokenCommand=oama access 'me@outlook.com'", "passwordCommand=secret-tool lookup a b"});
  Ok({"mailbox", "show", "a"});
  EXPECT_NE(out.find("\nport=995\nuser=\npassword=(empty)\nsecurity=tls\ncaFile=\nauth=xoauth2\n"
                     "tokenCommand=oama access 'me@outlook.com'\n"
                     "passwordCommand=secret-tool lookup a b\nlocalUser="),
            std::string::npos)
      << out;
  // Leaving TLS while the account logs in with a token is refused.
  EXPECT_EQ(Run({"mailbox", "set", "a", "security=plain"}), 1);
  Ok({"mailbox", "set", "a", "security=plain", "auth=password"});
}

TEST_F(MailboxCommandTest, DeletedHereAnswersTheQuestionOfAPolicyChange) {
  const struct {
    std::vector<std::string> option;
    std::size_t deletedHere, pending;
    const char* note;
  } cases[] = {
      {{}, 0, 1, "deleted on the server at the next retrieval"},
      {{"--deleted-here=delete"}, 0, 1, "deleted on the server at the next retrieval"},
      {{"--deleted-here=keep"}, 1, 0, "left on the server"},
      {{"--deleted-here", "refetch"}, 0, 0, "fetched again at the next retrieval"},
  };
  for (const auto& c : cases) {
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
      std::filesystem::remove_all(entry.path());
    }
    {
      CProfile profile(File(settings::kFileName));
      CMailboxSet set(profile);
      ASSERT_EQ(set.Add("a"), 0);
      ASSERT_EQ(set.SaveList(), 1);
      CMailbox& a = *set.Get(0);
      a.Client().RegisterKnown("D1", "<d1@example.org>");
      a.Client().ForgetDeleted("D1");
      a.Config().Set(CMailboxConfig::KeepFriendOnServer, true);
      a.MarkConfigDirty();
      ASSERT_EQ(set.SaveAll(0), 1);
    }
    std::vector<std::string> args{"mailbox", "set", "a", "serverDeletion=purged"};
    args.insert(args.end(), c.option.begin(), c.option.end());
    ASSERT_EQ(Run(args), 0) << err;
    EXPECT_EQ(out,
              "a: mails deleted here but kept on the server will be " + std::string(c.note) + "\n");
    CProfile profile(File(settings::kFileName));
    CMailboxSet set(profile);
    set.LoadAll();
    ASSERT_EQ(set.Count(), 1);
    EXPECT_EQ(set.Get(0)->Config().GetServerDeletion(), DeleteWhenPurged);
    EXPECT_EQ(set.Get(0)->Client().DeletedHere().Count(), c.deletedHere) << c.note;
    EXPECT_EQ(set.Get(0)->Client().PendingDeletions().Count(), c.pending) << c.note;
  }
}

// A working directory that others could fill with settings and lists of their choosing.
TEST_F(MailboxCommandTest, UnsafeWorkingDirectoriesAreNamedAndLeftAlone) {
  const struct {
    const char* name;
    P perms;  // none: a file
    const char* message;
  } cases[] = {
      {"missing", P::unknown, "No such file or directory"},
      {"file", P::none, "Not a directory"},
      {"group", P::owner_all | P::group_all, "other users can write to"},
      {"like_tmp", P::all | P::sticky_bit, "other users can write to"},
      {"another_users", P::owner_all, "belongs to another user"},
  };
  for (const auto& c : cases) {
    const std::filesystem::path other = dir.File(c.name);
    if (c.perms == P::none) std::ofstream(other) << "x";
    if (c.perms != P::none && c.perms != P::unknown) {
      std::filesystem::create_directory(other);
      std::filesystem::permissions(other, c.perms);
    }
    if (c.name == std::string("another_users") &&
        (geteuid() != 0 || chown(other.c_str(), 65534, 65534) != 0)) {
      continue;  // only root can give a directory away
    }
    EXPECT_EQ(Run({"mailbox", "add", "a"}, {"qm_mailfilter", "--workdir", other.string()}), 1);
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    EXPECT_FALSE(std::filesystem::exists(other / "a.mbx"));
  }
}

TEST_F(MailboxCommandTest, TheDefaultWorkingDirectoryFollowsTheEnvironmentAndIsPrivate) {
  const struct {
    const char *qmWorkdir, *xdgDataHome, *home, *expected;
  } cases[] = {
      {"/w", "/x", "/h", "/w"},
      {"rel", nullptr, "/h", "rel"},
      {"", "/x", "/h", "/x/qm_mailfilter"},
      // Relative data directories are invalid and ignored.
      {nullptr, "x", "/h", "/h/.local/share/qm_mailfilter"},
      {nullptr, "", "/h", "/h/.local/share/qm_mailfilter"},
      {nullptr, nullptr, "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DefaultWorkingDirectory(c.qmWorkdir, c.xdgDataHome, c.home), c.expected);
  }
  const std::filesystem::path data = dir.File("data");
  const char* saved = std::getenv("XDG_DATA_HOME");
  const std::string previousData = saved != nullptr ? saved : "";
  const char* savedWorkdir = std::getenv("QM_WORKDIR");
  const std::string previousWorkdir = savedWorkdir != nullptr ? savedWorkdir : "";
  setenv("XDG_DATA_HOME", data.c_str(), 1);
  unsetenv("QM_WORKDIR");
  const int status = Run({"mailbox", "add", "a"}, {"qm_mailfilter"});
  saved != nullptr ? setenv("XDG_DATA_HOME", previousData.c_str(), 1) : unsetenv("XDG_DATA_HOME");
  if (savedWorkdir != nullptr) setenv("QM_WORKDIR", previousWorkdir.c_str(), 1);
  ASSERT_EQ(status, 0) << err;
  for (const auto& made : {data, data / "qm_mailfilter"}) {
    EXPECT_EQ(std::filesystem::status(made).permissions(), P::owner_all) << made;
  }
  EXPECT_TRUE(std::filesystem::exists(data / "qm_mailfilter" / "a.mbx"));
}

// What the store reports reaches the log, a message on one line whatever its line breaks.
TEST_F(MailboxCommandTest, ReportsReachTheLog) {
  Ok({"mailbox", "add", "a"});
  test::WriteFileBytes(File("a.cfg"), "\x05short");
  Ok({"mailbox", "list"});
  std::ostringstream errors;
  {
    CWorkdirSession session(errors);
    ASSERT_EQ(session.Open(), kExitOk);
    session.ShowMessage("one\r\ntwo\nthree");
  }
  EXPECT_EQ(errors.str(), "qm_mailfilter: one\r\ntwo\nthree\n");
  const std::string log = test::ReadFileBytes(File("qm_mailfilter.log"));
  EXPECT_NE(log.find("a.cfg ) is damaged"), std::string::npos) << log;
  EXPECT_NE(log.find("\tAPL : one  two three\r\n"), std::string::npos) << log;
}

}  // namespace
}  // namespace qm
