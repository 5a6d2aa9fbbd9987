#include "mailboxes/mailbox_set.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "mailbox_set_fixture.h"

namespace qm {
namespace {

using test::MailboxSetTest;

// ---- LoadAll ----

struct LoadCase {
  const char* value;  // nullptr: no key at all
  std::vector<std::string> names;
};
void PrintTo(const LoadCase& c, std::ostream* os) {
  *os << (c.value == nullptr ? "(no key)" : *c.value == 0 ? "(empty)" : c.value);
}

class LoadAllTest : public MailboxSetTest, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(LoadAllTest, AddsTheListedMailboxesInOrder) {
  if (GetParam().value != nullptr) {
    ASSERT_TRUE(profile.WriteString("Mailbox", "Mailboxes", GetParam().value));
  }
  CMailboxSet set(profile);
  EXPECT_EQ(set.LoadAll(), 1);
  EXPECT_EQ(Names(set), GetParam().names);
}

INSTANTIATE_TEST_SUITE_P(
    Values, LoadAllTest,
    ::testing::Values(LoadCase{"a:b:", {"a", "b"}}, LoadCase{"a::b:", {"a"}}, LoadCase{nullptr, {}},
                      LoadCase{"", {}}, LoadCase{"b:a:", {"b", "a"}},
                      // Names that cannot be added are skipped, the rest still load.
                      LoadCase{"a:a:b:", {"a", "b"}}, LoadCase{"a: a :c:", {"a", "c"}},
                      LoadCase{"a:x?y:c:", {"a", "c"}}, LoadCase{"a:a_dustbox:c:", {"a", "c"}}));

TEST_F(MailboxSetTest, SaveListWritesTheOrderAndReloads) {
  CMailboxSet set(profile);
  EXPECT_EQ(set.SaveList(), 1);
  EXPECT_EQ(ListValue(), "");
  ASSERT_EQ(set.Add("a"), 0);
  ASSERT_EQ(set.Add("b"), 1);
  ASSERT_EQ(set.Add("c"), 2);
  ASSERT_EQ(set.MoveUp(2), 1);
  ASSERT_EQ(set.SaveList(), 1);
  EXPECT_EQ(ListValue(), "a:c:b:");

  CMailboxSet reloaded(profile);
  reloaded.LoadAll();
  EXPECT_EQ(Names(reloaded), (std::vector<std::string>{"a", "c", "b"}));
}

// ---- Add ----

TEST_F(MailboxSetTest, AddTrimsAndRefusesDuplicatesAndBadNames) {
  CMailboxSet set(profile);
  EXPECT_EQ(set.Add("\t a \r\n"), 0);
  EXPECT_EQ(set.Get(0)->Name(), "a");
  EXPECT_TRUE(Exists("a.mbx"));
  EXPECT_EQ(set.Add("a"), CMailboxSet::kNameInUse);
  EXPECT_EQ(set.Add("\ta\t"), CMailboxSet::kNameInUse);
  // Byte comparison: another case is another mailbox.
  EXPECT_EQ(set.Add("A"), 1);
  // A mailbox named after a's dustbox, or one whose dustbox would be a's file, shares files.
  EXPECT_EQ(set.Add("a_dustbox"), CMailboxSet::kNameInUse);
  ASSERT_EQ(set.Add("b_dustbox"), 2);
  EXPECT_EQ(set.Add("b"), CMailboxSet::kNameInUse);
  // Names are file names here, and ":" separates them in the settings.
  for (const char* bad : {"   ", "", "x:y", "../up", "sub/box", "a\\b", "a\nb", "a?", "a|b"}) {
    EXPECT_EQ(set.Add(bad), CMailboxSet::kCannotCreate) << bad;
  }
  EXPECT_EQ(set.Add("\xE5\x8F\x97\xE4\xBF\xA1 box"), 3);
  EXPECT_EQ(set.Count(), 4);
  EXPECT_FALSE(Exists("x:y.mbx"));
  EXPECT_FALSE(Exists("../up.mbx"));
}

TEST_F(MailboxSetTest, AMessageFileThatCannotBeOpenedLeavesTheSetUnchanged) {
  CMailboxSet set(profile);
  ASSERT_EQ(set.Add("a"), 0);
  std::filesystem::create_directory("broken.mbx");
  EXPECT_EQ(set.Add("broken"), CMailboxSet::kCannotCreate);
  EXPECT_EQ(Names(set), std::vector<std::string>{"a"});
  // A failed name is free for a later attempt once the obstacle is gone.
  std::filesystem::remove("broken.mbx");
  EXPECT_EQ(set.Add("broken"), 1);
}

TEST_F(MailboxSetTest, AddAdoptsExistingFilesAndStartsWithTheDefaults) {
  WriteAll("old.mbx", "Subject: one\r\n\r\nx\r\n.\r\nSubject: two\r\n\r\ny\r\n.\r\n");
  CMailboxSet set(profile);
  ASSERT_EQ(set.Add("old"), 0);
  CMailbox& mailbox = *set.Get(0);
  EXPECT_EQ(mailbox.MessageCount(), 2);
  EXPECT_EQ(mailbox.Summary(2).subject, "two");
  const CMailboxConfig& config = mailbox.Config();
  EXPECT_EQ(config.options, 0x00020D22u);
  EXPECT_EQ(config.timerInterval, 180u);
  EXPECT_EQ(config.dustboxLimit, 100u);
  EXPECT_EQ(config.GetServerDeletion(), DeleteWhenRetrieved);
  EXPECT_TRUE(config.Has(CMailboxConfig::NotifyFriend) && config.Has(CMailboxConfig::NotifyOther));
  EXPECT_TRUE(config.Has(CMailboxConfig::DustboxBad) && config.Has(CMailboxConfig::DustboxSpam));
}

// ---- Remove ----

TEST_F(MailboxSetTest, RemoveDeletesTheFilesButKeepsTheServerLists) {
  CMailboxSet set(profile);
  ASSERT_EQ(set.Add("a"), 0);
  ASSERT_EQ(set.Add("b"), 1);
  CMailbox& a = *set.Get(0);
  Store(a, "one", "U1", VerdictOther);
  Store(*a.Dustbox(), "two", "", VerdictSpam);
  a.Client().ForgetDeleted("U1");
  a.MarkConfigDirty();
  ASSERT_EQ(set.SaveAll(0), 1);
  for (const char* file : {"a.mbx", "a.flg", "a.cfg", "a.svm", "a_dustbox.mbx", "a_dustbox.flg"}) {
    ASSERT_TRUE(Exists(file)) << file;
  }
  // Unsaved changes die with the mailbox rather than bringing its files back.
  a.SetHidden(1);

  EXPECT_EQ(set.Remove(0), 1);
  EXPECT_EQ(Names(set), std::vector<std::string>{"b"});
  for (const char* file : {"a.mbx", "a.flg", "a.cfg", "a_dustbox.mbx", "a_dustbox.flg"}) {
    EXPECT_FALSE(Exists(file)) << file;
  }
  EXPECT_TRUE(Exists("a.svm"));
  EXPECT_EQ(set.Remove(1), 0);
  EXPECT_EQ(set.Remove(-1), 0);

  ASSERT_EQ(set.Add("a"), 1);
  EXPECT_EQ(set.Get(1)->MessageCount(), 0);
  EXPECT_EQ(set.Get(1)->Client().DeletedHere().Count(), 1u);
}

// What holds a mailbox while the user deletes it.
enum class Holder { Retrieval, MailClient, DustboxMailClient };

class BusyRemoveTest : public MailboxSetTest, public ::testing::WithParamInterface<Holder> {};

TEST_P(BusyRemoveTest, ABusyMailboxIsKeptWholeAndGoesOnceFree) {
  CMailboxSet set(profile);
  ASSERT_EQ(set.Add("a"), 0);
  CMailbox& a = *set.Get(0);
  Store(a, "one", "U1", VerdictOther);
  ASSERT_EQ(set.SaveAll(0), 1);

  // The store lock is taken again freely by its owner thread, so a mail client is another thread.
  std::promise<void> taken;
  std::promise<void> release;
  std::thread client;
  if (GetParam() == Holder::Retrieval) {
    ASSERT_TRUE(a.retrievalLock.TryAcquire());
  } else {
    CReentrantLock& lock = GetParam() == Holder::MailClient ? a.storeLock : a.Dustbox()->storeLock;
    client = std::thread([&lock, &taken, done = release.get_future()] {
      lock.Lock();
      taken.set_value();
      done.wait();
      lock.Unlock();
    });
    taken.get_future().wait();
  }

  EXPECT_EQ(set.Remove(0), 0);
  EXPECT_EQ(set.Count(), 1);
  EXPECT_TRUE(Exists("a.mbx"));
  EXPECT_EQ(a.MessageCount(), 1);

  if (GetParam() == Holder::Retrieval) {
    a.retrievalLock.Release();
  } else {
    release.set_value();
    client.join();
  }
  EXPECT_EQ(set.Remove(0), 1);
  EXPECT_FALSE(Exists("a.mbx"));
  // A thread that looked the mailbox up before may still read it.
  EXPECT_EQ(a.Name(), "a");
}

INSTANTIATE_TEST_SUITE_P(Holders, BusyRemoveTest,
                         ::testing::Values(Holder::Retrieval, Holder::MailClient,
                                           Holder::DustboxMailClient));

// ---- Order and timers ----

struct MoveCase {
  bool up;
  int index;
  int result;
  std::vector<std::string> names;
};
void PrintTo(const MoveCase& c, std::ostream* os) { *os << (c.up ? "up " : "down ") << c.index; }

class MoveTest : public MailboxSetTest, public ::testing::WithParamInterface<MoveCase> {};

TEST_P(MoveTest, SwapsWithTheNeighbourAndTakesTheTimerAlong) {
  CMailboxSet set(profile);
  for (const char* name : {"a", "b", "c"}) ASSERT_GE(set.Add(name), 0);
  for (int i = 0; i < 3; ++i) set.SetTimerId(i, static_cast<std::uint32_t>(100 + i));
  const MoveCase& c = GetParam();
  EXPECT_EQ(c.up ? set.MoveUp(c.index) : set.MoveDown(c.index), c.result);
  EXPECT_EQ(Names(set), c.names);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(set.TimerId(i), 100u + static_cast<std::uint32_t>(c.names[i][0] - 'a'));
  }
}

INSTANTIATE_TEST_SUITE_P(Moves, MoveTest,
                         ::testing::Values(MoveCase{true, 1, 1, {"b", "a", "c"}},
                                           MoveCase{true, 2, 1, {"a", "c", "b"}},
                                           MoveCase{true, 0, 0, {"a", "b", "c"}},
                                           MoveCase{true, 3, 0, {"a", "b", "c"}},
                                           MoveCase{false, 0, 1, {"b", "a", "c"}},
                                           MoveCase{false, 2, 0, {"a", "b", "c"}},
                                           MoveCase{false, -1, 0, {"a", "b", "c"}}));

TEST_F(MailboxSetTest, TimerIdsFollowAddAndRemove) {
  CMailboxSet set(profile);
  ASSERT_EQ(set.Add("a"), 0);
  ASSERT_EQ(set.Add("b"), 1);
  set.SetTimerId(1, 11);
  ASSERT_EQ(set.Add("c"), 2);
  EXPECT_EQ(set.TimerId(2), 0u);
  ASSERT_EQ(set.Remove(0), 1);
  EXPECT_EQ(set.TimerId(0), 11u);
  EXPECT_EQ(set.TimerId(5), 0u);
}

// ---- Queries ----

TEST_F(MailboxSetTest, CountsForOneMailboxOrAll) {
  CMailboxSet set(profile);
  ASSERT_EQ(set.Add("a"), 0);
  ASSERT_EQ(set.Add("b"), 1);
  Store(*set.Get(0), "a1", "", VerdictOther);
  Store(*set.Get(0), "a2", "", VerdictOther);
  Store(*set.Get(1), "b1", "", VerdictOther);
  Store(*set.Get(1)->Dustbox(), "b2", "", VerdictSpam);
  set.Get(0)->SetOpened(1, true);

  EXPECT_EQ(set.MessageCount(0), 2);
  EXPECT_EQ(set.MessageCount(-1), 3);
  EXPECT_EQ(set.UnopenedCount(0), 1);
  EXPECT_EQ(set.UnopenedCount(-1), 2);
  EXPECT_EQ(set.DustboxMessageCount(1), 1);
  EXPECT_EQ(set.DustboxUnopenedCount(-1), 1);
  for (int bad : {2, -2}) {
    EXPECT_EQ(set.MessageCount(bad), -1);
    EXPECT_EQ(set.UnopenedCount(bad), -1);
    EXPECT_EQ(set.DustboxMessageCount(bad), -1);
    EXPECT_EQ(set.DustboxUnopenedCount(bad), -1);
  }
  CMailboxSet empty(profile);
  EXPECT_EQ(empty.MessageCount(-1), 0);
  EXPECT_EQ(empty.MessageCount(0), -1);
}

TEST_F(MailboxSetTest, StatisticsNotifyByEachMailboxsOwnOptionsAndTakeTheNewMailFlag) {
  CMailboxSet set(profile);
  ASSERT_EQ(set.Add("a"), 0);
  ASSERT_EQ(set.Add("b"), 1);
  CMailbox& a = *set.Get(0);
  CMailbox& b = *set.Get(1);
  int deleteNow = 0;
  CMailMessage spam = Message("s", "", VerdictSpam);
  ASSERT_GT(a.StoreRetrieved(spam, deleteNow), 0);  // spam is not notified by default

  MailStatistics stats;
  ASSERT_EQ(set.Statistics(-1, stats), 1);
  EXPECT_EQ(stats.spamCount, 1u);
  EXPECT_FALSE(stats.notify);
  EXPECT_TRUE(stats.newMail);
  EXPECT_EQ(set.FirstToNotify(), -1);
  ASSERT_EQ(set.Statistics(-1, stats), 1);
  EXPECT_FALSE(stats.newMail);

  // b notifies other mail; a's options do not count for b's mail, nor b's for a's.
  b.Config().Set(CMailboxConfig::NotifySpam, true);
  CMailMessage other = Message("o", "", VerdictOther);
  ASSERT_GT(b.StoreRetrieved(other, deleteNow), 0);
  CMailMessage friendMail = Message("f", "", VerdictFriend);
  ASSERT_GT(a.StoreRetrieved(friendMail, deleteNow), 0);
  EXPECT_EQ(set.FirstToNotify(), 0);

  ASSERT_EQ(set.Statistics(1, stats), 1);
  EXPECT_EQ(stats.otherCount, 1u);
  EXPECT_EQ(stats.spamCount, 0u);
  EXPECT_TRUE(stats.notify);
  EXPECT_TRUE(stats.newMail);
  // Taking b's flag left a's in place.
  ASSERT_EQ(set.Statistics(-1, stats), 1);
  EXPECT_TRUE(stats.newMail);
  EXPECT_EQ(stats.friendCount + stats.spamCount + stats.otherCount, 3u);

  EXPECT_EQ(set.ResetCounters(0), 1);
  EXPECT_EQ(set.FirstToNotify(), 1);
  EXPECT_EQ(set.ResetCounters(-1), 1);
  EXPECT_EQ(set.FirstToNotify(), -1);
  EXPECT_EQ(set.ResetCounters(2), 0);
  EXPECT_EQ(set.Statistics(2, stats), 0);
}

// ---- Saving ----

TEST_F(MailboxSetTest, SaveAllWritesTheDustboxMarksToo) {
  CMailboxSet set(profile);
  ASSERT_EQ(set.Add("a"), 0);
  CMailbox& a = *set.Get(0);
  Store(a, "one", "U1", VerdictSpam);
  ASSERT_EQ(a.RemoveMessage(1, a.Dustbox()), 1);
  EXPECT_EQ(set.SaveAll(5), 0);
  ASSERT_EQ(set.SaveAll(-1), 1);

  // A restart finds the dustboxed message with its mark, so its server copy stays known.
  CMailboxSet restarted(profile);
  ASSERT_EQ(restarted.Add("a"), 0);
  CMailbox& again = *restarted.Get(0);
  ASSERT_EQ(again.Dustbox()->MessageCount(), 1);
  EXPECT_EQ(again.Dustbox()->Mark(1).GetVerdict(), VerdictSpam);
  EXPECT_EQ(again.Dustbox()->Mark(1).uidl, "U1");
}

TEST_F(MailboxSetTest, SaveAtExitOpensTheDustboxWhereAskedAndWritesTheServerLists) {
  CMailboxSet set(profile);
  ASSERT_EQ(set.Add("a"), 0);
  ASSERT_EQ(set.Add("b"), 1);
  for (int i = 0; i < 2; ++i) {
    CMailbox& mailbox = *set.Get(i);
    Store(*mailbox.Dustbox(), "junk", "", VerdictSpam);
    Store(mailbox, "kept", "K" + std::to_string(i), VerdictOther);
    mailbox.Client().RequestServerDeletion("K" + std::to_string(i));
  }
  set.Get(1)->Config().Set(CMailboxConfig::OpenDustboxAtExit, true);
  ASSERT_EQ(set.SaveAtExit(), 1);

  CMailboxSet restarted(profile);
  ASSERT_EQ(restarted.Add("a"), 0);
  ASSERT_EQ(restarted.Add("b"), 1);
  EXPECT_EQ(restarted.DustboxUnopenedCount(0), 1);
  EXPECT_EQ(restarted.DustboxUnopenedCount(1), 0);
  EXPECT_EQ(restarted.Get(0)->Client().PendingDeletions().Count(), 1u);
  EXPECT_EQ(restarted.Get(1)->Client().PendingDeletions().Count(), 1u);
}

}  // namespace
}  // namespace qm
