#include "cli/headless.h"

#include <gtest/gtest.h>

#include <new>
#include <string>
#include <thread>
#include <vector>

#include "support/recording_reporter.h"

namespace qm {
namespace {

using Ids = std::vector<std::uint32_t>;

// Throws on a message with wParam 13; quits on a timer tick from the third on once two messages
// have come.
struct Client : IUserInterfaceClient {
  void OnMessage(std::uint32_t message, std::intptr_t wParam, std::intptr_t) override {
    messages.push_back(message);
    if (wParam == 13) throw std::bad_alloc();
  }
  void OnTimer(std::uint32_t id) override {
    timers.push_back(id);
    if (timers.size() >= 3 && messages.size() == 2) ui.Quit();
  }
  void IdleStep() override { ++idle; }

  CHeadlessUi ui;
  Ids messages, timers;
  int idle = 0;
};

TEST(HeadlessUiTest, MessagesFromAnyThreadInOrderAThrowingStepIsGivenUpAndTimersRepeat) {
  test::RecordingReporter reporter;
  SetReporter(&reporter);
  Client client;
  CHeadlessUi& ui = client.ui;
  EXPECT_EQ(ui.Ask("?", Buttons::YesNoCancel, Answer::Cancel), Answer::Cancel);
  ui.SetTimer(10, 20);
  ui.SetTimer(11, 20);
  ui.KillTimer(11);
  std::thread poster([&] {
    ui.PostMessage(kWakeIdle, 13, 0);
    ui.PostMessage(kMaildropCommitted, 1, 0);
  });
  ui.Run(client);
  poster.join();
  SetReporter(nullptr);
  EXPECT_EQ(client.messages, (Ids{kWakeIdle, kMaildropCommitted}));
  EXPECT_EQ(client.timers, Ids(client.timers.size(), 10));
  EXPECT_GE(client.idle, 1);
  EXPECT_EQ(reporter.logLines,
            std::vector<std::string>{"APL : Main loop ended by an exception ( std::bad_alloc )."});
}

}  // namespace
}  // namespace qm
