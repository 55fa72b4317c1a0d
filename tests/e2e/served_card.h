// What the tests through pcscd share: waiting for a reader to hold a card, a kelm-cardsim process
// serving one image in the reader the tests' own cards go to, and a fixture with the provider set
// up to use that reader and a scratch directory for card images.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "kelm/winapi.h"
#include "platform/pcsc/pcsc_backend.h"
#include "sim/card_state.h"
#include "sim/sim_card.h"
#include "support/registry_fixture.h"

extern char** environ;

namespace kelm::test {

inline constexpr char kTestReader[] = "Virtual PCD 00 01";
inline constexpr char kTestPort[] = "35964";

// Waits until the reader holds a card (or, with `present` false, holds none).
inline bool WaitForCard(SCARDCONTEXT context, const char* reader, bool present, DWORD timeout_ms = 10000) {
    SCARD_READERSTATEA state{};
    state.szReader = reader;
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        const LONG result = SCardGetStatusChangeA(context, 200, &state, 1);
        if (result != SCARD_S_SUCCESS && result != SCARD_E_TIMEOUT) return false;
        const bool has_card = (state.dwEventState & SCARD_STATE_PRESENT) != 0;
        if (has_card == present) return true;
        state.dwCurrentState = state.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
    }
    return false;
}

// A kelm-cardsim serving one image to the test reader; stopped (SIGKILL) when it goes out of scope.
struct CardsimProcess {
    pid_t pid = -1;
    bool Start(const std::vector<std::string>& arguments) {
        std::vector<std::string> words = {KELM_CARDSIM_PATH};
        words.insert(words.end(), arguments.begin(), arguments.end());
        words.insert(words.end(), {"--port", kTestPort});
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        return posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0;
    }
    // The exit status after `signal`, or -1 when the process did not end normally.
    int Stop(int signal) {
        if (pid < 0) return -1;
        kill(pid, signal);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    ~CardsimProcess() { Stop(SIGKILL); }
};

// The provider on the real pcsc-lite, choosing the test reader (its reader setting in a registry
// directory of the test's own), and an empty scratch directory for card images, removed at the end.
struct PcscdTestSetup {
    ScopedRegistryDirectory registry;
    std::filesystem::path directory;
    bool reader_chosen = false;

    explicit PcscdTestSetup(const std::string& name)
        : directory(std::filesystem::temp_directory_path() / ("kelm-e2e-" + name + "-" + std::to_string(getpid()))) {
        platform::SetPcscBackend(nullptr);
        HKEY settings = nullptr;
        reader_chosen = RegCreateKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\VESK\\ROSMAC10", 0, nullptr,
                                        REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &settings,
                                        nullptr) == ERROR_SUCCESS &&
                        RegSetValueExA(settings, "sReaderName", 0, REG_SZ, reinterpret_cast<const BYTE*>(kTestReader),
                                       sizeof kTestReader) == ERROR_SUCCESS;
        if (settings != nullptr) RegCloseKey(settings);
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
        std::filesystem::create_directories(directory, ignored);
    }
    ~PcscdTestSetup() {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }
    std::string Image(int type) const { return (directory / ("card" + std::to_string(type) + ".json")).string(); }
};

// The same as a fixture, with pcscd's context and the test reader empty at the start.
class PcscdTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(setup.reader_chosen);
        ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context), SCARD_S_SUCCESS)
            << "these tests need pcscd and the simulated card; run scripts/services.sh start first";
        ASSERT_TRUE(WaitForCard(context, kTestReader, false)) << "the test reader holds a card already";
    }
    void TearDown() override { SCardReleaseContext(context); }
    std::string Image(const std::string& name) const { return (setup.directory / name).string(); }

    // Serves a new card image of `type` with the container `name` and its signature key in 80 01;
    // that key.
    void Serve(int type, const std::string& name, CardsimProcess* served, sim::RsaKey* key) {
        const std::string path = Image("card" + std::to_string(type) + ".json");
        sim::NewCardOptions options;
        options.type = type;
        std::string error;
        sim::SimCardPtr card = sim::NewCardImage(path, options, &error);
        sim::CardImage image;
        ASSERT_TRUE(card && sim::PutNewKey(*card, 0x8001, &error) && sim::AddContainer(*card, name, 0x8001, 0, &error) &&
                    sim::LoadImage(path, &image, &error))
            << error;
        *key = sim::FindKeyFile(image, 0x8001)->key;
        ASSERT_TRUE(served->Start({"--image", path}) && WaitForCard(context, kTestReader, true));
    }
    void Unserve(CardsimProcess* served) {
        served->Stop(SIGTERM);
        ASSERT_TRUE(WaitForCard(context, kTestReader, false));
    }

    PcscdTestSetup setup{::testing::UnitTest::GetInstance()->current_test_info()->name()};
    SCARDCONTEXT context = 0;
};

}  // namespace kelm::test
