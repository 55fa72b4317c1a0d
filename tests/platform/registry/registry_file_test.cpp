// The file store: what reaches the disk, how it survives other processes and interrupted
// writes, and how a damaged file is refused.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "kelm/winapi.h"
#include "platform/registry/registry_file.h"
#include "support/registry_fixture.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kProviderKey = "SOFTWARE\\VESK\\ROSMAC10";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

LONG SetDword(HKEY parent, const char* path, const char* name, DWORD number) {
    HKEY key = nullptr;
    LONG result = RegCreateKeyExA(parent, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (result != ERROR_SUCCESS) return result;
    result = RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
    RegCloseKey(key);
    return result;
}

std::optional<DWORD> GetDword(HKEY parent, const char* path, const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(parent, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
    DWORD number = 0;
    DWORD size = sizeof number;
    const LONG result = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&number), &size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS ? std::optional<DWORD>(number) : std::nullopt;
}

// Puts the write path back to normal however a test ends.
struct WriteFaultGuard {
    explicit WriteFaultGuard(kelm::platform::RegistryWriteFault fault) { kelm::platform::SetRegistryWriteFault(fault); }
    ~WriteFaultGuard() { kelm::platform::SetRegistryWriteFault(kelm::platform::RegistryWriteFault::None); }
};

class RegistryFiles : public kelm::test::RegistryDirectoryTest {};

TEST_F(RegistryFiles, ChangesReachOneFilePerRootAndAreReadBackLater) {
    ASSERT_EQ(SetDword(HKEY_CURRENT_USER, kProviderKey, "CardType", 5), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Cryptography", "PSKEYS", 1), ERROR_SUCCESS);
    const std::string user = ReadFile(registry_.CurrentUserFile());
    EXPECT_EQ(user.rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
    EXPECT_NE(user.find("[HKEY_CURRENT_USER\\SOFTWARE\\VESK\\ROSMAC10]\n\"CardType\"=dword:00000005\n"), std::string::npos) << user;
    EXPECT_NE(ReadFile(registry_.LocalMachineFile()).find("[HKEY_LOCAL_MACHINE\\Software\\Microsoft"), std::string::npos);

    // Another selection of the same directory (as another process would) sees the values, and
    // an edit made by hand is seen at the next call.
    kelm::platform::UseInMemoryRegistry();
    EXPECT_EQ(GetDword(HKEY_CURRENT_USER, kProviderKey, "CardType"), std::nullopt);
    kelm::platform::UseRegistryDirectory(registry_.directory);
    EXPECT_EQ(GetDword(HKEY_CURRENT_USER, kProviderKey, "CardType"), 5u);
    WriteFile(registry_.CurrentUserFile(),
              "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\VESK\\ROSMAC10]\r\n"
              "\"CardType\"=dword:00000007\r\n");
    EXPECT_EQ(GetDword(HKEY_CURRENT_USER, kProviderKey, "cardtype"), 7u);
    EXPECT_FALSE(fs::exists(registry_.CurrentUserFile() + ".tmp"));
}

TEST_F(RegistryFiles, MalformedFileIsRefusedWithItsLineAndLeftAlone) {
    const std::string damaged =
        "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\SOFTWARE\\VESK\\ROSMAC10]\n"
        "\"CardType\"=dword:00000005\n\"PKMac\"=hex:01,0\n";
    WriteFile(registry_.CurrentUserFile(), damaged);

    EXPECT_EQ(GetDword(HKEY_CURRENT_USER, kProviderKey, "CardType"), std::nullopt);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kProviderKey, 0, KEY_READ, &key), ERROR_BADDB);
    EXPECT_EQ(kelm::platform::RegistryLastProblem(), registry_.CurrentUserFile() + ":5: bad hex");
    EXPECT_EQ(SetDword(HKEY_CURRENT_USER, kProviderKey, "CardType", 6), ERROR_BADDB);
    EXPECT_EQ(SetDword(HKEY_CURRENT_USER, "Other", "x", 6), ERROR_BADDB);
    EXPECT_EQ(ReadFile(registry_.CurrentUserFile()), damaged);

    // The other root is a file of its own and keeps working; a success clears the problem.
    EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, kProviderKey, "CardType", 6), ERROR_SUCCESS);
    EXPECT_EQ(kelm::platform::RegistryLastProblem(), "");
}

TEST_F(RegistryFiles, InterruptedWriteLeavesTheOldFileWhole) {
    ASSERT_EQ(SetDword(HKEY_CURRENT_USER, kProviderKey, "CardType", 1), ERROR_SUCCESS);
    const std::string before = ReadFile(registry_.CurrentUserFile());
    {
        WriteFaultGuard fault(kelm::platform::RegistryWriteFault::StopBeforeRename);
        EXPECT_EQ(SetDword(HKEY_CURRENT_USER, kProviderKey, "PKMac", 2), ERROR_REGISTRY_IO_FAILED);
    }
    EXPECT_TRUE(fs::exists(registry_.CurrentUserFile() + ".tmp")) << "the half-written file is what a crash leaves";
    EXPECT_EQ(ReadFile(registry_.CurrentUserFile()), before);
    EXPECT_EQ(GetDword(HKEY_CURRENT_USER, kProviderKey, "PKMac"), std::nullopt);
    EXPECT_EQ(GetDword(HKEY_CURRENT_USER, kProviderKey, "CardType"), 1u);

    // The next change writes over the leftover.
    ASSERT_EQ(SetDword(HKEY_CURRENT_USER, kProviderKey, "PKMac", 3), ERROR_SUCCESS);
    EXPECT_FALSE(fs::exists(registry_.CurrentUserFile() + ".tmp"));
    EXPECT_EQ(GetDword(HKEY_CURRENT_USER, kProviderKey, "PKMac"), 3u);
    EXPECT_EQ(GetDword(HKEY_CURRENT_USER, kProviderKey, "CardType"), 1u);
}

TEST_F(RegistryFiles, ProcessesWritingAtOnceLoseNothing) {
    constexpr int kProcesses = 4;
    constexpr int kValuesEach = 25;
    // Half of the writes go to a key of the writer's own, so keys are created at once too.
    const auto path = [](int p, int v) {
        return v % 2 == 0 ? std::string(kProviderKey) : "Own\\Child" + std::to_string(p);
    };
    const auto name = [](int p, int v) {
        return std::string("p").append(std::to_string(p)).append("v").append(std::to_string(v));
    };
    pid_t children[kProcesses];
    for (int p = 0; p < kProcesses; ++p) {
        children[p] = ::fork();
        ASSERT_GE(children[p], 0);
        if (children[p] == 0) {
            int failures = 0;
            for (int v = 0; v < kValuesEach; ++v) {
                failures += SetDword(HKEY_CURRENT_USER, path(p, v).c_str(), name(p, v).c_str(), static_cast<DWORD>(p * 100 + v)) != 0;
            }
            ::_exit(failures == 0 ? 0 : 1);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int p = 0; p < kProcesses; ++p) {
        for (int v = 0; v < kValuesEach; ++v) {
            EXPECT_EQ(GetDword(HKEY_CURRENT_USER, path(p, v).c_str(), name(p, v).c_str()), static_cast<DWORD>(p * 100 + v)) << name(p, v);
        }
    }
}

TEST_F(RegistryFiles, UnusableDirectoryIsAnInputOutputFailure) {
    const std::string blocker = registry_.directory + "/not-a-directory";
    WriteFile(blocker, "x");
    kelm::platform::UseRegistryDirectory(blocker + "/kelm");
    EXPECT_EQ(SetDword(HKEY_CURRENT_USER, kProviderKey, "CardType", 1), ERROR_REGISTRY_IO_FAILED);
    EXPECT_NE(kelm::platform::RegistryLastProblem().find(blocker), std::string::npos) << kelm::platform::RegistryLastProblem();
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kProviderKey, 0, KEY_READ, &key), ERROR_REGISTRY_IO_FAILED);

    // A directory not made yet is an empty registry, and reading does not make it.
    const std::string missing = registry_.directory + "/missing/kelm";
    kelm::platform::UseRegistryDirectory(missing);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kProviderKey, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_EQ(SetDword(HKEY_CURRENT_USER, kProviderKey, "CardType", 1), ERROR_SUCCESS);
    EXPECT_TRUE(fs::exists(missing + "/HKEY_CURRENT_USER.reg"));
}

}  // namespace
