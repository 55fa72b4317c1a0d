// kelm-tool containers, create-container, delete-container: the card's key containers through
// the provider's entry points, as an application sees them.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "card/apdu_transport.h"
#include "card/card_files.h"
#include "card/reader_session.h"
#include "card_access.h"
#include "commands.h"
#include "container_slots.h"
#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "output.h"
#include "pin_entry.h"
#include "provider_call.h"

namespace kelm::tool {
namespace {

constexpr size_t kNameBuffer = 64;

int RunContainers(const Options& options) {
    CardAccess access(options, CardUse::Provider);
    ProviderContext provider(nullptr, CRYPT_VERIFYCONTEXT | KeysetFlags(options), "cannot open the provider");
    Json names = Json::array();
    for (DWORD flags = CRYPT_FIRST;; flags = 0) {
        char name[kNameBuffer] = {};
        DWORD size = sizeof name;
        if (!CPGetProvParam(provider.handle(), PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &size, flags)) {
            if (GetLastError() != ERROR_NO_MORE_ITEMS) FailCall("listing the containers");
            break;
        }
        name[sizeof name - 1] = '\0';
        names.push_back(name);
        if (!options.json) std::printf("%s\n", Printable(name).c_str());
    }
    if (options.json) PrintJson({{"containers", names}});
    else if (names.empty() && !options.quiet) std::fprintf(stderr, "kelm-tool: containers: no containers on the card\n");
    return kExitOk;
}

// The keys the container holds on the card, read before anything is changed; 0 when it cannot
// be read (the provider then says why).
int KeysIn(const std::string& name) {
    if (card::Init_PCSC_Object(CRYPT_SILENT) != 1) return 0;
    ContainerSlots slots;
    const bool read = ReadContainerSlots(name, &slots) == 0;
    card::Card_Disconnect();
    return read ? slots.keys() : 0;
}

// Asks on the terminal; no terminal is a no.
bool Confirmed(const std::string& question) {
    const int terminal = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0) return false;
    const std::string prompt = question + " [y/N] ";
    bool yes = write(terminal, prompt.data(), prompt.size()) == static_cast<ssize_t>(prompt.size());
    char answer[16] = {};
    const ssize_t n = yes ? read(terminal, answer, sizeof answer - 1) : -1;
    close(terminal);
    return n > 0 && (answer[0] == 'y' || answer[0] == 'Y');
}

// Whether the card lists `name`; the card layer connected for the question only.
bool OnCard(const std::string& name) {
    const CardLayerSession session;
    for (const std::string& listed : CardContainerNames()) {
        if (listed == name) return true;
    }
    return false;
}

int RunCreate(const Options& options, const std::string& name) {
    CheckContainerName(name);
    PinEntry pin(options);
    CardAccess access(options, CardUse::Provider);
    const bool there_before = OnCard(name);
    try {
        ProviderContext created(name.c_str(), CRYPT_NEWKEYSET | KeysetFlags(options), ContainerWhat(name), &pin);
    } catch (const ToolError& e) {
        // The provider makes the container on the card before it records it in the registry: a
        // creation that failed after that is undone, so the card is left as it was.
        if (there_before || !OnCard(name)) throw;
        const CardLayerSession session;
        char padded[card::kNameEntrySize] = {};
        name.copy(padded, card::kContainerNameBytes);
        const DWORD undone = card::Card_DeleteContainer(padded);
        throw ToolError(e.status, std::string(e.what()) + (card::Card_StatusSucceeded(undone)
                                                               ? "; the container was taken off the card again"
                                                               : "; the container stays on the card: " + ErrorText(undone)));
    }
    if (options.json) PrintJson({{"created", name}});
    else std::printf("created: %s\n", Printable(name).c_str());
    return kExitOk;
}

int RunDelete(const Options& options, const std::string& name) {
    CheckContainerName(name);
    PinEntry pin(options);
    CardAccess access(options, CardUse::Provider);
    if (!options.yes) {
        const int keys = KeysIn(name);
        const std::string what = "container '" + Printable(name) + "' holds " + std::to_string(keys) +
                                 (keys == 1 ? " key" : " keys");
        if (keys > 0 && !Confirmed("Delete " + what.substr(0, what.find(" holds")) + " and its keys?")) {
            Fail(what + ": not deleted (--yes deletes without asking)");
        }
    }
    ProviderContext deleted(name.c_str(), CRYPT_DELETEKEYSET | KeysetFlags(options), ContainerWhat(name), &pin);
    if (options.json) PrintJson({{"deleted", name}});
    else std::printf("deleted: %s\n", Printable(name).c_str());
    return kExitOk;
}

// NAME, handed to `run` with the shared options.
Action WithName(CLI::App& command, int (*run)(const Options&, const std::string&)) {
    auto name = std::make_shared<std::string>();
    command.add_option("NAME", *name, "the container's name (at most 36 bytes)")->type_name("")->required();
    return [name, run](const Options& options) { return run(options, *name); };
}

Action SetupContainers(CLI::App&) { return RunContainers; }
Action SetupCreate(CLI::App& command) { return WithName(command, RunCreate); }
Action SetupDelete(CLI::App& command) { return WithName(command, RunDelete); }

const Registrar kContainers{{
    .name = "containers",
    .group = kGroupProvider,
    .summary = "list the key containers on the card",
    .help = "Lists the card's key containers, one name a line (control characters shown as \\xNN).\n"
            "Examples:\n"
            "  kelm-tool containers --reader 'Virtual PCD 00 00'\n"
            "JSON: {\"containers\": [\"name\", ...]}\n",
    .shared = kCardChoice | kMachineKeyset | kJsonOutput,
    .setup = SetupContainers,
}};

const Registrar kCreate{{
    .name = "create-container",
    .group = kGroupProvider,
    .summary = "create an empty key container on the card",
    .help = "Creates the container NAME on the card and records it in the registry; when the registry\n"
            "refuses the record, the container is taken off the card again. NAME has at most\n"
            "36 bytes and no control characters. A container left without keys is removed by the\n"
            "provider when it is closed, and when another container is created on a card holding five\n"
            "or more (on card type 7, always).\n"
            "Examples:\n"
            "  kelm-tool create-container alice\n"
            "JSON: {\"created\": \"NAME\"}\n",
    .shared = kCardChoice | kPinInput | kMachineKeyset | kJsonOutput,
    .setup = SetupCreate,
}};

const Registrar kDelete{{
    .name = "delete-container",
    .group = kGroupProvider,
    .summary = "delete a key container and its keys from the card",
    .help = "Deletes the container NAME, its keys and its registry record. When it holds keys the tool\n"
            "asks first on the terminal; --yes deletes without asking (without a terminal and without\n"
            "--yes nothing is deleted).\n"
            "Examples:\n"
            "  kelm-tool delete-container --yes alice\n"
            "JSON: {\"deleted\": \"NAME\"}\n",
    .shared = kCardChoice | kPinInput | kMachineKeyset | kConfirmation | kJsonOutput,
    .setup = SetupDelete,
}};

}  // namespace
}  // namespace kelm::tool
