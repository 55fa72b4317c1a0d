// kelm-tool readers: the PC/SC readers and whether each holds a card.
#include <cstdio>

#include "commands.h"
#include "pcsc_session.h"

namespace kelm::tool {
namespace {

const char* Presence(DWORD state) {
    if ((state & SCARD_STATE_PRESENT) == 0) return (state & SCARD_STATE_UNAVAILABLE) != 0 ? "unavailable" : "no card";
    if ((state & SCARD_STATE_MUTE) != 0) return "card present (mute)";
    if ((state & SCARD_STATE_EXCLUSIVE) != 0) return "card present (in exclusive use)";
    return "card present";
}

int RunReaders(const Options&, const std::vector<std::string>& args) {
    if (!args.empty()) {
        PrintError("readers: unexpected argument '" + args[0] + "'");
        return kExitUsage;
    }
    PcscContext context;
    LONG result = OpenPcsc(&context);
    std::vector<ReaderInfo> readers;
    if (result == SCARD_S_SUCCESS) result = ListReaderInfo(context, &readers);
    if (result != SCARD_S_SUCCESS) {
        PrintError("readers: " + PcscFailureText(result));
        return kExitFailure;
    }
    if (readers.empty()) {
        std::printf("no readers\n");
        return kExitOk;
    }
    for (const ReaderInfo& reader : readers) {
        std::printf("%s\t%s", reader.name.c_str(), Presence(reader.state));
        if (!reader.atr.empty()) std::printf("\tATR %s", HexBytes(reader.atr.data(), reader.atr.size()).c_str());
        std::printf("\n");
    }
    return kExitOk;
}

}  // namespace

KELM_TOOL_COMMAND("readers", "list the PC/SC readers and their cards",
                  "Usage: kelm-tool readers\n"
                  "Lists every PC/SC reader, one a line: its name, whether a card is present, and the\n"
                  "card's ATR. Fails (exit 1) when the PC/SC service is not running.\n",
                  RunReaders);

}  // namespace kelm::tool
