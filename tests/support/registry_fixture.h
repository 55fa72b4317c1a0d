// Test helpers that point the emulated registry somewhere harmless for the life of a test and
// put the previous choice back afterwards, so no test touches the user's own registry files.
//
//   kelm::test::ScopedInMemoryRegistry registry;        // empty in-memory roots
//   kelm::test::ScopedRegistryDirectory registry;       // files in a fresh temporary directory
//   class MyTest : public kelm::test::InMemoryRegistryTest {};   // the same as a fixture
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>

#include "platform/registry/registry_store.h"

namespace kelm::test {

// Empty in-memory roots until destroyed; then the previous store and its contents come back.
struct ScopedInMemoryRegistry {
    ScopedInMemoryRegistry() { platform::UseInMemoryRegistry(); }
    ~ScopedInMemoryRegistry() { platform::RestoreRegistrySelection(*saved); }
    ScopedInMemoryRegistry(const ScopedInMemoryRegistry&) = delete;
    ScopedInMemoryRegistry& operator=(const ScopedInMemoryRegistry&) = delete;

    std::shared_ptr<const platform::RegistrySelection> saved = platform::SaveRegistrySelection();
};

// The file store in a new temporary directory until destroyed; the directory is then removed
// and the previous store comes back.
struct ScopedRegistryDirectory {
    ScopedRegistryDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kelm-registry-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + pattern);
        directory = pattern;
        platform::UseRegistryDirectory(directory);
    }
    ~ScopedRegistryDirectory() {
        platform::RestoreRegistrySelection(*saved);
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }
    ScopedRegistryDirectory(const ScopedRegistryDirectory&) = delete;
    ScopedRegistryDirectory& operator=(const ScopedRegistryDirectory&) = delete;

    // "<directory>/HKEY_CURRENT_USER.reg" and "<directory>/HKEY_LOCAL_MACHINE.reg".
    std::string CurrentUserFile() const { return directory + "/HKEY_CURRENT_USER.reg"; }
    std::string LocalMachineFile() const { return directory + "/HKEY_LOCAL_MACHINE.reg"; }

    std::shared_ptr<const platform::RegistrySelection> saved = platform::SaveRegistrySelection();
    std::string directory;
};

class InMemoryRegistryTest : public ::testing::Test {
protected:
    ScopedInMemoryRegistry registry_;
};

class RegistryDirectoryTest : public ::testing::Test {
protected:
    ScopedRegistryDirectory registry_;
};

}  // namespace kelm::test
