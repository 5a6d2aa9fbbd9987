#include "ui/model/list_commands.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/settings.h"
#include "classify/sender_lists.h"
#include "classify/spam_classifier.h"
#include "mailboxes/mailbox_set_fixture.h"
#include "message/mail_message.h"
#include "support/held_lock.h"
#include "ui/model/list_command_table.h"
#include "ui/model/mail_list.h"

namespace qm {
namespace {

using Ints = std::vector<int>;
using Texts = std::vector<std::string>;
using enum CommandResult;

class FakeWindow : public IListWindow {
 public:
  void ShowMessage(std::string_view text) override { Log("message " + std::string(text)); }
  Answer Ask(std::string_view question, Buttons buttons) override {
    static const char* const kButtons[] = {"ok", "okcancel", "yesno", "yesnocancel"};
    Log("ask/" + std::string(kButtons[static_cast<int>(buttons)]) + " " + std::string(question));
    const Answer answer = answers.empty() ? Answer::Cancel : answers.front();
    if (!answers.empty()) answers.pop_front();
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
  bool OpenPath(const std::string& path) override { return Log("open " + path); }
  bool StartProgram(const ProgramCall& call) override {
    std::string event = "start " + call.program;
    for (const std::string& argument : call.arguments) event += " [" + argument + "]";
    return Log(event);
  }
  void OpenDialog(int command) override { Log("dialog " + std::to_string(command)); }
  void OpenProgress(std::string_view title, int maximum) override {
    Log("progress " + std::string(title) + " 0.." + std::to_string(maximum));
  }
  void StepProgress(int at, std::string_view text) override {
    Log("step " + std::to_string(at) + " " + std::string(text));
  }
  void CloseProgress() override { Log("progress closed"); }
  void WaitWithProgress(const std::function<bool()>& finished,
                        const std::function<void()>& cancel) override {
    for (; !finished(); std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
      if (cancelAtFirstStep && !cancelPressed && events.find("step 0") != std::string::npos)
        cancel(), cancelPressed = true;
    }
  }
  bool Log(const std::string& event) {
    events += (events.empty() ? "" : "|") + event;
    return openSucceeds;
  }
  std::string Take() { return std::exchange(events, {}); }

  bool cancelAtFirstStep = false, openSucceeds = true;
  std::atomic<bool> cancelPressed{false};
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
  // Mailbox 0: unread mail from "<subject>@example.org" or `senders`; the dustbox's from x.
  CMailbox& Mailbox(const Texts& subjects, const Texts& dustbox = {}, const Texts& senders = {}) {
    EXPECT_EQ(set->Add("a"), 0);
    CMailbox& mailbox = *set->Get(0);
    for (std::size_t i = 0; i < subjects.size(); ++i)
      Add(mailbox, subjects[i], i < senders.size() ? senders[i] : subjects[i] + "@example.org");
    for (const std::string& subject : dustbox) Add(*mailbox.Dustbox(), subject, "x@example.org");
    list->SelectMailbox(0);
    return mailbox;
  }
  static std::string Subjects(const CMailbox& mailbox, bool numbered = false) {
    std::string subjects;
    for (int n = 1; n <= mailbox.MessageCount(); ++n)
      subjects += (n > 1 ? " " : "") + (numbered ? std::to_string(n) + ":" : "") +
                  mailbox.Summary(n).subject;
    return subjects;
  }
  std::string Shown() const {
    std::string shown;
    for (const MailListRow& row : list->Rows())
      shown +=
          (shown.empty() ? "" : " ") + row.texts[ColumnNumber] + ":" + row.texts[ColumnSubject];
    return shown;
  }
  Ints Of(int MailListRow::*member) const {
    Ints values;
    for (const MailListRow& row : list->Rows()) values.push_back(row.*member);
    return values;
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

const std::string kRemoved = "rows|select|counts";
constexpr auto kVerdict = &MailListRow::verdictImage;
constexpr auto kState = &MailListRow::stateImage;

struct MoveCase {
  bool dustboxView, shift, restore;
  std::deque<Answer> answers;
  CommandResult result;
  std::string events, mailbox, dustbox;
};

void PrintTo(const MoveCase& c, std::ostream* os) {
  *os << c.dustboxView << c.shift << c.restore << static_cast<int>(c.result);
}

class MoveTest : public ListCommandsTest, public ::testing::WithParamInterface<MoveCase> {};

// Rows 0 and 2 selected: the highest goes first, so it lies in the target first. The rows left
// are the shown box's mails, numbered anew, and none is selected.
TEST_P(MoveTest, DeleteMovesToTheDustboxOrPurgesAfterAskingAndRestoreMovesBack) {
  const MoveCase& c = GetParam();
  CMailbox& a = Mailbox({"m1", "m2", "m3"}, {"d1", "d2", "d3"});
  list->ShowDustbox(c.dustboxView);
  window.selection = {2, 0};
  window.answers = c.answers;
  EXPECT_EQ(c.restore ? commands->RestoreFromDustbox() : commands->Delete(c.shift), c.result);
  EXPECT_EQ(window.Take(), c.events);
  EXPECT_EQ(Subjects(a) + " / " + Subjects(*a.Dustbox()), c.mailbox + " / " + c.dustbox);
  EXPECT_EQ(Shown(), Subjects(*list->DisplayedMailbox(), true));
  EXPECT_EQ(window.selection, c.result == Done ? Ints{} : (Ints{2, 0}));
}

const std::string kPurge = "ask/okcancel " + std::string(kConfirmPurgeText);
INSTANTIATE_TEST_SUITE_P(
    Cases, MoveTest,
    ::testing::Values(
        MoveCase{false, false, false, {}, Done, kRemoved, "m2", "d1 d2 d3 m3 m1"},
        MoveCase{false, true, false, {}, Done, kRemoved, "m2", "d1 d2 d3"},
        MoveCase{true, false, false, {Answer::Cancel}, Cancelled, kPurge, "m1 m2 m3", "d1 d2 d3"},
        MoveCase{true, false, false, {Answer::Ok}, Done, kPurge + "|" + kRemoved, "m1 m2 m3", "d2"},
        MoveCase{true, true, false, {}, Done, kRemoved, "m1 m2 m3", "d2"},
        MoveCase{true, false, true, {}, Done, kRemoved, "m1 m2 m3 d3 d1", "d2"},
        MoveCase{false, false, true, {}, Nothing, "", "m1 m2 m3", "d1 d2 d3"}));

class RowCommandTest : public ListCommandsTest, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    ListCommandsTest::SetUp();
    dustbox = Mailbox({"m1"}, {"d1", "d2", "d3"}).Dustbox();
    list->ShowDustbox(true);
    window.answers = {Answer::Ok, Answer::Yes};
    window.selection = {1};
  }
  std::string State() const {
    std::string state = Subjects(*set->Get(0));
    for (int n = 1; n <= dustbox->MessageCount(); ++n)
      state += " " + dustbox->Summary(n).subject + ":" + std::to_string(dustbox->Flags(n)) + ":" +
               std::to_string(dustbox->Mark(n).GetVerdict());
    return state +
           (lists.InFriendList("x@example.org") || lists.InBadList("x@example.org") ? "!" : "");
  }
  CMailbox* dustbox = nullptr;
};

// A trim took the oldest message after the list was built: no row's number is its mail's now.
TEST_P(RowCommandTest, AStaleRowIsNotActedOnAndTheListIsRebuilt) {
  ASSERT_EQ(dustbox->RemoveMessage(1, nullptr), 1);
  const std::string before = State();
  EXPECT_EQ(commands->Execute(GetParam(), false, false), Stale);
  EXPECT_EQ(State() + " / " + Shown(), before + " / 1:d2 2:d3");
  EXPECT_TRUE(window.selection.empty());
}

// A mail client holds its mailbox from its login to its end: the window says so rather than wait.
TEST_P(RowCommandTest, AMailboxHeldByAMailClientIsNotWaitedFor) {
  const std::string before = State();
  CommandResult result = Done;
  {
    const test::HeldLock client(dustbox->storeLock);
    result = commands->Execute(GetParam(), false, false);
  }
  EXPECT_EQ(result, Failed);
  const std::string events = window.Take();
  EXPECT_NE(events.find("message " + std::string(kMailboxInUseText)), std::string::npos) << events;
  EXPECT_EQ(State(), before);
}

// What each command does to the selected mail (d2) and tells the window; the undoing ones undo.
TEST_P(RowCommandTest, ActsOnTheSelectedMailOnly) {
  static const std::map<int, int> kBefore = {
      {CmdUnhide, CmdHide}, {CmdMarkUnread, CmdMarkRead}, {CmdRemoveFriend, CmdAddFriend}};
  const std::string unchanged = "m1 d1:12:3 d2:12:3 d3:12:3 | redraw";
  const std::map<int, std::string> kAfter = {
      {CmdDelete, "m1 d1:12:3 d3:12:3 | " + kPurge + "|" + kRemoved},
      {CmdRestore, "m1 d2 d1:12:3 d3:12:3 | " + kRemoved},
      {CmdViewMail, "m1 d1:12:3 d2:14:3 d3:12:3 | redraw|counts|viewer d2"},
      {CmdHide, "m1 d1:12:3 d2:13:3 d3:12:3 | redraw"},
      {CmdUnhide, unchanged},
      {CmdMarkRead, "m1 d1:12:3 d2:14:3 d3:12:3 | redraw|counts"},
      {CmdMarkUnread, unchanged + "|counts"},
      {CmdAddFriend, "m1 d1:12:3 d2:32:0 d3:12:3! | redraw"},
      {CmdAddBad, "m1 d1:12:3 d2:72:2 d3:12:3! | redraw"},
      {CmdRemoveFriend, "m1 d1:12:3 d2:28:-1 d3:12:3 | redraw"},
      {CmdReclassify, "m1 d1:12:3 d2:28:-1 d3:12:3 | progress " + std::string(kReclassifyTitle) +
                          " 0..0|step 0 Checking 1 / 1|progress closed|redraw"}};
  if (kBefore.count(GetParam())) commands->Execute(kBefore.at(GetParam()), false, false);
  window.Take();
  EXPECT_NE(commands->Execute(GetParam(), false, false), Failed);
  EXPECT_EQ(State() + " | " + window.Take(), kAfter.count(GetParam()) ? kAfter.at(GetParam()) : "?")
      << GetParam();
}

TEST_P(RowCommandTest, NothingSelectedDoesNothing) {
  window.selection.clear();
  EXPECT_EQ(commands->Execute(GetParam(), false, false), Nothing);
  EXPECT_EQ(window.Take(), "");
}

INSTANTIATE_TEST_SUITE_P(Commands, RowCommandTest,
                         ::testing::Values(CmdDelete, CmdRestore, CmdViewMail, CmdHide, CmdUnhide,
                                           CmdMarkRead, CmdMarkUnread, CmdAddFriend, CmdAddBad,
                                           CmdRemoveFriend, CmdReclassify));

TEST_F(ListCommandsTest, ARestoreThatFailsRestoresNoneAndKeepsTheSelection) {
  CMailbox& a = Mailbox({"m1"}, {"d1", "d2", "d3"});
  list->ShowDustbox(true);
  window.selection = {0, 1, 2};
  // While the mails are classified, the mailbox's message file stops being writable.
  hooked.hookAt = 2;
  hooked.hook = [&a] {
    std::filesystem::remove(a.MessageFile());
    std::filesystem::create_directory(a.MessageFile());
  };
  EXPECT_EQ(commands->RestoreFromDustbox(), Failed);
  EXPECT_EQ(window.Take(), kRemoved + "|message " + kRestoreFailedText);
  EXPECT_EQ(Shown() + " / " + Subjects(*a.Dustbox()), "1:d1 2:d2 3:d3 / d1 d2 d3");
  EXPECT_EQ(window.selection, (Ints{0, 1, 2}));
}

// Refused once for the friend list; asked per mail for the bad list until Yes sets the rule,
// which the settings keep, and taken back the same way.
TEST_F(ListCommandsTest, AnEmptySenderIsAskedForPerMailUntilYes) {
  Mailbox({"m1", "m2", "m3"}, {}, {"", "", ""});
  window.selection = {0, 1, 2};
  const auto rule = [this] {
    return lists.AddEmptyAddrToBadlist() + CSettings().Get(settings::AddEmptyAddrToBadlist);
  };
  const std::string add = "|ask/yesno " + std::string(kAskEmptyBadText);
  const std::string remove = "|ask/yesno " + std::string(kAskRemoveEmptyBadText);
  EXPECT_EQ(commands->AddFriend(), Done);
  window.answers = {Answer::No, Answer::No, Answer::No};
  commands->AddBad();
  EXPECT_EQ(rule(), 0);
  window.answers = {Answer::Yes, Answer::No};
  commands->AddBad();
  EXPECT_EQ(rule(), 2);
  EXPECT_EQ(Of(kVerdict), (Ints{VerdictBad, VerdictBad, VerdictBad}));
  window.answers = {Answer::No, Answer::Yes};
  commands->RemoveBad();
  EXPECT_EQ(rule(), 0);
  EXPECT_EQ(Of(kVerdict), (Ints{VerdictBad, -1, -1}));  // the first while the rule still stood
  EXPECT_EQ(window.Take(), "message " + std::string(kEmptyFriendText) + "|redraw" + add + add +
                               add + "|redraw" + add + "|redraw" + remove + remove + "|redraw");
}

const std::string kProgress = "progress " + std::string(kReclassifyTitle);

TEST_F(ListCommandsTest, ReclassifyStopsAtAMailThatCannotBeRead) {
  CMailbox& a = Mailbox({"m1", "m2", "m3"});
  window.selection = {0, 1, 2};
  const std::string bytes = ReadAll(a.MessageFile());
  WriteAll(a.MessageFile(), bytes.substr(0, bytes.size() - 5));
  EXPECT_EQ(commands->Reclassify(), Failed);
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
  window.selection = {0, 1, 2};
  window.cancelAtFirstStep = true;
  // The first mail's look-ups last until Cancel has been pressed.
  hooked.hookAt = 1;
  hooked.hook = [this] {
    while (!window.cancelPressed) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  EXPECT_EQ(commands->Reclassify(), Cancelled);
  EXPECT_EQ(hooked.calls, 1);
  EXPECT_EQ(Of(kVerdict), (Ints{VerdictBad, VerdictUnclassified, VerdictUnclassified}));
  EXPECT_EQ(window.Take(), kProgress + " 0..2|step 0 Checking 1 / 3|progress closed|redraw");
}

TEST_F(ListCommandsTest, AHeldKeyActsOnlyOnce) {
  Mailbox({"m1", "m2"});
  window.selection = {1};
  EXPECT_TRUE(commands->OnKey('H', false, false, 2));
  EXPECT_EQ(Of(kState), (Ints{2, 2}));
  EXPECT_TRUE(commands->OnKey('H', false, false, 1));
  EXPECT_TRUE(commands->OnKey('h', true, false, 1));
  EXPECT_FALSE(commands->OnKey('E', false, false, 1));
  EXPECT_EQ(window.Take(), "redraw|redraw");
}

// What a Linux user names: a command line split as a shell splits words, or a desktop entry
// whose Exec line is taken without field codes.
TEST_F(ListCommandsTest, StartsWhatTheMailerSettingNames) {
  const std::string failed = "message " + std::string(kMailerFailedText);
  const struct {
    const char* setting;
    const char* entry;  // written to the file the setting names when not null
    std::string event;
  } cases[] = {
      {"", nullptr,
       "message 「設定」－「起動メーラ」メニューから\n起動するメーラを設定してください。"},
      {"my mailer", "#!/bin/sh\n", "open my mailer"},
      {"  mutt\t-f  =inbox ", nullptr, "start mutt [-f] [=inbox]"},
      {"a'b c'd \"e \\\"f\\\\ \\g\" h\\ i ''", nullptr, "start ab cd [e \"f\\ \\g] [h i] []"},
      {"mail x\\", nullptr, "start mail [x\\]"},  // a final backslash stands for itself
      {"mail 'open", nullptr, failed},
      {"m.desktop",
       "[Desktop Action x]\nExec=other\n[Desktop Entry]\nName=M\n"
       "Exec = env LANG=C \"/opt/my mail/run\" --compose %U\n",
       "start env [LANG=C] [/opt/my mail/run] [--compose]"},
      {"n.desktop", "[Desktop Entry]\r\nTryExec=x\r\nExecX=y\r\nExec=m --rate=100%% -f%f %i %c\r\n",
       "start m [--rate=100%] [-f]"},
      {"q.desktop", "[Desktop Entry]\nExec=\"open\n", failed},
      {"o.desktop", "[Other]\nExec=no\n", failed}};
  for (const auto& c : cases) {
    if (c.entry != nullptr) WriteAll(c.setting, c.entry);
    settings->Set(settings::Mailer, c.setting);
    EXPECT_EQ(commands->LaunchMailer(false), c.event.starts_with("message") ? Failed : Done);
    EXPECT_EQ(window.Take(), c.event) << c.setting;
  }
  window.openSucceeds = false;
  settings->Set(settings::Mailer, "my mailer");
  EXPECT_TRUE(commands->OnKey('M', true, false, 1));
  EXPECT_EQ(window.Take(), "hide window|open my mailer|" + failed);
}

}  // namespace

// The select rules read the row's icons; Shift inverts, Ctrl adds to the rows already selected.
TEST(SelectRowsTest, PicksByIconsAndAddsToTheSelectionOnlyWithCtrl) {
  std::vector<MailListRow> rows(4);  // read friend, hidden read bad, unread spam, hidden unread
  const int verdicts[] = {VerdictFriend, VerdictBad, VerdictSpam, -1};
  for (int i = 0; i < 4; ++i) rows[i].stateImage = i, rows[i].verdictImage = verdicts[i];
  const struct {
    SelectRule rule;
    bool invert, add;
    Ints expected;
  } cases[] = {
      {SelectRule::Read, false, false, {0, 1}},   {SelectRule::Read, true, false, {2, 3}},
      {SelectRule::Hidden, false, false, {1, 3}}, {SelectRule::Friend, false, true, {0, 3}},
      {SelectRule::Bad, false, false, {1}},       {SelectRule::Spam, true, true, {0, 1, 3}},
  };
  const Ints current = {3, 7};  // 7 is no longer a row
  for (const auto& c : cases)
    EXPECT_EQ(SelectRows(rows, current, c.rule, c.invert, c.add), c.expected)
        << static_cast<int>(c.rule) << c.invert << c.add;
}

}  // namespace qm
