// Refuses the Nth file operation of a sequence of store operations, for every N, and checks that
// the mailbox in memory still agrees with its files and that no message is lost or doubled.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "platform/file_io.h"
#include "store/mailbox.h"
#include "store_fixture.h"

namespace qm {
namespace {

using test::StoreTest;

class FaultSweepTest : public StoreTest {
 protected:
  // Appends five messages, moves two to the dustbox, restores one, purges one, saves.
  void Work(CMailbox& box) {
    for (int i = 0; i < 5; ++i) {
      CMailMessage m = Message(Text("m" + std::to_string(i)), "U" + std::to_string(i));
      box.AppendMessage(m);
    }
    box.RemoveMessages({2, 4}, box.Dustbox());
    box.RestoreFromDustbox(1);
    box.Dustbox()->RemoveMessage(1, nullptr);
    box.Save();
    box.Dustbox()->Save();
  }

  static std::map<std::string, int> Subjects(CMailbox& box) {
    std::map<std::string, int> subjects;
    for (CMailbox* mailbox : {&box, box.Dustbox()}) {
      for (int n = 1; n <= mailbox->MessageCount(); ++n) ++subjects[mailbox->Summary(n).subject];
    }
    return subjects;
  }
};

TEST_F(FaultSweepTest, EveryRefusedOperationLeavesFilesAndIndexInAgreement) {
  int total = 0;
  {
    SetFileFaultInjector([&total](FileOperation) {
      ++total;
      return false;
    });
    auto box = CMailbox::CreateMain(Path("clean"));
    box->Load();
    Work(*box);
    SetFileFaultInjector(nullptr);
  }
  ASSERT_GT(total, 20);

  for (int failing = 1; failing <= total; ++failing) {
    const std::string name = "run" + std::to_string(failing);
    auto box = CMailbox::CreateMain(Path(name));
    int seen = 0;
    SetFileFaultInjector([&seen, failing](FileOperation) { return ++seen == failing; });
    box->Load();
    Work(*box);
    SetFileFaultInjector(nullptr);
    // Whatever failed, a second save with the disk working brings the files up to date.
    box->Save();
    box->Dustbox()->Save();

    const auto inMemory = Subjects(*box);
    auto reloaded = CMailbox::CreateMain(Path(name));
    ASSERT_EQ(reloaded->Load(), 1) << "operation " << failing;
    EXPECT_EQ(Subjects(*reloaded), inMemory) << "operation " << failing;
    for (const auto& [subject, count] : inMemory) {
      EXPECT_EQ(count, 1) << "operation " << failing << ": " << subject << " doubled";
    }
    for (int n = 1; n <= reloaded->MessageCount(); ++n) {
      EXPECT_EQ(reloaded->Mark(n).uidl, box->Mark(n).uidl) << "operation " << failing;
    }
  }
}

}  // namespace
}  // namespace qm
