#include "message/stored_form.h"

#include <gtest/gtest.h>

namespace qm {
namespace {

struct FormCase {
  const char* name;
  std::string file;
  std::string stored;
};

class StoredFormTest : public ::testing::TestWithParam<FormCase> {};

TEST_P(StoredFormTest, Converts) { EXPECT_EQ(ToStoredForm(GetParam().file), GetParam().stored); }

INSTANTIATE_TEST_SUITE_P(
    Files, StoredFormTest,
    ::testing::Values(FormCase{"LfLines", "A: b\n\nbody\n", "A: b\r\n\r\nbody\r\n.\r\n"},
                      FormCase{"CrLfLines", "A: b\r\n\r\nbody\r\n", "A: b\r\n\r\nbody\r\n.\r\n"},
                      FormCase{"MixedLines", "A: b\r\n\nbody\n", "A: b\r\n\r\nbody\r\n.\r\n"},
                      FormCase{"NoFinalLineEnd", "A: b\n\nbody", "A: b\r\n\r\nbody\r\n.\r\n"},
                      FormCase{"DotsAreStuffed", "A: b\n\n.\n..x\n",
                               "A: b\r\n\r\n..\r\n...x\r\n.\r\n"},
                      FormCase{"NulBecomesBlank", std::string("A: b\0c\n", 7), "A: b c\r\n.\r\n"},
                      FormCase{"Empty", "", ".\r\n"}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace qm
