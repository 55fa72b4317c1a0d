// The provider as any program loads it: a program written in C opens libKelmKSPv5.so with dlopen
// and drives it only through the entry points that dlsym finds in it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim/sim_card.h"
#include "support/run_command.h"

namespace {

// Any program may use the simulated card: the platform's PC/SC serves the image KELM_PCSC
// names, and the PIN comes from KELM_PINENTRY. The program here is written in C and knows the
// provider only through dlopen and the public headers.
TEST(ProviderLoading, AProgramInCUsesTheSimulatedCardThatKelmPcscNames) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("kelm-c-client-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string image = (dir / "card.json").string();
    std::string error;
    kelm::sim::SimCardPtr card = kelm::sim::NewCardImage(image, kelm::sim::NewCardOptions{}, &error);
    ASSERT_TRUE(card && kelm::sim::AddContainer(*card, "alice", 0, 0, &error)) << error;
    const std::string pinentry = (dir / "pinentry").string();
    std::ofstream(pinentry) << "#!/bin/sh\necho 'OK ready'\nwhile read -r line; do case \"$line\" in\n"
                               "GETPIN) echo 'D 12345678'; echo OK ;;\nBYE) echo OK; exit 0 ;;\n*) echo OK ;;\nesac; done\n";
    fs::permissions(pinentry, fs::perms::owner_all);

    const struct {
        std::string pcsc;
        int status;
        std::vector<std::string> shown;
    } rows[] = {
        {"sim:" + image, 0, {"container alice\n", "PIN check: 1\n"}},
        {"sim:" + (dir / "missing.json").string(), 1, {"cannot open card image", "CPAcquireContext failed"}},
        {"smartcard", 1, {"KELM_PCSC=smartcard: unknown value", "CPAcquireContext failed"}},
    };
    for (const auto& row : rows) {
        const kelm::test::CommandRun run = kelm::test::RunCommand(
            "KELM_PCSC='" + row.pcsc + "' KELM_PINENTRY='" + pinentry + "' KELM_REGISTRY_DIR='" + (dir / "registry").string() +
            "' setsid -w '" KELM_C_CLIENT_PATH "' '" KELM_PROVIDER_PATH "' </dev/null 2>&1");
        EXPECT_EQ(run.status, row.status) << row.pcsc << "\n" << run.output;
        for (const std::string& text : row.shown) EXPECT_NE(run.output.find(text), std::string::npos) << text << "\n" << run.output;
    }
    fs::remove_all(dir);
}

}  // namespace
