#include "ui/model/mailbox_pages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/settings.h"
#include "mailboxes/mailbox_set.h"
#include "mailboxes/mailbox_set_fixture.h"
#include "platform/file_io.h"
#include "store/mailbox.h"
#include "ui/model/list_editing.h"

namespace qm {
namespace {

using test::MailboxSetTest;
using Texts = std::vector<std::string>;

// Records what the pages tell and ask, and answers questions from a queue. Any thread.
class FakeUi : public IUserInterface {
 public:
  void PostMessage(std::uint32_t, std::intptr_t, std::intptr_t) override {}
  void SetTimer(std::uint32_t, std::uint32_t) override {}
  void KillTimer(std::uint32_t) override {}
  void ShowMessage(std::string_view text) override {
    std::lock_guard lock(mutex);
    messages.emplace_back(text);
  }
  Answer Ask(std::string_view question, Buttons buttons, Answer defaultAnswer) override {
    std::lock_guard lock(mutex);
    questions.emplace_back(question);
    askedButtons.push_back(buttons);
    if (answers.empty()) return defaultAnswer;
    const Answer answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void SetStatusText(std::string_view) override {}

  std::mutex mutex;
  Texts messages;
  Texts questions;
  std::vector<Buttons> askedButtons;
  std::deque<Answer> answers;
};

Texts UidlsOf(CUidList list) {
  Texts uidls;
  std::string uidl;
  std::string messageId;
  list.Rewind();
  while (list.Next(uidl, messageId)) uidls.push_back(uidl);
  return uidls;
}

// ---- Names ----

struct NameCase {
  const char* label;
  std::string typed;
  std::string name;
  std::string refusal;
};
void PrintTo(const NameCase& c, std::ostream* os) { *os << c.label; }

class NewMailboxNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(NewMailboxNameTest, TrimsAndRefusesWithTheRightText) {
  const NameCase& c = GetParam();
  const NewMailboxName checked = CheckNewMailboxName(c.typed);
  EXPECT_EQ(checked.refusal, c.refusal);
  if (c.refusal.empty()) {
    EXPECT_EQ(checked.name, c.name);
  }
}

const std::string kForbidden = "不正な文字（\"*/:<>?\\|）が含まれています。";

std::vector<NameCase> NameCases() {
  std::vector<NameCase> cases = {
      {"Plain", "inbox", "inbox", ""},
      {"Trimmed", " \t inbox \r\n", "inbox", ""},
      {"InnerBlanksStay", "my box", "my box", ""},
      {"Japanese", "  受信箱 ", "受信箱", ""},
      // "表" and "ソ" end in 0x5C in code page 932; their UTF-8 bytes hold no backslash.
      {"TrailByteIsNoBackslash", "表ソ", "表ソ", ""},
      {"Empty", "", "", kInvalidNameText},
      {"OnlyBlanks", "   \t ", "", kInvalidNameText},
      {"ControlCharacter", "a\x01z", "", kInvalidNameText},
  };
  static const char* const kLabels[] = {"Quote", "Asterisk", "Slash",     "Colon", "Less",
                                        "More",  "Question", "Backslash", "Bar"};
  int i = 0;
  for (const char c : std::string_view("\"*/:<>?\\|")) {
    cases.push_back({kLabels[i++], std::string("a") + c + "b", "", kForbidden});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Names, NewMailboxNameTest, ::testing::ValuesIn(NameCases()),
                         [](const auto& testInfo) { return std::string(testInfo.param.label); });

TEST(MailboxTextsTest, AddFailuresHaveTheirTexts) {
  EXPECT_EQ(AddFailureText(CMailboxSet::kOutOfMemory), kOutOfMemoryText);
  EXPECT_EQ(AddFailureText(0), "");
}

using MailboxDialogLogicTest = MailboxSetTest;

// ---- The list of mailboxes ----

TEST_F(MailboxDialogLogicTest, CreatingAsksBeforeAdoptingFilesAndShowsFailures) {
  CMailboxSet set(profile);
  FakeUi ui;
  WriteAll("old.mbx", "Subject: kept\r\n\r\nbody\r\n.\r\n");
  ui.answers = {Answer::No, Answer::Yes, Answer::Yes};
  EXPECT_EQ(CreateMailbox(set, ui, "old"), kImportDeclined);
  EXPECT_EQ(set.Count(), 0);
  EXPECT_EQ(CreateMailbox(set, ui, "old"), 0);
  EXPECT_EQ(set.MessageCount(0), 1);
  EXPECT_EQ(CreateMailbox(set, ui, "old"), CMailboxSet::kNameInUse);
  EXPECT_EQ(CreateMailbox(set, ui, std::string(300, 'n')), CMailboxSet::kCannotCreate);
  EXPECT_EQ(ui.questions, Texts(3, kImportQuestion));
  EXPECT_EQ(ui.askedButtons[0], Buttons::YesNo);
  EXPECT_EQ(ui.messages, (Texts{kNameInUseText, kCannotCreateText}));
  EXPECT_EQ(Names(set), Texts{"old"});
}

TEST_F(MailboxDialogLogicTest, DeletingAsksAndMovingKeepsTheSelection) {
  CMailboxSet set(profile);
  FakeUi ui;
  for (const char* name : {"a", "b", "c", "d"}) ASSERT_GE(set.Add(name), 0);
  EXPECT_EQ(DeleteMailbox(set, ui, -1), 0);
  EXPECT_TRUE(ui.questions.empty());
  ui.answers = {Answer::Cancel, Answer::Ok};
  EXPECT_EQ(DeleteMailbox(set, ui, 3), 0);
  EXPECT_EQ(DeleteMailbox(set, ui, 3), 1);
  EXPECT_EQ(
      ui.questions,
      Texts(2,
            "d を削除してもよろしいですか？\r\nメールボックスに入っているメールも削除されます。"));
  EXPECT_EQ(ui.askedButtons[0], Buttons::OkCancel);
  EXPECT_FALSE(Exists("d.mbx"));

  // Each move gives the row that the moved mailbox now has; none past either end.
  EXPECT_EQ(MoveMailbox(set, 0, true), -1);
  EXPECT_EQ(MoveMailbox(set, 2, false), -1);
  EXPECT_EQ(MoveMailbox(set, -1, false), -1);
  EXPECT_EQ(Names(set), (Texts{"a", "b", "c"}));
  EXPECT_EQ(MoveMailbox(set, 2, true), 1);
  EXPECT_EQ(MoveMailbox(set, 1, true), 0);
  EXPECT_EQ(Names(set), (Texts{"c", "a", "b"}));
  EXPECT_EQ(MoveMailbox(set, 0, false), 1);
  EXPECT_EQ(Names(set), (Texts{"a", "c", "b"}));

  EXPECT_EQ(MailboxForProperties(set, ui, 2), set.Get(2));
  EXPECT_EQ(MailboxForProperties(set, ui, -1), nullptr);
  EXPECT_EQ(ui.messages, Texts{kSelectMailboxText});
}

TEST_F(MailboxDialogLogicTest, TheListIsSavedOrTheFailureShown) {
  CMailboxSet set(profile);
  FakeUi ui;
  ASSERT_EQ(set.Add("a"), 0);
  ASSERT_EQ(set.Add("b"), 1);
  EXPECT_TRUE(SaveMailboxList(set, ui));
  EXPECT_EQ(ListValue(), "a:b:");
  ASSERT_EQ(MoveMailbox(set, 1, true), 0);
  SetFileFaultInjector([](FileOperation op) { return op == FileOperation::Rename; });
  EXPECT_FALSE(SaveMailboxList(set, ui));
  SetFileFaultInjector(nullptr);
  EXPECT_EQ(ui.messages, Texts{kListNotSavedText});
  EXPECT_EQ(ListValue(), "a:b:");
}

// ---- The friend/bad list editor ----

class ListEditingTest : public MailboxSetTest {
 protected:
  // Loaded from files, so that nothing counts as changed at the start.
  void SetUp() override {
    MailboxSetTest::SetUp();
    CSenderLists made;
    for (const char* address : {"b@x.jp", "a@x.jp", "c@x.jp"}) made.AddFriend(address);
    made.AddTo(SenderList::Bad, "a@x.jp");
    made.AddTo(SenderList::Bad, "spam@");
    ASSERT_TRUE(made.SaveChanged("."));
    lists.Load(".");
    settings = std::make_unique<CSettings>();
    editing = std::make_unique<CListEditing>(lists, *settings, ui);
  }

  CSenderLists lists;
  FakeUi ui;
  std::unique_ptr<CSettings> settings;
  std::unique_ptr<CListEditing> editing;
};

TEST_F(ListEditingTest, AddsAsTypedToTheShownListOnly) {
  EXPECT_FALSE(CanAddAddress(""));
  EXPECT_TRUE(CanAddAddress("d"));
  EXPECT_FALSE(CanDeleteAddresses(0));
  EXPECT_TRUE(CanDeleteAddresses(2));
  EXPECT_EQ(editing->Shown(), SenderList::Friend);
  EXPECT_FALSE(editing->Show(SenderList::Friend));
  EXPECT_TRUE(editing->Add("b@x.jp"));
  EXPECT_EQ(editing->Rows(), (Texts{"a@x.jp", "b@x.jp", "c@x.jp"}));
  EXPECT_FALSE(editing->Add(""));
  EXPECT_TRUE(editing->Add(" D@x.jp"));
  EXPECT_EQ(editing->Rows(), (Texts{" D@x.jp", "a@x.jp", "b@x.jp", "c@x.jp"}));
  EXPECT_TRUE(editing->Show(SenderList::Bad));
  EXPECT_EQ(editing->Rows(), (Texts{"a@x.jp", "spam@"}));
  EXPECT_TRUE(editing->Add("c@x.jp"));
  EXPECT_TRUE(lists.InFriendList("c@x.jp"));
  EXPECT_TRUE(lists.InBadList("c@x.jp"));
  EXPECT_TRUE(lists.Changed());
}

struct DeleteCase {
  const char* label;
  Texts chosen;
  std::deque<Answer> answers;
  Texts questions;
  Texts messages;
  CListEditing::Deleted deleted;
  Texts rows;
};
void PrintTo(const DeleteCase& c, std::ostream* os) { *os << c.label; }

class ListDeleteTest : public ListEditingTest, public ::testing::WithParamInterface<DeleteCase> {};

TEST_P(ListDeleteTest, AsksThenDeletesFromTheShownList) {
  const DeleteCase& c = GetParam();
  ui.answers = c.answers;
  EXPECT_EQ(editing->Delete(c.chosen, "shown"), c.deleted);
  EXPECT_EQ(ui.questions, c.questions);
  EXPECT_EQ(ui.messages, c.messages);
  EXPECT_EQ(editing->Rows(), c.rows);
  EXPECT_EQ(lists.Changed(), c.deleted != CListEditing::Deleted::None);
  // The bad list's copy of a@x.jp is not the friend list's.
  EXPECT_TRUE(lists.InBadList("a@x.jp"));
}

const Texts kAll{"a@x.jp", "b@x.jp", "c@x.jp"};
const std::string kOne = "shown を削除します。よろしいですか？";
const std::string kTwo = "2 個のメールアドレスを削除します。よろしいですか？";
using Deleted = CListEditing::Deleted;
INSTANTIATE_TEST_SUITE_P(
    Selections, ListDeleteTest,
    ::testing::Values(
        DeleteCase{"None", {}, {}, {}, {kSelectAddressFirstText}, Deleted::None, kAll},
        DeleteCase{"One", {"b@x.jp"}, {Answer::Ok}, {kOne}, {}, Deleted::One, {"a@x.jp", "c@x.jp"}},
        DeleteCase{
            "Two", {"a@x.jp", "c@x.jp"}, {Answer::Ok}, {kTwo}, {}, Deleted::Several, {"b@x.jp"}},
        DeleteCase{"OneCancelled", {"b@x.jp"}, {Answer::Cancel}, {kOne}, {}, Deleted::None, kAll},
        DeleteCase{"TwoCancelled",
                   {"a@x.jp", "b@x.jp"},
                   {Answer::Cancel},
                   {kTwo},
                   {},
                   Deleted::None,
                   kAll}),
    [](const auto& testInfo) { return std::string(testInfo.param.label); });

TEST_F(ListEditingTest, StoresTheSwitchOnlyWhenTheSettingsFileTakesIt) {
  ASSERT_TRUE(editing->Store(true));
  EXPECT_TRUE(lists.AddEmptyAddrToBadlist());
  EXPECT_EQ(ReadAll(settings::kFileName), "[ProcessMail]\r\nAddEmptyAddrToBadlist=1\r\n");
  ASSERT_TRUE(editing->Store(false));
  EXPECT_FALSE(lists.AddEmptyAddrToBadlist());
  EXPECT_TRUE(ui.messages.empty());

  std::filesystem::remove(settings::kFileName);
  std::filesystem::create_directory(settings::kFileName);
  EXPECT_FALSE(editing->Store(true));
  EXPECT_FALSE(lists.AddEmptyAddrToBadlist());
  EXPECT_EQ(ui.messages, Texts{kListSettingsNotSavedText});
}

// ---- The remote account page ----

TEST_F(MailboxDialogLogicTest, AccountPageSetsTheRemoteAccount) {
  CMailboxSet set(profile);
  FakeUi ui;
  ASSERT_EQ(set.Add("a"), 0);
  CMailbox& mailbox = *set.Get(0);
  AccountPageValues values = LoadAccountPage(mailbox);
  EXPECT_EQ(values.port, "110");
  values.server = "pop.example.org";
  values.user = "me";
  values.password = "secret";
  ChangeSecurity(values, ConnectionSecurity::Tls);
  EXPECT_EQ(values.port, "995");
  values.caFile = "ca.pem";
  ASSERT_EQ(ApplyAccountPage(set, 0, values, ui), 1);
  const CRemoteAccount expected{"pop.example.org",       995,     "me", "secret",
                                ConnectionSecurity::Tls, "ca.pem"};
  EXPECT_EQ(mailbox.Client().account, expected);
  EXPECT_TRUE(mailbox.ConfigDirty());

  // A port of the user's own survives a change of security.
  values.port = "2110";
  ChangeSecurity(values, ConnectionSecurity::StartTls);
  EXPECT_EQ(values.port, "2110");
  values.port = "995";
  ChangeSecurity(values, ConnectionSecurity::Plain);
  EXPECT_EQ(values.port, "110");
}

TEST_F(MailboxDialogLogicTest, AccountPageRefusesBadPortsAndLineBreaks) {
  CMailboxSet set(profile);
  FakeUi ui;
  ASSERT_EQ(set.Add("a"), 0);
  const CRemoteAccount before = set.Get(0)->Client().account;
  for (const char* port : {"0", "65536", "", "11O", "99999999999999999999"}) {
    AccountPageValues values = LoadAccountPage(*set.Get(0));
    values.port = port;
    EXPECT_EQ(ApplyAccountPage(set, 0, values, ui), 0) << port;
  }
  EXPECT_EQ(ui.messages, Texts(5, NumberRangeText(1, 65535)));
  ui.messages.clear();
  AccountPageValues values = LoadAccountPage(*set.Get(0));
  values.password = "pw\r\nDELE 1";
  EXPECT_EQ(ApplyAccountPage(set, 0, values, ui), 0);
  EXPECT_EQ(ui.messages, Texts{kLineBreakRefusedText});
  ui.messages.clear();
  // A token only over TLS; a command line the program could not run.
  values = LoadAccountPage(*set.Get(0));
  values.auth = AuthMethod::XOAuth2;
  values.tokenCommand = "oama access me";
  EXPECT_EQ(ApplyAccountPage(set, 0, values, ui), 0);
  values.security = ConnectionSecurity::StartTls;
  values.tokenCommand = "";
  EXPECT_EQ(ApplyAccountPage(set, 0, values, ui), 0);
  values.tokenCommand = "pass show x | head -1";
  EXPECT_EQ(ApplyAccountPage(set, 0, values, ui), 0);
  EXPECT_EQ(ui.messages,
            (Texts{kTokenNeedsTlsText, kTokenCommandMissingText, kCommandRefusedText}));
  EXPECT_EQ(set.Get(0)->Client().account, before);
  values.tokenCommand = "oama access me";
  ASSERT_EQ(ApplyAccountPage(set, 0, values, ui), 1);
  EXPECT_EQ(set.Get(0)->Client().account.auth, AuthMethod::XOAuth2);
  EXPECT_EQ(set.Get(0)->Client().account.tokenCommand, "oama access me");
  EXPECT_EQ(LoadAccountPage(*set.Get(0)).tokenCommand, "oama access me");
}

// ---- The local account page ----

TEST(ProxyPageTest, AutomaticDustboxAccountFollowsTheAccountWhileTicked) {
  ProxyPageValues values;
  values.user = "u";
  values.password = "pw";
  EXPECT_FALSE(FillAutomaticDustboxAccount(values));  // no dustbox access
  values.dustboxAccess = true;
  EXPECT_FALSE(FillAutomaticDustboxAccount(values));  // not ticked
  EXPECT_EQ(values.dustboxUser, "");
  values.automatic = true;
  EXPECT_TRUE(FillAutomaticDustboxAccount(values));
  EXPECT_EQ(values.dustboxUser, "u_dustbox");
  EXPECT_EQ(values.dustboxPassword, "pw");
  EXPECT_FALSE(FillAutomaticDustboxAccount(values));  // nothing left to change
  values.user += "s";
  EXPECT_TRUE(FillAutomaticDustboxAccount(values));
  EXPECT_EQ(values.dustboxUser, "us_dustbox");
}

TEST_F(MailboxDialogLogicTest, ProxyPageRefusesClashingNames) {
  CMailboxSet set(profile);
  FakeUi ui;
  ASSERT_EQ(set.Add("a"), 0);
  ASSERT_EQ(set.Add("b"), 1);
  ProxyPageValues first{"u1", "p1", true, false, "d1", "q1"};
  ASSERT_EQ(ApplyProxyPage(set, 0, first, ui), 1);
  const CMailboxConfig before = set.Get(1)->Config();

  const ProxyPageValues refused[] = {
      {"u2", "p2", true, false, "u2", "q2"},  // dustbox user = user
      {"u1", "p2", false, false, "", ""},     // the other mailbox's user
      {"d1", "p2", false, false, "", ""},     // the other mailbox's dustbox user
      {"u2", "p2", true, false, "u1", "q2"},  // dustbox user = the other's user
  };
  for (ProxyPageValues values : refused) EXPECT_EQ(ApplyProxyPage(set, 1, values, ui), 0);
  EXPECT_EQ(ui.messages, Texts(4, "設定に問題があります。"));
  EXPECT_EQ(set.Get(1)->Config(), before);
}

TEST_F(MailboxDialogLogicTest, ProxyPageStoresNoDustboxAccessWithoutACompleteAccount) {
  CMailboxSet set(profile);
  FakeUi ui;
  ASSERT_EQ(set.Add("a"), 0);
  const CMailboxConfig& config = set.Get(0)->Config();

  ProxyPageValues values{"u", "p", true, false, "d", ""};
  ASSERT_EQ(ApplyProxyPage(set, 0, values, ui), 1);
  EXPECT_FALSE(values.dustboxAccess);
  EXPECT_FALSE(config.Has(CMailboxConfig::DustboxAccess));
  EXPECT_EQ(config.dustboxUser, "");

  values = {"u", "p", false, false, "d", "q"};
  ASSERT_EQ(ApplyProxyPage(set, 0, values, ui), 1);
  EXPECT_EQ(values.dustboxUser, "");
  EXPECT_EQ(values.dustboxPassword, "");

  values = {"u", "p", true, false, "d", "q"};
  ASSERT_EQ(ApplyProxyPage(set, 0, values, ui), 1);
  EXPECT_TRUE(config.Has(CMailboxConfig::DustboxAccess));
  EXPECT_EQ(config.dustboxUser, "d");
  EXPECT_EQ(config.dustboxPassword, "q");
  EXPECT_EQ(LoadProxyPage(*set.Get(0)).dustboxUser, "d");
  EXPECT_TRUE(ui.messages.empty());
}

// ---- The receiving page ----

struct IntervalCase {
  const char* text;
  bool accepted;
};
void PrintTo(const IntervalCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class IntervalTest : public MailboxSetTest, public ::testing::WithParamInterface<IntervalCase> {};

TEST_P(IntervalTest, LiesBetween30And86400) {
  CMailboxSet set(profile);
  FakeUi ui;
  ASSERT_EQ(set.Add("a"), 0);
  ReceivePageValues values = LoadReceivePage(*set.Get(0));
  values.interval = GetParam().text;
  const int applied = ApplyReceivePage(set, 0, values, ui);
  const std::uint32_t interval = set.Get(0)->Config().timerInterval;
  if (GetParam().accepted) {
    EXPECT_EQ(applied, 1);
    EXPECT_EQ(interval, std::stoul(GetParam().text));
    EXPECT_TRUE(ui.messages.empty());
  } else {
    EXPECT_EQ(applied, 0);
    EXPECT_EQ(interval, CMailboxConfig::DefaultTimerInterval);
    EXPECT_EQ(ui.messages, Texts{"30 から 86400 までの整数を入力してください。"});
  }
}

INSTANTIATE_TEST_SUITE_P(Intervals, IntervalTest,
                         ::testing::Values(IntervalCase{"29", false}, IntervalCase{"30", true},
                                           IntervalCase{"86400", true},
                                           IntervalCase{"86401", false}, IntervalCase{"", false},
                                           IntervalCase{"1e3", false},
                                           IntervalCase{"4294967326", false}));

TEST_F(MailboxDialogLogicTest, ReceivePageWritesOnlyItsOwnOptions) {
  CMailboxSet set(profile);
  FakeUi ui;
  ASSERT_EQ(set.Add("a"), 0);
  CMailboxConfig& config = set.Get(0)->Config();
  config.timerInterval = 0;
  config.Set(CMailboxConfig::DustboxAccess, true);
  ReceivePageValues values = LoadReceivePage(*set.Get(0));
  EXPECT_FALSE(values.timer);
  EXPECT_EQ(values.interval, "180");
  EXPECT_EQ(values.options, CMailboxConfig::DefaultOptions & ReceivePageOptionMask());

  values.options = ~0u;
  ASSERT_EQ(ApplyReceivePage(set, 0, values, ui), 1);
  EXPECT_EQ(config.timerInterval, 0u);
  EXPECT_EQ(config.options, (CMailboxConfig::DefaultOptions | CMailboxConfig::DustboxAccess |
                             ReceivePageOptionMask()));
  values.timer = true;
  values.interval = "600";
  ASSERT_EQ(ApplyReceivePage(set, 0, values, ui), 1);
  EXPECT_EQ(config.timerInterval, 600u);
}

// ---- The deletion page ----

constexpr Answer kNoQuestion = Answer::Ok;
constexpr std::uint32_t kFriend = CMailboxConfig::KeepFriendOnServer;
constexpr std::uint32_t kOther = CMailboxConfig::KeepOtherOnServer;

struct DeletionCase {
  const char* label;
  ServerDeletion from;
  // KeepOnServer ticks "keep mail on the server"; the others select their radio button.
  ServerDeletion to;
  std::uint32_t exemptions;
  bool refetch;
  // The answer given, or kNoQuestion when none may be asked.
  Answer answer;
  // The unique ids in the two lists afterwards, separated by blanks.
  const char* deletedHere;
  const char* pending;
};
void PrintTo(const DeletionCase& c, std::ostream* os) { *os << c.label; }

std::string Joined(const Texts& texts) {
  std::string joined;
  for (const std::string& text : texts) joined += (joined.empty() ? "" : " ") + text;
  return joined;
}

class DustboxPageTest : public MailboxSetTest,
                        public ::testing::WithParamInterface<DeletionCase> {};

// D1 was deleted here while its server copy stays; P1 waits for deletion on the server.
TEST_P(DustboxPageTest, AsksAboutMailDeletedHereOnlyWhenAnExemptionMayHaveKeptIt) {
  const DeletionCase& c = GetParam();
  CMailboxSet set(profile);
  FakeUi ui;
  ASSERT_EQ(set.Add("a"), 0);
  CMailbox& mailbox = *set.Get(0);
  CMailboxClient& client = mailbox.Client();
  client.RegisterKnown("D1", "<d1@example.org>");
  client.ForgetDeleted("D1");
  client.RegisterKnown("P1", "<p1@example.org>");
  client.RequestServerDeletion("P1");
  mailbox.Config().SetServerDeletion(c.from);

  DustboxPageValues values = LoadDustboxPage(mailbox);
  EXPECT_EQ(values.deletedHereCount, 1);
  values.keepOnServer = c.to == KeepOnServer;
  if (c.to != KeepOnServer) values.deletionMode = c.to;
  values.keepFriend = (c.exemptions & kFriend) != 0;
  values.keepOther = (c.exemptions & kOther) != 0;
  values.refetch = c.refetch;
  if (c.answer != kNoQuestion) ui.answers = {c.answer};
  ASSERT_EQ(ApplyDustboxPage(set, 0, values, ui), 1);

  if (c.answer == kNoQuestion) {
    EXPECT_TRUE(ui.questions.empty());
  } else {
    EXPECT_EQ(ui.questions, Texts{kDeletedHereQuestion});
    EXPECT_EQ(ui.askedButtons[0], Buttons::YesNoCancel);
  }
  const CMailboxConfig& config = mailbox.Config();
  EXPECT_EQ(config.GetServerDeletion(), c.to);
  EXPECT_EQ(config.options & (kFriend | kOther), c.exemptions);
  EXPECT_EQ(Joined(UidlsOf(client.DeletedHere())), c.deletedHere);
  EXPECT_EQ(Joined(UidlsOf(client.PendingDeletions())), c.pending);
  EXPECT_EQ(values.deletedHereCount, static_cast<int>(client.DeletedHere().Count()));
  EXPECT_FALSE(values.refetch);
}

INSTANTIATE_TEST_SUITE_P(
    Transitions, DustboxPageTest,
    ::testing::Values(DeletionCase{"NoExemptionNoQuestion", DeleteWhenRetrieved, DeleteWhenPurged,
                                   0, false, kNoQuestion, "", "P1 D1"},
                      DeletionCase{"FriendExemptionYes", DeleteWhenRetrieved, DeleteWhenPurged,
                                   kFriend, false, Answer::Yes, "", "P1 D1"},
                      DeletionCase{"OtherExemptionNo", KeepOnServer, DeleteWhenDustboxed, kOther,
                                   false, Answer::No, "D1", "P1"},
                      DeletionCase{"BothExemptionsCancel", DeleteWhenPurged, DeleteWhenRetrieved,
                                   kFriend | kOther, false, Answer::Cancel, "", "P1"},
                      // Refetching empties the list first: nothing is left to ask about.
                      DeletionCase{"RefetchFirst", DeleteWhenRetrieved, DeleteWhenPurged,
                                   kFriend | kOther, true, kNoQuestion, "", "P1"},
                      // Kept on the server: waiting deletions are held back, never asked about.
                      DeletionCase{"ToKeepOnServer", DeleteWhenRetrieved, KeepOnServer,
                                   kFriend | kOther, false, kNoQuestion, "D1 P1", ""},
                      DeletionCase{"UnchangedPolicy", DeleteWhenPurged, DeleteWhenPurged, kFriend,
                                   false, kNoQuestion, "D1", "P1"}),
    [](const auto& testInfo) { return std::string(testInfo.param.label); });

TEST_F(MailboxDialogLogicTest, DustboxPageAsksNothingWithoutMailDeletedHere) {
  CMailboxSet set(profile);
  FakeUi ui;
  ASSERT_EQ(set.Add("a"), 0);
  DustboxPageValues values = LoadDustboxPage(*set.Get(0));
  EXPECT_EQ(values.deletedHereCount, 0);
  values.deletionMode = DeleteWhenPurged;
  values.keepFriend = values.keepOther = true;
  ASSERT_EQ(ApplyDustboxPage(set, 0, values, ui), 1);
  EXPECT_TRUE(ui.questions.empty());
  EXPECT_EQ(set.Get(0)->Config().GetServerDeletion(), DeleteWhenPurged);
}

TEST_F(MailboxDialogLogicTest, DustboxPageRefusesALimitThatIsNoNumber) {
  CMailboxSet set(profile);
  FakeUi ui;
  ASSERT_EQ(set.Add("a"), 0);
  set.Get(0)->Client().RegisterKnown("D1", "<d1@example.org>");
  set.Get(0)->Client().ForgetDeleted("D1");
  const CMailboxConfig before = set.Get(0)->Config();
  DustboxPageValues values = LoadDustboxPage(*set.Get(0));
  values.refetch = true;
  values.keepOnServer = true;
  values.dustboxLimit = "-1";
  EXPECT_EQ(ApplyDustboxPage(set, 0, values, ui), 0);
  EXPECT_EQ(ui.messages, Texts{NumberRangeText(0, 4294967295u)});
  EXPECT_EQ(set.Get(0)->Config(), before);
  EXPECT_EQ(set.Get(0)->Client().DeletedHere().Count(), 1u);
}

// ---- Locking ----

struct LockCase {
  const char* label;
  // Applies a change to mailbox 0; tells whether it is in place.
  std::function<void(CMailboxSet&, IUserInterface&)> apply;
  std::function<bool(const CMailbox&)> applied;
};
void PrintTo(const LockCase& c, std::ostream* os) { *os << c.label; }

class RetrievalLockTest : public MailboxSetTest, public ::testing::WithParamInterface<LockCase> {};

TEST_P(RetrievalLockTest, ApplyingWaitsForARunningRetrieval) {
  CMailboxSet set(profile);
  FakeUi ui;
  ASSERT_EQ(set.Add("a"), 0);
  CMailbox& mailbox = *set.Get(0);
  std::atomic<bool> held{false};
  bool changedWhileHeld = true;
  // Stands for a retrieval: holds the lock a while, looks at the settings, lets go.
  std::thread retrieval([&] {
    mailbox.retrievalLock.Acquire();
    held = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    changedWhileHeld = GetParam().applied(mailbox);
    mailbox.retrievalLock.Release();
  });
  while (!held) std::this_thread::yield();
  GetParam().apply(set, ui);
  retrieval.join();
  EXPECT_FALSE(changedWhileHeld);
  EXPECT_TRUE(GetParam().applied(mailbox));
  // Released again: a retrieval can run.
  ASSERT_TRUE(mailbox.retrievalLock.TryAcquire());
  mailbox.retrievalLock.Release();
}

INSTANTIATE_TEST_SUITE_P(
    Pages, RetrievalLockTest,
    ::testing::Values(
        LockCase{"Account",
                 [](CMailboxSet& set, IUserInterface& ui) {
                   AccountPageValues values = LoadAccountPage(*set.Get(0));
                   values.server = "pop.example.org";
                   ApplyAccountPage(set, 0, values, ui);
                 },
                 [](const CMailbox& m) { return m.Client().account.server == "pop.example.org"; }},
        LockCase{"Proxy",
                 [](CMailboxSet& set, IUserInterface& ui) {
                   ProxyPageValues values = LoadProxyPage(*set.Get(0));
                   values.user = "u";
                   ApplyProxyPage(set, 0, values, ui);
                 },
                 [](const CMailbox& m) { return m.Config().localUser == "u"; }},
        LockCase{"Receive",
                 [](CMailboxSet& set, IUserInterface& ui) {
                   ReceivePageValues values = LoadReceivePage(*set.Get(0));
                   values.interval = "60";
                   ApplyReceivePage(set, 0, values, ui);
                 },
                 [](const CMailbox& m) { return m.Config().timerInterval == 60; }},
        LockCase{"Dustbox",
                 [](CMailboxSet& set, IUserInterface& ui) {
                   DustboxPageValues values = LoadDustboxPage(*set.Get(0));
                   values.keepOnServer = true;
                   ApplyDustboxPage(set, 0, values, ui);
                 },
                 [](const CMailbox& m) { return m.Config().GetServerDeletion() == KeepOnServer; }}),
    [](const auto& testInfo) { return std::string(testInfo.param.label); });

TEST_F(MailboxDialogLogicTest, DeletingWaitsForARunningRetrieval) {
  CMailboxSet set(profile);
  FakeUi ui;
  ASSERT_EQ(set.Add("a"), 0);
  CMailbox& mailbox = *set.Get(0);
  ui.answers = {Answer::Ok};
  std::atomic<bool> held{false};
  bool filesWhileHeld = false;
  std::thread retrieval([&] {
    mailbox.retrievalLock.Acquire();
    held = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    filesWhileHeld = Exists("a.mbx");
    // The mailbox may be gone as soon as the lock is free: nothing of it is touched afterwards.
    mailbox.retrievalLock.Release();
  });
  while (!held) std::this_thread::yield();
  EXPECT_EQ(DeleteMailbox(set, ui, 0), 1);
  retrieval.join();
  EXPECT_TRUE(filesWhileHeld);
  EXPECT_FALSE(Exists("a.mbx"));
  EXPECT_EQ(set.Count(), 0);
}

TEST_F(MailboxDialogLogicTest, AMailboxAMailClientIsLoggedInToIsKept) {
  CMailboxSet set(profile);
  FakeUi ui;
  ASSERT_EQ(set.Add("a"), 0);
  CMailbox& mailbox = *set.Get(0);
  ui.answers = {Answer::Ok};
  std::promise<void> loggedIn;
  std::promise<void> quit;
  std::thread client([&mailbox, &loggedIn, done = quit.get_future()] {
    ASSERT_EQ(mailbox.OpenMaildrop(), 1);
    loggedIn.set_value();
    done.wait();
    mailbox.CloseMaildrop();
  });
  loggedIn.get_future().wait();
  EXPECT_EQ(DeleteMailbox(set, ui, 0), 0);
  quit.set_value();
  client.join();
  EXPECT_EQ(ui.messages, Texts{kMailboxBusyText});
  EXPECT_EQ(set.Count(), 1);
  EXPECT_TRUE(Exists("a.mbx"));
}

}  // namespace
}  // namespace qm
