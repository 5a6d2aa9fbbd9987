#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app/settings.h"
#include "cli/workdir.h"
#include "command_fixture.h"
#include "mailboxes/mailbox_set.h"
#include "platform/profile.h"

namespace qm {
namespace {

using test::CommandTest;
using test::Joined;

using MailboxCommandTest = CommandTest;

TEST(MailboxSettingsKeyTest, TheSetListsItsMailboxesWhereTheSettingsSayTheyAre) {
  EXPECT_STREQ(CMailboxSet::kListSection, settings::Mailboxes.section);
  EXPECT_STREQ(CMailboxSet::kListKey, settings::Mailboxes.key);
}

struct RefusalCase {
  std::vector<std::string> args;
  const char* message;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << Joined(c.args); }

class MailboxRefusalTest : public MailboxCommandTest,
                           public ::testing::WithParamInterface<RefusalCase> {};

// Mailbox a logs in as u1 with dustbox access as d1; b has no local account.
TEST_P(MailboxRefusalTest, ExplainsAndChangesNothing) {
  Ok({"mailbox", "add", "a"});
  Ok({"mailbox", "add", "b"});
  Ok({"mailbox", "set", "a", "localUser=u1", "localPassword=p", "dustboxAccess=1", "dustboxUser=d1",
      "dustboxPassword=dp"});
  std::filesystem::create_directory(File("broken.mbx"));
  const auto before = Snapshot();

  std::vector<std::string> args{"mailbox"};
  args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
  EXPECT_EQ(Run(args), 1);
  EXPECT_NE(err.find(GetParam().message), std::string::npos) << err;
  EXPECT_EQ(Snapshot(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, MailboxRefusalTest,
    ::testing::Values(
        RefusalCase{{"add", "a"}, "このメールボックスはすでに使用中です。"},
        RefusalCase{{"add", "a_dustbox"}, "このメールボックスはすでに使用中です。"},
        RefusalCase{{"add", "broken"}, "メールボックスを作れません。"},
        RefusalCase{{"add", "  "}, "may not be empty"},
        RefusalCase{{"add", "../up"}, "may not contain"},
        RefusalCase{{"add", "x:y"}, "may not contain"},
        RefusalCase{{"remove", "zzz"}, "no mailbox named \"zzz\""},
        RefusalCase{{"show", "zzz"}, "no mailbox named"},
        RefusalCase{{"up", "a"}, "a is already the first mailbox"},
        RefusalCase{{"down", "b"}, "b is already the last mailbox"},
        RefusalCase{{"set", "zzz", "port=1"}, "no mailbox named"},
        RefusalCase{{"set", "b", "port=0"}, "port must be a port number"},
        RefusalCase{{"set", "b", "port=65536"}, "port must be a port number"},
        RefusalCase{{"set", "b", "port=1x"}, "port must be a port number"},
        RefusalCase{{"set", "b", "timerInterval=29"}, "timerInterval must be 0"},
        RefusalCase{{"set", "b", "timerInterval=86401"}, "timerInterval must be 0"},
        RefusalCase{{"set", "b", "dustboxLimit=-1"}, "dustboxLimit must be"},
        RefusalCase{{"set", "b", "dustboxLimit=4294967296"}, "dustboxLimit must be"},
        RefusalCase{{"set", "b", "hideSpam=yes"}, "hideSpam must be 0 or 1"},
        RefusalCase{{"set", "b", "serverDeletion=never"}, "serverDeletion must be keep"},
        RefusalCase{{"set", "b", "colour=red"}, "unknown setting \"colour\""},
        RefusalCase{{"set", "b", "server"}, "expected KEY=VALUE"},
        RefusalCase{{"set", "b", "password=a\r\nQUIT"}, "may not contain line breaks"},
        RefusalCase{{"set", "b", "port=1", "port=2"}, "port is given twice"},
        RefusalCase{{"set", "b", "auth=oauth"}, "auth must be password or xoauth2"},
        RefusalCase{{"set", "b", "auth=xoauth2", "tokenCommand=oama access x"},
                    "auth=xoauth2 needs security=tls or security=starttls"},
        RefusalCase{{"set", "b", "security=tls", "auth=xoauth2"}, "needs a tokenCommand"},
        RefusalCase{{"set", "b", "security=tls", "tokenCommand=pass x | head -1"},
                    "tokenCommand cannot be run: its command line uses |"},
        RefusalCase{{"set", "b", "passwordCommand=secret-tool 'lookup"},
                    "passwordCommand cannot be run: its command line has a single quote"},
        // A valid assignment does not get through beside a bad one.
        RefusalCase{{"set", "b", "server=pop.example.org", "notifyBad=2"}, "notifyBad must be"},
        RefusalCase{{"set", "b", "localUser=u1", "localPassword=x"}, "already used by mailbox a"},
        RefusalCase{{"set", "b", "localUser=d1"}, "already used by mailbox a"},
        RefusalCase{{"set", "b", "dustboxAccess=1", "dustboxUser=u1", "dustboxPassword=x"},
                    "already used by mailbox a"},
        RefusalCase{
            {"set", "b", "localUser=me", "dustboxAccess=1", "dustboxUser=me", "dustboxPassword=x"},
            "dustboxUser must differ from localUser"},
        RefusalCase{{"set", "b", "dustboxAccess=1"}, "needs a dustboxUser and a dustboxPassword"},
        RefusalCase{{"set", "b", "dustboxUser=x"}, "need dustboxAccess=1"},
        RefusalCase{{"set", "b", "serverDeletion=keep", "--deleted-here=maybe"}, "deleted-here"},
        RefusalCase{{"frobnicate"}, "A subcommand is required"}));

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

struct AnswerCase {
  std::vector<std::string> option;
  std::size_t deletedHere;
  std::size_t pending;
  const char* note;
};
void PrintTo(const AnswerCase& c, std::ostream* os) { *os << Joined(c.option); }

class DeletedHereAnswerTest : public MailboxCommandTest,
                              public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(DeletedHereAnswerTest, AnswersTheQuestionOfAPolicyChange) {
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
  args.insert(args.end(), GetParam().option.begin(), GetParam().option.end());
  ASSERT_EQ(Run(args), 0) << err;
  EXPECT_EQ(out, std::string("a: mails deleted here but kept on the server will be ") +
                     GetParam().note + "\n");

  CProfile profile(File(settings::kFileName));
  CMailboxSet set(profile);
  set.LoadAll();
  ASSERT_EQ(set.Count(), 1);
  EXPECT_EQ(set.Get(0)->Config().GetServerDeletion(), DeleteWhenPurged);
  EXPECT_EQ(set.Get(0)->Client().DeletedHere().Count(), GetParam().deletedHere);
  EXPECT_EQ(set.Get(0)->Client().PendingDeletions().Count(), GetParam().pending);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, DeletedHereAnswerTest,
    ::testing::Values(
        AnswerCase{{}, 0, 1, "deleted on the server at the next retrieval"},
        AnswerCase{{"--deleted-here=delete"}, 0, 1, "deleted on the server at the next retrieval"},
        AnswerCase{{"--deleted-here=keep"}, 1, 0, "left on the server"},
        AnswerCase{{"--deleted-here", "refetch"}, 0, 0, "fetched again at the next retrieval"}));

// A working directory that others could fill with settings and lists of their choosing.
struct WorkdirCase {
  const char* name;
  std::function<void(const std::filesystem::path&)> prepare;
  const char* message;
};
class WorkdirRefusalTest : public CommandTest, public ::testing::WithParamInterface<WorkdirCase> {};

TEST_P(WorkdirRefusalTest, IsNamedAndLeftAlone) {
  const std::filesystem::path other = dir / "other";
  GetParam().prepare(other);
  if (IsSkipped()) return;
  EXPECT_EQ(RunWords({"qm_mailfilter", "--workdir", other.string(), "mailbox", "add", "a"}), 1);
  EXPECT_NE(err.find(GetParam().message), std::string::npos) << err;
  EXPECT_FALSE(std::filesystem::exists(other / "a.mbx"));
}

void MakeDirectory(const std::filesystem::path& path, std::filesystem::perms perms) {
  std::filesystem::create_directory(path);
  std::filesystem::permissions(path, perms);
}

using P = std::filesystem::perms;
INSTANTIATE_TEST_SUITE_P(
    Directories, WorkdirRefusalTest,
    ::testing::Values(
        WorkdirCase{"missing", [](const auto&) {}, "No such file or directory"},
        WorkdirCase{"file", [](const auto& p) { std::ofstream(p) << "x"; }, "Not a directory"},
        WorkdirCase{"group_writable",
                    [](const auto& p) { MakeDirectory(p, P::owner_all | P::group_all); },
                    "other users can write to"},
        WorkdirCase{"shared_like_tmp",
                    [](const auto& p) { MakeDirectory(p, P::all | P::sticky_bit); },
                    "other users can write to"},
        WorkdirCase{"another_users",
                    [](const auto& p) {
                      MakeDirectory(p, P::owner_all);
                      if (geteuid() != 0 || chown(p.c_str(), 65534, 65534) != 0) {
                        GTEST_SKIP() << "only root can give a directory away";
                      }
                    },
                    "belongs to another user"}),
    [](const auto& param) { return std::string(param.param.name); });

struct DefaultCase {
  const char* qmWorkdir;
  const char* xdgDataHome;
  const char* home;
  const char* expected;
};
class DefaultWorkdirTest : public ::testing::TestWithParam<DefaultCase> {};

TEST_P(DefaultWorkdirTest, FollowsTheEnvironment) {
  const DefaultCase& c = GetParam();
  EXPECT_EQ(DefaultWorkingDirectory(c.qmWorkdir, c.xdgDataHome, c.home), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Environment, DefaultWorkdirTest,
    ::testing::Values(DefaultCase{"/w", "/x", "/h", "/w"}, DefaultCase{"rel", nullptr, "/h", "rel"},
                      DefaultCase{"", "/x", "/h", "/x/qm_mailfilter"},
                      // Relative data directories are invalid and ignored.
                      DefaultCase{nullptr, "x", "/h", "/h/.local/share/qm_mailfilter"},
                      DefaultCase{nullptr, "", "/h", "/h/.local/share/qm_mailfilter"},
                      DefaultCase{nullptr, nullptr, "", ""}));

TEST_F(MailboxCommandTest, TheDefaultWorkingDirectoryIsMadePrivateOnFirstUse) {
  const std::filesystem::path data = dir / "data";
  const char* saved = std::getenv("XDG_DATA_HOME");
  const std::string previousData = saved != nullptr ? saved : "";
  const char* savedWorkdir = std::getenv("QM_WORKDIR");
  const std::string previousWorkdir = savedWorkdir != nullptr ? savedWorkdir : "";
  setenv("XDG_DATA_HOME", data.c_str(), 1);
  unsetenv("QM_WORKDIR");
  const int status = RunWords({"qm_mailfilter", "mailbox", "add", "a"});
  saved != nullptr ? setenv("XDG_DATA_HOME", previousData.c_str(), 1) : unsetenv("XDG_DATA_HOME");
  if (savedWorkdir != nullptr) setenv("QM_WORKDIR", previousWorkdir.c_str(), 1);
  ASSERT_EQ(status, 0) << err;
  for (const auto& made : {data, data / "qm_mailfilter"}) {
    EXPECT_EQ(std::filesystem::status(made).permissions(), P::owner_all) << made;
  }
  EXPECT_TRUE(std::filesystem::exists(data / "qm_mailfilter" / "a.mbx"));
}

TEST_F(MailboxCommandTest, WhatTheStoreReportsReachesTheLog) {
  Ok({"mailbox", "add", "a"});
  WriteAll("a.cfg", "\x05short");
  Ok({"mailbox", "list"});
  EXPECT_NE(ReadAll("qm_mailfilter.log").find("a.cfg ) is damaged"), std::string::npos);
}

}  // namespace
}  // namespace qm
