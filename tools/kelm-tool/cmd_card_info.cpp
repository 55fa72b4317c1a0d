// kelm-tool card-info: what the provider's own card layer finds — the reader it connects, the card
// type and protocol, and each container with its key and certificate slots.
#include <cstdio>
#include <string>

#include "card/apdu_transport.h"
#include "card/card_files.h"
#include "card/reader_session.h"
#include "card_access.h"
#include "commands.h"
#include "container_slots.h"
#include "kelm/winapi.h"
#include "my_store.h"
#include "output.h"
#include "platform/registry/registry_store.h"

namespace kelm::tool {
namespace {

constexpr size_t kMaxNames = 16;

int RunCardInfo(const Options& options) {
    CardAccess access(options, CardUse::Provider);
    // The user's registry settings (a preferred reader) play no part: --reader or the simulated
    // card decide which card is described.
    platform::UseInMemoryRegistry();
    // Silent: the tool reports what went wrong itself instead of asking to retry.
    const int connected = card::Init_PCSC_Object(CRYPT_SILENT);
    if (connected != 1) {
        Fail(connected == 0 ? "no supported card found in any reader" : ErrorText(static_cast<DWORD>(connected)));
    }
    const card::CardSession& session = card::Session();
    const std::string reader = session.CurrentReader != nullptr ? session.CurrentReader : "";
    const char* protocol = session.ActiveProtocol == SCARD_PROTOCOL_T0   ? "T=0"
                           : session.ActiveProtocol == SCARD_PROTOCOL_T1 ? "T=1"
                                                                         : "other";
    const DWORD type = card::Card_GetCardType();
    const DWORD capacity = card::Card_ContainerCapacity();
    char names[kMaxNames * card::kNameEntrySize] = {};
    BYTE count = 0;
    DWORD status = card::Card_ListContainers(names, &count, kMaxNames);
    if (!card::Card_StatusSucceeded(status)) Fail("listing the containers failed: " + ErrorText(status));

    if (!options.json) {
        std::printf("reader: %s\ncard type: %u\nprotocol: %s\ncontainers: %u of %u\n", Printable(reader).c_str(),
                    static_cast<unsigned>(type), protocol, static_cast<unsigned>(count), static_cast<unsigned>(capacity));
    }
    Json containers = Json::array();
    int result = kExitOk;
    for (BYTE i = 0; i < count; ++i) {
        const std::string name = names + i * card::kNameEntrySize;
        ContainerSlots slots;
        status = ReadContainerSlots(name, &slots);
        if (status != 0) result = kExitFailure;
        if (options.json) {
            Json entry = {{"name", name}};
            if (status != 0) entry["error"] = ErrorText(status);
            else entry.update({{"signature", SlotJson(slots.signature)}, {"exchange", SlotJson(slots.exchange)}});
            containers.push_back(entry);
        } else if (status != 0) {
            std::printf("  \"%s\"\n    cannot be opened: %s\n", Printable(name).c_str(), ErrorText(status).c_str());
        } else {
            std::printf("  \"%s\"\n", Printable(name).c_str());
        }
        if (status != 0) continue;
        // Each certificate the card keeps: who it names, who issued it, and how long it lasts.
        const SlotInfo* slot_of[] = {&slots.signature, &slots.exchange};
        const BYTE slot_number[] = {card::SLOT_SIGNATURE, card::SLOT_EXCHANGE};
        for (int k = 0; k < 2; ++k) {
            const char* kind = k == 0 ? "signature" : "exchange";
            CertificateFacts facts;
            if (slot_of[k]->certificate_bytes != 0) {
                const std::vector<BYTE> der = ReadSlotCertificate(name, slot_number[k]);
                facts = FactsOf(der.data(), der.size());
            }
            if (options.json) {
                containers.back()[kind]["certificate"] = FactsJson(facts);
                continue;
            }
            std::printf("    %-10s %s\n", (std::string(kind) + ":").c_str(), SlotText(*slot_of[k]).c_str());
            if (facts.parsed) std::printf("               %s\n", FactsText(facts).c_str());
        }
    }
    if (count == 0 && !options.json) std::printf("  (no containers)\n");
    card::End_CardSession();
    if (options.json) {
        PrintJson({{"reader", reader},
                   {"card_type", type},
                   {"protocol", protocol},
                   {"capacity", capacity},
                   {"containers", containers}});
    }
    return result;
}

Action Setup(CLI::App&) { return RunCardInfo; }

const Registrar kRegistered{{
    .name = "card-info",
    .group = kGroupReaders,
    .summary = "the reader, card type, protocol and containers, as the provider sees them",
    .help = "Connects the card through the provider's own card layer (cold reset, exclusive connection,\n"
            "card application) and prints the reader, the card type, the protocol and every container\n"
            "with its signature and exchange slots: the key file and key size, the certificate's length\n"
            "and room, and its subject, issuer, serial and expiry with the days left. Without --card or\n"
            "--reader, the card of the one PC/SC reader holding a supported card, else the default\n"
            "simulated card. Exit 1 when no supported card is found or a container cannot be opened.\n"
            "Examples:\n"
            "  kelm-tool card-info --reader 'Virtual PCD 00 00'\n"
            "JSON: {\"reader\": \"...\", \"card_type\": 7, \"protocol\": \"T=0\", \"capacity\": 7,\n"
            "       \"containers\": [{\"name\": \"...\", \"signature\": SLOT, \"exchange\": SLOT}]}, where SLOT is\n"
            "       {\"key\": {\"file\": \"80 01\", \"bits\": 1024} or null, \"certificate_bytes\": 0,\n"
            "        \"certificate_room\": 2048, \"certificate\": {\"subject\": \"CN=...\", \"issuer\": \"CN=...\",\n"
            "        \"serial\": \"...\", \"expires\": \"2027-03-01\", \"days_left\": 84} or null}; a container that\n"
            "       cannot be opened has \"error\" instead.\n",
    .shared = kCardChoice | kJsonOutput,
    .setup = Setup,
}};

}  // namespace
}  // namespace kelm::tool
