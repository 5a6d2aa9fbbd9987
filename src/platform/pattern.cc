#include "platform/pattern.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cstdint>

namespace qm {

struct CompiledPattern {
  std::string text;
  pcre2_code* code = nullptr;
  std::uint32_t groupCount = 0;

  ~CompiledPattern() { pcre2_code_free(code); }
};

struct BRegexp::MatchData {
  pcre2_match_data* data = nullptr;
  explicit MatchData(const pcre2_code* code)
      : data(pcre2_match_data_create_from_pattern(code, nullptr)) {}
  ~MatchData() { pcre2_match_data_free(data); }
  MatchData(const MatchData&) = delete;
  MatchData& operator=(const MatchData&) = delete;
};

namespace {

// Splits "/body/flags" into the body and the PCRE2 options of the Perl flags.
bool SplitDelimited(std::string_view pattern, std::string_view& body, std::uint32_t& options,
                    std::string& error) {
  if (pattern.size() >= 1 && pattern.front() == 'm') pattern.remove_prefix(1);
  const std::size_t last = pattern.rfind('/');
  if (pattern.size() < 2 || pattern.front() != '/' || last == 0) {
    error = "pattern must be written between slashes";
    return false;
  }
  body = pattern.substr(1, last - 1);
  options = 0;
  for (char flag : pattern.substr(last + 1)) {
    switch (flag) {
      case 'i':
        options |= PCRE2_CASELESS;
        break;
      case 'm':
        options |= PCRE2_MULTILINE;
        break;
      case 's':
        options |= PCRE2_DOTALL;
        break;
      case 'x':
        options |= PCRE2_EXTENDED;
        break;
      default:
        error = std::string("unknown pattern flag '") + flag + "'";
        return false;
    }
  }
  return true;
}

std::shared_ptr<const CompiledPattern> Compile(std::string_view pattern, std::string& error) {
  std::string_view body;
  std::uint32_t options = 0;
  if (!SplitDelimited(pattern, body, options, error)) return nullptr;

  // Perl's notion of a line: only LF ends one, whatever the library was built with.
  pcre2_compile_context* context = pcre2_compile_context_create(nullptr);
  pcre2_set_newline(context, PCRE2_NEWLINE_LF);
  int errorCode = 0;
  PCRE2_SIZE errorOffset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(body.data()), body.size(), options,
                                   &errorCode, &errorOffset, context);
  pcre2_compile_context_free(context);
  if (code == nullptr) {
    PCRE2_UCHAR buffer[120];
    pcre2_get_error_message(errorCode, buffer, sizeof buffer);
    error = reinterpret_cast<const char*>(buffer);
    error += " at offset " + std::to_string(errorOffset);
    return nullptr;
  }
  // The JIT is only a speed-up: a pattern it cannot take still matches through the interpreter.
  pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);

  auto compiled = std::make_shared<CompiledPattern>();
  compiled->text.assign(pattern);
  compiled->code = code;
  pcre2_pattern_info(code, PCRE2_INFO_CAPTURECOUNT, &compiled->groupCount);
  return compiled;
}

const std::string kEmpty;

}  // namespace

BRegexp::BRegexp() = default;
BRegexp::~BRegexp() = default;
BRegexp::BRegexp(BRegexp&&) noexcept = default;
BRegexp& BRegexp::operator=(BRegexp&&) noexcept = default;

BRegexp::BRegexp(const BRegexp& other)
    : startp(other.startp), endp(other.endp), compiled_(other.compiled_) {}

BRegexp& BRegexp::operator=(const BRegexp& other) {
  if (this != &other) {
    startp = other.startp;
    endp = other.endp;
    if (compiled_ != other.compiled_) matchData_.reset();
    compiled_ = other.compiled_;
  }
  return *this;
}

const std::string& BRegexp::PatternText() const { return compiled_ ? compiled_->text : kEmpty; }

int BRegexp::GroupCount() const { return compiled_ ? static_cast<int>(compiled_->groupCount) : 0; }

std::string_view BRegexp::Group(int i) const {
  if (i < 0 || static_cast<std::size_t>(i) >= startp.size() || startp[i] == nullptr) return {};
  return std::string_view(startp[i], static_cast<std::size_t>(endp[i] - startp[i]));
}

int BMatch(std::string_view pattern, const char* begin, const char* end, BRegexp& handle,
           std::string* errorMessage) {
  if (!handle.compiled_ || handle.compiled_->text != pattern) {
    std::string error;
    auto compiled = Compile(pattern, error);
    if (!compiled) {
      if (errorMessage) *errorMessage = error;
      return -1;
    }
    BRegfree(handle);
    handle.compiled_ = std::move(compiled);
  }
  if (!handle.matchData_)
    handle.matchData_ = std::make_unique<BRegexp::MatchData>(handle.compiled_->code);

  // An empty subject may come as two null pointers; PCRE2 wants a valid pointer.
  static const char kNothing = 0;
  const char* subject = begin ? begin : &kNothing;
  const std::size_t length = begin ? static_cast<std::size_t>(end - begin) : 0;
  const int rc = pcre2_match(handle.compiled_->code, reinterpret_cast<PCRE2_SPTR>(subject), length,
                             0, 0, handle.matchData_->data, nullptr);
  if (rc < 0) return 0;

  const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(handle.matchData_->data);
  const std::size_t groups = handle.compiled_->groupCount + 1;
  handle.startp.assign(groups, nullptr);
  handle.endp.assign(groups, nullptr);
  for (std::size_t i = 0; i < groups && i < static_cast<std::size_t>(rc); ++i) {
    if (ovector[2 * i] == PCRE2_UNSET) continue;
    handle.startp[i] = subject + ovector[2 * i];
    handle.endp[i] = subject + ovector[2 * i + 1];
  }
  return 1;
}

void BRegfree(BRegexp& handle) {
  handle.matchData_.reset();
  handle.compiled_.reset();
  handle.startp.clear();
  handle.endp.clear();
}

}  // namespace qm
