#include "message/pattern_set.h"

namespace qm {

PatternSet::PatternSet() {
  // Matching once against a blank compiles each handle.
  static const char kBlank[] = " ";
  BMatch(UrlPattern, kBlank, kBlank + 1, url);
  BMatch(AddressPattern, kBlank, kBlank + 1, address);
  BMatch(DatePattern, kBlank, kBlank + 1, date);
}

const PatternSet& PatternSet::Instance() {
  static const PatternSet instance;
  return instance;
}

}  // namespace qm
