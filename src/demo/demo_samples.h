// The demo's sample messages: ordinary message files (LF line ends), written for the demo, each
// meant for one rule of the filter. They are kept in src/demo/samples and built into the program.
#pragma once

#include <span>
#include <string_view>

namespace qm {

struct DemoSample {
  std::string_view fileName;
  std::string_view text;
};

// In the order of their file names.
std::span<const DemoSample> DemoSamples();

}  // namespace qm
