// What the mail store costs on large mailboxes: loading 100,000 messages (about 400 MB), a mail
// client's 100 deletions in a 10,000-message mailbox next to one plain copy of its file, and the
// unique-id listing of a large maildrop, first and again.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/file_io.h"
#include "store/mailbox.h"
#include "store/uid_list.h"

namespace {

namespace fs = std::filesystem;

// About 4 KB: a few Received fields, an encoded subject and a plain body.
std::string MessageText(int i) {
  std::string text;
  for (int hop = 0; hop < 3; ++hop) {
    text += "Received: from relay" + std::to_string(hop) + ".example.jp ([192.0.2." +
            std::to_string((i + hop) % 250) + "]) by mx.example.jp; Mon, 3 Jun 2024 1" +
            std::to_string(hop) + ":00:00 +0900\r\n";
  }
  text += "From: =?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?= <sender" + std::to_string(i % 97) +
          "@example.jp>\r\nSubject: =?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?= " + std::to_string(i) +
          "\r\nMessage-ID: <" + std::to_string(i) + "@bench.example.jp>\r\n\r\n";
  for (int line = 0; line < 50; ++line) {
    text += "This is line " + std::to_string(line) + " of message " + std::to_string(i) +
            ", see http://www.example.com/page" + std::to_string(line) + " for more.\r\n";
  }
  return text + ".\r\n";
}

// A mailbox of `count` messages in a directory of its own, written once per process.
std::string Mailbox(int count) {
  const fs::path dir = fs::temp_directory_path() / ("qm_store_bench_" + std::to_string(count));
  const std::string base = (dir / "box").string();
  if (fs::exists(base + ".mbx")) return base;
  fs::create_directories(dir);
  std::ofstream out(base + ".mbx", std::ios::binary);
  std::string chunk;
  for (int i = 0; i < count; ++i) {
    chunk += MessageText(i);
    if (chunk.size() > (1 << 20)) {
      out << chunk;
      chunk.clear();
    }
  }
  out << chunk;
  return base;
}

double PeakRssMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void BM_Load(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const std::string base = Mailbox(count);
  const auto bytes = static_cast<std::int64_t>(fs::file_size(base + ".mbx"));
  for (auto _ : state) {
    auto box = qm::CMailbox::CreateMain(base);
    if (box->Load() != 1 || box->MessageCount() != count) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(box->Summary(count).subject);
  }
  state.SetItemsProcessed(state.iterations() * count);
  state.SetBytesProcessed(state.iterations() * bytes);
  state.counters["peak_rss_MB"] = PeakRssMegabytes();
  state.counters["file_MB"] = static_cast<double>(bytes) / (1024.0 * 1024.0);
}
BENCHMARK(BM_Load)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);

// A fresh copy of a 10,000-message mailbox for each iteration.
std::string FreshCopy(const std::string& base) {
  const std::string copy = base + "_work";
  fs::copy_file(base + ".mbx", copy + ".mbx", fs::copy_options::overwrite_existing);
  fs::remove(copy + ".flg");
  return copy;
}

void BM_CommitHundredDeletions(benchmark::State& state) {
  const std::string base = Mailbox(10000);
  std::mt19937 random(42);
  for (auto _ : state) {
    state.PauseTiming();
    auto box = qm::CMailbox::CreateMain(FreshCopy(base));
    box->Load();
    box->OpenMaildrop();
    for (int deleted = 0; deleted < 100;)
      deleted += box->MaildropDelete(1 + static_cast<int>(random() % 10000));
    state.ResumeTiming();
    box->MaildropCommit();
    state.PauseTiming();
    box->CloseMaildrop();
    if (box->MessageCount() != 9900) state.SkipWithError("commit failed");
    state.ResumeTiming();
  }
}
BENCHMARK(BM_CommitHundredDeletions)->Unit(benchmark::kMillisecond)->Iterations(5);

// The floor for any removal: one crash-safe copy of the whole message file.
void BM_PlainRewrite(benchmark::State& state) {
  const std::string base = Mailbox(10000);
  std::string content;
  qm::ReadFileContent(base + ".mbx", content);
  for (auto _ : state) {
    state.PauseTiming();
    const std::string copy = FreshCopy(base);
    state.ResumeTiming();
    qm::CFileReader reader;
    qm::CAtomicFileWriter writer;
    reader.Open(copy + ".mbx");
    writer.Open(copy + ".mbx", copy + ".tmp");
    std::string buffer;
    for (std::int64_t at = 0; at < reader.Size(); at += 1 << 20) {
      const auto n = static_cast<std::size_t>(std::min<std::int64_t>(1 << 20, reader.Size() - at));
      reader.ReadAt(at, n, buffer);
      writer.Write(buffer);
    }
    writer.Commit();
  }
}
BENCHMARK(BM_PlainRewrite)->Unit(benchmark::kMillisecond)->Iterations(5);

// The first listing reads and digests every message; later ones use the kept digests.
void BM_UidlList(benchmark::State& state) {
  const bool again = state.range(0) != 0;
  const std::string base = Mailbox(100000);
  std::vector<int> numbers;
  std::vector<std::string> digests;
  for (auto _ : state) {
    state.PauseTiming();
    auto box = qm::CMailbox::CreateMain(base);
    box->Load();
    box->OpenMaildrop();
    if (again) box->MaildropUidlList(numbers, digests);
    state.ResumeTiming();
    box->MaildropUidlList(numbers, digests);
    state.PauseTiming();
    box->CloseMaildrop();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_UidlList)
    ->ArgName("again")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

// A retrieval asks whether each message on the server is known: a mailbox kept on the server
// with 20,000 messages and nothing new.
void BM_KnownIdLookup(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  qm::CUidList known;
  for (int i = 0; i < count; ++i)
    known.Add("uid-" + std::to_string(i), "<" + std::to_string(i) + ">");
  std::string messageId;
  for (auto _ : state) {
    int found = 0;
    for (int i = 0; i < count; ++i) found += known.Find("uid-" + std::to_string(i), messageId);
    benchmark::DoNotOptimize(found);
  }
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_KnownIdLookup)->Arg(20000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
