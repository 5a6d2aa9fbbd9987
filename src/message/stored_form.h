// The form in which a message is stored and served: CR LF line ends, lines that start with "."
// stuffed with another ".", and the terminating "." line.
#pragma once

#include <string>
#include <string_view>

namespace qm {

// Puts an ordinary message file (LF or CR LF line ends, no terminator) into the stored form. A
// NUL byte becomes a blank, as it does when mail is retrieved.
std::string ToStoredForm(std::string_view file);

}  // namespace qm
