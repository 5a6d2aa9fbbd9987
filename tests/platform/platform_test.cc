// What the platform layer decides rather than the system or a library.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <thread>

#include "platform/child_process.h"
#include "platform/file_io.h"
#include "platform/locks.h"
#include "platform/profile.h"
#include "platform/resolver.h"
#include "platform/secret_command.h"
#include "platform/socket.h"
#include "support/file_bytes.h"
#include "support/scratch_directory.h"

namespace qm {
namespace {

using namespace std::chrono_literals;
using namespace test;
using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

// Refuses the `failAt`th file operation (from 1; 0 only records), with `sticky` every later one.
struct FaultScope {
  explicit FaultScope(int failAt, bool sticky = false) {
    SetFileFaultInjector([this, failAt, sticky](FileOperation op) {
      seen.push_back(op);
      return failAt > 0 && (sticky ? ++counted >= failAt : ++counted == failAt);
    });
  }
  ~FaultScope() { SetFileFaultInjector(nullptr); }
  std::vector<FileOperation> seen;
  int counted = 0;
};

std::string BinaryContent(std::size_t size) {  // every byte value, several times over
  std::string content(size, '\0');
  for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
  return content;
}

// Whatever operation fails, the file is the old one until the rename and the new one from then on
// (as reported); data is durable before the rename, the rename before success; a single refusal
// leaves no scratch file. A rewrite never widens the file's mode.
TEST(FileIoTest, EveryRefusalDuringAReplaceLeavesOldOrNewContent) {
  const std::string oldContent = "old line\r\n", newContent = BinaryContent(150 * 1024);
  for (int variant = 0; variant < 4; ++variant) {
    const bool exists = variant & 1, sticky = variant & 2;
    ScratchDirectory dir;
    const std::string path = dir.File("marks");
    const auto reset = [&] {
      RemoveFile(path + ".new");
      exists ? WriteFileBytes(path, oldContent) : (void)RemoveFile(path);
    };
    reset();
    WriteFileBytes(path + ".new", "half-written garbage from before a crash, longer than the rest");
    std::vector<FileOperation> steps;
    {
      FaultScope record(0);
      ASSERT_TRUE(ReplaceFileContent(path, newContent));
      steps = record.seen;
    }
    const auto rename = std::find(steps.begin(), steps.end(), FileOperation::Rename);
    ASSERT_NE(rename, steps.end());
    EXPECT_TRUE(std::count(steps.begin(), rename, FileOperation::Sync) &&
                std::count(rename, steps.end(), FileOperation::Sync));
    const std::size_t renameAt = static_cast<std::size_t>(rename - steps.begin());
    for (std::size_t n = 1; n <= steps.size(); ++n) {
      SCOPED_TRACE(std::to_string(n) + " of variant " + std::to_string(variant));
      reset();
      int error = 0;
      {
        FaultScope fault(static_cast<int>(n), sticky);
        EXPECT_EQ(ReplaceFileContent(path, newContent, &error), n - 1 > renameAt);
      }
      EXPECT_EQ(error, EIO);
      const std::string expected = n - 1 > renameAt ? newContent : exists ? oldContent : "-";
      EXPECT_TRUE((FileExists(path) ? ReadFileBytes(path) : "-") == expected);
      EXPECT_TRUE(sticky || !FileExists(path + ".new"));
    }
  }
  ScratchDirectory dir;
  WriteFileBytes(dir.File("list"), "x");
  fs::permissions(dir.File("list"), fs::perms::others_read, fs::perm_options::add);
  for (const char* name : {"list", "fresh"}) {
    ASSERT_TRUE(ReplaceFileContent(dir.File(name), "y"));
    EXPECT_EQ(fs::status(dir.File(name)).permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
  }
}

// A planted link leads no read or write of mail elsewhere; truncation only shortens; a reader
// gives exactly the range or nothing, whatever a damaged index names.
TEST(FileIoTest, LinksTruncationAndRanges) {
  ScratchDirectory dir;
  const std::string target = dir.File("elsewhere"), link = dir.File("a.mbx");
  WriteFileBytes(target, "0123456789xyz");
  fs::create_symlink(target, link);
  std::string out;
  int errors[3] = {};
  EXPECT_FALSE(ReadFileContent(link, out, &errors[0]) || AppendToFile(link, "x", &errors[1]) ||
               TruncateFile(link, 0, &errors[2]));
  EXPECT_EQ(std::vector<int>(errors, errors + 3), std::vector<int>(3, ELOOP));
  ASSERT_TRUE(ReplaceFileContent(link, "mine") && !fs::is_symlink(link));
  EXPECT_FALSE(TruncateFile(target, 14) || TruncateFile(target, -1));
  SetFileFaultInjector([](FileOperation op) { return op == FileOperation::Truncate; });
  EXPECT_FALSE(TruncateFile(target, 0));
  SetFileFaultInjector(nullptr);
  CFileReader reader;
  ASSERT_TRUE(TruncateFile(target, 10) && reader.Open(target));
  constexpr auto kHuge = std::numeric_limits<std::size_t>::max();
  const std::tuple<std::int64_t, std::size_t, const char*, int> kCases[] = {
      {0, 10, "0123456789", 0}, {3, 4, "3456", 0},
      {10, 0, "", 0},           {9, 2, "", ENODATA},
      {11, 0, "", ENODATA},     {-1, 1, "", EINVAL},
      {0, kHuge, "", ENODATA},  {std::numeric_limits<std::int64_t>::max(), 1, "", ENODATA}};
  for (auto [offset, length, expected, error] : kCases) {
    out = "left over";
    EXPECT_EQ(reader.ReadAt(offset, length, out), error == 0) << offset;
    EXPECT_EQ(out + std::to_string(error ? reader.LastError() : 0),
              expected + std::to_string(error));
  }
  SetFileFaultInjector([](FileOperation op) { return op == FileOperation::Read; });
  EXPECT_FALSE(reader.ReadAt(0, 3, out));
  SetFileFaultInjector(nullptr);
  EXPECT_TRUE(reader.ReadAt(1, 2, out) && out == "12");
}

// The settings file as Windows reads it: sections and keys in any case, the first copy wins,
// quotes stripped in pairs, numbers wrapped; a write changes only the line concerned, keeping
// line ends, comments and duplicates; what would add lines, keys or sections is refused.
TEST(ProfileTest, ReadsAndChangesAsWindowsDoes) {
  ScratchDirectory dir;
  CProfile profile(dir.File("qm.ini"));
  const std::pair<const char*, const char*> kReads[] = {
      // a file, and its value of k in s
      {"  [ S ]  \r\n\t K \t=  a b \t\r\n", "a b"},
      {"[s]\nk= \" a b \" ", " a b "},
      {"\xEF\xBB\xBF[s] ; c\r\nk=a=b\r\nK=2\r\n[S]\r\nk=3\r\n", "a=b"},
      {"k=1\r\n[s\r\n;k=1\r\nk\r\n", "-"}};
  for (auto [file, value] : kReads) {
    WriteFileBytes(profile.Path(), file);
    EXPECT_EQ(profile.GetString("s", "k", "-"), value) << file;
  }
  const std::pair<const char*, int> kNumbers[] = {
      {"", -7},           {"  25  ", 25},
      {"\"15\"", 15},     {"42A94967297", 42},
      {"- 5", 0},         {"2147483648", -2147483647 - 1},
      {"-4294967297", -1}};
  for (auto [value, number] : kNumbers) {
    WriteFileBytes(profile.Path(), "[s]\r\nk=" + std::string(value) + "\r\n");
    EXPECT_EQ(profile.GetInt("s", "k", -7), number) << value;
  }
  // Before, key, value (none: remove the key) in section a, after.
  const std::tuple<const char*, const char*, const char*, const char*> kWrites[] = {
      {"; c\r\n[A]\r\n  X \t= old  \r\nz=1\r\n", "x", "v", "; c\r\n[A]\r\n  X=v\r\nz=1\r\n"},
      {"[a]\r\nk=1\nx=2\r\n[a]\r\nx=3", "x", "", "[a]\r\nk=1\nx=\r\n[a]\r\nx=3"},
      {"[a]\nx=1\n; b holds the accounts\n[b]\n", "n", "v",
       "[a]\nx=1\nn=v\n; b holds the accounts\n[b]\n"},
      {"; settings\n[b]\nx=1", "n", "v", "; settings\n[b]\nx=1\n[a]\nn=v\n"},
      {"[a]\r\nx=1\r\ny=2\r\nX=3\r\n[b]\r\nx=4\r\n", "x", nullptr, "[a]\r\ny=2\r\n[b]\r\nx=4\r\n"}};
  for (auto [before, key, value, after] : kWrites) {
    WriteFileBytes(profile.Path(), before);
    ASSERT_TRUE(profile.WriteString("a", key, value));
    EXPECT_EQ(ReadFileBytes(profile.Path()), after);
  }
  const std::string before = ReadFileBytes(profile.Path());
  const std::tuple<const char*, const char*, const char*> kRefused[] = {
      {"s", "k", "a\rb"}, {"s", "a=b", "1"}, {"s", "[t]", "1"}, {"s", ";k", "1"},
      {"s", " k", "1"},   {"a]b", "k", "1"}, {" s", "k", "1"},  {"s", "k", "1\r\n[admin]\r\nk=2"}};
  for (auto [section, key, value] : kRefused)
    EXPECT_FALSE(profile.WriteString(section, key, value)) << section << "/" << key << "/" << value;
  EXPECT_EQ(ReadFileBytes(profile.Path()), before);
}

// The owner reenters and others wait until its last unlock; a one-slot semaphore any thread may
// release; AcquireAll takes all of a set or none; a huge time-out waits instead of overflowing.
TEST(LocksTest, OwnersSlotsAndSets) {
  CReentrantLock lock;
  lock.Lock();
  EXPECT_TRUE(lock.TryLock() && lock.TryLockFor(0ms) && lock.Unlock() && lock.Unlock());
  EXPECT_FALSE(
      std::async(std::launch::async, [&] { return lock.Unlock() || lock.TryLockFor(20ms); }).get());
  auto owner =
      std::async(std::launch::async, [&] { return lock.TryLockFor(60s) && lock.Unlock(); });
  EXPECT_EQ(owner.wait_for(20ms), std::future_status::timeout);
  EXPECT_TRUE(lock.Unlock() && !lock.Unlock() && owner.get());

  COneSlotSemaphore a, b, c;
  EXPECT_FALSE(a.Release());  // it starts free, and a free slot cannot be released
  EXPECT_TRUE(a.TryAcquireFor(0ms));
  EXPECT_FALSE(a.TryAcquire() || a.TryAcquireFor(30ms) || a.TryAcquireFor(-5ms));
  auto waiter = std::async(std::launch::async,
                           [&] { return a.TryAcquireFor(std::chrono::milliseconds::max()); });
  EXPECT_EQ(waiter.wait_for(20ms), std::future_status::timeout);
  EXPECT_TRUE(std::async(std::launch::async, [&] { return a.Release(); }).get() && waiter.get());
  a.Release();

  EXPECT_TRUE(AcquireAll({}, 0ms));
  EXPECT_FALSE(AcquireAll({&a, &b, &a}, 1h) || AcquireAll({&a, nullptr}, 1h));
  b.Acquire();
  c.Acquire();
  EXPECT_FALSE(AcquireAll({&a, &b, &c}, 30ms));
  auto all = std::async(std::launch::async, [&] {
    return AcquireAll({&a, &b, &c}, std::chrono::milliseconds::max());
  });
  EXPECT_EQ(all.wait_for(20ms), std::future_status::timeout);
  ASSERT_TRUE(a.TryAcquireFor(60s));  // it holds nothing while it waits
  a.Release();
  c.Release();
  EXPECT_EQ(all.wait_for(20ms), std::future_status::timeout);
  b.Release();
  EXPECT_TRUE(all.get() && !a.TryAcquire() && !b.TryAcquire() && !c.TryAcquire());
}

// A child's log is private, Stop ends one that ignores SIGTERM, relative PATH entries are skipped.
TEST(ChildProcessTest, PrivateOutputStopAndSafeSearch) {
  ScratchDirectory dir;
  const std::string log = dir.File("child.log"), tool = dir.File("qm_test_tool");
  CChildProcess child;
  ASSERT_TRUE(
      child.Start({"/bin/sh", "-c", "trap '' TERM; echo up; while :; do sleep 0.05; done"}, log));
  for (int i = 0; i < 1000 && ReadFileBytes(log).empty(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(ReadFileBytes(log), "up\n");
  struct stat st;
  EXPECT_TRUE(stat(log.c_str(), &st) == 0 && (st.st_mode & 0777) == 0600);
  child.Stop(100);
  EXPECT_FALSE(child.Running());

  std::ofstream(tool) << "#!/bin/sh\n";
  std::ofstream(dir.File("qm_test_plain")) << "not a program\n";
  chmod(tool.c_str(), 0700);
  const std::string savedPath = std::getenv("PATH") ? std::getenv("PATH") : "";
  const auto previousDir = fs::current_path();
  fs::current_path(dir.Path());  // where a relative entry would find the tool
  setenv("PATH", ("::.:/nonexistent:" + savedPath).c_str(), 1);
  EXPECT_EQ(FindProgram("qm_test_tool", {}), "");
  EXPECT_EQ(FindProgram("qm_test_tool", {"/nonexistent", dir.Path()}), tool);
  EXPECT_EQ(FindProgram("qm_test_plain", {dir.Path()}) + FindProgram("sh", {}).substr(0, 1), "/");
  setenv("PATH", savedPath.c_str(), 1);
  fs::current_path(previousDir);
}

// Command lines split as a shell splits words, refusing whatever a shell would expand; the
// first line of standard output is the secret, and a failure says why.
TEST(SecretCommandTest, SplitsLikeAShellAndTakesTheFirstLine) {
  Strings words;
  std::string problem;
  EXPECT_TRUE(
      SplitCommandLine(R"( a\ b 'x "y" \z'"p \"q\" \\ \n" '|&;<>()$`' x#y\$ '')", words, problem));
  EXPECT_EQ(words, (Strings{"a b", R"(x "y" \zp "q" \ \n)", "|&;<>()$`", "x#y$", ""}));
  for (const char* line : {"", "a 'b", "a\\", "pass x | head -1", "a;b", "a \"$HOME\"", "a `b`",
                           "a > f", "a &", "~/bin/token", "a # comment"})
    EXPECT_FALSE(SplitCommandLine(line, words, problem) || problem.empty()) << line;
  const std::tuple<const char*, const char*, const char*> kRun[] = {
      // line, secret, problem
      {"/bin/echo -e ' tok en\\r\\nsecond'", " tok en", ""},
      {"cat", "", "printed nothing"},  // standard input is empty, not the program's
      {"/bin/false", "", "exited with status 1"},
      {"/nonexistent/qm-program", "", "could not be started ( No such file or directory )"}};
  for (auto [line, secret, why] : kRun) {
    const SecretCommandResult result = RunSecretCommand(line, 10s);
    EXPECT_EQ(result.secret + "|" + result.problem + "|" + (result.ok ? "ok" : ""),
              std::string(secret) + "|" + why + "|" + (*why ? "" : "ok"));
  }
  const SecretCommandResult noisy =
      RunSecretCommand("/usr/bin/head -c 100000 /dev/zero /qm-none", 10s);
  EXPECT_TRUE(noisy.errorOutput.size() <= kMaxErrorBytes &&
              noisy.errorOutput.find("qm-none") != std::string::npos);
}

// A peer's end costs an error result, not the process (SIGPIPE); ShutdownAndClose delivers the
// whole reply although the client sent more after its last command; bad arguments are refused.
TEST(SocketTest, PeersEndsWholeRepliesAndRefusals) {
  CTcpListener listener;
  CTcpConnection client, server, gone;
  ASSERT_EQ(listener.Listen("127.0.0.1", 0, 8), ListenResult::Listening);
  for (CTcpConnection* side : {&gone, &client}) {
    ASSERT_EQ(side->Connect("127.0.0.1", listener.Port(), 10s), ConnectResult::Connected);
    ASSERT_EQ(listener.Accept(server, 10s), AcceptResult::Accepted);
    if (side == &gone) server.Close();
  }
  bool failed = false;
  for (int attempt = 0; attempt < 1000 && !failed; ++attempt, std::this_thread::sleep_for(1ms))
    failed = !gone.Send("NOOP\r\n", 10s);
  EXPECT_TRUE(failed && (gone.LastError() == EPIPE || gone.LastError() == ECONNRESET));

  ASSERT_TRUE(client.Send("QUIT\r\nNOOP\r\nNOOP\r\n"));
  char head[6];
  ASSERT_EQ(server.Receive(head, sizeof head, 10s), 6);
  const std::string reply = BinaryContent(8 << 20);
  std::thread serverThread([&] {
    EXPECT_TRUE(server.Send(reply, 10s));
    server.ShutdownAndClose();
  });
  std::string received;
  char piece[16384];
  std::int64_t n;
  for (; (n = client.Receive(piece, sizeof piece, 10s)) > 0; std::this_thread::sleep_for(1ms))
    received.append(piece, static_cast<std::size_t>(n));
  serverThread.join();
  EXPECT_TRUE(n == 0 && received == reply) << received.size();

  int error = 0;
  for (const char* address : {"mail.example", "256.0.0.1", "127.0.0", " 127.0.0.1",
                              "127.0.0.1:8110", "::1", "localhost."})
    EXPECT_EQ(listener.Listen(address, 0, 5, &error), ListenResult::BadArgument) << address;
  EXPECT_EQ(listener.Listen(std::string("127.0.0.1\0x", 11), 0, 5), ListenResult::BadArgument);
  EXPECT_EQ(CTcpConnection().Connect(std::string("127.0.0.1\0evil", 14), 1, 10s, &error),
            ConnectResult::Failed);
  EXPECT_EQ(error, EINVAL);
  for (const char* address : {"127.0.0.1", "127.1.2.3", "localhost", "LOCALHOST"})
    EXPECT_TRUE(CTcpListener::IsLoopback(address)) << address;
  for (const char* address :
       {"", "0.0.0.0", "192.168.1.2", "128.0.0.1", "126.255.255.255", "127.0.0.1 "})
    EXPECT_FALSE(CTcpListener::IsLoopback(address)) << address;
}

// Our own loopback DNS server answers one A query, then stays silent: a time-out worth retrying.
TEST(CAresResolverTest, ReadsTheAnswerAndTellsASilentServer) {
  const int udp = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(udp, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(getsockname(udp, reinterpret_cast<sockaddr*>(&address), &length), 0);
  std::thread server([udp] {
    pollfd ready{udp, POLLIN, 0};
    unsigned char query[512];
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    if (poll(&ready, 1, 10000) != 1) return;
    const ssize_t n =
        recvfrom(udp, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    std::size_t end = 12;  // the header, then the question's name and its type and class
    while (end < static_cast<std::size_t>(n) && query[end] != 0) end += query[end] + 1u;
    std::string reply(reinterpret_cast<char*>(query), end + 5);
    reply.replace(2, 10, std::string("\x81\x80\0\x01\0\x01\0\0\0\0", 10));
    reply += std::string("\xC0\x0C\0\x01\0\x01\0\0\0\x3C\0\x04\x7F\0\0\x02", 16);
    sendto(udp, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), fromLength);
  });
  CAresResolver resolver({"127.0.0.1:" + std::to_string(ntohs(address.sin_port))});
  const DnsAnswer found = resolver.LookupA("2.0.0.127.zone.test", 5s);
  server.join();
  EXPECT_EQ(found.status, DnsStatus::Found) << found.errorText;
  EXPECT_EQ(found.addresses, (std::vector<std::array<std::uint8_t, 4>>{{127, 0, 0, 2}}));
  const DnsAnswer silent = resolver.LookupA("x.zone.test", 300ms);
  EXPECT_TRUE(silent.status == DnsStatus::Error && silent.code == kDnsTryAgain);
  close(udp);
}

}  // namespace
}  // namespace qm
