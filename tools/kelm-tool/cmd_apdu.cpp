// kelm-tool apdu: raw command APDUs to a card, answers printed as they come (no GET RESPONSE
// is sent on the caller's behalf, so T=0's 61xx and 6Cxx are visible as the card sends them).
#include <cstdio>

#include "commands.h"
#include "kelm/winapi.h"
#include "pcsc_session.h"

namespace kelm::tool {
namespace {

// The first reader holding a card, for when none is named.
LONG FirstReaderWithCard(const PcscContext& context, std::string* reader) {
    std::vector<ReaderInfo> readers;
    const LONG result = ListReaderInfo(context, &readers);
    if (result != SCARD_S_SUCCESS) return result;
    for (const ReaderInfo& info : readers) {
        if ((info.state & SCARD_STATE_PRESENT) != 0) {
            *reader = info.name;
            return SCARD_S_SUCCESS;
        }
    }
    return SCARD_E_NO_SMARTCARD;
}

int RunApdu(const Options& options, const std::vector<std::string>& args) {
    std::string reader = options.reader;
    DWORD protocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    std::vector<std::vector<BYTE>> commands;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--reader" && i + 1 < args.size()) {
            reader = args[++i];
        } else if (a.rfind("--reader=", 0) == 0) {
            reader = a.substr(9);
        } else if (a == "--protocol" && i + 1 < args.size()) {
            const std::string& p = args[++i];
            if (p != "T0" && p != "T1") {
                PrintError("apdu: --protocol takes T0 or T1");
                return kExitUsage;
            }
            protocols = p == "T0" ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1;
        } else if (!a.empty() && a[0] == '-') {
            PrintError("apdu: unknown option '" + a + "'");
            return kExitUsage;
        } else {
            std::vector<BYTE> command;
            if (!ParseHex(a, &command) || command.size() < 4) {
                PrintError("apdu: '" + a + "' is not a command APDU (at least 4 bytes of hexadecimal)");
                return kExitUsage;
            }
            commands.push_back(std::move(command));
        }
    }
    if (commands.empty()) {
        PrintError("apdu: no command given (see kelm-tool apdu --help)");
        return kExitUsage;
    }

    PcscContext context;
    LONG result = OpenPcsc(&context);
    if (result == SCARD_S_SUCCESS && reader.empty()) result = FirstReaderWithCard(context, &reader);
    SCARDHANDLE card = 0;
    DWORD active = SCARD_PROTOCOL_UNDEFINED;
    if (result == SCARD_S_SUCCESS) {
        result = SCardConnectA(context.handle, reader.c_str(), SCARD_SHARE_SHARED, protocols, &card, &active);
    }
    if (result != SCARD_S_SUCCESS) {
        PrintError("apdu: " + (reader.empty() ? std::string() : reader + ": ") + PcscFailureText(result));
        return kExitFailure;
    }
    const SCARD_IO_REQUEST* pci = active == SCARD_PROTOCOL_T0 ? &g_rgSCardT0Pci : &g_rgSCardT1Pci;
    if (options.verbose) std::fprintf(stderr, "reader %s, T=%d\n", reader.c_str(), active == SCARD_PROTOCOL_T0 ? 0 : 1);
    int status = kExitOk;
    for (const std::vector<BYTE>& command : commands) {
        std::vector<BYTE> response(65538);
        DWORD length = static_cast<DWORD>(response.size());
        if (options.verbose) std::printf("> %s\n", HexBytes(command.data(), command.size()).c_str());
        result = SCardTransmit(card, pci, command.data(), static_cast<DWORD>(command.size()), nullptr,
                               response.data(), &length);
        if (result != SCARD_S_SUCCESS) {
            PrintError("apdu: " + PcscFailureText(result));
            status = kExitFailure;
            break;
        }
        std::printf("%s%s\n", options.verbose ? "< " : "", HexBytes(response.data(), length).c_str());
    }
    SCardDisconnect(card, SCARD_LEAVE_CARD);
    return status;
}

}  // namespace

KELM_TOOL_COMMAND("apdu", "send raw command APDUs to a card",
                  "Usage: kelm-tool apdu [--reader NAME] [--protocol T0|T1] HEX...\n"
                  "Sends each HEX (one command APDU; spaces and colons are ignored) to the card in\n"
                  "the named reader, or in the first reader holding a card, and prints each answer in\n"
                  "hexadecimal, status word included. Nothing is added: on T=0 the 61xx and 6Cxx\n"
                  "answers are shown as the card gives them.\n"
                  "Example: kelm-tool apdu '00 A4 04 00 02 3F 00'\n",
                  RunApdu);

}  // namespace kelm::tool
