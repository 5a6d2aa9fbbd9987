// What classification costs: a message with 20 distinct link hosts and 5 relays against
// blocklists that answer after 20 ms (cold cache, then warm; its questions asked one after another
// and at once), and look-ups in a list of 100,000 addresses.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "classify/blocklist.h"
#include "classify/sender_lists.h"
#include "classify/spam_classifier.h"
#include "classify/text_list.h"
#include "message/mail_message.h"
#include "platform/resolver.h"

namespace {

// Every name does not exist, after the latency of a distant resolver.
class SlowResolver : public qm::IDnsResolver {
 public:
  qm::DnsAnswer LookupA(std::string_view, std::chrono::milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    qm::DnsAnswer answer;
    answer.status = qm::DnsStatus::NotFound;
    return answer;
  }
};

std::string Message() {
  std::string text = "From: Taro <taro@sender.example.jp>\r\n";
  for (int i = 0; i < 5; ++i) {
    text += "Received: from r" + std::to_string(i) + " ([192.0.2." + std::to_string(10 + i) +
            "]) by mx\r\n";
  }
  text += "\r\n";
  for (int i = 0; i < 20; ++i) text += "http://www.host" + std::to_string(i) + ".example.jp/\r\n";
  return text + ".\r\n";
}

// The message asks 94 distinct questions, each in the DNS: three names of each host in two zones,
// "example.jp" among them for every host (the caches answer its repeats); the sender's domain in
// two zones; each relay in two zones. One after another that is nearly two seconds.
void BM_ClassifySlowDns(benchmark::State& state) {
  const bool warm = state.range(0) != 0;
  const auto lookupsInFlight = static_cast<std::size_t>(state.range(1));
  SlowResolver resolver;
  qm::CSenderLists lists;
  const std::string text = Message();
  // Made and ended outside the timing: ending the classifier ends its threads.
  std::unique_ptr<qm::BlocklistResolver> blocklists;
  std::unique_ptr<qm::SpamClassifier> classifier;
  for (auto _ : state) {
    state.PauseTiming();
    classifier.reset();
    blocklists = std::make_unique<qm::BlocklistResolver>(qm::BlocklistSettings{}, resolver);
    classifier = std::make_unique<qm::SpamClassifier>(lists, *blocklists,
                                                      qm::SpamClassifier::Clock{}, lookupsInFlight);
    if (warm) {
      qm::CMailMessage first;
      first.Parse(text);
      classifier->Classify(first);
    }
    qm::CMailMessage message;
    message.Parse(text);
    state.ResumeTiming();
    classifier->Classify(message);
  }
}
BENCHMARK(BM_ClassifySlowDns)
    ->ArgNames({"warm", "in_flight"})
    ->ArgsProduct({{0, 1}, {1, qm::SpamClassifier::kLookupsInFlight}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

// 100,000 random addresses that share their beginning ("user") and end (".example.jp").
std::vector<std::string> RandomAddresses() {
  std::mt19937 random(7);
  std::vector<std::string> addresses;
  for (int i = 0; i < 100000; ++i) {
    addresses.push_back("user" + std::to_string(random() % 10000000) + "@domain" +
                        std::to_string(random() % 5000) + ".example.jp");
  }
  return addresses;
}

void BM_TextListFind(benchmark::State& state) {
  const std::vector<std::string> addresses = RandomAddresses();
  qm::TextList list;
  for (const std::string& address : addresses) list.Insert(address, 0);
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(list.Find(addresses[i]));
    if (++i == addresses.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TextListFind);

// Bytes the C library's allocator has handed out and not taken back.
std::size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// Filling a list with the addresses, and the heap it then holds per address.
void BM_TextListInsert(benchmark::State& state) {
  const std::vector<std::string> addresses = RandomAddresses();
  double bytesPerAddress = 0;
  for (auto _ : state) {
    const std::size_t before = HeapInUse();
    {
      qm::TextList list;
      for (const std::string& address : addresses) list.Insert(address, 0);
      bytesPerAddress =
          static_cast<double>(HeapInUse() - before) / static_cast<double>(addresses.size());
    }
  }
  state.counters["bytes_per_address"] = bytesPerAddress;
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(addresses.size()));
}
BENCHMARK(BM_TextListInsert)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
