#include "mailboxes/mailbox_set.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mailbox_set_fixture.h"
#include "support/held_lock.h"

namespace qm {
namespace {

using test::MailboxSetTest;
using Strings = std::vector<std::string>;

// The settings list the mailboxes in order; names that cannot be added are skipped, and the
// list saved again holds what was loaded.
TEST_F(MailboxSetTest, LoadsTheListedMailboxesInOrderAndSavesTheList) {
  const std::pair<const char*, Strings> cases[] = {{"a:b:", {"a", "b"}},
                                                   {"a::b:", {"a"}},
                                                   {"", {}},
                                                   {"b:a:", {"b", "a"}},
                                                   {"a:a:b:", {"a", "b"}},
                                                   {"a: a :c:", {"a", "c"}},
                                                   {"a:x?y:c:", {"a", "c"}},
                                                   {"a:a_dustbox:c:", {"a", "c"}},
                                                   {nullptr, {}}};
  for (const auto& [value, names] : cases) {
    SCOPED_TRACE(value == nullptr ? "(no key)" : value);
    CProfile settings("case.ini");
    if (value != nullptr) {
      ASSERT_TRUE(settings.WriteString("Mailbox", "Mailboxes", value));
    }
    CMailboxSet set(settings);
    EXPECT_EQ(set.LoadAll(), 1);
    EXPECT_EQ(Names(set), names);
    ASSERT_EQ(set.SaveList(), 1);
    std::string saved;
    for (const std::string& name : names) saved += name + ":";
    EXPECT_EQ(settings.GetString("Mailbox", "Mailboxes", "(missing)"), saved);
    std::filesystem::remove("case.ini");
  }
}

TEST_F(MailboxSetTest, AddTrimsAndRefusesNamesInUseAndNamesThatAreNoFileNames) {
  auto set = Set({"\t a \r\n"});
  EXPECT_EQ(Names(*set), Strings{"a"});
  // Byte comparison: another case is another mailbox.
  EXPECT_EQ(set->Add("A"), 1);
  // A mailbox named after a's dustbox, or one whose dustbox would be a's file, shares files.
  ASSERT_EQ(set->Add("b_dustbox"), 2);
  for (const char* used : {"a", "\ta\t", "a_dustbox", "b"}) {
    EXPECT_EQ(set->Add(used), CMailboxSet::kNameInUse) << used;
    EXPECT_LT(set->Add(used), 0) << used;
  }
  // Names are file names here, and ":" separates them in the settings.
  for (const char* bad :
       {"   ", "", "x:y", "../up", "sub/box", "a\\b", "a\nb", "a\x7F", "a?", "a|b"}) {
    EXPECT_EQ(set->Add(bad), CMailboxSet::kCannotCreate) << bad;
  }
  EXPECT_EQ(set->Add("\xE5\x8F\x97\xE4\xBF\xA1 box"), 3);
  // A message file that cannot be opened leaves the set as it was, and the name free.
  std::filesystem::create_directory("broken.mbx");
  EXPECT_EQ(set->Add("broken"), CMailboxSet::kCannotCreate);
  EXPECT_EQ(set->Count(), 4);
  std::filesystem::remove("broken.mbx");
  EXPECT_EQ(set->Add("broken"), 4);
  EXPECT_FALSE(Exists("x:y.mbx") || Exists("../up.mbx"));
}

// What holds a mailbox while the user deletes it: a retrieval, or a mail client on the mailbox
// or its dustbox (another thread: the store lock is taken again freely by its owner thread).
TEST_F(MailboxSetTest, ABusyMailboxIsKeptWholeAndGoesOnceFree) {
  for (int holder = 0; holder < 3; ++holder) {
    auto set = Set({"a", "b"});
    CMailbox& a = *set->Get(0);
    Store(a, "one", "U1", VerdictOther);
    ASSERT_EQ(set->SaveAll(0), 1);
    {
      COneSlotGuard retrieval(holder == 0 ? a.retrievalLock : set->Get(1)->retrievalLock);
      test::HeldLock client(holder == 1   ? a.storeLock
                            : holder == 2 ? a.Dustbox()->storeLock
                                          : set->Get(1)->storeLock);
      EXPECT_EQ(set->Remove(0), 0) << holder;
      EXPECT_TRUE(Exists("a.mbx"));
      EXPECT_EQ(a.MessageCount(), 1);
    }
    EXPECT_EQ(set->Remove(0), 1);
    EXPECT_EQ(Names(*set), Strings{"b"});
    for (const char* file : {"a.mbx", "a.flg", "a.cfg", "a_dustbox.mbx"})
      EXPECT_FALSE(Exists(file));
    // A thread that looked the mailbox up before may still read it.
    EXPECT_EQ(a.Name(), "a");
    EXPECT_EQ(set->Remove(1), 0);
  }
}

TEST_F(MailboxSetTest, MovesSwapWithTheNeighbourAndTakeTheTimerAlong) {
  const struct {
    bool up;
    int index, result;
    const char* names;
  } cases[] = {{true, 1, 1, "bac"},  {true, 2, 1, "acb"},  {true, 0, 0, "abc"},
               {true, 3, 0, "abc"},  {false, 0, 1, "bac"}, {false, 2, 0, "abc"},
               {false, -1, 0, "abc"}};
  for (const auto& c : cases) {
    auto set = Set({"a", "b", "c"});
    for (int i = 0; i < 3; ++i) set->SetTimerId(i, static_cast<std::uint32_t>(100 + i));
    EXPECT_EQ(c.up ? set->MoveUp(c.index) : set->MoveDown(c.index), c.result);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(set->Get(i)->Name(), std::string(1, c.names[i]));
      EXPECT_EQ(set->TimerId(i), 100u + static_cast<std::uint32_t>(c.names[i] - 'a'));
    }
  }
}

TEST_F(MailboxSetTest, CountsAndStatisticsNotifyByEachMailboxsOwnOptions) {
  auto set = Set({"a", "b"});
  CMailbox& a = *set->Get(0);
  CMailbox& b = *set->Get(1);
  Store(a, "a1", "", VerdictOther);
  Store(*b.Dustbox(), "b2", "", VerdictSpam);
  a.SetOpened(1, true);
  Store(a, "a2", "", VerdictOther);
  EXPECT_EQ(set->MessageCount(0) * 100 + set->MessageCount(-1) * 10 + set->UnopenedCount(-1), 221);
  EXPECT_EQ(set->DustboxMessageCount(1) * 10 + set->DustboxUnopenedCount(-1), 11);
  for (int bad : {2, -2}) EXPECT_EQ(set->MessageCount(bad) + set->DustboxUnopenedCount(bad), -2);
  // Spam is not notified by default: b's option to notify it does not count for a's spam.
  b.Config().Set(CMailboxConfig::NotifySpam, true);
  int deleteNow = 0;
  CMailMessage spam;
  spam.Parse("Subject: s\r\n\r\n.\r\n");
  spam.mark.SetClassification(VerdictSpam, 0);
  ASSERT_GT(a.StoreRetrieved(spam, deleteNow), 0);
  MailStatistics stats;
  ASSERT_EQ(set->Statistics(-1, stats), 1);
  EXPECT_EQ(stats.spamCount, 1u);
  EXPECT_FALSE(stats.notify);
  EXPECT_TRUE(stats.newMail);
  EXPECT_EQ(set->FirstToNotify(), -1);
  CMailMessage other;
  other.Parse("Subject: o\r\n\r\n.\r\n");
  other.mark.SetClassification(VerdictOther, 0);
  ASSERT_GT(b.StoreRetrieved(other, deleteNow), 0);
  EXPECT_EQ(set->FirstToNotify(), 1);
  ASSERT_EQ(set->Statistics(1, stats), 1);
  EXPECT_TRUE(stats.notify && stats.newMail);
  EXPECT_EQ(stats.otherCount + stats.spamCount, 1u);
  // Taking the new-mail flag of one mailbox or all takes it for good.
  ASSERT_EQ(set->Statistics(-1, stats), 1);
  EXPECT_FALSE(stats.newMail);
  EXPECT_EQ(set->ResetCounters(-1), 1);
  EXPECT_EQ(set->FirstToNotify(), -1);
  EXPECT_EQ(set->Statistics(2, stats), 0);
}

TEST_F(MailboxSetTest, SavingWritesTheDustboxMarksAndAtExitOpensTheDustboxWhereAsked) {
  auto set = Set({"a", "b"});
  for (int i = 0; i < 2; ++i) {
    CMailbox& mailbox = *set->Get(i);
    Store(mailbox, "kept", "K" + std::to_string(i), VerdictSpam);
    ASSERT_EQ(mailbox.RemoveMessage(1, mailbox.Dustbox()), 1);
    Store(*mailbox.Dustbox(), "junk", "", VerdictSpam);
  }
  set->Get(1)->Config().Set(CMailboxConfig::OpenDustboxAtExit, true);
  EXPECT_EQ(set->SaveAll(5), 0);
  ASSERT_EQ(set->SaveAtExit(), 1);
  // A restart finds the dustboxed message with its mark, so its server copy stays known.
  auto restarted = Set({"a", "b"});
  CMailbox& dustbox = *restarted->Get(0)->Dustbox();
  ASSERT_EQ(dustbox.MessageCount(), 2);
  EXPECT_EQ(dustbox.Mark(1).GetVerdict(), VerdictSpam);
  EXPECT_EQ(dustbox.Mark(1).uidl, "K0");
  EXPECT_EQ(restarted->DustboxUnopenedCount(0), 2);
  EXPECT_EQ(restarted->DustboxUnopenedCount(1), 0);
}

}  // namespace
}  // namespace qm
