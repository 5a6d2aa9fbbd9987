// Sets TZ for the life of one object and puts the old value back.
#pragma once

#include <cstdlib>
#include <ctime>
#include <string>

namespace qm::test {

class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) {
      old_ = old;
      hadOld_ = true;
    }
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    hadOld_ ? setenv("TZ", old_.c_str(), 1) : unsetenv("TZ");
    tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::string old_;
  bool hadOld_ = false;
};

}  // namespace qm::test
