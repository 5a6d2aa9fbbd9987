// A small POP3 client that times one session against a server on 127.0.0.1, for
// pop3_serve_bench.py: login, STAT, LIST, UIDL twice, RETR of every message and QUIT, one
// command at a time (no pipelining: each command goes out once the previous reply is complete,
// as mail clients do). Plain POSIX sockets, so that the client's own cost stays far below the
// servers'.
//
// Usage: pop3_client_bench PORT USER PASSWORD [--quickack]
//
// Prints one line of JSON: seconds per operation, the message count that STAT gave, the bytes
// received for the RETR pass (status lines and terminators included), whether both UIDL
// listings were the same, the FNV-1a hash of the RETR replies after their status lines (two
// servers give the same hash when they send the same messages) and the client's CPU seconds for the
// RETR pass. Exit status 1, with the reason on standard error, when a reply is not "+OK" or the
// connection fails.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "pop3_client_bench: %s\n", what.c_str());
  std::exit(1);
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

class Client {
 public:
  Client(std::uint16_t port, bool quickack) : quickack_(quickack), buffer_(1 << 20) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) Fail("socket: " + std::string(std::strerror(errno)));
    // Commands are small and each waits for its reply: nothing to gain from Nagle.
    const int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      Fail("connect: " + std::string(std::strerror(errno)));
    }
  }
  ~Client() { ::close(fd_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Sends a command (none when empty) and returns its one-line reply.
  std::string_view Line(std::string_view command) {
    Send(command);
    std::size_t n = 0;
    while (n < 2 || std::memcmp(&buffer_[n - 2], "\r\n", 2) != 0) n = Fill(n);
    return Checked(command, n);
  }

  // Sends a command with a multi-line reply and returns the whole reply; a "-ERR" line ends it
  // early and fails.
  std::string_view Multi(std::string_view command) {
    Send(command);
    std::size_t n = 0;
    for (;;) {
      n = Fill(n);
      if (n >= 5 && std::memcmp(&buffer_[n - 5], "\r\n.\r\n", 5) == 0) break;
      if (buffer_[0] == '-' && std::memcmp(&buffer_[n - 2], "\r\n", 2) == 0) break;
    }
    return Checked(command, n);
  }

 private:
  void Send(std::string_view command) {
    if (command.empty()) return;
    std::string line(command);
    line += "\r\n";
    std::string_view rest = line;
    while (!rest.empty()) {
      const ssize_t sent = ::send(fd_, rest.data(), rest.size(), MSG_NOSIGNAL);
      if (sent < 0 && errno == EINTR) continue;
      if (sent <= 0) Fail("send: " + std::string(std::strerror(errno)));
      rest.remove_prefix(static_cast<std::size_t>(sent));
    }
  }

  std::size_t Fill(std::size_t filled) {
    if (filled == buffer_.size()) buffer_.resize(buffer_.size() * 2);
    if (quickack_) {
      const int on = 1;
      ::setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    }
    for (;;) {
      const ssize_t got = ::recv(fd_, &buffer_[filled], buffer_.size() - filled, 0);
      if (got > 0) return filled + static_cast<std::size_t>(got);
      if (got < 0 && errno == EINTR) continue;
      Fail(got == 0 ? "the server closed the connection"
                    : "recv: " + std::string(std::strerror(errno)));
    }
  }

  std::string_view Checked(std::string_view command, std::size_t n) {
    const std::string_view reply(buffer_.data(), n);
    if (!reply.starts_with("+OK")) {
      Fail("'" + std::string(command) + "' answered '" + std::string(reply.substr(0, 80)) + "'");
    }
    return reply;
  }

  int fd_ = -1;
  bool quickack_ = false;
  std::vector<char> buffer_;
};

// FNV-1a over 8-byte words (the last, partial one padded with zeros): a check that both
// servers sent the same bytes, cheap beside the reading.
std::uint64_t Fnv1a(std::uint64_t hash, std::string_view bytes) {
  for (std::size_t at = 0; at < bytes.size(); at += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes.data() + at, std::min<std::size_t>(8, bytes.size() - at));
    hash ^= word;
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s PORT USER PASSWORD [--quickack]\n", argv[0]);
    return 2;
  }
  const auto port = static_cast<std::uint16_t>(std::strtoul(argv[1], nullptr, 10));
  const std::string user = argv[2];
  const std::string password = argv[3];
  const bool quickack = argc > 4 && std::string_view(argv[4]) == "--quickack";

  using Clock = std::chrono::steady_clock;
  std::vector<std::pair<const char*, double>> times;
  auto started = Clock::now();
  auto lap = [&](const char* name) {
    const auto now = Clock::now();
    times.emplace_back(name, std::chrono::duration<double>(now - started).count());
    started = now;
  };

  Client client(port, quickack);
  client.Line("");
  client.Line("USER " + user);
  client.Line("PASS " + password);
  lap("login");

  const std::string_view stat = client.Line("STAT");
  const long count = std::strtol(std::string(stat.substr(4)).c_str(), nullptr, 10);
  lap("STAT");
  client.Multi("LIST");
  lap("LIST");
  const std::string first(client.Multi("UIDL"));
  lap("UIDL (first)");
  const bool stable = client.Multi("UIDL") == first;
  lap("UIDL (again)");

  std::uint64_t retrBytes = 0;
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  const double cpu = CpuSeconds();
  for (long k = 1; k <= count; ++k) {
    const std::string_view reply = client.Multi("RETR " + std::to_string(k));
    retrBytes += reply.size();
    hash = Fnv1a(hash, reply.substr(reply.find("\r\n") + 2));
  }
  lap("RETR all");
  const double retrCpu = CpuSeconds() - cpu;
  client.Line("QUIT");
  lap("QUIT");

  std::printf("{\"times\": {");
  for (std::size_t i = 0; i < times.size(); ++i) {
    std::printf("%s\"%s\": %.9f", i == 0 ? "" : ", ", times[i].first, times[i].second);
  }
  std::printf(
      "}, \"messages\": %ld, \"retr_bytes\": %llu, \"retr_hash\": \"%016llx\", "
      "\"uidl_lines\": %zu, \"uidls_stable\": %s, \"retr_client_cpu\": %.6f}\n",
      count, static_cast<unsigned long long>(retrBytes), static_cast<unsigned long long>(hash),
      static_cast<std::size_t>(std::count(first.begin(), first.end(), '\n')) - 2,
      stable ? "true" : "false", retrCpu);
  return 0;
}
