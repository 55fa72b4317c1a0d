// kelm-tool card-info: what the provider's own card layer finds — the reader it connects, the card
// type and protocol, and each container with its key and certificate slots.
#include <cstdio>
#include <cstring>
#include <string>

#include "card/apdu_transport.h"
#include "card/card_files.h"
#include "card/reader_session.h"
#include "card_selection.h"
#include "commands.h"
#include "pcsc_session.h"
#include "kelm/winapi.h"
#include "platform/registry/registry_store.h"

namespace kelm::tool {
namespace {

constexpr size_t kMaxNames = 16;

// The preferred reader goes where the session looks for it, in a registry that lives only as
// long as this process: the user's own settings are neither used nor changed.
bool PreferReader(const std::string& reader) {
    platform::UseInMemoryRegistry();
    if (reader.empty()) {
        return true;
    }
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\VESK\\ROSMAC10", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const LONG rc = RegSetValueExA(key, "sReaderName", 0, REG_SZ, reinterpret_cast<const BYTE*>(reader.c_str()),
                                   static_cast<DWORD>(reader.size() + 1));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

void PrintSlot(const char* label, const BYTE* entry) {
    std::printf("    %s ", label);
    if (entry[1] == card::kSlotStatusUsed) {
        std::printf("key in file 80 %02X, %u-bit", entry[0], static_cast<unsigned>(entry[3]) * 64u * 8u);
    } else {
        std::printf("no key");
    }
    const unsigned certificate = static_cast<unsigned>(entry[7]) << 8 | entry[8];
    if (certificate != 0) {
        std::printf(", certificate of %u bytes", certificate);
    } else {
        std::printf(", no certificate");
    }
    if (entry[6] != 0) {
        std::printf(" (room for %u)", static_cast<unsigned>(entry[6]) * 256u);
    }
    std::printf("\n");
}

int RunCardInfo(const Options& options, const std::vector<std::string>& args) {
    if (!args.empty()) {
        PrintError("card-info: unexpected argument '" + args[0] + "'");
        return kExitUsage;
    }
    CardSelection selection;
    std::string error;
    const int selected = SelectCardOrDefault(options, &selection, &error);
    if (selected != kExitOk) {
        PrintError("card-info: " + error);
        return selected;
    }
    if (!PreferReader(selection.reader)) {
        PrintError("card-info: cannot record the reader to use");
        return kExitFailure;
    }

    // A real reader: say plainly when the service is missing (the silent session would only
    // report the failed listing that follows).
    if (!selection.backend) {
        PcscContext context;
        const LONG rc = OpenPcsc(&context);
        if (rc != SCARD_S_SUCCESS) {
            PrintError("card-info: " + PcscFailureText(rc));
            return kExitFailure;
        }
    }

    // Silent: the tool reports what went wrong itself instead of asking to retry.
    const int connected = card::Init_PCSC_Object(CRYPT_SILENT);
    if (connected != 1) {
        PrintError(connected == 0 ? "card-info: no supported card found in any reader"
                                  : "card-info: " + ErrorText(static_cast<DWORD>(connected)));
        return kExitFailure;
    }

    const card::CardSession& session = card::Session();
    std::printf("reader: %s\n", session.CurrentReader != nullptr ? session.CurrentReader : "");
    std::printf("card type: %u\n", static_cast<unsigned>(card::Card_GetCardType()));
    std::printf("protocol: %s\n", session.ActiveProtocol == SCARD_PROTOCOL_T0   ? "T=0"
                                  : session.ActiveProtocol == SCARD_PROTOCOL_T1 ? "T=1"
                                                                                : "other");

    char names[kMaxNames * card::kNameEntrySize] = {};
    BYTE count = 0;
    DWORD status = card::Card_ListContainers(names, &count, kMaxNames);
    int result = kExitOk;
    if (!card::Card_StatusSucceeded(status)) {
        PrintError("card-info: listing the containers failed: " + ErrorText(status));
        result = kExitFailure;
    } else {
        std::printf("containers: %u of %u\n", static_cast<unsigned>(count),
                    static_cast<unsigned>(card::Card_ContainerCapacity()));
        for (BYTE i = 0; i < count; ++i) {
            const char* name = names + i * card::kNameEntrySize;
            std::printf("  \"%s\"\n", name);
            BYTE container[card::kContainerStatusBytes] = {};
            status = card::Card_OpenContainer(name, container);
            if (!card::Card_StatusSucceeded(status)) {
                std::printf("    cannot be opened: %s\n", ErrorText(status).c_str());
                result = kExitFailure;
                continue;
            }
            PrintSlot("signature:", container + card::kSlotEntryOffset[card::SLOT_SIGNATURE]);
            PrintSlot("exchange: ", container + card::kSlotEntryOffset[card::SLOT_EXCHANGE]);
        }
    }
    card::End_CardSession();
    return result;
}

}  // namespace

KELM_TOOL_COMMAND("card-info", "the reader, card type, protocol and containers, as the provider sees them",
                  "Usage: kelm-tool [--card sim:IMAGE | --reader NAME] card-info\n"
                  "Connects the card through the provider's own card layer (cold reset, exclusive\n"
                  "connection, card application) and prints the reader, the card type, the protocol\n"
                  "and every container with its signature and exchange slots: the key file and key\n"
                  "size, and the certificate's length and room. Without --card or --reader the\n"
                  "default simulated card is used. Exit 1 when no supported card is found.\n",
                  RunCardInfo);

}  // namespace kelm::tool
