// Perl-style pattern matching over byte ranges, written "/body/" as in Perl source.
//
// A handle starts empty. BMatch compiles the pattern into it on first use, reuses the compiled
// form while the same pattern text is passed again, and replaces it when another text is passed.
// After a match the handle holds the start and end of the whole match (group 0) and of every
// parenthesised group, in the order of their opening parentheses.
//
// The compiled form is immutable and shared between copies of a handle; the positions belong to
// each copy. A process-wide handle is therefore copied by each thread that matches through it, and
// two threads never match through the same copy at the same time.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

struct CompiledPattern;

class BRegexp {
 public:
  BRegexp();
  BRegexp(const BRegexp& other);
  BRegexp& operator=(const BRegexp& other);
  BRegexp(BRegexp&&) noexcept;
  BRegexp& operator=(BRegexp&&) noexcept;
  ~BRegexp();

  bool IsCompiled() const { return compiled_ != nullptr; }
  // The pattern text the handle was compiled from; empty for an empty handle.
  const std::string& PatternText() const;
  // Number of parenthesised groups of the compiled pattern.
  int GroupCount() const;

  // Positions of the last match, indexed by group. A group that took no part in the match has
  // null pointers.
  std::vector<const char*> startp;
  std::vector<const char*> endp;

  // The text of group i of the last match (empty when the group did not take part).
  std::string_view Group(int i) const;

 private:
  friend int BMatch(std::string_view, const char*, const char*, BRegexp&, std::string*);
  friend void BRegfree(BRegexp&);

  std::shared_ptr<const CompiledPattern> compiled_;
  struct MatchData;
  std::unique_ptr<MatchData> matchData_;
};

// Matches `pattern` anywhere in [begin, end). Returns 1 on a match, 0 when there is none, and -1
// when the pattern cannot be compiled (the reason then goes to *errorMessage when given).
int BMatch(std::string_view pattern, const char* begin, const char* end, BRegexp& handle,
           std::string* errorMessage = nullptr);

// Releases what the handle holds; the handle is empty afterwards.
void BRegfree(BRegexp& handle);

}  // namespace qm
