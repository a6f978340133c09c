// The engine takes most of its trace and error texts from the message table; the library
// loads it when it is loaded, the tests load the one the build compiled.
#include <gtest/gtest.h>

#include "support/message_table.h"

namespace {

class MessageTableEnvironment final : public testing::Environment {
public:
    void SetUp() override
    {
        const Common::Error error = Common::MessageTable::Load(std::string(TRANSVIA_OUTPUT_DIR) + "/solvane.msg");
        ASSERT_TRUE(error.empty()) << "the build's solvane.msg cannot be loaded";
    }
};

[[maybe_unused]] testing::Environment* const kEnvironment =
    testing::AddGlobalTestEnvironment(new MessageTableEnvironment);

}  // namespace
