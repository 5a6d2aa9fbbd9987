// Refuses the Nth file operation of a sequence of store operations, for every N, and checks that
// the mailbox in memory still agrees with its files and that no message is lost or doubled.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/file_io.h"
#include "store_fixture.h"

namespace qm {
namespace {

using FaultSweepTest = test::StoreTest;

// Loads, appends five messages, moves two to the dustbox, restores one, purges one, saves;
// counts the file operations asked for in `total`.
std::unique_ptr<CMailbox> Work(const std::string& base, std::function<bool(int)> refuse,
                               int& total) {
  total = 0;
  SetFileFaultInjector([&](FileOperation) { return refuse(++total); });
  auto owner = CMailbox::CreateMain(base);
  CMailbox& box = *owner;
  box.Load();
  for (int i = 0; i < 5; ++i) {
    CMailMessage m = test::StoreTest::Message(test::StoreTest::Text("m" + std::to_string(i)),
                                              "U" + std::to_string(i));
    box.AppendMessage(m);
  }
  box.RemoveMessages({2, 4}, box.Dustbox());
  box.RestoreFromDustbox(1);
  box.Dustbox()->RemoveMessage(1, nullptr);
  box.Save();
  box.Dustbox()->Save();
  SetFileFaultInjector(nullptr);
  return owner;
}

std::map<std::string, int> Subjects(CMailbox& box) {
  std::map<std::string, int> subjects;
  for (CMailbox* mailbox : {&box, box.Dustbox()}) {
    for (int n = 1; n <= mailbox->MessageCount(); ++n) ++subjects[mailbox->Summary(n).subject];
  }
  return subjects;
}

TEST_F(FaultSweepTest, EveryRefusedOperationLeavesFilesAndIndexInAgreement) {
  int total = 0;
  Work(
      Path("clean"), [](int) { return false; }, total);
  ASSERT_GT(total, 20);
  for (int failing = 1; failing <= total; ++failing) {
    SCOPED_TRACE("operation " + std::to_string(failing));
    const std::string name = "run" + std::to_string(failing);
    int seen = 0;
    auto box = Work(
        Path(name), [failing](int n) { return n == failing; }, seen);
    // Whatever failed, a second save with the disk working brings the files up to date.
    box->Save();
    box->Dustbox()->Save();
    const auto inMemory = Subjects(*box);
    auto reloaded = Load(name);
    EXPECT_EQ(Subjects(*reloaded), inMemory);
    for (const auto& [subject, count] : inMemory) EXPECT_EQ(count, 1) << subject << " doubled";
    for (int n = 1; n <= reloaded->MessageCount(); ++n) {
      EXPECT_EQ(reloaded->Mark(n).uidl, box->Mark(n).uidl);
    }
  }
}

}  // namespace
}  // namespace qm
