// Throughput of the message model over a generated corpus of Japanese mail. BM_ParseDecodeWalk is
// the work the classifier does for every arriving message; the others split it up so that a change
// in the total can be traced to its part.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "corpus.h"
#include "message/decode.h"
#include "message/mail_message.h"
#include "message/pattern_set.h"

namespace {

using qm::bench::BodyEncoding;
using qm::bench::Corpus;
using qm::bench::GeneratedMessage;
using qm::bench::SharedCorpus;

// The program compiles the shared patterns at start-up, so that cost stays out of the figures.
const Corpus& Prepared() {
  qm::PatternSet::Instance();
  return SharedCorpus();
}

// Takes the messages in turn, so that one iteration is one message as the filter sees them.
class Cycle {
 public:
  explicit Cycle(std::size_t size) : size_(size) {}
  std::size_t Next() {
    const std::size_t current = index_;
    if (++index_ == size_) index_ = 0;
    return current;
  }

 private:
  std::size_t size_;
  std::size_t index_ = 0;
};

void Report(benchmark::State& state, std::int64_t bytes) {
  state.SetBytesProcessed(bytes);
  state.SetItemsProcessed(state.iterations());
}

void BM_ParseDecodeWalk(benchmark::State& state) {
  const Corpus& corpus = Prepared();
  Cycle cycle(corpus.messages.size());
  std::int64_t bytes = 0;
  std::int64_t addresses = 0;
  std::int64_t hosts = 0;
  std::string address;
  std::string host;
  for (auto _ : state) {
    const GeneratedMessage& generated = corpus.messages[cycle.Next()];
    // A fresh message each time: the filter builds one per arriving message.
    qm::CMailMessage message;
    message.Parse(generated.stored);
    message.DecodeBody();
    message.ResetReceivedWalk();
    while (message.NextReceivedAddress(address) != 0) ++addresses;
    while (message.NextUrlHost(host) != 0) ++hosts;
    benchmark::DoNotOptimize(message.Subject().data());
    bytes += static_cast<std::int64_t>(generated.stored.size());
  }
  Report(state, bytes);
  // Shows the walks found what the corpus holds; a drop to zero means they measured nothing.
  const auto perMessage = [&](std::int64_t count) {
    return static_cast<double>(count) / static_cast<double>(state.iterations());
  };
  state.counters["addresses/msg"] = perMessage(addresses);
  state.counters["links/msg"] = perMessage(hosts);
}
BENCHMARK(BM_ParseDecodeWalk);

void BM_Parse(benchmark::State& state) {
  const Corpus& corpus = Prepared();
  Cycle cycle(corpus.messages.size());
  std::int64_t bytes = 0;
  for (auto _ : state) {
    const GeneratedMessage& generated = corpus.messages[cycle.Next()];
    qm::CMailMessage message;
    message.Parse(generated.stored);
    benchmark::DoNotOptimize(message.Subject().data());
    bytes += static_cast<std::int64_t>(generated.stored.size());
  }
  Report(state, bytes);
}
BENCHMARK(BM_Parse);

// Over messages parsed beforehand. The argument picks the transfer encoding; -1 takes them all.
void BM_DecodeBody(benchmark::State& state) {
  const Corpus& corpus = Prepared();
  const auto wanted = state.range(0);
  std::vector<const GeneratedMessage*> chosen;
  for (const GeneratedMessage& generated : corpus.messages) {
    if (wanted < 0 || static_cast<std::int64_t>(generated.encoding) == wanted) {
      chosen.push_back(&generated);
    }
  }
  // CMailMessage cannot be moved, so the vector must never grow once filled.
  std::vector<qm::CMailMessage> messages(chosen.size());
  for (std::size_t i = 0; i < chosen.size(); ++i) messages[i].Parse(chosen[i]->stored);

  Cycle cycle(messages.size());
  std::int64_t bytes = 0;
  for (auto _ : state) {
    const std::size_t i = cycle.Next();
    messages[i].DecodeBody();
    benchmark::DoNotOptimize(messages[i].Body().data());
    bytes += static_cast<std::int64_t>(chosen[i]->encodedBody.size());
  }
  Report(state, bytes);
}
BENCHMARK(BM_DecodeBody)
    ->Arg(-1)
    ->Arg(static_cast<int>(BodyEncoding::kSevenBit))
    ->Arg(static_cast<int>(BodyEncoding::kBase64))
    ->Arg(static_cast<int>(BodyEncoding::kQuotedPrintable));

// Runs `decode` over one field of the messages that have the given encoding.
template <typename Decode>
void DecodeEach(benchmark::State& state, BodyEncoding encoding,
                std::string GeneratedMessage::*field, Decode decode) {
  const Corpus& corpus = Prepared();
  std::vector<const std::string*> inputs;
  for (const GeneratedMessage& generated : corpus.messages) {
    if (generated.encoding == encoding) inputs.push_back(&(generated.*field));
  }
  Cycle cycle(inputs.size());
  std::int64_t bytes = 0;
  std::string output;
  for (auto _ : state) {
    const std::string& input = *inputs[cycle.Next()];
    decode(input, output);
    benchmark::DoNotOptimize(output.data());
    bytes += static_cast<std::int64_t>(input.size());
  }
  Report(state, bytes);
}

void BM_DecodeBase64(benchmark::State& state) {
  DecodeEach(state, BodyEncoding::kBase64, &GeneratedMessage::encodedBody,
             [](const std::string& in, std::string& out) { qm::DecodeBase64(in, out); });
}
BENCHMARK(BM_DecodeBase64);

void BM_DecodeQuotedPrintable(benchmark::State& state) {
  DecodeEach(state, BodyEncoding::kQuotedPrintable, &GeneratedMessage::encodedBody,
             [](const std::string& in, std::string& out) { qm::DecodeQuotedPrintable(in, out); });
}
BENCHMARK(BM_DecodeQuotedPrintable);

void BM_JisToShiftJis(benchmark::State& state) {
  DecodeEach(state, BodyEncoding::kSevenBit, &GeneratedMessage::jisBody,
             [](const std::string& in, std::string& out) { qm::JisToShiftJis(in, out); });
}
BENCHMARK(BM_JisToShiftJis);

void BM_JisToUtf8(benchmark::State& state) {
  DecodeEach(state, BodyEncoding::kSevenBit, &GeneratedMessage::jisBody,
             [](const std::string& in, std::string& out) { qm::JisToUtf8(in, out); });
}
BENCHMARK(BM_JisToUtf8);

// The two walks on their own, over messages parsed and decoded beforehand.
void BM_ReceivedWalk(benchmark::State& state) {
  const Corpus& corpus = Prepared();
  std::vector<qm::CMailMessage> messages(corpus.messages.size());
  for (std::size_t i = 0; i < messages.size(); ++i) messages[i].Parse(corpus.messages[i].stored);
  Cycle cycle(messages.size());
  std::string address;
  std::int64_t bytes = 0;
  for (auto _ : state) {
    const std::size_t i = cycle.Next();
    messages[i].ResetReceivedWalk();
    while (messages[i].NextReceivedAddress(address) != 0) benchmark::DoNotOptimize(address.data());
    bytes += messages[i].HeaderLength();
  }
  Report(state, bytes);
}
BENCHMARK(BM_ReceivedWalk);

void BM_UrlWalk(benchmark::State& state) {
  const Corpus& corpus = Prepared();
  std::vector<qm::CMailMessage> messages(corpus.messages.size());
  for (std::size_t i = 0; i < messages.size(); ++i) messages[i].Parse(corpus.messages[i].stored);
  Cycle cycle(messages.size());
  std::string host;
  std::int64_t bytes = 0;
  for (auto _ : state) {
    const std::size_t i = cycle.Next();
    // Only decoding restarts a walk. Restarting them all once a pass keeps the cost of pausing
    // the clock, which is near that of a whole walk, out of the figure.
    if (i == 0) {
      state.PauseTiming();
      for (qm::CMailMessage& message : messages) message.DecodeBody();
      state.ResumeTiming();
    }
    while (messages[i].NextUrlHost(host) != 0) benchmark::DoNotOptimize(host.data());
    bytes += static_cast<std::int64_t>(messages[i].Body().size());
  }
  Report(state, bytes);
}
BENCHMARK(BM_UrlWalk);

}  // namespace

// A newsletter as most are sent: a quoted-printable plain part and a base64 HTML part with
// links in attributes. The argument is the number of paragraphs, each with two links.
std::string Newsletter(int paragraphs) {
  std::string plain;
  std::string html = "<html><body>";
  for (int i = 0; i < paragraphs; ++i) {
    const std::string n = std::to_string(i % 50);
    plain += "Item " + n + ": see https://shop" + n + ".example/item?id=" + n + " =E2=86=92\r\n";
    html += "<p>Item " + n + " <a href=\"https://shop" + n + ".example/item?id=" + n +
            "&amp;ref=mail\">here</a><img src=\"//cdn.example/p" + n + ".gif\"></p>\n";
  }
  html += "</body></html>\n";
  std::string encoded;
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (std::size_t i = 0; i < html.size(); i += 3) {
    const auto byte = [&](std::size_t k) {
      return k < html.size() ? static_cast<unsigned char>(html[k]) : 0u;
    };
    const unsigned v = (byte(i) << 16) | (byte(i + 1) << 8) | byte(i + 2);
    encoded += kAlphabet[(v >> 18) & 63];
    encoded += kAlphabet[(v >> 12) & 63];
    encoded += i + 1 < html.size() ? kAlphabet[(v >> 6) & 63] : '=';
    encoded += i + 2 < html.size() ? kAlphabet[v & 63] : '=';
    if (encoded.size() % 78 == 76) encoded += "\r\n";
  }
  return "Subject: news\r\nContent-Type: multipart/alternative; boundary=b\r\n\r\n--b\r\n"
         "Content-Type: text/plain; charset=utf-8\r\n"
         "Content-Transfer-Encoding: quoted-printable\r\n\r\n" +
         plain +
         "--b\r\nContent-Type: text/html; charset=utf-8\r\n"
         "Content-Transfer-Encoding: base64\r\n\r\n" +
         encoded + "\r\n--b--\r\n.\r\n";
}

// The decoding and link walk of one multipart message, as the classifier runs it.
void BM_MultipartDecodeWalk(benchmark::State& state) {
  Prepared();
  const std::string stored = Newsletter(static_cast<int>(state.range(0)));
  std::int64_t hosts = 0;
  std::string host;
  for (auto _ : state) {
    qm::CMailMessage message;
    message.Parse(stored);
    message.DecodeBody();
    while (message.NextUrlHost(host) != 0) ++hosts;
  }
  Report(state, static_cast<std::int64_t>(stored.size()) * state.iterations());
  state.counters["links/msg"] =
      static_cast<double>(hosts) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_MultipartDecodeWalk)->Arg(10)->Arg(1000);

BENCHMARK_MAIN();
