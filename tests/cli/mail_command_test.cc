#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/settings.h"
#include "command_fixture.h"
#include "mailboxes/mailbox_set.h"
#include "platform/profile.h"

namespace qm {
namespace {

using test::CommandTest;
using test::Joined;

// Mailbox a holds s1 ... s5 (s2 read, s3 hidden), its dustbox d1 (hidden, read) and d2.
class MailCommandTest : public CommandTest {
 protected:
  void SetUp() override {
    CommandTest::SetUp();
    CProfile profile(settings::kFileName);
    CMailboxSet set(profile);
    ASSERT_EQ(set.Add("a"), 0);
    ASSERT_EQ(set.SaveList(), 1);
    CMailbox& a = *set.Get(0);
    for (const char* subject : {"s1", "s2", "s3", "s4", "s5"}) Append(a, subject);
    a.SetOpened(2, true);
    a.SetHidden(3);
    Append(*a.Dustbox(), "d1");
    Append(*a.Dustbox(), "d2");
    a.Dustbox()->SetHidden(1);
    a.Dustbox()->SetOpened(1, true);
    ASSERT_EQ(set.SaveAll(0), 1);
  }

  static void Append(CMailbox& mailbox, const std::string& subject,
                     const std::string& extraHeaders = {}) {
    CMailMessage message;
    message.Parse("Subject: " + subject + "\r\n" + extraHeaders + "\r\nbody\r\n.\r\n");
    ASSERT_GT(mailbox.AppendMessage(message), 0);
  }

  // Each message as its subject, then "h" when hidden and "o" when read; "|" before the dustbox.
  std::string State() {
    CProfile profile(File(settings::kFileName));
    CMailboxSet set(profile);
    set.LoadAll();
    std::string state;
    for (const CMailbox* mailbox : {set.Get(0), set.Get(0)->Dustbox()}) {
      if (mailbox->IsDustbox()) state += "|";
      for (int n = 1; n <= mailbox->MessageCount(); ++n) {
        state += " " + mailbox->Summary(n).subject;
        if (mailbox->Mark(n).Hidden()) state += "h";
        if (mailbox->Mark(n).Opened()) state += "o";
      }
    }
    return state;
  }
};

struct ChangeCase {
  std::vector<std::string> args;
  const char* state;
};

void PrintTo(const ChangeCase& c, std::ostream* os) { *os << Joined(c.args); }

class MailChangeTest : public MailCommandTest, public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(MailChangeTest, ChangesTheMailboxAndSavesIt) {
  ASSERT_EQ(State(), " s1 s2o s3h s4 s5| d1ho d2");
  std::vector<std::string> args{"mail"};
  args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
  Ok(args);
  EXPECT_EQ(State(), GetParam().state);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, MailChangeTest,
    ::testing::Values(ChangeCase{{"hide", "a", "1", "3", "1"}, " s1h s2o s3h s4 s5| d1ho d2"},
                      ChangeCase{{"unhide", "a", "3"}, " s1 s2o s3 s4 s5| d1ho d2"},
                      ChangeCase{{"read", "a", "5", "1"}, " s1o s2o s3h s4 s5o| d1ho d2"},
                      ChangeCase{{"unread", "a", "2"}, " s1 s2 s3h s4 s5| d1ho d2"},
                      ChangeCase{{"unhide", "--dustbox", "a", "1"}, " s1 s2o s3h s4 s5| d1o d2"},
                      ChangeCase{{"read", "--dustbox", "a", "2"}, " s1 s2o s3h s4 s5| d1ho d2o"},
                      // The highest number goes first, so it lands in the dustbox first.
                      ChangeCase{{"delete", "a", "2", "4"}, " s1 s3h s5| d1ho d2 s4 s2o"},
                      ChangeCase{{"delete", "--purge", "a", "4", "2"}, " s1 s3h s5| d1ho d2"},
                      ChangeCase{{"delete", "--dustbox", "a", "1"}, " s1 s2o s3h s4 s5| d2"},
                      ChangeCase{{"restore", "a", "1", "2"}, " s1 s2o s3h s4 s5 d2 d1ho|"},
                      ChangeCase{{"restore", "--dustbox", "a", "2"},
                                 " s1 s2o s3h s4 s5 d2| d1ho"}));

struct BadNumberCase {
  std::vector<std::string> args;
  const char* message;
};
void PrintTo(const BadNumberCase& c, std::ostream* os) { *os << Joined(c.args); }

class MailBadNumberTest : public MailCommandTest,
                          public ::testing::WithParamInterface<BadNumberCase> {};

TEST_P(MailBadNumberTest, ChangesNothing) {
  Ok({"mail", "list", "a"});  // takes the lock file into the snapshot's directory
  const auto before = Snapshot();
  std::vector<std::string> args{"mail"};
  args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
  EXPECT_EQ(Run(args), 1);
  EXPECT_NE(err.find(GetParam().message), std::string::npos) << err;
  EXPECT_EQ(Snapshot(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, MailBadNumberTest,
    ::testing::Values(
        BadNumberCase{{"hide", "a", "0"}, "a has no message \"0\" (it holds 5)"},
        BadNumberCase{{"delete", "a", "1", "6"}, "a has no message \"6\""},
        BadNumberCase{{"read", "a", "x"}, "a has no message \"x\""},
        BadNumberCase{{"read", "a", "+1"}, "a has no message \"+1\""},
        BadNumberCase{{"read", "a", "99999999999999999999"}, "has no message"},
        BadNumberCase{{"delete", "--dustbox", "a", "3"}, "the dustbox of a has no message \"3\""},
        BadNumberCase{{"restore", "a", "1", "3"}, "the dustbox of a has no message \"3\""},
        BadNumberCase{{"hide", "zzz", "1"}, "no mailbox named \"zzz\""},
        BadNumberCase{{"hide", "a"}, "N is required"}));

}  // namespace
}  // namespace qm
