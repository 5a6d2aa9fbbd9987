// Retrievals classify on their own threads while the user changes the lists on another.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "classify/blocklist.h"
#include "classify/fake_dns.h"
#include "classify/sender_lists.h"
#include "classify/spam_classifier.h"
#include "message/mail_message.h"

namespace qm {
namespace {

TEST(ClassifyConcurrencyTest, ThreadsClassifyWhileTheListsChange) {
  LogRecorder log;
  SetReporter(&log);
  FakeDnsResolver dns;
  BlocklistSettings settings;
  settings.zones = {".z0.test", ".z1.test", ".z2.test", ".z3.test"};
  dns.Listed("bad.example.z0.test");
  {
    BlocklistResolver blocklists(settings, dns);
    CSenderLists lists;
    SpamClassifier classifier(lists, blocklists);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        for (int round = 0; round < 200; ++round) {
          CMailMessage message;
          message.Parse("From: s" + std::to_string(t) + "@x.example\r\nReceived: [192.0.2." +
                        std::to_string(round % 200) + "]\r\n\r\nhttp://www.bad.example/\r\n.\r\n");
          classifier.Classify(message);
          const int verdict = message.mark.GetVerdict();
          // A friend while listed, else spam by the link host: never anything else.
          if (verdict != VerdictFriend && verdict != VerdictSpam) ++wrong;
        }
      });
    }
    std::thread user([&] {
      for (int round = 0; !stop && round < 2000; ++round) {
        const std::string address = "s" + std::to_string(round % 4) + "@";
        lists.AddFriend(address);
        lists.AddBad("other" + std::to_string(round) + "@");
        lists.RemoveFriend(address);
      }
    });
    for (auto& thread : threads) thread.join();
    stop = true;
    user.join();
    EXPECT_EQ(wrong.load(), 0);
  }
  SetReporter(nullptr);
}

}  // namespace
}  // namespace qm
