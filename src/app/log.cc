#include "app/log.h"

#include <chrono>
#include <ctime>
#include <fstream>
#include <system_error>
#include <utility>

#include "platform/time_format.h"

namespace qm {

namespace fs = std::filesystem;

namespace {

std::int64_t SystemSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
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
  buffer.append(text);
  buffer += "\r\n";
}

bool CLog::FlushLog() {
  std::lock_guard<std::mutex> guard(logLock);
  if (buffer.empty()) return true;
  if (!AppendToFile()) return false;
  buffer.clear();
  return true;
}

bool CLog::AppendToFile() {
  const fs::path current = directory / kFileName;
  std::error_code error;

  const std::uintmax_t size = fs::file_size(current, error);
  if (!error && size > kRotateAbove) {
    // Should the rename fail, the lines still go to the current file, which only grows.
    const fs::path old = directory / kOldFileName;
    fs::remove(old, error);
    fs::rename(current, old, error);
  }

  std::ofstream out(current, std::ios::binary | std::ios::app);
  if (!out) return false;
  const std::uintmax_t sizeBefore = fs::file_size(current, error);
  const bool sizeKnown = !error;
  out.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
  out.flush();
  out.close();
  if (out.good()) return true;

  // The lines stay in the buffer for the next flush, so a part of them that did reach the file
  // would be written twice.
  if (sizeKnown) fs::resize_file(current, sizeBefore, error);
  return false;
}

}  // namespace qm
