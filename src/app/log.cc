#include "app/log.h"

#include <chrono>
#include <ctime>
#include <system_error>
#include <utility>

#include "platform/file_io.h"
#include "platform/time_format.h"

namespace qm {

namespace fs = std::filesystem;

namespace {

std::int64_t SystemSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Texts from peers (a client's user name, a server's unique id) reach the log: a control byte
// among them could forge a line or a column, or drive the terminal of whoever reads the file.
void AppendEscaped(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    } else {
      out += c;
    }
  }
}

}  // namespace

CLog::CLog(fs::path logDirectory, Clock logClock)
    : directory(std::move(logDirectory)),
      clock(logClock ? std::move(logClock) : Clock(SystemSeconds)) {}

void CLog::Log(std::string_view text) {
  std::lock_guard<std::mutex> guard(logLock);
  // The clock is read under the lock so that the stamps never go backwards down the file.
  std::tm local{};
  if (ToLocalTime(clock(), local)) {
    buffer += FormatTime("%Y %b %d %H:%M:%S\t", local);
  } else {
    buffer += '\t';
  }
  AppendEscaped(buffer, text);
  buffer += "\r\n";
}

bool CLog::FlushLog() {
  std::lock_guard<std::mutex> guard(logLock);
  if (buffer.empty()) return true;
  if (!WriteBuffer()) return false;
  buffer.clear();
  return true;
}

bool CLog::WriteBuffer() {
  const fs::path current = directory / kFileName;
  std::error_code error;

  const std::uintmax_t size = fs::file_size(current, error);
  if (!error && size > kRotateAbove) {
    // Should the rename fail, the lines still go to the current file, which only grows.
    const fs::path old = directory / kOldFileName;
    fs::remove(old, error);
    fs::rename(current, old, error);
  }
  // A failed append leaves the file as it was, so the lines kept for the next flush are not
  // written twice.
  return AppendToFile(current.string(), buffer);
}

}  // namespace qm
