// The facts drawn from a message with the fixed patterns: the date of its first Received field,
// the relay addresses of all Received fields, and the hosts of the links in its body.
#include <array>
#include <cstdlib>
#include <string>

#include "message/mail_message.h"
#include "message/pattern_set.h"
#include "platform/time_format.h"

namespace qm {

namespace {

int ToInt(std::string_view digits) { return std::atoi(std::string(digits).c_str()); }

int MonthNumber(std::string_view name) {
  static constexpr std::array<std::string_view, 12> kMonths = {
      "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (std::size_t i = 0; i < kMonths.size(); ++i) {
    if (name.substr(0, 3) == kMonths[i]) return static_cast<int>(i) + 1;
  }
  return 1;
}

// Copies the process-wide handle the first time this message walks with it.
BRegexp& WalkHandle(BRegexp& own, const BRegexp& shared) {
  if (!own.IsCompiled()) own = shared;
  return own;
}

}  // namespace

int CMailMessage::ReceivedDate(std::int64_t& seconds) {
  std::string value;
  if (!GetField("received", value)) return 0;
  BRegexp handle = PatternSet::Instance().date;
  if (BMatch(PatternSet::DatePattern, value.data(), value.data() + value.size(), handle) <= 0) {
    return 0;
  }
  const int day = ToInt(handle.Group(1));
  const int month = MonthNumber(handle.Group(2));
  const int year = ToInt(handle.Group(3));
  const int hour = ToInt(handle.Group(4));
  const int minute = ToInt(handle.Group(5));
  const int second = ToInt(handle.Group(6));
  int zone = ToInt(handle.Group(8));
  if (handle.Group(7) == "-") zone = -zone;
  // Moved to Japan time, then read as the machine's local time: the list has always shown it so.
  seconds = MakeLocalTime(year, month, day, hour - zone + 9, minute, second);
  return 1;
}

void CMailMessage::ResetReceivedWalk() {
  receivedIndex = 0;
  receivedCursor = std::string::npos;
  receivedValue.clear();
}

int CMailMessage::NextReceivedAddress(std::string& address) {
  EnsureParsed();
  BRegexp& handle = WalkHandle(addressHandle, PatternSet::Instance().address);
  while (true) {
    if (receivedCursor == std::string::npos || receivedCursor >= receivedValue.size()) {
      bool found = false;
      while (receivedIndex < fieldNames.size()) {
        const std::size_t index = receivedIndex++;
        if (LowerAscii932(fieldNames[index]) == "received") {
          receivedValue = fieldValues[index];
          receivedCursor = 0;
          found = true;
          break;
        }
      }
      if (!found) return 0;
    }
    const char* begin = receivedValue.data();
    const char* end = begin + receivedValue.size();
    if (BMatch(PatternSet::AddressPattern, begin + receivedCursor, end, handle) <= 0) {
      receivedCursor = std::string::npos;
      continue;
    }
    // A part of more than three digits is no address, and the rest of the field is not trusted.
    bool tooLong = false;
    for (int group = 4; group >= 1; --group) tooLong |= handle.Group(group).size() > 3;
    if (tooLong) {
      receivedCursor = std::string::npos;
      continue;
    }
    address.clear();
    for (int group = 4; group >= 1; --group) {
      address.append(handle.Group(group));
      if (group > 1) address.push_back('.');
    }
    receivedCursor = static_cast<std::size_t>(handle.endp[0] - begin);
    return 1;
  }
}

int CMailMessage::NextUrlHost(std::string& host) {
  while (true) {
    if (!nextTextLink && urlPos < body.size()) {
      BRegexp& handle = WalkHandle(urlHandle, PatternSet::Instance().url);
      const char* begin = body.data();
      if (BMatch(PatternSet::UrlPattern, begin + urlPos, begin + body.size(), handle) > 0) {
        // Hosts are returned whole, however long; a name too long for DNS fails its look-up
        // there.
        nextTextLink = FoundLink{static_cast<std::size_t>(handle.startp[0] - begin),
                                 std::string(handle.Group(1))};
        urlPos = static_cast<std::uint32_t>(handle.endp[0] - begin);
      } else {
        urlPos = static_cast<std::uint32_t>(body.size());
      }
    }
    if (!nextHtmlLink) FindHtmlLink();
    if (!nextTextLink && !nextHtmlLink) return 0;
    if (nextTextLink && nextHtmlLink && nextHtmlLink->position == nextTextLink->position &&
        nextHtmlLink->host == nextTextLink->host) {
      nextHtmlLink.reset();
      continue;
    }
    std::optional<FoundLink>& next =
        !nextHtmlLink || (nextTextLink && nextTextLink->position <= nextHtmlLink->position)
            ? nextTextLink
            : nextHtmlLink;
    host = std::move(next->host);
    next.reset();
    return 1;
  }
}

void CMailMessage::FindHtmlLink() {
  while (htmlRangeIndex < htmlRanges.size()) {
    const auto [begin, end] = htmlRanges[htmlRangeIndex];
    HtmlLink link;
    if (htmlWalk.Next(std::string_view(body).substr(begin, end - begin), link)) {
      nextHtmlLink = FoundLink{begin + link.position, std::move(link.host)};
      return;
    }
    ++htmlRangeIndex;
    htmlWalk = HtmlLinkWalk();
  }
}

}  // namespace qm
