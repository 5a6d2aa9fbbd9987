#include "mailboxes/mailbox_name.h"

namespace qm {

namespace {

constexpr std::string_view kBlanks = " \t\r\n\v\f";

}  // namespace

std::string TrimBlanks(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(kBlanks);
  return std::string(text.substr(first, last - first + 1));
}

MailboxNameProblem CheckMailboxName(std::string_view name) {
  if (name.empty()) return MailboxNameProblem::Empty;
  for (const char c : name) {
    if (kForbiddenNameCharacters.find(c) != std::string_view::npos) {
      return MailboxNameProblem::ForbiddenCharacter;
    }
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return MailboxNameProblem::ControlCharacter;
  }
  return MailboxNameProblem::None;
}

std::vector<std::string> SplitMailboxList(std::string_view value) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start < value.size()) {
    const std::size_t colon = value.find(':', start);
    const std::size_t end = colon == std::string_view::npos ? value.size() : colon;
    if (end == start) break;
    names.emplace_back(value.substr(start, end - start));
    if (colon == std::string_view::npos) break;
    start = colon + 1;
  }
  return names;
}

std::string JoinMailboxList(const std::vector<std::string>& names) {
  std::string value;
  for (const std::string& name : names) {
    value += name;
    value += ':';
  }
  return value;
}

}  // namespace qm
