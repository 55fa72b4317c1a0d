#include "support/registry_fixture.h"

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace kelm::test {

ScopedInMemoryRegistry::ScopedInMemoryRegistry() : saved(platform::SaveRegistrySelection()) {
    platform::UseInMemoryRegistry();
}

ScopedInMemoryRegistry::~ScopedInMemoryRegistry() { platform::RestoreRegistrySelection(*saved); }

ScopedRegistryDirectory::ScopedRegistryDirectory() : saved(platform::SaveRegistrySelection()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "kelm-registry-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + pattern);
    directory = pattern;
    platform::UseRegistryDirectory(directory);
}

ScopedRegistryDirectory::~ScopedRegistryDirectory() {
    platform::RestoreRegistrySelection(*saved);
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
}

std::string ScopedRegistryDirectory::CurrentUserFile() const { return directory + "/HKEY_CURRENT_USER.reg"; }

std::string ScopedRegistryDirectory::LocalMachineFile() const { return directory + "/HKEY_LOCAL_MACHINE.reg"; }

}  // namespace kelm::test
