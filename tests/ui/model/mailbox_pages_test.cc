#include "ui/model/mailbox_pages.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/settings.h"
#include "mailboxes/mailbox_set_fixture.h"
#include "platform/file_io.h"
#include "store/mailbox.h"
#include "ui/model/options_values.h"

namespace qm {
namespace {

using Texts = std::vector<std::string>;

// Writes what the pages tell and ask as lines, and answers questions from a queue. Any thread.
class FakeUi : public IUserInterface {
 public:
  void PostMessage(std::uint32_t, std::intptr_t, std::intptr_t) override {}
  void SetTimer(std::uint32_t, std::uint32_t) override {}
  void KillTimer(std::uint32_t) override {}
  void ShowMessage(std::string_view text) override {
    std::lock_guard lock(mutex);
    said.push_back("message " + std::string(text));
  }
  Answer Ask(std::string_view question, Buttons buttons, Answer defaultAnswer) override {
    static const char* const kButtons[] = {"ok", "okcancel", "yesno", "yesnocancel"};
    std::lock_guard lock(mutex);
    said.push_back("ask/" + std::string(kButtons[static_cast<int>(buttons)]) + " " +
                   std::string(question));
    const Answer answer = answers.empty() ? defaultAnswer : answers.front();
    if (!answers.empty()) answers.pop_front();
    return answer;
  }
  void SetStatusText(std::string_view) override {}
  Texts Take() {  // what was said since the last call
    std::lock_guard lock(mutex);
    return std::exchange(said, {});
  }

  std::mutex mutex;
  Texts said;
  std::deque<Answer> answers;
};

std::string Told(const std::string& text) { return "message " + text; }

class PagesTest : public test::MailboxSetTest {
 protected:
  void SetUp() override {
    MailboxSetTest::SetUp();
    set = std::make_unique<CMailboxSet>(profile);
    ASSERT_EQ(set->Add("a"), 0);
  }
  void TearDown() override {
    set.reset();
    MailboxSetTest::TearDown();
  }
  CMailbox& A() { return *set->Get(0); }
  std::thread Retrieval(const std::function<void()>& whileHeld) {
    std::promise<void> held;
    std::future<void> isHeld = held.get_future();
    std::thread retrieval([&mailbox = A(), whileHeld, held = std::move(held)]() mutable {
      mailbox.retrievalLock.Acquire();
      held.set_value();
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      whileHeld();
      // The mailbox may be gone as soon as the lock is free: nothing of it is touched afterwards.
      mailbox.retrievalLock.Release();
    });
    isHeld.wait();
    return retrieval;
  }
  std::unique_ptr<CMailboxSet> set;
  FakeUi ui;
};

TEST(NewMailboxNameTest, TrimsAndRefusesWithTheRightText) {
  const std::string forbidden = "不正な文字（\"*/:<>?\\|）が含まれています。";
  // "表" and "ソ" end in 0x5C in code page 932; their UTF-8 bytes hold no backslash.
  std::vector<std::pair<std::string, std::string>> cases = {
      {" \t inbox \r\n", "inbox"}, {"  受信箱 ", "受信箱"},      {"表ソ", "表ソ"},
      {"", kInvalidNameText},      {"   \t ", kInvalidNameText}, {"a\x01z", kInvalidNameText}};
  for (const char c : std::string_view("\"*/:<>?\\|"))
    cases.emplace_back(std::string("a") + c, forbidden);
  for (const auto& [typed, expected] : cases) {
    const NewMailboxName checked = CheckNewMailboxName(typed);
    EXPECT_EQ(checked.refusal.empty() ? checked.name : checked.refusal, expected) << typed;
  }
}

TEST_F(PagesTest, TheListIsSavedOrTheFailureShown) {
  ASSERT_EQ(set->Add("b"), 1);
  EXPECT_TRUE(SaveMailboxList(*set, ui));
  EXPECT_EQ(ListValue(), "a:b:");
  ASSERT_EQ(MoveMailbox(*set, 1, true), 0);
  SetFileFaultInjector([](FileOperation op) { return op == FileOperation::Rename; });
  EXPECT_FALSE(SaveMailboxList(*set, ui));
  SetFileFaultInjector(nullptr);
  EXPECT_EQ(ui.Take(), Texts{Told(kListNotSavedText)});
  EXPECT_EQ(ListValue(), "a:b:");
}

TEST_F(PagesTest, AccountPageRefusesBadPortsLineBreaksAndTokensWithoutTls) {
  const CRemoteAccount before = A().Client().account;
  for (const char* port : {"0", "65536", "", "11O", "99999999999999999999"}) {
    AccountPageValues values = LoadAccountPage(A());
    values.port = port;
    EXPECT_EQ(ApplyAccountPage(*set, 0, values, ui), 0) << port;
  }
  EXPECT_EQ(ui.Take(), Texts(5, Told(NumberRangeText(1, 65535))));
  AccountPageValues values = LoadAccountPage(A());
  values.password = "pw\r\nDELE 1";
  EXPECT_EQ(ApplyAccountPage(*set, 0, values, ui), 0);
  values = LoadAccountPage(A());
  values.auth = AuthMethod::XOAuth2;
  values.tokenCommand = "oama access me";
  EXPECT_EQ(ApplyAccountPage(*set, 0, values, ui), 0);
  values.security = ConnectionSecurity::StartTls;
  values.tokenCommand = "";
  EXPECT_EQ(ApplyAccountPage(*set, 0, values, ui), 0);
  values.tokenCommand = "pass show x | head -1";  // a command line the program could not run
  EXPECT_EQ(ApplyAccountPage(*set, 0, values, ui), 0);
  EXPECT_EQ(ui.Take(), (Texts{Told(kLineBreakRefusedText), Told(kTokenNeedsTlsText),
                              Told(kTokenCommandMissingText), Told(kCommandRefusedText)}));
  EXPECT_EQ(A().Client().account, before);
}

TEST_F(PagesTest, TheReceivePageTakesAnIntervalOf30To86400AndOnlyItsOwnOptions) {
  CMailboxConfig& config = A().Config();
  config.Set(CMailboxConfig::DustboxAccess, true);
  ReceivePageValues values = LoadReceivePage(A());
  values.options = ~0u;
  values.timer = true;
  int accepted = 2;  // the first two
  for (const char* interval : {"30", "86400", "29", "86401", "", "1e3", "4294967326"}) {
    values.interval = interval;
    EXPECT_EQ(ApplyReceivePage(*set, 0, values, ui), accepted-- > 0 ? 1 : 0) << interval;
  }
  EXPECT_EQ(config.timerInterval, 86400u);
  EXPECT_EQ(config.options, (CMailboxConfig::DefaultOptions | CMailboxConfig::DustboxAccess |
                             ReceivePageOptionMask()));
  EXPECT_EQ(ui.Take(), Texts(5, Told("30 から 86400 までの整数を入力してください。")));
  values.timer = false;
  values.interval = "600";
  ASSERT_EQ(ApplyReceivePage(*set, 0, values, ui), 1);
  EXPECT_EQ(config.timerInterval, 0u);
}

constexpr std::uint32_t kFriend = CMailboxConfig::KeepFriendOnServer;
constexpr std::uint32_t kOther = CMailboxConfig::KeepOtherOnServer;
constexpr ServerDeletion kR = DeleteWhenRetrieved, kD = DeleteWhenDustboxed, kP = DeleteWhenPurged,
                         kK = KeepOnServer;  // kK ticks "keep mail on the server"

struct DeletionCase {
  bool deletedHere;  // D1 was deleted here while its server copy stays; P1 waits for deletion
  ServerDeletion from, to;
  std::uint32_t exemptions;
  bool refetch;
  char answer;        // 'y', 'n' or 'c'; 0 when no question may be asked
  const char* after;  // the unique ids deleted here, then those waiting for deletion
};

void PrintTo(const DeletionCase& c, std::ostream* os) {
  *os << c.deletedHere << static_cast<int>(c.from) << static_cast<int>(c.to) << c.exemptions
      << c.refetch << (c.answer ? c.answer : '-');
}

class DustboxPageTest : public PagesTest, public ::testing::WithParamInterface<DeletionCase> {};

TEST_P(DustboxPageTest, AsksAboutMailDeletedHereOnlyWhenAnExemptionMayHaveKeptIt) {
  const DeletionCase& c = GetParam();
  CMailboxClient& client = A().Client();
  if (c.deletedHere) client.RegisterKnown("D1", "<d1@example.org>"), client.ForgetDeleted("D1");
  client.RegisterKnown("P1", "<p1@example.org>");
  client.RequestServerDeletion("P1");
  A().Config().SetServerDeletion(c.from);
  DustboxPageValues values = LoadDustboxPage(A());
  EXPECT_EQ(values.deletedHereCount, c.deletedHere ? 1 : 0);
  values.keepOnServer = c.to == kK;
  if (c.to != kK) values.deletionMode = c.to;
  values.keepFriend = (c.exemptions & kFriend) != 0;
  values.keepOther = (c.exemptions & kOther) != 0;
  values.refetch = c.refetch;
  if (c.answer != 0)
    ui.answers = {c.answer == 'y' ? Answer::Yes : c.answer == 'n' ? Answer::No : Answer::Cancel};
  ASSERT_EQ(ApplyDustboxPage(*set, 0, values, ui), 1);
  EXPECT_EQ(ui.Take(), c.answer == 0
                           ? Texts{}
                           : Texts{"ask/yesnocancel " + std::string(kDeletedHereQuestion)});
  EXPECT_EQ(A().Config().GetServerDeletion(), c.to);
  EXPECT_EQ(A().Config().options & (kFriend | kOther), c.exemptions);
  std::string after, uidl, messageId;
  for (CUidList list : {client.DeletedHere(), client.PendingDeletions()}) {
    for (list.Rewind(); list.Next(uidl, messageId);) after += uidl + " ";
    after += "|";
  }
  EXPECT_EQ(after, c.after);
  EXPECT_EQ(values.deletedHereCount + values.refetch,
            static_cast<int>(client.DeletedHere().Count()));
}

INSTANTIATE_TEST_SUITE_P(
    Transitions, DustboxPageTest,
    ::testing::Values(DeletionCase{true, kR, kP, 0, false, 0, "|P1 D1 |"},
                      DeletionCase{true, kR, kP, kFriend, false, 'y', "|P1 D1 |"},
                      DeletionCase{true, kK, kD, kOther, false, 'n', "D1 |P1 |"},
                      DeletionCase{true, kP, kR, kFriend | kOther, false, 'c', "|P1 |"},
                      // Refetching empties the list first: nothing is left to ask about.
                      DeletionCase{true, kR, kP, kFriend | kOther, true, 0, "|P1 |"},
                      // Kept on the server: waiting deletions are held back, never asked about.
                      DeletionCase{true, kR, kK, kFriend | kOther, false, 0, "D1 P1 ||"},
                      DeletionCase{true, kP, kP, kFriend, false, 0, "D1 |P1 |"},
                      DeletionCase{false, kR, kP, kFriend | kOther, false, 0, "|P1 |"}));

TEST_F(PagesTest, DustboxPageRefusesALimitThatIsNoNumber) {
  A().Client().RegisterKnown("D1", "<d1@example.org>");
  A().Client().ForgetDeleted("D1");
  const CMailboxConfig before = A().Config();
  DustboxPageValues values = LoadDustboxPage(A());
  values.refetch = values.keepOnServer = true;
  values.dustboxLimit = "-1";
  EXPECT_EQ(ApplyDustboxPage(*set, 0, values, ui), 0);
  EXPECT_TRUE(ui.Take() == Texts{Told(NumberRangeText(0, 4294967295u))} && A().Config() == before);
  EXPECT_EQ(A().Client().DeletedHere().Count(), 1u);
}

// Applies page `page`'s change to mailbox 0, or tells whether it is in place.
bool Page(int page, CMailboxSet& set, IUserInterface* ui) {
  CMailbox& m = *set.Get(0);
  if (page == 0) {
    if (ui == nullptr) return m.Client().account.server == "pop.example.org";
    AccountPageValues values = LoadAccountPage(m);
    values.server = "pop.example.org";
    return ApplyAccountPage(set, 0, values, *ui) == 1;
  }
  if (page == 1) {
    if (ui == nullptr) return m.Config().localUser == "u";
    ProxyPageValues values = LoadProxyPage(m);
    values.user = "u";
    return ApplyProxyPage(set, 0, values, *ui) == 1;
  }
  if (page == 2) {
    if (ui == nullptr) return m.Config().timerInterval == 60;
    ReceivePageValues values = LoadReceivePage(m);
    values.interval = "60";
    return ApplyReceivePage(set, 0, values, *ui) == 1;
  }
  if (ui == nullptr) return m.Config().GetServerDeletion() == KeepOnServer;
  DustboxPageValues values = LoadDustboxPage(m);
  values.keepOnServer = true;
  return ApplyDustboxPage(set, 0, values, *ui) == 1;
}

class RetrievalLockTest : public PagesTest, public ::testing::WithParamInterface<int> {};

TEST_P(RetrievalLockTest, ApplyingWaitsForARunningRetrieval) {
  bool changedWhileHeld = true;
  std::thread retrieval = Retrieval([&] { changedWhileHeld = Page(GetParam(), *set, nullptr); });
  EXPECT_TRUE(Page(GetParam(), *set, &ui));
  retrieval.join();
  EXPECT_FALSE(changedWhileHeld);
  EXPECT_TRUE(Page(GetParam(), *set, nullptr));
  ASSERT_TRUE(A().retrievalLock.TryAcquire());
  A().retrievalLock.Release();
}

INSTANTIATE_TEST_SUITE_P(Pages, RetrievalLockTest, ::testing::Values(0, 1, 2, 3));

TEST_F(PagesTest, DeletingWaitsForARunningRetrieval) {
  ui.answers = {Answer::Ok};
  bool filesWhileHeld = false;
  std::thread retrieval = Retrieval([&] { filesWhileHeld = Exists("a.mbx"); });
  EXPECT_EQ(DeleteMailbox(*set, ui, 0), 1);
  retrieval.join();
  EXPECT_TRUE(filesWhileHeld);
  EXPECT_TRUE(!Exists("a.mbx") && set->Count() == 0);
}

TEST_F(PagesTest, AMailboxAMailClientIsLoggedInToIsKept) {
  ui.answers = {Answer::Ok};
  std::promise<void> loggedIn;
  std::promise<void> quit;
  std::thread client([this, &loggedIn, done = quit.get_future()] {
    ASSERT_EQ(A().OpenMaildrop(), 1);
    loggedIn.set_value();
    done.wait();
    A().CloseMaildrop();
  });
  loggedIn.get_future().wait();
  EXPECT_EQ(DeleteMailbox(*set, ui, 0), 0);
  quit.set_value();
  client.join();
  EXPECT_EQ(ui.Take().back(), Told(kMailboxBusyText));
  EXPECT_TRUE(set->Count() == 1 && Exists("a.mbx"));
}

// The numbers a damaged or hand-edited file may hold are brought into range.
TEST_F(PagesTest, OptionsReadEveryNumberWithinItsRange) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "1110 1 1 10 1 1 0 0"},
      // Any nonzero number switches on, as everywhere the settings are read.
      {"[Misc]\nStartupRetrieve=2\nShowSplash=-1\nNotifyBySound=7\n", "1110 1 1 10 1 1 0 0"},
      // The notification places itself unless both coordinates are stored.
      {"[Geometry]\nNotifyWindowPosX=300\n", "1110 1 1 10 1 1 0 0"},
      {"[Geometry]\nNotifyWindowPosX=\nNotifyWindowPosY=5\n", "1110 1 1 10 1 1 0 0"},
      {"[Geometry]\nNotifyWindowPosX=0\nNotifyWindowPosY=0\n", "1110 1 1 10 1 0 0 0"},
      {"[Mailbox]\nPort=70000\n[Misc]\nNotifyTime=-3\nStartupRetrieve=0\n[Geometry]\n"
       "NotifyWindowPosX=-200000\nNotifyWindowPosY=200000\n",
       "65535 0 1 0 1 0 -99999 99999"},
      {"[Mailbox]\nPort=0\n[Misc]\nNotifyTime=999999\n", "1 1 1 86400 1 1 0 0"}};
  CSettings settings;
  for (const auto& [ini, expected] : cases) {
    WriteAll(settings::kFileName, ini);
    const OptionsValues v = ReadOptions(settings);
    std::string read;
    for (int n : {v.port, +v.startupRetrieve, +v.showSplash, v.notifyTime, +v.notifyBySound,
                  +v.defaultPosition, v.positionX, v.positionY})
      read += (read.empty() ? "" : " ") + std::to_string(n);
    EXPECT_EQ(read, expected) << ini;
  }
}

TEST_F(PagesTest, OptionsDefaultPositionRemovesBothKeysAndNothingElse) {
  CSettings settings;
  WriteAll(settings::kFileName,
           "; mine\r\n[Geometry]\r\nMain_x=3\r\nNotifyWindowPosX=10\r\n"
           "NotifyWindowPosY=20\r\nMain_y=4\r\n[Misc]\r\nMailer=/bin/m\r\n");
  OptionsValues values = ReadOptions(settings);
  ASSERT_FALSE(values.defaultPosition);
  values.defaultPosition = true;
  ASSERT_TRUE(WriteOptions(settings, values));
  EXPECT_EQ(ReadAll(settings::kFileName),
            "; mine\r\n[Geometry]\r\nMain_x=3\r\nMain_y=4\r\n"
            "[Misc]\r\nMailer=/bin/m\r\nStartupRetrieve=1\r\nShowSplash=1\r\nNotifyTime=10\r\n"
            "NotifyBySound=1\r\nNotifySound=\r\n[Mailbox]\r\nPort=1110\r\n");
}

}  // namespace
}  // namespace qm
