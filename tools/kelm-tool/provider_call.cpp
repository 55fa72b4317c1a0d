// Provider contexts and failed entry points, for the provider commands.
#include "provider_call.h"

#include "card/card_files.h"
#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "output.h"
#include "platform/registry/registry_store.h"

namespace kelm::tool {

void FailCall(const std::string& what, const PinEntry* pin) {
    const DWORD code = GetLastError();
    if (pin != nullptr) pin->ExplainFailure();
    std::string text = what + ": " + ErrorText(code);
    // The provider reports a missing reader or card with this one code.
    if (code == ERROR_INVALID_FUNCTION) text += ": no supported card was found in the reader";
    if (const std::string problem = platform::RegistryLastProblem(); !problem.empty()) text += " (registry: " + problem + ")";
    Fail(text);
}

ProviderContext::ProviderContext(const char* container, DWORD flags, const std::string& what, const PinEntry* pin) {
    if (CPAcquireContext(&handle_, container, flags, nullptr)) return;
    const DWORD code = GetLastError();
    const bool opening = container != nullptr && (flags & (CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_VERIFYCONTEXT)) == 0;
    if (code == static_cast<DWORD>(NTE_BAD_KEYSET) && (opening || (flags & CRYPT_DELETEKEYSET) != 0)) {
        if (pin != nullptr) pin->ExplainFailure();
        Fail("no container named '" + Printable(container) + "' on the card (" + ErrorText(code) + ")");
    }
    if (code == static_cast<DWORD>(NTE_EXISTS) && (flags & CRYPT_NEWKEYSET) != 0) {
        Fail("a container named '" + Printable(container) + "' is on the card already (" + ErrorText(code) + ")");
    }
    SetLastError(code);
    FailCall(what, pin);
}

std::string ContainerWhat(const std::string& name) { return "container '" + Printable(name) + "'"; }

ProviderContext::~ProviderContext() {
    if (handle_ != 0) CPReleaseContext(handle_, 0);
}

DWORD KeysetFlags(const Options& options) { return options.machine ? CRYPT_MACHINE_KEYSET : 0; }

void CheckContainerName(const std::string& name) {
    if (name.empty()) Fail(kExitUsage, "a container name cannot be empty");
    if (name.size() > card::kContainerNameBytes) {
        Fail(kExitUsage, "the card keeps at most 36 bytes of a name; '" + Printable(name) + "' has " +
                             std::to_string(name.size()));
    }
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            Fail(kExitUsage, "a container name cannot hold control characters ('" + Printable(name) + "')");
        }
    }
}

}  // namespace kelm::tool
