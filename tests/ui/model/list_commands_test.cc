#include "ui/model/list_commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
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
#include "ui/model/mail_list.h"

namespace qm {
namespace {

using Ints = std::vector<int>;
using Texts = std::vector<std::string>;

// Records what the commands ask of the window, in order, and answers questions from a queue.
class FakeWindow : public IListWindow {
 public:
  void ShowMessage(std::string_view text) override {
    messages.emplace_back(text);
    events.push_back("message");
  }
  Answer Ask(std::string_view question, Buttons buttons) override {
    questions.emplace_back(question);
    askedButtons.push_back(buttons);
    if (answers.empty()) return Answer::Cancel;
    const Answer answer = answers.front();
    answers.pop_front();
    return answer;
  }
  std::vector<int> SelectedRows() const override { return selection; }
  void SetSelection(std::span<const int> rows) override {
    selection.assign(rows.begin(), rows.end());
    events.push_back("select");
  }
  void RowsChanged() override { events.push_back("rows"); }
  void Redraw() override { events.push_back("redraw"); }
  void UpdateCounts() override { events.push_back("counts"); }
  void ActivateMailbox(int index) override {
    events.push_back("activate " + std::to_string(index));
  }
  void MinimiseAndHide() override { events.push_back("hide window"); }
  void EndNewMailIndication() override { events.push_back("end new mail"); }
  void OpenViewer(const CMailMessage& message) override {
    events.push_back("viewer " + message.Subject());
  }
  bool OpenPath(const std::string& path) override {
    events.push_back("open " + path);
    return openSucceeds;
  }
  bool StartProgram(const ProgramCall& call) override {
    std::string event = "start " + call.program;
    for (const std::string& argument : call.arguments) event += " [" + argument + "]";
    events.push_back(event);
    return openSucceeds;
  }
  void OpenDialog(int command) override { events.push_back("dialog " + std::to_string(command)); }
  void OpenProgress(std::string_view title, int maximum) override {
    events.push_back("progress " + std::string(title) + " 0.." + std::to_string(maximum));
  }
  void StepProgress(int position, std::string_view text) override {
    events.push_back("step " + std::to_string(position) + " " + std::string(text));
  }
  void CloseProgress() override { events.push_back("progress closed"); }
  // Presses Cancel once the first step shows when `cancelAtFirstStep` is set.
  void WaitWithProgress(const std::function<bool()>& finished,
                        const std::function<void()>& cancel) override {
    while (!finished()) {
      if (cancelAtFirstStep && !cancelPressed &&
          std::find(events.begin(), events.end(), "step 0 Checking 1 / 3") != events.end()) {
        cancel();
        cancelPressed = true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  bool cancelAtFirstStep = false;
  std::atomic<bool> cancelPressed{false};

  std::vector<int> selection;
  std::deque<Answer> answers;
  bool openSucceeds = true;
  std::vector<std::string> events;
  std::vector<std::string> messages;
  std::vector<std::string> questions;
  std::vector<Buttons> askedButtons;
};

// No blocklist lists anything.
class QuietZones : public IZoneLookup {
 public:
  int Lookup(std::string_view, int) override { return 0; }
};

// Classifies as the program does, and lets a test act just before the n-th mail is classified.
class HookedClassifier : public IClassifier {
 public:
  explicit HookedClassifier(IClassifier& inner) : classifier(inner) {}
  void Classify(CMailMessage& message) override {
    ++calls;
    if (calls == hookAt && hook) hook();
    classifier.Classify(message);
  }
  IClassifier& classifier;
  int calls = 0;
  int hookAt = 0;
  std::function<void()> hook;
};

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

  // A mailbox with one unread, unclassified mail per subject; "<subject>@example.org" sends
  // each, or nobody when `senders` says "".
  CMailbox& AddMailbox(const std::string& name, const Texts& subjects, const Texts& senders = {}) {
    const int index = set->Add(name);
    EXPECT_GE(index, 0);
    CMailbox& mailbox = *set->Get(index);
    for (std::size_t i = 0; i < subjects.size(); ++i) {
      AddMail(mailbox, subjects[i], i < senders.size() ? senders[i] : subjects[i] + "@example.org");
    }
    return mailbox;
  }
  static void AddMail(CMailbox& mailbox, const std::string& subject, const std::string& sender) {
    CMailMessage message;
    const std::string from = sender.empty() ? "" : "From: " + sender + "\r\n";
    message.Parse(from + "Subject: " + subject + "\r\n\r\nbody\r\n.\r\n");
    message.mark.SetClassification(VerdictUnclassified, 0);
    ASSERT_GT(mailbox.AppendMessage(message), 0);
  }
  static Texts Subjects(const CMailbox& mailbox) {
    Texts subjects;
    for (int n = 1; n <= mailbox.MessageCount(); ++n)
      subjects.push_back(mailbox.Summary(n).subject);
    return subjects;
  }
  // One value of each row of the list.
  template <class Value>
  std::vector<Value> Each(Value (*of)(const MailListRow&)) const {
    std::vector<Value> values;
    for (const MailListRow& row : list->Rows()) values.push_back(of(row));
    return values;
  }
  Texts RowTexts(int column) const {
    Texts texts;
    for (const MailListRow& row : list->Rows()) texts.push_back(row.texts[column]);
    return texts;
  }
  Ints Numbers() const {
    return Each<int>([](const MailListRow& r) { return r.number; });
  }
  Ints VerdictImages() const {
    return Each<int>([](const MailListRow& r) { return r.verdictImage; });
  }
  Ints StateImages() const {
    return Each<int>([](const MailListRow& r) { return r.stateImage; });
  }
  void SelectAllRows() {
    window.selection.clear();
    for (int row = 0; row < list->RowCount(); ++row) window.selection.push_back(row);
  }
  int SettingEmptyIsBad() const { return CSettings().Get(settings::AddEmptyAddrToBadlist); }

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

// ---- Delete and restore ----

TEST_F(ListCommandsTest, DeletingTwoOfFiveRenumbersTheRest) {
  CMailbox& a = AddMailbox("a", {"m1", "m2", "m3", "m4", "m5"});
  list->SelectMailbox(0);
  window.selection = {3, 1};

  EXPECT_EQ(commands->Delete(false), CommandResult::Done);
  EXPECT_EQ(Numbers(), (Ints{1, 2, 3}));
  EXPECT_EQ(RowTexts(ColumnNumber), (Texts{"1", "2", "3"}));
  EXPECT_EQ(RowTexts(ColumnSubject), (Texts{"m1", "m3", "m5"}));
  EXPECT_EQ(Subjects(a), (Texts{"m1", "m3", "m5"}));
  // The highest goes first, so it lies in the dustbox first.
  EXPECT_EQ(Subjects(*a.Dustbox()), (Texts{"m4", "m2"}));
  EXPECT_TRUE(window.questions.empty());
  EXPECT_EQ(window.events, (Texts{"rows", "select", "counts"}));
  EXPECT_TRUE(window.selection.empty());
}

TEST_F(ListCommandsTest, ShiftDeleteInAMailboxSkipsTheDustbox) {
  CMailbox& a = AddMailbox("a", {"m1", "m2", "m3"});
  list->SelectMailbox(0);
  window.selection = {0, 2};
  EXPECT_EQ(commands->Delete(true), CommandResult::Done);
  EXPECT_EQ(Subjects(a), (Texts{"m2"}));
  EXPECT_EQ(a.Dustbox()->MessageCount(), 0);
  EXPECT_TRUE(window.questions.empty());
}

struct DustboxDeleteCase {
  bool shift;
  std::deque<Answer> answers;
  int questions;
  CommandResult result;
  Texts left;
};

class DustboxDeleteTest : public ListCommandsTest,
                          public ::testing::WithParamInterface<DustboxDeleteCase> {};

TEST_P(DustboxDeleteTest, AsksUnlessShiftIsHeld) {
  const DustboxDeleteCase& c = GetParam();
  CMailbox& a = AddMailbox("a", {"kept"});
  AddMail(*a.Dustbox(), "d1", "x@example.org");
  AddMail(*a.Dustbox(), "d2", "y@example.org");
  list->SelectMailbox(0);
  list->ShowDustbox(true);
  window.selection = {0, 1};
  window.answers = c.answers;

  EXPECT_EQ(commands->Delete(c.shift), c.result);
  ASSERT_EQ(static_cast<int>(window.questions.size()), c.questions);
  if (c.questions > 0) {
    EXPECT_EQ(window.questions[0], kConfirmPurgeText);
    EXPECT_EQ(window.askedButtons[0], Buttons::OkCancel);
  }
  EXPECT_EQ(Subjects(*a.Dustbox()), c.left);
  EXPECT_EQ(list->RowCount(), static_cast<int>(c.left.size()));
  EXPECT_EQ(Subjects(a), (Texts{"kept"}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DustboxDeleteTest,
    ::testing::Values(
        DustboxDeleteCase{false, {Answer::Cancel}, 1, CommandResult::Cancelled, {"d1", "d2"}},
        DustboxDeleteCase{false, {Answer::Ok}, 1, CommandResult::Done, {}},
        DustboxDeleteCase{true, {}, 0, CommandResult::Done, {}}));

TEST_F(ListCommandsTest, NothingSelectedDoesNothing) {
  AddMailbox("a", {"m1"});
  list->SelectMailbox(0);
  for (int id : {CmdDelete, CmdViewMail, CmdHide, CmdAddFriend, CmdAddBad, CmdReclassify}) {
    EXPECT_EQ(commands->Execute(id, false, false), CommandResult::Nothing) << id;
  }
  EXPECT_TRUE(window.events.empty());
  EXPECT_EQ(list->RowCount(), 1);
}

// Every command that acts on the selected messages, in the dustbox view of three messages.
class RowCommandTest : public ListCommandsTest, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    ListCommandsTest::SetUp();
    CMailbox& a = AddMailbox("a", {"m1"});
    dustbox = a.Dustbox();
    for (const char* subject : {"d1", "d2", "d3"}) AddMail(*dustbox, subject, "x@example.org");
    list->SelectMailbox(0);
    list->ShowDustbox(true);
    window.answers = {Answer::Ok, Answer::Yes};
  }
  // The flags and verdicts of the dustbox's messages.
  std::vector<std::uint32_t> Marks() const {
    std::vector<std::uint32_t> marks;
    for (int n = 1; n <= dustbox->MessageCount(); ++n) {
      marks.push_back(dustbox->Flags(n));
      marks.push_back(static_cast<std::uint32_t>(dustbox->Mark(n).GetVerdict()));
    }
    return marks;
  }
  void ExpectNothingDone(const Texts& subjects, const std::vector<std::uint32_t>& marks) {
    EXPECT_EQ(Subjects(*dustbox), subjects);
    EXPECT_EQ(Subjects(*set->Get(0)), (Texts{"m1"}));
    EXPECT_EQ(Marks(), marks);
    EXPECT_FALSE(lists.InFriendList("x@example.org"));
    EXPECT_FALSE(lists.InBadList("x@example.org"));
  }
  CMailbox* dustbox = nullptr;
};

// A trim (or a mail client) took the oldest message after the list was built, so every number
// has moved: no command may act on the message that now has the row's number.
TEST_P(RowCommandTest, AStaleRowIsNotActedOnAndTheListIsRebuilt) {
  ASSERT_EQ(dustbox->RemoveMessage(1, nullptr), 1);
  window.selection = {1};  // shows d2, whose number is 1 now
  const std::vector<std::uint32_t> before = Marks();
  EXPECT_EQ(commands->Execute(GetParam(), false, false), CommandResult::Stale);
  ExpectNothingDone({"d2", "d3"}, before);
  EXPECT_EQ(RowTexts(ColumnSubject), (Texts{"d2", "d3"}));
  EXPECT_TRUE(window.selection.empty());
}

// A mail client holds its mailbox from its login to its end: the window says so rather than wait.
TEST_P(RowCommandTest, AMailboxHeldByAMailClientIsNotWaitedFor) {
  window.selection = {1};
  const std::vector<std::uint32_t> before = Marks();
  CommandResult result = CommandResult::Done;
  {
    const test::HeldLock client(dustbox->storeLock);
    result = commands->Execute(GetParam(), false, false);
  }
  EXPECT_EQ(result, CommandResult::Failed);
  EXPECT_EQ(window.messages, Texts{kMailboxInUseText});
  ExpectNothingDone({"d1", "d2", "d3"}, before);
}

INSTANTIATE_TEST_SUITE_P(Commands, RowCommandTest,
                         ::testing::Values(CmdDelete, CmdRestore, CmdViewMail, CmdHide, CmdUnhide,
                                           CmdMarkRead, CmdMarkUnread, CmdAddFriend, CmdAddBad,
                                           CmdRemoveFriend, CmdReclassify));

TEST_F(ListCommandsTest, RestoreWorksOnlyInTheDustboxView) {
  CMailbox& a = AddMailbox("a", {"m1"});
  AddMail(*a.Dustbox(), "d1", "x@example.org");
  AddMail(*a.Dustbox(), "d2", "x@example.org");
  AddMail(*a.Dustbox(), "d3", "x@example.org");
  list->SelectMailbox(0);
  window.selection = {0};

  EXPECT_FALSE(commands->State(CmdRestore).enabled);
  EXPECT_TRUE(commands->OnKey('C', false, false, 1));
  EXPECT_EQ(commands->RestoreFromDustbox(), CommandResult::Nothing);
  EXPECT_EQ(Subjects(a), (Texts{"m1"}));

  list->ShowDustbox(true);
  EXPECT_TRUE(commands->State(CmdRestore).enabled);
  window.selection = {2, 0};
  EXPECT_EQ(commands->RestoreFromDustbox(), CommandResult::Done);
  EXPECT_EQ(Subjects(a), (Texts{"m1", "d3", "d1"}));
  EXPECT_EQ(RowTexts(ColumnSubject), (Texts{"d2"}));
  EXPECT_EQ(RowTexts(ColumnNumber), (Texts{"1"}));
  EXPECT_TRUE(window.messages.empty());
}

TEST_F(ListCommandsTest, ARestoreThatFailsRestoresNone) {
  CMailbox& a = AddMailbox("a", {"m1"});
  for (const char* subject : {"d1", "d2", "d3"}) AddMail(*a.Dustbox(), subject, "x@example.org");
  list->SelectMailbox(0);
  list->ShowDustbox(true);
  window.selection = {0, 1, 2};
  // While the mails are classified, the mailbox's message file stops being writable.
  hooked.hookAt = 2;
  hooked.hook = [&a] {
    std::filesystem::remove(a.MessageFile());
    std::filesystem::create_directory(a.MessageFile());
  };

  EXPECT_EQ(commands->RestoreFromDustbox(), CommandResult::Failed);
  ASSERT_FALSE(window.messages.empty());
  EXPECT_EQ(window.messages.back(), kRestoreFailedText);
  EXPECT_EQ(Subjects(*a.Dustbox()), (Texts{"d1", "d2", "d3"}));
  EXPECT_EQ(RowTexts(ColumnSubject), (Texts{"d1", "d2", "d3"}));
  // The mails that stayed stay selected.
  EXPECT_EQ(window.selection, (Ints{0, 1, 2}));
}

// ---- Marks ----

TEST_F(ListCommandsTest, MarksFollowTheStore) {
  CMailbox& a = AddMailbox("a", {"m1", "m2", "m3"});
  list->SelectMailbox(0);
  EXPECT_EQ(StateImages(), (Ints{2, 2, 2}));
  window.selection = {0, 2};

  commands->Hide();
  EXPECT_EQ(StateImages(), (Ints{3, 2, 3}));
  commands->MarkRead();
  EXPECT_EQ(StateImages(), (Ints{1, 2, 1}));
  EXPECT_EQ(a.UnopenedCount(), 1);
  window.selection = {2};
  commands->Unhide();
  EXPECT_EQ(StateImages(), (Ints{1, 2, 0}));
  commands->MarkUnread();
  EXPECT_EQ(StateImages(), (Ints{1, 2, 2}));
  EXPECT_EQ(a.Flags(3) & CMailMark::MarkOpened, 0u);
}

TEST_F(ListCommandsTest, ViewMailOpensTheFirstSelectedMailAndMarksItRead) {
  CMailbox& a = AddMailbox("a", {"m1", "m2", "m3"});
  list->SelectMailbox(0);
  list->OnHeaderClick(ColumnNumber);  // descending: row 0 shows mail 3
  window.selection = {2, 1};

  EXPECT_EQ(commands->ViewMail(), CommandResult::Done);
  EXPECT_EQ(window.events, (Texts{"redraw", "counts", "viewer m2"}));
  EXPECT_TRUE(a.Flags(2) & CMailMark::MarkOpened);
  EXPECT_EQ(StateImages(), (Ints{2, 0, 2}));
}

TEST_F(ListCommandsTest, MarkingTheDustboxReadRebuildsItWhenShown) {
  CMailbox& a = AddMailbox("a", {"m1"});
  AddMail(*a.Dustbox(), "d1", "x@example.org");
  AddMail(*a.Dustbox(), "d2", "x@example.org");
  list->SelectMailbox(0);
  EXPECT_EQ(commands->MarkDustboxRead(), CommandResult::Done);
  EXPECT_EQ(a.Dustbox()->UnopenedCount(), 0);
  EXPECT_EQ(window.events, (Texts{"counts"}));

  AddMail(*a.Dustbox(), "d3", "x@example.org");
  commands->ToggleDustbox();
  EXPECT_EQ(StateImages(), (Ints{0, 0, 2}));
  window.events.clear();
  commands->MarkDustboxRead();
  EXPECT_EQ(StateImages(), (Ints{0, 0, 0}));
  EXPECT_EQ(window.events, (Texts{"counts", "rows", "select"}));
}

TEST_F(ListCommandsTest, TheDustboxToggleIsCheckedWhileShown) {
  CMailbox& a = AddMailbox("a", {"m1", "m2"});
  AddMail(*a.Dustbox(), "d1", "x@example.org");
  list->SelectMailbox(0);
  EXPECT_EQ(commands->State(CmdShowDustbox), (CommandState{true, false}));
  EXPECT_TRUE(commands->OnKey('G', false, false, 1));
  EXPECT_EQ(commands->State(CmdShowDustbox), (CommandState{true, true}));
  EXPECT_EQ(RowTexts(ColumnSubject), (Texts{"d1"}));
  commands->Execute(CmdShowDustbox, false, false);
  EXPECT_FALSE(list->DustboxView());
  EXPECT_EQ(list->RowCount(), 2);
}

// ---- Friend and bad lists ----

TEST_F(ListCommandsTest, EmptySendersAreRefusedForTheFriendListOnce) {
  AddMailbox("a", {"m1", "m2", "m3", "m4"}, {"", "", "pal@example.org", ""});
  list->SelectMailbox(0);
  SelectAllRows();

  EXPECT_EQ(commands->AddFriend(), CommandResult::Done);
  EXPECT_EQ(window.messages, (Texts{kEmptyFriendText}));
  EXPECT_EQ(lists.FriendEntries(), (Texts{"pal@example.org"}));
  // Only the mail that was added is classified again; the others keep their icons.
  EXPECT_EQ(VerdictImages(),
            (Ints{VerdictUnclassified, VerdictUnclassified, VerdictFriend, VerdictUnclassified}));
}

TEST_F(ListCommandsTest, AddingToOneListTakesTheSenderOutOfTheOther) {
  AddMailbox("a", {"m1"}, {"pal@example.org"});
  list->SelectMailbox(0);
  window.selection = {0};
  commands->AddBad();
  EXPECT_EQ(VerdictImages(), (Ints{VerdictBad}));
  commands->AddFriend();
  EXPECT_EQ(lists.BadEntries(), Texts{});
  EXPECT_EQ(VerdictImages(), (Ints{VerdictFriend}));
  // The reason column keeps its text until the list is rebuilt.
  EXPECT_EQ(RowTexts(ColumnDetail), (Texts{"0"}));
  commands->RemoveFriend();
  EXPECT_EQ(lists.FriendEntries(), Texts{});
  EXPECT_EQ(VerdictImages(), (Ints{-1}));
  EXPECT_TRUE(lists.Changed());
}

TEST_F(ListCommandsTest, AnEmptySenderForTheBadListIsAskedPerMailUntilYes) {
  AddMailbox("a", {"m1", "m2", "m3"}, {"", "", ""});
  list->SelectMailbox(0);
  SelectAllRows();

  window.answers = {Answer::No, Answer::No, Answer::No};
  commands->AddBad();
  EXPECT_EQ(window.questions, (Texts{kAskEmptyBadText, kAskEmptyBadText, kAskEmptyBadText}));
  EXPECT_FALSE(lists.AddEmptyAddrToBadlist());
  EXPECT_EQ(SettingEmptyIsBad(), 0);

  window.questions.clear();
  window.answers = {Answer::Yes, Answer::No};
  commands->AddBad();
  EXPECT_EQ(window.questions, (Texts{kAskEmptyBadText}));
  EXPECT_EQ(window.askedButtons.back(), Buttons::YesNo);
  EXPECT_TRUE(lists.AddEmptyAddrToBadlist());
  EXPECT_EQ(SettingEmptyIsBad(), 1);
  EXPECT_EQ(VerdictImages(), (Ints{VerdictBad, VerdictBad, VerdictBad}));
  EXPECT_EQ(lists.BadEntries(), Texts{});

  // Taking the rule back asks the same way.
  window.questions.clear();
  window.answers = {Answer::No, Answer::Yes};
  commands->RemoveBad();
  EXPECT_EQ(window.questions, (Texts{kAskRemoveEmptyBadText, kAskRemoveEmptyBadText}));
  EXPECT_FALSE(lists.AddEmptyAddrToBadlist());
  EXPECT_EQ(SettingEmptyIsBad(), 0);
  // The first mail was classified while the rule still stood.
  EXPECT_EQ(VerdictImages(), (Ints{VerdictBad, -1, -1}));
}

// ---- Reclassify ----

TEST_F(ListCommandsTest, ReclassifyingOneMailShowsOneStep) {
  AddMailbox("a", {"m1", "m2"});
  list->SelectMailbox(0);
  lists.AddBad("m2@example.org");
  window.selection = {1};

  EXPECT_EQ(commands->Reclassify(), CommandResult::Done);
  EXPECT_EQ(window.events, (Texts{"progress 再分類中 0..0", "step 0 Checking 1 / 1",
                                  "progress closed", "redraw"}));
  EXPECT_EQ(VerdictImages(), (Ints{VerdictUnclassified, VerdictBad}));
  EXPECT_EQ(RowTexts(ColumnDetail), (Texts{"0", std::to_string(ReasonBadList)}));
}

TEST_F(ListCommandsTest, ReclassifyStopsAtAMailThatCannotBeRead) {
  CMailbox& a = AddMailbox("a", {"m1", "m2", "m3"});
  list->SelectMailbox(0);
  SelectAllRows();
  // The message file lost the last mail's bytes.
  const std::string bytes = ReadAll(a.MessageFile());
  WriteAll(a.MessageFile(), bytes.substr(0, bytes.size() - 5));

  EXPECT_EQ(commands->Reclassify(), CommandResult::Failed);
  EXPECT_EQ(window.messages, (Texts{kReclassifyReadFailedText}));
  EXPECT_EQ(VerdictImages(), (Ints{-1, -1, VerdictUnclassified}));
  const Texts expected{"progress 再分類中 0..2",
                       "step 0 Checking 1 / 3",
                       "step 1 Checking 2 / 3",
                       "step 2 Checking 3 / 3",
                       "message",
                       "progress closed",
                       "redraw"};
  EXPECT_EQ(window.events, expected);
}

TEST_F(ListCommandsTest, CancelStopsAfterTheMailBeingClassified) {
  AddMailbox("a", {"m1", "m2", "m3"});
  list->SelectMailbox(0);
  lists.AddBad("m1@example.org");
  lists.AddBad("m2@example.org");
  SelectAllRows();
  window.cancelAtFirstStep = true;
  // The first mail's look-ups last until Cancel has been pressed.
  hooked.hookAt = 1;
  hooked.hook = [this] {
    while (!window.cancelPressed) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  EXPECT_EQ(commands->Reclassify(), CommandResult::Cancelled);
  EXPECT_EQ(hooked.calls, 1);
  EXPECT_EQ(VerdictImages(), (Ints{VerdictBad, VerdictUnclassified, VerdictUnclassified}));
  EXPECT_EQ(window.events, (Texts{"progress 再分類中 0..2", "step 0 Checking 1 / 3",
                                  "progress closed", "redraw"}));
}

// ---- Selection ----

struct SelectCase {
  SelectRule rule;
  bool shift;
  bool ctrl;
  Ints expected;
};

// Rows: 0 read friend, 1 read hidden spam, 2 unread bad, 3 unread hidden other, 4 unclassified.
std::vector<MailListRow> SampleRows() {
  const int verdicts[] = {VerdictFriend, VerdictSpam, VerdictBad, -1, VerdictUnclassified};
  const int states[] = {0, 1, 2, 3, 2};
  std::vector<MailListRow> rows(5);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    rows[i].number = static_cast<int>(i) + 1;
    rows[i].verdictImage = verdicts[i];
    rows[i].stateImage = states[i];
  }
  return rows;
}

class SelectRowsTest : public ::testing::TestWithParam<SelectCase> {};

TEST_P(SelectRowsTest, RuleShiftAndCtrl) {
  const SelectCase& c = GetParam();
  const Ints current{4};
  EXPECT_EQ(SelectRows(SampleRows(), current, c.rule, c.shift, c.ctrl), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SelectRowsTest,
    ::testing::Values(SelectCase{SelectRule::Read, false, false, {0, 1}},
                      SelectCase{SelectRule::Read, true, false, {2, 3, 4}},
                      SelectCase{SelectRule::Read, false, true, {0, 1, 4}},
                      SelectCase{SelectRule::Hidden, false, false, {1, 3}},
                      SelectCase{SelectRule::Hidden, true, false, {0, 2, 4}},
                      SelectCase{SelectRule::Friend, false, false, {0}},
                      SelectCase{SelectRule::Friend, true, false, {1, 2, 3, 4}},
                      SelectCase{SelectRule::Bad, false, true, {2, 4}},
                      SelectCase{SelectRule::Bad, true, true, {0, 1, 3, 4}},
                      SelectCase{SelectRule::Spam, false, false, {1}},
                      SelectCase{SelectRule::Spam, true, false, {0, 2, 3, 4}}));

TEST_F(ListCommandsTest, SelectCommandsSetTheWindowsSelection) {
  CMailbox& a = AddMailbox("a", {"m1", "m2", "m3"});
  a.SetOpened(2, true);
  list->SelectMailbox(0);
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

// ---- Keys ----

TEST_F(ListCommandsTest, KeysRunTheirCommandsOnce) {
  AddMailbox("a", {"m1", "m2"});
  AddMailbox("b", {});
  list->SelectMailbox(0);
  window.selection = {1};

  EXPECT_TRUE(commands->OnKey('H', false, false, 2));
  EXPECT_EQ(StateImages(), (Ints{2, 2})) << "a held key acts only once";
  EXPECT_TRUE(commands->OnKey('H', false, false, 1));
  EXPECT_EQ(StateImages(), (Ints{2, 3}));
  EXPECT_TRUE(commands->OnKey('h', true, false, 1));
  EXPECT_EQ(StateImages(), (Ints{2, 2}));

  window.events.clear();
  EXPECT_FALSE(commands->OnKey('E', false, false, 1));
  EXPECT_TRUE(commands->OnKey('2', false, false, 1));
  EXPECT_TRUE(commands->OnKey('3', false, false, 1));
  EXPECT_TRUE(commands->OnKey('0', false, false, 1));
  EXPECT_TRUE(commands->OnKey(KeyEscape, true, false, 1));
  EXPECT_EQ(window.events, (Texts{"activate 1", "hide window"}));
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
  EXPECT_EQ(window.events, (Texts{"end new mail"}));

  AddMailbox("a", {});
  AddMailbox("b", {});
  for (int i = 0; i < 2; ++i) {
    // Nothing listens there: each run fails at once.
    CTcpListener listener;
    ASSERT_EQ(listener.Listen("127.0.0.1", 0, 1), ListenResult::Listening);
    const std::uint32_t port = listener.Port();
    dynamic_cast<CPop3Session&>(set->Get(i)->Client()).SetAccount("127.0.0.1", port, "u", "p");
  }
  list->SelectMailbox(1);
  EXPECT_EQ(commands->Receive(false), CommandResult::Done);
  set->StopRetrievals();
  EXPECT_EQ(host.ended, (std::vector<std::pair<int, int>>{{kTriggerCommand, 1}}));
}

// ---- The shell ----

TEST_F(ListCommandsTest, TheMailerMustBeSetFirst) {
  EXPECT_EQ(commands->LaunchMailer(false), CommandResult::Failed);
  EXPECT_EQ(window.messages,
            (Texts{"「設定」－「起動メーラ」メニューから\n起動するメーラを設定してください。"}));
  EXPECT_EQ(window.events, (Texts{"message"}));

  window.events.clear();
  WriteAll("my mailer", "#!/bin/sh\n");
  settings->Set(settings::Mailer, "my mailer");
  EXPECT_EQ(commands->LaunchMailer(true), CommandResult::Done);
  EXPECT_EQ(window.events, (Texts{"hide window", "open my mailer"}));

  window.events.clear();
  window.openSucceeds = false;
  EXPECT_EQ(commands->OnKey('M', false, false, 1), true);
  EXPECT_EQ(window.events, (Texts{"open my mailer", "message"}));
  EXPECT_EQ(window.messages.back(), kMailerFailedText);
}

// What a Linux user names: a command, a command with arguments, or a desktop entry.
struct MailerCase {
  const char* setting;
  const char* entry;  // written to the file the setting names when not null
  const char* event;
};

class MailerSettingTest : public ListCommandsTest,
                          public ::testing::WithParamInterface<MailerCase> {};

TEST_P(MailerSettingTest, StartsWhatTheSettingNames) {
  if (GetParam().entry != nullptr) WriteAll(GetParam().setting, GetParam().entry);
  settings->Set(settings::Mailer, GetParam().setting);
  const bool starts = std::string(GetParam().event) != "message";
  EXPECT_EQ(commands->LaunchMailer(false), starts ? CommandResult::Done : CommandResult::Failed);
  EXPECT_EQ(window.events, (Texts{GetParam().event}));
}

INSTANTIATE_TEST_SUITE_P(
    Settings, MailerSettingTest,
    ::testing::Values(MailerCase{"thunderbird", nullptr, "start thunderbird"},
                      MailerCase{"thunderbird -P 'work box'", nullptr,
                                 "start thunderbird [-P] [work box]"},
                      MailerCase{"mail.desktop",
                                 "[Desktop Action x]\nExec=other\n[Desktop Entry]\nName=M\n"
                                 "Exec = env LANG=C \"/opt/my mail/run\" --compose %U\n",
                                 "start env [LANG=C] [/opt/my mail/run] [--compose]"},
                      MailerCase{"none.desktop", "[Desktop Entry]\nName=M\n", "message"},
                      MailerCase{"missing.desktop", nullptr, "message"},
                      MailerCase{"mailer \"unclosed", nullptr, "message"}));

TEST_F(ListCommandsTest, HelpOpensTheHelpFileOfTheCurrentDirectory) {
  EXPECT_EQ(commands->OnKey(KeyF1, false, false, 1), true);
  EXPECT_EQ(window.messages, (Texts{kNoHelpText}));

  WriteAll("qm_mailfilter.chm", "help");
  window.events.clear();
  EXPECT_EQ(commands->Help(), CommandResult::Done);
  const std::string path = (std::filesystem::current_path() / "qm_mailfilter.chm").string();
  EXPECT_EQ(window.events, (Texts{"open " + path}));

  // The test program has no documentation installed beside it.
  EXPECT_EQ(commands->Execute(CmdWebPage, false, false), CommandResult::Failed);
  EXPECT_EQ(window.messages.back(), kNoDocumentationText);
  EXPECT_EQ(DocumentationPath("/usr/bin/qm_mailfilter"), "/usr/share/doc/qm-mailfilter/README.md");
  EXPECT_EQ(commands->Execute(CmdOptions, false, false), CommandResult::Done);
  EXPECT_EQ(window.events.back(), "dialog 32837");
}

}  // namespace
}  // namespace qm
