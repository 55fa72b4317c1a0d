// What the tests through pcscd share: the reader kelm-cardsim serves the tests' own cards in,
// the provider set up to use it, a kelm-cardsim process serving one image there, and waiting for
// a reader to hold a card.
#pragma once

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
#include "support/registry_fixture.h"

extern char** environ;

namespace kelm::test {

inline constexpr char kTestReader[] = "Virtual PCD 00 01";
inline constexpr char kTestPort[] = "35964";

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

}  // namespace kelm::test
