// kelm-tool genkey: a new key pair for a container's slot, generated on the card (CPGenKey).
#include <cstdio>
#include <memory>

#include "card_access.h"
#include "card_keys.h"
#include "commands.h"
#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "output.h"
#include "pin_entry.h"
#include "provider_call.h"

namespace kelm::tool {
namespace {

int RunGenkey(const Options& options, KeyChoice& choice) {
    choice.Resolve();
    PinEntry pin(options);
    CardAccess access(options, CardUse::Provider);
    ProviderContext provider(choice.container.c_str(), KeysetFlags(options), ContainerWhat(choice.container), &pin);
    HCRYPTKEY key = 0;
    if (!CPGenKey(provider.handle(), choice.KeySpec(), 0, &key)) {
        if (GetLastError() == static_cast<DWORD>(NTE_EXISTS)) {
            Fail(ErrorText(GetLastError()) + ": " + choice.Describe() +
                 " exists already; delete the container to make new keys");
        }
        FailCall("generating " + choice.Describe(), &pin);
    }
    DWORD bits = 0, size = sizeof bits;
    const bool known = CPGetKeyParam(provider.handle(), key, KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &size, 0);
    CPDestroyKey(provider.handle(), key);
    if (!known) FailCall("reading the new key's length");
    if (options.json) {
        PrintJson({{"container", choice.container}, {"key", choice.key}, {"bits", bits}});
    } else {
        std::printf("generated %s on the card: RSA, %u bits\n", choice.Describe().c_str(), static_cast<unsigned>(bits));
    }
    return kExitOk;
}

Action Setup(CLI::App& command) {
    auto choice = std::make_shared<KeyChoice>();
    AddKeyOptions(command, choice.get());
    return [choice](const Options& options) { return RunGenkey(options, *choice); };
}

const Registrar kRegistered{{
    .name = "genkey",
    .group = kGroupProvider,
    .summary = "generate a container's key pair on the card",
    .help = "Has the card generate a new RSA key pair for the container's signature key (the default)\n"
            "or exchange key (CPGenKey, after the PIN); the private key never leaves the card. The key\n"
            "length is the card type's: 2048 bits on type 6, else 1024. A slot that holds a key is\n"
            "refused (NTE_EXISTS). When the receiving key file holds a certified key, the card moves\n"
            "that key to its companion file first and re-points the containers that name it.\n"
            "Examples:\n"
            "  kelm-tool genkey --container alice --key exchange\n"
            "JSON: {\"container\": \"NAME\", \"key\": \"signature\", \"bits\": 1024}\n",
    .shared = kCardChoice | kPinInput | kMachineKeyset | kJsonOutput,
    .setup = Setup,
}};

}  // namespace
}  // namespace kelm::tool
