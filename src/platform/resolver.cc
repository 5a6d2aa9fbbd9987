#include "platform/resolver.h"

#include <ares.h>
#include <errno.h>
#include <poll.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <utility>

namespace qm {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kClassInternet = 1;  // RFC 1035 3.2.4
constexpr int kTypeA = 1;          // RFC 1035 3.2.2

// ares_library_init is not safe to call from two threads at once, and the program never needs
// to undo it.
int InitLibraryOnce() {
  static std::once_flag once;
  static int status = ARES_SUCCESS;
  std::call_once(once, [] { status = ares_library_init(ARES_LIB_INIT_ALL); });
  return status;
}

struct QueryState {
  bool done = false;
  DnsAnswer answer;
};

DnsAnswer ErrorAnswer(int code, std::string text) {
  DnsAnswer answer;
  answer.status = DnsStatus::Error;
  answer.code = code;
  answer.errorText = std::move(text);
  return answer;
}

DnsAnswer AnswerFromStatus(int status) {
  DnsAnswer answer;
  answer.errorText = ares_strerror(status);
  switch (status) {
    case ARES_ENOTFOUND:
      answer.status = DnsStatus::NotFound;
      answer.code = kDnsHostNotFound;
      break;
    case ARES_ENODATA:
      answer.status = DnsStatus::NotFound;
      answer.code = kDnsNoData;
      break;
    case ARES_ETIMEOUT:
    case ARES_ESERVFAIL:
    case ARES_ECONNREFUSED:
      answer.code = kDnsTryAgain;
      break;
    default:
      answer.code = kDnsNoRecovery;
      break;
  }
  return answer;
}

void OnAnswer(void* arg, int status, int /*timeouts*/, unsigned char* reply, int length) {
  auto* state = static_cast<QueryState*>(arg);
  state->done = true;
  if (status != ARES_SUCCESS) {
    state->answer = AnswerFromStatus(status);
    return;
  }
  // A reply can hold more records than this, but one address already decides a listing and
  // the refusal check needs no more than a few.
  ares_addrttl records[32];
  int count = 32;
  const int parsed = ares_parse_a_reply(reply, length, nullptr, records, &count);
  if (parsed != ARES_SUCCESS) {
    state->answer = AnswerFromStatus(parsed);
    return;
  }
  if (count <= 0) {
    state->answer = AnswerFromStatus(ARES_ENODATA);
    return;
  }
  state->answer.status = DnsStatus::Found;
  state->answer.code = 0;
  for (int i = 0; i < count; ++i) {
    std::array<std::uint8_t, 4> bytes{};
    std::memcpy(bytes.data(), &records[i].ipaddr, 4);  // network order is first byte first
    state->answer.addresses.push_back(bytes);
  }
}

class CChannel {
 public:
  CChannel() = default;
  ~CChannel() {
    if (channel_ != nullptr) ares_destroy(channel_);
  }
  CChannel(const CChannel&) = delete;
  CChannel& operator=(const CChannel&) = delete;
  ares_channel* Out() { return &channel_; }
  ares_channel Get() const { return channel_; }

 private:
  ares_channel channel_ = nullptr;
};

}  // namespace

CAresResolver::CAresResolver(std::vector<std::string> servers) {
  for (const std::string& server : servers) {
    if (server.empty()) continue;
    if (!serverList_.empty()) serverList_ += ',';
    serverList_ += server;
  }
  const int status = InitLibraryOnce();
  if (status != ARES_SUCCESS) {
    setupError_ = std::string("DNS library: ") + ares_strerror(status);
    return;
  }
  // Try the list once now, so that a wrong setting is reported at start and not per query.
  if (!serverList_.empty()) {
    CChannel channel;
    ares_options options{};
    int result = ares_init_options(channel.Out(), &options, 0);
    if (result == ARES_SUCCESS)
      result = ares_set_servers_ports_csv(channel.Get(), serverList_.c_str());
    if (result != ARES_SUCCESS) {
      setupError_ = "DNS servers \"" + serverList_ + "\": " + ares_strerror(result);
    }
  }
}

CAresResolver::~CAresResolver() = default;

DnsAnswer CAresResolver::LookupA(std::string_view name, std::chrono::milliseconds timeout) {
  if (!setupError_.empty()) return ErrorAnswer(kDnsNoRecovery, setupError_);
  if (name.find('\0') != std::string_view::npos) {
    return ErrorAnswer(kDnsNoRecovery, ares_strerror(ARES_EBADNAME));
  }
  timeout = std::max(timeout, std::chrono::milliseconds{1});
  const Clock::time_point deadline = Clock::now() + timeout;

  // Two tries per server with c-ares doubling the wait for the second, so that with one server
  // a lost datagram is sent again and both tries together fit the time-out; with more servers
  // the deadline below cuts the rounds short.
  ares_options options{};
  options.timeout = static_cast<int>(std::max<std::int64_t>(timeout.count() / 3, 1));
  options.tries = 2;
  QueryState state;
  CChannel channel;
  int status = ares_init_options(channel.Out(), &options, ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES);
  if (status != ARES_SUCCESS) return AnswerFromStatus(status);
  if (!serverList_.empty()) {
    status = ares_set_servers_ports_csv(channel.Get(), serverList_.c_str());
    if (status != ARES_SUCCESS) return AnswerFromStatus(status);
  }

  const std::string query(name);
  ares_query(channel.Get(), query.c_str(), kClassInternet, kTypeA, OnAnswer, &state);
  while (!state.done) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left <= std::chrono::milliseconds::zero()) {
      ares_cancel(channel.Get());  // runs OnAnswer with ARES_ECANCELLED
      return ErrorAnswer(kDnsTryAgain,
                         "no answer within " + std::to_string(timeout.count()) + " ms");
    }
    ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
    const int mask = ares_getsock(channel.Get(), sockets, ARES_GETSOCK_MAXNUM);
    pollfd fds[ARES_GETSOCK_MAXNUM];
    nfds_t count = 0;
    for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
      short events = 0;
      if (ARES_GETSOCK_READABLE(mask, i)) events |= POLLIN;
      if (ARES_GETSOCK_WRITABLE(mask, i)) events |= POLLOUT;
      if (events == 0) continue;
      fds[count++] = pollfd{sockets[i], events, 0};
    }
    std::int64_t wait = left.count();
    timeval maxWait{};
    maxWait.tv_sec = static_cast<decltype(maxWait.tv_sec)>(wait / 1000);
    maxWait.tv_usec = static_cast<decltype(maxWait.tv_usec)>((wait % 1000) * 1000);
    timeval next{};
    if (const timeval* until = ares_timeout(channel.Get(), &maxWait, &next)) {
      // Rounded up, so that the retry is due when poll returns and the loop does not spin.
      wait = std::int64_t{until->tv_sec} * 1000 + (until->tv_usec + 999) / 1000;
    }
    const int ready =
        poll(fds, count, static_cast<int>(std::clamp<std::int64_t>(wait, 0, INT_MAX)));
    if (ready < 0 && errno != EINTR) {
      ares_cancel(channel.Get());
      return ErrorAnswer(kDnsTryAgain, std::string("poll: ") + std::strerror(errno));
    }
    if (ready <= 0) {
      ares_process_fd(channel.Get(), ARES_SOCKET_BAD, ARES_SOCKET_BAD);  // due retries
      continue;
    }
    for (nfds_t i = 0; i < count && !state.done; ++i) {
      const bool readable = (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
      const bool writable = (fds[i].revents & POLLOUT) != 0;
      if (!readable && !writable) continue;
      ares_process_fd(channel.Get(), readable ? fds[i].fd : ARES_SOCKET_BAD,
                      writable ? fds[i].fd : ARES_SOCKET_BAD);
    }
  }
  return std::move(state.answer);
}

}  // namespace qm
