// The start-up patterns are shared by every thread that walks messages: retrievals, the local
// server and the window may look at different messages at the same time.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "message/mail_message.h"
#include "message/pattern_set.h"

namespace qm {
namespace {

TEST(WalkConcurrencyTest, ThreadsWalkTheirOwnMessagesAtOnce) {
  PatternSet::Instance();
  std::vector<int> failures(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&failures, t] {
      for (int i = 0; i < 300; ++i) {
        const std::string n = std::to_string(i % 250), ts = std::to_string(t);
        CMailMessage message;
        message.Parse("Received: from x ([" + ts + "." + n +
                      ".0.1]) by y; 3 Jun 2024 15:00:00 +0900\r\n"
                      "From: T <t@example.jp>\r\n\r\nhttp://h" +
                      n + ".example/\r\n.\r\n");
        message.ResetReceivedWalk();
        message.DecodeBody();
        std::string address, host;
        std::int64_t date = 0;
        failures[t] += !message.NextReceivedAddress(address) || address != "1.0." + n + "." + ts ||
                       !message.NextUrlHost(host) || host != "h" + n + ".example" ||
                       !message.ReceivedDate(date) || message.SenderAddress() != "t@example.jp";
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace qm
