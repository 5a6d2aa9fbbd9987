// The fixed patterns that every message walk uses, compiled once for the whole process.
#pragma once

#include "platform/pattern.h"

namespace qm {

class PatternSet {
 public:
  static constexpr const char* UrlPattern = "/https?:\\/\\/([-_.a-zA-Z0-9]+)/";
  // The tilde in the trailing class is part of the established pattern; keep it.
  static constexpr const char* AddressPattern =
      "/([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)[~0-9]?/";
  static constexpr const char* DatePattern =
      "/(\\d{1,2})\\s+(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)\\s+(\\d{4})\\s+"
      "(\\d{2}):(\\d{2}):(\\d{2})\\s+(\\+|-)(\\d{2})\\d{2}/";

  // Built on first use; the program calls it at start-up, before any message is parsed. Callers
  // match through copies of these handles, which share the compiled form.
  static const PatternSet& Instance();

  BRegexp url;
  BRegexp address;
  BRegexp date;

 private:
  PatternSet();
};

}  // namespace qm
