// Test helpers that point the emulated registry somewhere harmless for the life of a test and
// put the previous choice back afterwards, so no test touches the user's own registry files.
//
//   kelm::test::ScopedInMemoryRegistry registry;        // empty in-memory roots
//   kelm::test::ScopedRegistryDirectory registry;       // files in a fresh temporary directory
//   class MyTest : public kelm::test::InMemoryRegistryTest {};   // the same as a fixture
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/registry/registry_store.h"

namespace kelm::test {

// Empty in-memory roots until destroyed; then the previous store and its contents come back.
struct ScopedInMemoryRegistry {
    ScopedInMemoryRegistry();
    ~ScopedInMemoryRegistry();
    ScopedInMemoryRegistry(const ScopedInMemoryRegistry&) = delete;
    ScopedInMemoryRegistry& operator=(const ScopedInMemoryRegistry&) = delete;

    std::shared_ptr<const platform::RegistrySelection> saved;
};

// The file store in a new temporary directory until destroyed; the directory is then removed
// and the previous store comes back.
struct ScopedRegistryDirectory {
    ScopedRegistryDirectory();
    ~ScopedRegistryDirectory();
    ScopedRegistryDirectory(const ScopedRegistryDirectory&) = delete;
    ScopedRegistryDirectory& operator=(const ScopedRegistryDirectory&) = delete;

    // "<directory>/HKEY_CURRENT_USER.reg" and "<directory>/HKEY_LOCAL_MACHINE.reg".
    std::string CurrentUserFile() const;
    std::string LocalMachineFile() const;

    std::string directory;
    std::shared_ptr<const platform::RegistrySelection> saved;
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
