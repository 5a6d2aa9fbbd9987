// `qm_mailfilter inspect`: what the program reads out of message files, one JSON line per file.
#pragma once

#include <iosfwd>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

class CMailMessage;
class CClassification;

enum class InputForm { Plain, Stored };

// The JSON record of one message. `message` is parsed from `storedText` here; its decoded text is
// UTF-8 already, and the header fields as written are shown as UTF-8 when they are, else from
// code page 932. With `classification`, the record also has the
// verdict, the reason and every blocklist look-up in order.
nlohmann::ordered_json InspectMessage(const std::string& fileName, std::string_view storedText,
                                      CClassification* classification = nullptr);

// Writes one line per readable file to `out` and a message per unreadable one to `err`; 0 when
// every file was read, else 1.
int RunInspect(const std::vector<std::string>& files, InputForm form, std::ostream& out,
               std::ostream& err, CClassification* classification = nullptr);

}  // namespace qm
