// What the provider commands share: a provider context that is always released, and the
// report of a failed entry point (the PIN's own exit statuses first, then the code's name and
// what the registry met).
#pragma once

#include <string>

#include "commands.h"
#include "kelm/windows_types.h"
#include "pin_entry.h"

namespace kelm::tool {

// Fails with the last error of the entry point that just failed, named, after `pin` has had
// its say (a wrong, locked or missing PIN has exit statuses of its own).
[[noreturn]] void FailCall(const std::string& what, const PinEntry* pin = nullptr);

class ProviderContext {
public:
    // CPAcquireContext(container, flags); Fails as FailCall does.
    ProviderContext(const char* container, DWORD flags, const std::string& what, const PinEntry* pin = nullptr);
    ~ProviderContext();
    ProviderContext(const ProviderContext&) = delete;
    ProviderContext& operator=(const ProviderContext&) = delete;
    HCRYPTPROV handle() const { return handle_; }

private:
    HCRYPTPROV handle_ = 0;
};

// "container 'NAME'", as failures name it.
std::string ContainerWhat(const std::string& name);

// CRYPT_MACHINE_KEYSET for --machine.
DWORD KeysetFlags(const Options& options);

// Refuses (kExitUsage) a name the card cannot keep whole, empty or over 36 bytes (a multi-byte
// character would be cut in half), and one holding control characters, which the registry
// record of a container cannot hold.
void CheckContainerName(const std::string& name);

}  // namespace kelm::tool
