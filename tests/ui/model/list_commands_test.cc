#include "ui/model/list_commands.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/settings.h"
#include "classify/sender_lists.h"
#include "classify/spam_classifier.h"
#include "mailboxes/mailbox_set_fixture.h"
#include "message/mail_message.h"
#include "platform/socket.h"
#include "pop3client/pop3_session.h"
#include "support/held_lock.h"
#include "ui/model/list_command_table.h"
#include "ui/model/mail_list.h"
#include "ui/model/program_call.h"

namespace qm {
namespace {

using Ints = std::vector<int>;
using Texts = std::vector<std::string>;

// Writes each request of the commands as one line, in order; answers questions from a queue.
class FakeWindow : public IListWindow {
 public:
  void ShowMessage(std::string_view text) override { Log("message " + std::string(text)); }
  Answer Ask(std::string_view question, Buttons buttons) override {
    static const char* const kButtons[] = {"ok", "okcancel", "yesno", "yesnocancel"};
    Log("ask/" + std::string(kButtons[static_cast<int>(buttons)]) + " " + std::string(question));
    if (answers.empty()) return Answer::Cancel;
    const Answer answer = answers.front();
    answers.pop_front();
    return answer;
  }
  std::vector<int> SelectedRows() const override { return selection; }
  void SetSelection(std::span<const int> rows) override {
    selection.assign(rows.begin(), rows.end());
    Log("select");
  }
  void RowsChanged() override { Log("rows"); }
  void Redraw() override { Log("redraw"); }
  void UpdateCounts() override { Log("counts"); }
  void ActivateMailbox(int index) override { Log("activate " + std::to_string(index)); }
  void MinimiseAndHide() override { Log("hide window"); }
  void EndNewMailIndication() override { Log("end new mail"); }
  void OpenViewer(const CMailMessage& message) override { Log("viewer " + message.Subject()); }
  bool OpenPath(const std::string& path) override {
    Log("open " + path);
    return openSucceeds;
  }
  bool StartProgram(const ProgramCall& call) override {
    std::string event = "start " + call.program;
    for (const std::string& argument : call.arguments) event += " [" + argument + "]";
    Log(event);
    return openSucceeds;
  }
  void OpenDialog(int command) override { Log("dialog " + std::to_string(command)); }
  void OpenProgress(std::string_view title, int maximum) override {
    Log("progress " + std::string(title) + " 0.." + std::to_string(maximum));
  }
  void StepProgress(int position, std::string_view text) override {
    Log("step " + std::to_string(position) + " " + std::string(text));
    if (cancelAtFirstStep && position == 0) cancelNow = true;
  }
  void CloseProgress() override { Log("progress closed"); }
  void WaitWithProgress(const std::function<bool()>& finished,
                        const std::function<void()>& cancel) override {
    while (!finished()) {
      if (cancelNow && !cancelPressed) {
        cancel();
        cancelPressed = true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  void Log(const std::string& event) { events += (events.empty() ? "" : "|") + event; }
  // The events since the last call, joined with '|'.
  std::string Take() { return std::exchange(events, {}); }

  bool cancelAtFirstStep = false;
  bool cancelNow = false;
  std::atomic<bool> cancelPressed{false};
  bool openSucceeds = true;
  std::vector<int> selection;
  std::deque<Answer> answers;
  std::string events;
};

class QuietZones : public IZoneLookup {
 public:
  int Lookup(std::string_view, int) override { return 0; }
};

// Classifies as the program does, and lets a test act just before the n-th mail is classified.
class HookedClassifier : public IClassifier {
 public:
  explicit HookedClassifier(IClassifier& inner) : classifier(inner) {}
  void Classify(CMailMessage& message) override {
    if (++calls == hookAt) hook();
    classifier.Classify(message);
  }
  IClassifier& classifier;
  int calls = 0;
  int hookAt = 0;
  std::function<void()> hook;
};

std::string Joined(const Texts& texts) {
  std::string joined;
  for (const std::string& text : texts) joined += (joined.empty() ? "" : " ") + text;
  return joined;
}

class ListCommandsTest : public test::MailboxSetTest {
 protected:
  void SetUp() override {
    MailboxSetTest::SetUp();
    settings = std::make_unique<CSettings>();
    set = std::make_unique<CMailboxSet>(profile);
    set->SetClassifier(&hooked);
    list = std::make_unique<CMailListModel>(*set);
    commands = std::make_unique<CListCommands>(*list, *set, lists, *settings, window);
  }
  void TearDown() override {
    commands.reset();
    list.reset();
    set.reset();
    MailboxSetTest::TearDown();
  }
  // Mailbox 0 with one unread, unclassified mail per subject, sent by "<subject>@example.org"
  // unless `senders` names another ("" for none), and these mails in its dustbox, sent by x.
  CMailbox& Mailbox(const Texts& subjects, const Texts& dustbox = {}, const Texts& senders = {}) {
    EXPECT_EQ(set->Add("a"), 0);
    CMailbox& mailbox = *set->Get(0);
    for (std::size_t i = 0; i < subjects.size(); ++i)
      Add(mailbox, subjects[i], i < senders.size() ? senders[i] : subjects[i] + "@example.org");
    for (const std::string& subject : dustbox) Add(*mailbox.Dustbox(), subject, "x@example.org");
    list->SelectMailbox(0);
    return mailbox;
  }
  static void Add(CMailbox& mailbox, const std::string& subject, const std::string& sender) {
    CMailMessage message;
    message.Parse((sender.empty() ? "" : "From: " + sender + "\r\n") + "Subject: " + subject +
                  "\r\n\r\nbody\r\n.\r\n");
    message.mark.SetClassification(VerdictUnclassified, 0);
    ASSERT_GT(mailbox.AppendMessage(message), 0);
  }
  static std::string Subjects(const CMailbox& mailbox) {
    Texts subjects;
    for (int n = 1; n <= mailbox.MessageCount(); ++n)
      subjects.push_back(mailbox.Summary(n).subject);
    return Joined(subjects);
  }
  // The rows as "number:subject".
  std::string Shown() const {
    Texts rows;
    for (const MailListRow& row : list->Rows())
      rows.push_back(row.texts[ColumnNumber] + ":" + row.texts[ColumnSubject]);
    return Joined(rows);
  }
  Ints Of(int MailListRow::*member) const {
    Ints values;
    for (const MailListRow& row : list->Rows()) values.push_back(row.*member);
    return values;
  }
  void SelectAll() {
    window.selection.clear();
    for (int row = 0; row < list->RowCount(); ++row) window.selection.push_back(row);
  }

  CSenderLists lists;
  QuietZones zones;
  SpamClassifier classifier{lists, zones};
  HookedClassifier hooked{classifier};
  FakeWindow window;
  std::unique_ptr<CSettings> settings;
  std::unique_ptr<CMailboxSet> set;
  std::unique_ptr<CMailListModel> list;
  std::unique_ptr<CListCommands> commands;
};

const std::string kPurge = "ask/okcancel " + std::string(kConfirmPurgeText);
constexpr auto kVerdict = &MailListRow::verdictImage;
constexpr auto kState = &MailListRow::stateImage;

// ---- Delete and restore ----

struct DeleteCase {
  bool dustboxView, shift;
  std::deque<Answer> answers;
  CommandResult result;
  std::string events, mailbox, dustbox, shown;
};

class DeleteTest : public ListCommandsTest, public ::testing::WithParamInterface<DeleteCase> {};

// Rows 0 and 2 selected: the highest goes first, so it lies in the dustbox first.
TEST_P(DeleteTest, MovesToTheDustboxOrPurgesAfterAskingUnlessShiftIsHeld) {
  const DeleteCase& c = GetParam();
  CMailbox& a = Mailbox({"m1", "m2", "m3"}, {"d1", "d2", "d3"});
  list->ShowDustbox(c.dustboxView);
  window.selection = {0, 2};
  window.answers = c.answers;
  EXPECT_EQ(commands->Delete(c.shift), c.result);
  EXPECT_EQ(window.Take(), c.events);
  EXPECT_EQ(Subjects(a), c.mailbox);
  EXPECT_EQ(Subjects(*a.Dustbox()), c.dustbox);
  EXPECT_EQ(Shown(), c.shown);
  EXPECT_EQ(window.selection, c.result == CommandResult::Done ? Ints{} : (Ints{0, 2}));
}

const std::string kRemoved = "rows|select|counts";
INSTANTIATE_TEST_SUITE_P(
    Cases, DeleteTest,
    ::testing::Values(
        DeleteCase{false, false, {}, CommandResult::Done, kRemoved, "m2", "d1 d2 d3 m3 m1", "1:m2"},
        DeleteCase{false, true, {}, CommandResult::Done, kRemoved, "m2", "d1 d2 d3", "1:m2"},
        DeleteCase{true,
                   false,
                   {Answer::Cancel},
                   CommandResult::Cancelled,
                   kPurge,
                   "m1 m2 m3",
                   "d1 d2 d3",
                   "1:d1 2:d2 3:d3"},
        DeleteCase{true,
                   false,
                   {Answer::Ok},
                   CommandResult::Done,
                   kPurge + "|" + kRemoved,
                   "m1 m2 m3",
                   "d2",
                   "1:d2"},
        DeleteCase{true, true, {}, CommandResult::Done, kRemoved, "m1 m2 m3", "d2", "1:d2"}));

TEST_F(ListCommandsTest, NothingSelectedDoesNothing) {
  Mailbox({"m1"});
  for (int id : {CmdDelete, CmdViewMail, CmdHide, CmdAddFriend, CmdAddBad, CmdReclassify})
    EXPECT_EQ(commands->Execute(id, false, false), CommandResult::Nothing) << id;
  EXPECT_EQ(window.Take(), "");
  EXPECT_EQ(Shown(), "1:m1");
}

// Every command that acts on the selected messages, in the dustbox view of three messages.
class RowCommandTest : public ListCommandsTest, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    ListCommandsTest::SetUp();
    dustbox = Mailbox({"m1"}, {"d1", "d2", "d3"}).Dustbox();
    list->ShowDustbox(true);
    window.answers = {Answer::Ok, Answer::Yes};
    window.selection = {1};
    before = Marks();
  }
  std::vector<std::uint32_t> Marks() const {
    std::vector<std::uint32_t> marks;
    for (int n = 1; n <= dustbox->MessageCount(); ++n)
      marks.insert(marks.end(),
                   {dustbox->Flags(n), static_cast<std::uint32_t>(dustbox->Mark(n).GetVerdict())});
    return marks;
  }
  void ExpectNothingDone(const std::string& subjects) {
    EXPECT_EQ(Subjects(*dustbox), subjects);
    EXPECT_EQ(Subjects(*set->Get(0)), "m1");
    EXPECT_EQ(Marks(), before);
    EXPECT_FALSE(lists.InFriendList("x@example.org") || lists.InBadList("x@example.org"));
  }
  CMailbox* dustbox = nullptr;
  std::vector<std::uint32_t> before;
};

// A trim (or a mail client) took the oldest message after the list was built, so every number
// has moved: no command may act on the message that now has the row's number.
TEST_P(RowCommandTest, AStaleRowIsNotActedOnAndTheListIsRebuilt) {
  ASSERT_EQ(dustbox->RemoveMessage(1, nullptr), 1);
  before = Marks();
  EXPECT_EQ(commands->Execute(GetParam(), false, false), CommandResult::Stale);
  ExpectNothingDone("d2 d3");
  EXPECT_EQ(Shown(), "1:d2 2:d3");
  EXPECT_TRUE(window.selection.empty());
}

// A mail client holds its mailbox from its login to its end: the window says so rather than wait.
TEST_P(RowCommandTest, AMailboxHeldByAMailClientIsNotWaitedFor) {
  CommandResult result = CommandResult::Done;
  {
    const test::HeldLock client(dustbox->storeLock);
    result = commands->Execute(GetParam(), false, false);
  }
  EXPECT_EQ(result, CommandResult::Failed);
  const std::string events = window.Take();
  EXPECT_NE(events.find("message " + std::string(kMailboxInUseText)), std::string::npos) << events;
  ExpectNothingDone("d1 d2 d3");
}

INSTANTIATE_TEST_SUITE_P(Commands, RowCommandTest,
                         ::testing::Values(CmdDelete, CmdRestore, CmdViewMail, CmdHide, CmdUnhide,
                                           CmdMarkRead, CmdMarkUnread, CmdAddFriend, CmdAddBad,
                                           CmdRemoveFriend, CmdReclassify));

TEST_F(ListCommandsTest, RestoreWorksOnlyInTheDustboxViewThatGTogglesAndTheStateShows) {
  CMailbox& a = Mailbox({"m1"}, {"d1", "d2", "d3"});
  window.selection = {0};
  EXPECT_EQ(commands->State(CmdRestore), (CommandState{false, false}));
  EXPECT_TRUE(commands->OnKey('C', false, false, 1));
  EXPECT_EQ(Subjects(a), "m1");

  EXPECT_TRUE(commands->OnKey('G', false, false, 1));
  EXPECT_EQ(commands->State(CmdShowDustbox), (CommandState{true, true}));
  EXPECT_EQ(commands->State(CmdRestore), (CommandState{true, false}));
  window.selection = {2, 0};
  window.Take();
  EXPECT_EQ(commands->RestoreFromDustbox(), CommandResult::Done);
  EXPECT_EQ(Subjects(a), "m1 d3 d1");
  EXPECT_EQ(Shown(), "1:d2");
  EXPECT_EQ(window.Take(), kRemoved);
  commands->Execute(CmdShowDustbox, false, false);
  EXPECT_EQ(Shown(), "1:m1 2:d3 3:d1");
}

TEST_F(ListCommandsTest, ARestoreThatFailsRestoresNoneAndKeepsTheSelection) {
  CMailbox& a = Mailbox({"m1"}, {"d1", "d2", "d3"});
  list->ShowDustbox(true);
  SelectAll();
  // While the mails are classified, the mailbox's message file stops being writable.
  hooked.hookAt = 2;
  hooked.hook = [&a] {
    std::filesystem::remove(a.MessageFile());
    std::filesystem::create_directory(a.MessageFile());
  };
  EXPECT_EQ(commands->RestoreFromDustbox(), CommandResult::Failed);
  EXPECT_EQ(window.Take(), "rows|select|counts|message " + std::string(kRestoreFailedText));
  EXPECT_EQ(Subjects(*a.Dustbox()), "d1 d2 d3");
  EXPECT_EQ(Shown(), "1:d1 2:d2 3:d3");
  EXPECT_EQ(window.selection, (Ints{0, 1, 2}));
}

// ---- Marks ----

TEST_F(ListCommandsTest, MarksFollowTheStore) {
  CMailbox& a = Mailbox({"m1", "m2", "m3"});
  window.selection = {0, 2};
  const auto after = [&](CommandResult (CListCommands::*command)()) {
    (commands.get()->*command)();
    return Of(kState);
  };
  EXPECT_EQ(after(&CListCommands::Hide), (Ints{3, 2, 3}));
  EXPECT_EQ(after(&CListCommands::MarkRead), (Ints{1, 2, 1}));
  EXPECT_EQ(a.UnopenedCount(), 1);
  window.selection = {2};
  EXPECT_EQ(after(&CListCommands::Unhide), (Ints{1, 2, 0}));
  EXPECT_EQ(after(&CListCommands::MarkUnread), (Ints{1, 2, 2}));
  EXPECT_EQ(a.Flags(3) & CMailMark::MarkOpened, 0u);
}

TEST_F(ListCommandsTest, ViewMailOpensTheFirstSelectedMailAndMarksItRead) {
  CMailbox& a = Mailbox({"m1", "m2", "m3"});
  list->OnHeaderClick(ColumnNumber);  // descending: row 0 shows mail 3
  window.selection = {2, 1};
  EXPECT_EQ(commands->ViewMail(), CommandResult::Done);
  EXPECT_EQ(window.Take(), "redraw|counts|viewer m2");
  EXPECT_TRUE(a.Flags(2) & CMailMark::MarkOpened);
  EXPECT_EQ(Of(kState), (Ints{2, 0, 2}));
}

TEST_F(ListCommandsTest, MarkingTheDustboxReadRebuildsItWhenShown) {
  CMailbox& a = Mailbox({"m1"}, {"d1", "d2"});
  EXPECT_EQ(commands->MarkDustboxRead(), CommandResult::Done);
  EXPECT_EQ(a.Dustbox()->UnopenedCount(), 0);
  EXPECT_EQ(window.Take(), "counts");
  Add(*a.Dustbox(), "d3", "x@example.org");
  list->ShowDustbox(true);
  EXPECT_EQ(Of(kState), (Ints{0, 0, 2}));
  commands->MarkDustboxRead();
  EXPECT_EQ(Of(kState), (Ints{0, 0, 0}));
  EXPECT_EQ(window.Take(), "counts|rows|select");
}

// ---- Friend and bad lists ----

TEST_F(ListCommandsTest, EmptySendersAreRefusedForTheFriendListOnce) {
  Mailbox({"m1", "m2", "m3", "m4"}, {}, {"", "", "pal@example.org", ""});
  SelectAll();
  EXPECT_EQ(commands->AddFriend(), CommandResult::Done);
  EXPECT_EQ(window.Take(), "message " + std::string(kEmptyFriendText) + "|redraw");
  EXPECT_EQ(lists.FriendEntries(), (Texts{"pal@example.org"}));
  // Only the mail that was added is classified again; the others keep their icons.
  EXPECT_EQ(Of(kVerdict),
            (Ints{VerdictUnclassified, VerdictUnclassified, VerdictFriend, VerdictUnclassified}));
}

TEST_F(ListCommandsTest, AddingToOneListTakesTheSenderOutOfTheOther) {
  Mailbox({"m1"}, {}, {"pal@example.org"});
  window.selection = {0};
  commands->AddBad();
  EXPECT_EQ(Of(kVerdict), (Ints{VerdictBad}));
  commands->AddFriend();
  EXPECT_EQ(lists.BadEntries(), Texts{});
  EXPECT_EQ(Of(kVerdict), (Ints{VerdictFriend}));
  commands->RemoveFriend();
  EXPECT_EQ(lists.FriendEntries(), Texts{});
  EXPECT_EQ(Of(kVerdict), (Ints{-1}));
  EXPECT_TRUE(lists.Changed());
}

TEST_F(ListCommandsTest, AnEmptySenderForTheBadListIsAskedPerMailUntilYes) {
  Mailbox({"m1", "m2", "m3"}, {}, {"", "", ""});
  SelectAll();
  const auto emptyIsBad = [] { return CSettings().Get(settings::AddEmptyAddrToBadlist); };
  const std::string add = "ask/yesno " + std::string(kAskEmptyBadText);
  const std::string remove = "ask/yesno " + std::string(kAskRemoveEmptyBadText);
  window.answers = {Answer::No, Answer::No, Answer::No};
  commands->AddBad();
  EXPECT_EQ(window.Take(), add + "|" + add + "|" + add + "|redraw");
  EXPECT_FALSE(lists.AddEmptyAddrToBadlist());
  EXPECT_EQ(emptyIsBad(), 0);

  window.answers = {Answer::Yes, Answer::No};
  commands->AddBad();
  EXPECT_EQ(window.Take(), add + "|redraw");
  EXPECT_TRUE(lists.AddEmptyAddrToBadlist());
  EXPECT_EQ(emptyIsBad(), 1);
  EXPECT_EQ(Of(kVerdict), (Ints{VerdictBad, VerdictBad, VerdictBad}));
  EXPECT_EQ(lists.BadEntries(), Texts{});

  window.answers = {Answer::No, Answer::Yes};
  commands->RemoveBad();
  EXPECT_EQ(window.Take(), remove + "|" + remove + "|redraw");
  EXPECT_FALSE(lists.AddEmptyAddrToBadlist());
  EXPECT_EQ(emptyIsBad(), 0);
  // The first mail was classified while the rule still stood.
  EXPECT_EQ(Of(kVerdict), (Ints{VerdictBad, -1, -1}));
}

// ---- Reclassify ----

const std::string kProgress = "progress " + std::string(kReclassifyTitle);

TEST_F(ListCommandsTest, ReclassifyingOneMailShowsOneStep) {
  Mailbox({"m1", "m2"});
  lists.AddBad("m2@example.org");
  window.selection = {1};
  EXPECT_EQ(commands->Reclassify(), CommandResult::Done);
  EXPECT_EQ(window.Take(), kProgress + " 0..0|step 0 Checking 1 / 1|progress closed|redraw");
  EXPECT_EQ(Of(kVerdict), (Ints{VerdictUnclassified, VerdictBad}));
  EXPECT_EQ(list->Rows()[1].texts[ColumnDetail], std::to_string(ReasonBadList));
}

TEST_F(ListCommandsTest, ReclassifyStopsAtAMailThatCannotBeRead) {
  CMailbox& a = Mailbox({"m1", "m2", "m3"});
  SelectAll();
  const std::string bytes = ReadAll(a.MessageFile());
  WriteAll(a.MessageFile(), bytes.substr(0, bytes.size() - 5));
  EXPECT_EQ(commands->Reclassify(), CommandResult::Failed);
  EXPECT_EQ(window.Take(), kProgress +
                               " 0..2|step 0 Checking 1 / 3|step 1 Checking 2 / 3|step 2 Checking "
                               "3 / 3|message " +
                               kReclassifyReadFailedText + "|progress closed|redraw");
  EXPECT_EQ(Of(kVerdict), (Ints{-1, -1, VerdictUnclassified}));
}

TEST_F(ListCommandsTest, CancelStopsAfterTheMailBeingClassified) {
  Mailbox({"m1", "m2", "m3"});
  lists.AddBad("m1@example.org");
  lists.AddBad("m2@example.org");
  SelectAll();
  window.cancelAtFirstStep = true;
  // The first mail's look-ups last until Cancel has been pressed.
  hooked.hookAt = 1;
  hooked.hook = [this] {
    while (!window.cancelPressed) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  EXPECT_EQ(commands->Reclassify(), CommandResult::Cancelled);
  EXPECT_EQ(hooked.calls, 1);
  EXPECT_EQ(Of(kVerdict), (Ints{VerdictBad, VerdictUnclassified, VerdictUnclassified}));
  EXPECT_EQ(window.Take(), kProgress + " 0..2|step 0 Checking 1 / 3|progress closed|redraw");
}

// ---- Selection ----

TEST(SelectRowsTest, RuleShiftAndCtrl) {
  // Rows: 0 read friend, 1 read hidden spam, 2 unread bad, 3 unread hidden other, 4 unclassified.
  std::vector<MailListRow> rows(5);
  const int verdicts[] = {VerdictFriend, VerdictSpam, VerdictBad, -1, VerdictUnclassified};
  for (int i = 0; i < 5; ++i) {
    rows[i].number = i + 1;
    rows[i].verdictImage = verdicts[i];
    rows[i].stateImage = (Ints{0, 1, 2, 3, 2})[i];
  }
  const struct {
    SelectRule rule;
    bool shift, ctrl;
    Ints expected;
  } cases[] = {
      {SelectRule::Read, false, false, {0, 1}},        {SelectRule::Read, true, false, {2, 3, 4}},
      {SelectRule::Read, false, true, {0, 1, 4}},      {SelectRule::Hidden, false, false, {1, 3}},
      {SelectRule::Hidden, true, false, {0, 2, 4}},    {SelectRule::Friend, false, false, {0}},
      {SelectRule::Friend, true, false, {1, 2, 3, 4}}, {SelectRule::Bad, false, true, {2, 4}},
      {SelectRule::Bad, true, true, {0, 1, 3, 4}},     {SelectRule::Spam, false, false, {1}},
      {SelectRule::Spam, true, false, {0, 2, 3, 4}}};
  for (const auto& c : cases)
    EXPECT_EQ(SelectRows(rows, Ints{4}, c.rule, c.shift, c.ctrl), c.expected)
        << static_cast<int>(c.rule) << c.shift << c.ctrl;
}

TEST_F(ListCommandsTest, SelectCommandsSetTheWindowsSelection) {
  ASSERT_EQ(Mailbox({"m1", "m2", "m3"}).SetOpened(2, true), 1);
  list->UpdateList();
  window.selection = {0};
  commands->Execute(CmdSelectRead, false, true);
  EXPECT_EQ(window.selection, (Ints{0, 1}));
  commands->Execute(CmdSelectRead, false, false);
  EXPECT_EQ(window.selection, (Ints{1}));
  EXPECT_TRUE(commands->OnKey('A', false, false, 1));
  EXPECT_EQ(window.selection, (Ints{0, 1, 2}));
  EXPECT_TRUE(commands->OnKey('A', true, false, 1));
  EXPECT_EQ(window.selection, Ints{});
}

// ---- Keys and the command table ----

TEST_F(ListCommandsTest, KeysRunTheirCommandsOnce) {
  Mailbox({"m1", "m2"});
  ASSERT_EQ(set->Add("b"), 1);
  window.selection = {1};
  EXPECT_TRUE(commands->OnKey('H', false, false, 2));
  EXPECT_EQ(Of(kState), (Ints{2, 2})) << "a held key acts only once";
  EXPECT_TRUE(commands->OnKey('H', false, false, 1));
  EXPECT_EQ(Of(kState), (Ints{2, 3}));
  EXPECT_TRUE(commands->OnKey('h', true, false, 1));
  EXPECT_EQ(Of(kState), (Ints{2, 2}));
  window.Take();
  EXPECT_FALSE(commands->OnKey('E', false, false, 1));
  for (int key : {'2', '3', '0'}) EXPECT_TRUE(commands->OnKey(key, false, false, 1));
  EXPECT_TRUE(commands->OnKey(KeyEscape, true, false, 1));
  EXPECT_EQ(window.Take(), "activate 1|hide window");
}

KeyBinding Command(int id, bool shift) { return {KeyAction::Command, id, shift, -1}; }
KeyBinding Box(int index, bool shift) { return {KeyAction::ActivateMailbox, 0, shift, index}; }

// One row per rule of the lookup, not per key of the table.
TEST(ListCommandTableTest, KeyAndShiftGiveTheCommand) {
  const struct {
    int key;
    bool shift;
    KeyBinding expected;
  } cases[] = {{KeyEnter, false, Command(CmdViewMail, false)},
               {KeyEscape, false, {KeyAction::MinimiseAndHide, 0, false, -1}},
               {KeyDelete, true, Command(CmdDelete, true)},
               {'1', false, Box(0, false)},
               {'9', true, Box(8, true)},
               {'0', false, Box(9, false)},
               {'B', true, Command(CmdRemoveBad, true)},
               {'u', false, Command(CmdReclassify, false)},
               {KeyF1, false, Command(CmdHelp, false)},
               {'E', false, {}},  // keys the list keeps for itself
               {'Z', true, {}},
               {0x1000013, false, {}}};
  for (const auto& c : cases) EXPECT_EQ(LookupKey(c.key, c.shift), c.expected) << c.key;
}

TEST(ListCommandTableTest, EveryCommandIsInOneMenuOnceAndMenuTextsCarryTheirKeys) {
  const ListCommandInfo* unhide = FindListCommand(CmdUnhide);
  ASSERT_NE(unhide, nullptr);
  EXPECT_EQ(MenuItemText(*unhide), "隠さない(&I)\tShift + H");
  EXPECT_EQ(FindListCommand(12345), nullptr);
  std::set<int> inMenus;
  for (const ListMenu& menu : MainMenus()) {
    for (int id : menu.entries) {
      if (id == kSeparatorId) continue;
      EXPECT_NE(FindListCommand(id), nullptr) << id;
      EXPECT_TRUE(inMenus.insert(id).second) << "twice in the menus: " << id;
    }
  }
  EXPECT_EQ(inMenus.size(), ListCommands().size()) << "a command that no menu offers";
  for (int id : ToolBarCommands()) EXPECT_TRUE(id == kSeparatorId || FindListCommand(id)) << id;
}

TEST_F(ListCommandsTest, ReceiveRetrievesTheCurrentMailboxOrAllWithShift) {
  class Host : public IRetrievalHost {
   public:
    void SetTimer(std::uint32_t, std::uint32_t) override {}
    void KillTimer(std::uint32_t) override {}
    void RetrievalEnded(int trigger, int index) override {
      std::lock_guard lock(mutex);
      ended.emplace_back(trigger, index);
    }
    std::mutex mutex;
    std::vector<std::pair<int, int>> ended;
  } host;
  set->SetRetrievalHost(&host);
  EXPECT_EQ(commands->Receive(false), CommandResult::Nothing);
  EXPECT_EQ(window.Take(), "end new mail");
  ASSERT_EQ(set->Add("a"), 0);
  ASSERT_EQ(set->Add("b"), 1);
  for (int i = 0; i < 2; ++i) {
    // Nothing listens there: each run fails at once.
    CTcpListener listener;
    ASSERT_EQ(listener.Listen("127.0.0.1", 0, 1), ListenResult::Listening);
    dynamic_cast<CPop3Session&>(set->Get(i)->Client())
        .SetAccount("127.0.0.1", listener.Port(), "u", "p");
  }
  list->SelectMailbox(1);
  EXPECT_EQ(commands->Receive(false), CommandResult::Done);
  set->StopRetrievals();
  EXPECT_EQ(host.ended, (std::vector<std::pair<int, int>>{{kTriggerCommand, 1}}));
}

// ---- The shell ----

TEST_F(ListCommandsTest, TheMailerMustBeSetFirst) {
  EXPECT_EQ(commands->LaunchMailer(false), CommandResult::Failed);
  EXPECT_EQ(window.Take(),
            "message 「設定」－「起動メーラ」メニューから\n起動するメーラを設定してください。");
  WriteAll("my mailer", "#!/bin/sh\n");
  settings->Set(settings::Mailer, "my mailer");
  EXPECT_EQ(commands->LaunchMailer(true), CommandResult::Done);
  EXPECT_EQ(window.Take(), "hide window|open my mailer");
  window.openSucceeds = false;
  EXPECT_TRUE(commands->OnKey('M', false, false, 1));
  EXPECT_EQ(window.Take(), "open my mailer|message " + std::string(kMailerFailedText));
}

// What a Linux user names: a command, a command with arguments, or a desktop entry.
TEST_F(ListCommandsTest, StartsWhatTheMailerSettingNames) {
  const std::string failed = "message " + std::string(kMailerFailedText);
  const struct {
    const char* setting;
    const char* entry;  // written to the file the setting names when not null
    std::string event;
  } cases[] = {{"thunderbird", nullptr, "start thunderbird"},
               {"thunderbird -P 'work box'", nullptr, "start thunderbird [-P] [work box]"},
               {"mail.desktop",
                "[Desktop Action x]\nExec=other\n[Desktop Entry]\nName=M\n"
                "Exec = env LANG=C \"/opt/my mail/run\" --compose %U\n",
                "start env [LANG=C] [/opt/my mail/run] [--compose]"},
               {"none.desktop", "[Desktop Entry]\nName=M\n", failed},
               {"missing.desktop", nullptr, failed},
               {"mailer \"unclosed", nullptr, failed}};
  for (const auto& c : cases) {
    if (c.entry != nullptr) WriteAll(c.setting, c.entry);
    settings->Set(settings::Mailer, c.setting);
    EXPECT_EQ(commands->LaunchMailer(false),
              c.event == failed ? CommandResult::Failed : CommandResult::Done);
    EXPECT_EQ(window.Take(), c.event) << c.setting;
  }
}

TEST(ProgramCallTest, SplitsAsAShellSplitsWords) {
  const struct {
    const char* line;
    std::optional<ProgramCall> call;
  } cases[] = {
      {"  mutt\t-f  =inbox ", ProgramCall{"mutt", {"-f", "=inbox"}}},
      {"a'b c'd \"e \\\"f\\\\ \\g\" h\\ i ''", ProgramCall{"ab cd", {"e \"f\\ \\g", "h i", ""}}},
      {"mail x\\", ProgramCall{"mail", {"x\\"}}},  // a final backslash stands for itself
      {"", std::nullopt},
      {" \t", std::nullopt},
      {"mail 'open", std::nullopt},
      {"mail \"open\\\"", std::nullopt}};
  for (const auto& c : cases) EXPECT_EQ(SplitCommandLine(c.line), c.call) << c.line;
}

TEST(ProgramCallTest, TakesTheDesktopEntrysExecLineWithoutFieldCodes) {
  const struct {
    const char* text;
    std::optional<ProgramCall> call;
  } cases[] = {{"[Desktop Entry]\r\nExec=thunderbird %u\r\n", ProgramCall{"thunderbird", {}}},
               {"[Desktop Entry]\nTryExec=x\nExecX=y\nExec=m --rate=100%% -f%f %i %c\n",
                ProgramCall{"m", {"--rate=100%", "-f"}}},
               {"[Other]\nExec=no\n", std::nullopt},
               {"[Desktop Entry]\nExec=%U\n", std::nullopt},
               {"[Desktop Entry]\nExec=\"open\n", std::nullopt}};
  for (const auto& c : cases) EXPECT_EQ(DesktopEntryCall(c.text), c.call) << c.text;
}

TEST_F(ListCommandsTest, HelpOpensTheHelpFileOfTheCurrentDirectory) {
  EXPECT_TRUE(commands->OnKey(KeyF1, false, false, 1));
  EXPECT_EQ(window.Take(), "message " + std::string(kNoHelpText));
  WriteAll("qm_mailfilter.chm", "help");
  EXPECT_EQ(commands->Help(), CommandResult::Done);
  EXPECT_EQ(window.Take(),
            "open " + (std::filesystem::current_path() / "qm_mailfilter.chm").string());
  // The test program has no documentation installed beside it.
  EXPECT_EQ(commands->Execute(CmdWebPage, false, false), CommandResult::Failed);
  EXPECT_EQ(window.Take(), "message " + std::string(kNoDocumentationText));
  EXPECT_EQ(DocumentationPath("/usr/bin/qm_mailfilter"), "/usr/share/doc/qm-mailfilter/README.md");
  EXPECT_EQ(commands->Execute(CmdOptions, false, false), CommandResult::Done);
  EXPECT_EQ(window.Take(), "dialog " + std::to_string(CmdOptions));
}

}  // namespace
}  // namespace qm
