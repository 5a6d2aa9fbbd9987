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
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&failures, t] {
      for (int i = 0; i < 300; ++i) {
        const std::string quad = std::to_string(t) + "." + std::to_string(i % 250) + ".0.1";
        const std::string text = "Received: from x ([" + quad +
                                 "]) by y; 3 Jun 2024 15:00:00 +0900\r\n"
                                 "From: T <t@example.jp>\r\n\r\nhttp://h" +
                                 std::to_string(i) + ".example/\r\n.\r\n";
        CMailMessage message;
        message.Parse(text);
        std::string address;
        std::string host;
        std::int64_t date = 0;
        message.ResetReceivedWalk();
        message.DecodeBody();
        const bool ok = message.NextReceivedAddress(address) &&
                        address == "1.0." + std::to_string(i % 250) + "." + std::to_string(t) &&
                        message.NextUrlHost(host) && host == "h" + std::to_string(i) + ".example" &&
                        message.ReceivedDate(date) && message.SenderAddress() == "t@example.jp";
        if (!ok) ++failures[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

}  // namespace
}  // namespace qm
