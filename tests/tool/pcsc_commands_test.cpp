// kelm-tool's PC/SC commands where no card is needed: a stopped service and bad command lines.
#include <gtest/gtest.h>


#include <string>

#include "support/run_command.h"

namespace {

using Outcome = kelm::test::CommandRun;  // standard output and standard error together

// Runs kelm-tool against a PC/SC service that is not there.
Outcome RunWithoutService(const std::string& arguments) {
    const std::string command = "PCSCLITE_CSOCK_NAME=/nonexistent/kelm-test/pcscd.comm '" + std::string(KELM_TOOL_PATH) +
                                "' " + arguments + " 2>&1";
    return kelm::test::RunCommand(command);
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
