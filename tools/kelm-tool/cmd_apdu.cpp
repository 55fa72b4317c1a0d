// kelm-tool apdu: raw command APDUs to a card, answers printed as they come (no GET RESPONSE
// is sent on the caller's behalf, so T=0's 61xx and 6Cxx are visible as the card sends them).
#include <cstdio>
#include <memory>

#include "card_access.h"
#include "commands.h"
#include "kelm/winapi.h"
#include "output.h"
#include "pcsc_session.h"

namespace kelm::tool {
namespace {

constexpr size_t kResponseCapacity = 65538;

struct ApduArgs {
    std::string protocol;  // "T0", "T1" or "" for either
    std::vector<std::string> commands;
};

// The first reader holding a card, for when none is named.
std::string FirstReaderWithCard(const PcscContext& context) {
    std::vector<ReaderInfo> readers;
    if (const LONG result = ListReaderInfo(context, &readers); result != SCARD_S_SUCCESS) Fail(PcscFailureText(result));
    for (const ReaderInfo& info : readers) {
        if ((info.state & SCARD_STATE_PRESENT) != 0) return info.name;
    }
    Fail(PcscFailureText(SCARD_E_NO_SMARTCARD));
}

int RunApdu(const Options& options, const ApduArgs& args) {
    std::vector<std::vector<BYTE>> commands;
    for (const std::string& text : args.commands) {
        std::vector<BYTE> command;
        if (!ParseHex(text, &command) || command.size() < 4) {
            Fail(kExitUsage, "'" + Printable(text) + "' is not a command APDU (at least 4 bytes of hexadecimal)");
        }
        commands.push_back(std::move(command));
    }
    CardAccess access(options, CardUse::Pcsc);
    PcscContext context;
    if (const LONG result = OpenPcsc(&context); result != SCARD_S_SUCCESS) Fail(PcscFailureText(result));
    const std::string reader = access.reader().empty() ? FirstReaderWithCard(context) : access.reader();
    const DWORD protocols = args.protocol == "T0"   ? SCARD_PROTOCOL_T0
                            : args.protocol == "T1" ? SCARD_PROTOCOL_T1
                                                    : SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    SCARDHANDLE card = 0;
    DWORD active = SCARD_PROTOCOL_UNDEFINED;
    if (const LONG result = SCardConnectA(context.handle, reader.c_str(), SCARD_SHARE_SHARED, protocols, &card, &active);
        result != SCARD_S_SUCCESS) {
        Fail(Printable(reader) + ": " + PcscFailureText(result));
    }
    const SCARD_IO_REQUEST* pci = active == SCARD_PROTOCOL_T0 ? &g_rgSCardT0Pci : &g_rgSCardT1Pci;
    Json exchanges = Json::array();
    LONG result = SCARD_S_SUCCESS;
    std::vector<BYTE> response(kResponseCapacity);
    for (const std::vector<BYTE>& command : commands) {
        DWORD length = static_cast<DWORD>(response.size());
        result = SCardTransmit(card, pci, command.data(), static_cast<DWORD>(command.size()), nullptr, response.data(),
                               &length);
        if (result != SCARD_S_SUCCESS) break;
        const std::string answer = HexBytes(response.data(), length);
        if (options.json) {
            exchanges.push_back({{"command", HexBytes(command.data(), command.size())}, {"response", answer}});
        } else {
            std::printf("%s\n", answer.c_str());
        }
    }
    SCardDisconnect(card, SCARD_LEAVE_CARD);
    if (options.json) {
        PrintJson({{"reader", reader}, {"protocol", active == SCARD_PROTOCOL_T0 ? "T=0" : "T=1"}, {"exchanges", exchanges}});
    }
    if (result != SCARD_S_SUCCESS) Fail(PcscFailureText(result));
    return kExitOk;
}

Action Setup(CLI::App& command) {
    auto args = std::make_shared<ApduArgs>();
    command.add_option("--protocol", args->protocol, "connect with T0 or T1 only")
        ->type_name("T0|T1")
        ->check(CLI::IsMember({"T0", "T1"}).description(""));
    command.add_option("HEX", args->commands, "one command APDU each (spaces and colons are ignored)")
        ->type_name("")
        ->required();
    return [args](const Options& options) { return RunApdu(options, *args); };
}

const Registrar kRegistered{{
    .name = "apdu",
    .group = kGroupReaders,
    .summary = "send raw command APDUs to a card",
    .help = "Sends each HEX to the card in the reader of --reader, or in the first reader holding a card,\n"
            "and prints each answer in hexadecimal, status word included. Nothing is added: on T=0 the\n"
            "61xx and 6Cxx answers are shown as the card gives them.\n"
            "Example: kelm-tool apdu '00 A4 04 00 02 3F 00'\n"
            "Examples:\n"
            "  kelm-tool apdu --card sim:card.json 00A4040008F15C3E0027950101\n"
            "JSON: {\"reader\": \"...\", \"protocol\": \"T=0\"|\"T=1\",\n"
            "       \"exchanges\": [{\"command\": \"00 A4 ...\", \"response\": \"90 00\"}]}\n",
    .shared = kCardChoice | kJsonOutput,
    .setup = Setup,
}};

}  // namespace
}  // namespace kelm::tool
