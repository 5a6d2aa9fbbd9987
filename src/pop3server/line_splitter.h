// Cuts what a POP3 client sends into command lines. A line ends at the first LF directly after a
// CR, wherever the bytes were split by the network; the CR LF is not part of the line. A line may
// hold 510 characters: the excess is dropped and the line marked too long, so a client that never
// ends its line costs no more memory than that.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qm {

class CLineSplitter {
 public:
  static constexpr std::size_t kMaxLine = 510;

  // Feeds received bytes; calls onLine(line, tooLong) for every line they complete.
  template <typename OnLine>
  void Feed(std::string_view bytes, OnLine&& onLine) {
    for (const char c : bytes) {
      if (c == '\n' && previousCr_) {
        // The CR was kept as an ordinary byte until the LF showed it ends the line.
        if (!line_.empty() && !tooLong_) line_.pop_back();
        const bool tooLong = tooLong_;
        std::string line;
        line.swap(line_);
        tooLong_ = false;
        previousCr_ = false;
        onLine(std::string_view(line), tooLong);
        continue;
      }
      previousCr_ = c == '\r';
      // One byte beyond the limit is kept so that a CR at the limit can still end the line.
      if (line_.size() < kMaxLine + 1) {
        line_.push_back(c);
      } else {
        tooLong_ = true;
      }
    }
  }

  // Bytes of an unfinished line.
  std::size_t Pending() const { return line_.size(); }

 private:
  std::string line_;
  bool previousCr_ = false;
  bool tooLong_ = false;
};

}  // namespace qm
