#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/settings.h"
#include "command_fixture.h"
#include "mailboxes/mailbox_set.h"
#include "platform/profile.h"

namespace qm {
namespace {

// Mailbox a holds s1 ... s5 (s2 read, s3 hidden), its dustbox d1 (hidden, read) and d2.
class MailCommandTest : public test::CommandTest {
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
    before = Snapshot();
  }

  static void Append(CMailbox& mailbox, const std::string& subject) {
    CMailMessage message;
    message.Parse("Subject: " + subject + "\r\n\r\nbody\r\n.\r\n");
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

  std::vector<std::pair<std::string, std::string>> before;
};

TEST_F(MailCommandTest, ChangesTheMailboxAndSavesIt) {
  const struct {
    std::vector<std::string> args;
    const char* state;
  } cases[] = {
      // clang-format off
      {{"hide", "a", "1", "3", "1"}, " s1h s2o s3h s4 s5| d1ho d2"},
      {{"unhide", "a", "3"}, " s1 s2o s3 s4 s5| d1ho d2"},
      {{"read", "a", "5", "1"}, " s1o s2o s3h s4 s5o| d1ho d2"},
      {{"unread", "a", "2"}, " s1 s2 s3h s4 s5| d1ho d2"},
      {{"unhide", "--dustbox", "a", "1"}, " s1 s2o s3h s4 s5| d1o d2"},
      {{"read", "--dustbox", "a", "2"}, " s1 s2o s3h s4 s5| d1ho d2o"},
      // The highest number goes first, so it lands in the dustbox first.
      {{"delete", "a", "2", "4"}, " s1 s3h s5| d1ho d2 s4 s2o"},
      {{"delete", "--purge", "a", "4", "2"}, " s1 s3h s5| d1ho d2"},
      {{"delete", "--dustbox", "a", "1"}, " s1 s2o s3h s4 s5| d2"},
      {{"restore", "a", "1", "2"}, " s1 s2o s3h s4 s5 d2 d1ho|"},
      {{"restore", "--dustbox", "a", "2"}, " s1 s2o s3h s4 s5 d2| d1ho"},
      // clang-format on
  };
  for (const auto& c : cases) {
    for (const auto& [name, bytes] : before) test::WriteFileBytes(File(name), bytes);
    std::vector<std::string> args{"mail"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Ok(args);
    EXPECT_EQ(State(), c.state) << c.args[0];
  }
}

TEST_F(MailCommandTest, BadNumbersChangeNothing) {
  Ok({"mail", "list", "a"});  // takes the lock file into the directory
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      // clang-format off
      {{"hide", "a", "0"}, "a has no message \"0\" (it holds 5)"},
      {{"delete", "a", "1", "6"}, "a has no message \"6\""},
      {{"read", "a", "x"}, "a has no message \"x\""},
      {{"read", "a", "+1"}, "a has no message \"+1\""},
      {{"read", "a", "99999999999999999999"}, "has no message"},
      {{"delete", "--dustbox", "a", "3"}, "the dustbox of a has no message \"3\""},
      {{"restore", "a", "1", "3"}, "the dustbox of a has no message \"3\""},
      {{"hide", "zzz", "1"}, "no mailbox named \"zzz\""}, {{"hide", "a"}, "N is required"},
      // clang-format on
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"mail"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(c.message);
    Refused(args, c.message);
  }
}

}  // namespace
}  // namespace qm
