#include "tool_fixture.h"

#include <fstream>
#include <sstream>

namespace kelm::test {

void ToolTest::SetUp() {
    char pattern[] = "/tmp/kelm-tool-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    const ToolRun made = Tool("card new --type 7 --protocol T0 --container alice '" + Path("card.json") + "'");
    ASSERT_EQ(made.status, 0) << made.err;
}

void ToolTest::TearDown() { std::filesystem::remove_all(dir_); }

std::string ToolTest::Contents(const std::string& name) const {
    std::stringstream bytes;
    bytes << std::ifstream(Path(name), std::ios::binary).rdbuf();
    return bytes.str();
}

void ToolTest::ExpectRefused(const std::vector<Refusal>& refusals) const {
    for (const Refusal& refusal : refusals) {
        const ToolRun run = Tool(refusal.arguments);
        EXPECT_EQ(run.status, refusal.status) << refusal.arguments;
        EXPECT_NE(run.err.find(refusal.reason), std::string::npos) << refusal.arguments << ": " << run.err;
    }
}

ToolRun ToolTest::Tool(const std::string& arguments, const std::string& environment, const std::string& input) const {
    const std::string err = Path("stderr");
    const CommandRun run = RunCommand("cd '" + dir_.string() + "' && env KELM_PINENTRY= PCSCLITE_CSOCK_NAME=/nonexistent/pcscd.comm"
                                      " XDG_DATA_HOME='" + Path("data") + "' KELM_REGISTRY_DIR='" +
                                      Path("registry") + "' env " + environment + " setsid -w '" + KELM_TOOL_PATH +
                                      "' " + arguments + " <'" + input + "' 2>'" + err + "'");
    return ToolRun{run.status, run.output, Contents("stderr")};
}

}  // namespace kelm::test
