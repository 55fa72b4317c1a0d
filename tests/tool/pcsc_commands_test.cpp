// kelm-tool's PC/SC commands where no card is needed: a stopped service and bad command lines.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

struct Outcome {
    int status = -1;
    std::string output;  // standard output and standard error together
};

// Runs kelm-tool against a PC/SC service that is not there.
Outcome RunWithoutService(const std::string& arguments) {
    const std::string command = "PCSCLITE_CSOCK_NAME=/nonexistent/kelm-test/pcscd.comm '" + std::string(KELM_TOOL_PATH) +
                                "' " + arguments + " 2>&1";
    Outcome outcome;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return outcome;
    char buffer[512];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) outcome.output.append(buffer, n);
    const int status = pclose(pipe);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

TEST(ToolPcscCommands, AStoppedServiceIsNamedInPlainWordsWithItsCode) {
    for (const char* arguments : {"readers", "apdu 00A4040000"}) {
        SCOPED_TRACE(arguments);
        const Outcome outcome = RunWithoutService(arguments);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_NE(outcome.output.find("the PC/SC service (pcscd) is not running"), std::string::npos) << outcome.output;
        EXPECT_NE(outcome.output.find("SCARD_E_NO_SERVICE (0x8010001D)"), std::string::npos) << outcome.output;
    }
}

TEST(ToolPcscCommands, MalformedCommandLinesAreUsageErrors) {
    for (const char* arguments : {"readers extra", "apdu", "apdu 00A40", "apdu 00A4zz00", "apdu 00A4",
                                  "apdu --protocol T2 00A40400", "apdu --bogus 00A40400"}) {
        SCOPED_TRACE(arguments);
        const Outcome outcome = RunWithoutService(arguments);
        EXPECT_EQ(outcome.status, 2) << outcome.output;
        EXPECT_EQ(outcome.output.find("SCARD_"), std::string::npos) << "no PC/SC call should have been made";
    }
}

}  // namespace
