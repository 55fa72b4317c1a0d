// kelm-tool card-info: the provider's card layer describing a simulated card.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/run_command.h"

namespace {

using ToolRun = kelm::test::CommandRun;

ToolRun Tool(const std::string& arguments) {
    return kelm::test::RunCommand("'" + std::string(KELM_TOOL_PATH) + "' " + arguments + " 2>&1 </dev/null");
}

TEST(ToolCardInfo, DescribesReaderCardAndContainerSlots) {
    const auto image = std::filesystem::temp_directory_path() / ("kelm-card-info-" + std::to_string(getpid()) + ".json");
    std::filesystem::remove(image);
    const ToolRun made = Tool("card new --type 7 --protocol T0 --container alice '" + image.string() + "'");
    ASSERT_EQ(0, made.status) << made.output;

    const ToolRun extra = Tool("--card 'sim:" + image.string() + "' card-info surplus");
    EXPECT_EQ(2, extra.status) << extra.output;
    const ToolRun info = Tool("--card 'sim:" + image.string() + "' card-info");
    std::filesystem::remove(image);
    ASSERT_EQ(0, info.status) << info.output;
    for (const char* line : {"card type: 7\n", "protocol: T=0\n", "containers: 1 of 7\n", "  \"alice\"\n",
                             "    signature: key in file 80 01, 1024-bit, no certificate (room for 2048)\n",
                             "    exchange:  key in file 80 02, 1024-bit"}) {
        EXPECT_NE(std::string::npos, info.output.find(line)) << line << "\n" << info.output;
    }
}

}  // namespace
