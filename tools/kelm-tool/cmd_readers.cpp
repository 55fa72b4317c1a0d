// kelm-tool readers: the PC/SC readers and whether each holds a card.
#include <cstdio>

#include "card_access.h"
#include "commands.h"
#include "output.h"
#include "pcsc_session.h"

namespace kelm::tool {
namespace {

// The reader's state as one word, and as the text line says it.
struct Presence {
    const char* word;
    const char* text;
};

Presence PresenceOf(DWORD state) {
    if ((state & SCARD_STATE_PRESENT) == 0) {
        return (state & SCARD_STATE_UNAVAILABLE) != 0 ? Presence{"unavailable", "unavailable"}
                                                       : Presence{"empty", "no card"};
    }
    if ((state & SCARD_STATE_MUTE) != 0) return {"mute", "card present (mute)"};
    if ((state & SCARD_STATE_EXCLUSIVE) != 0) return {"exclusive", "card present (in exclusive use)"};
    return {"present", "card present"};
}

int RunReaders(const Options& options) {
    CardAccess access(options, CardUse::Pcsc);
    PcscContext context;
    LONG result = OpenPcsc(&context);
    std::vector<ReaderInfo> readers;
    if (result == SCARD_S_SUCCESS) result = ListReaderInfo(context, &readers);
    if (result != SCARD_S_SUCCESS) Fail(PcscFailureText(result));
    if (!options.reader.empty()) {
        std::erase_if(readers, [&](const ReaderInfo& reader) { return reader.name != options.reader; });
        if (readers.empty()) Fail("no reader named '" + Printable(options.reader) + "'");
    }
    Json listed = Json::array();
    for (const ReaderInfo& reader : readers) {
        const Presence presence = PresenceOf(reader.state);
        const std::string atr = HexBytes(reader.atr.data(), reader.atr.size());
        listed.push_back({{"name", reader.name}, {"state", presence.word}, {"atr", atr.empty() ? Json() : Json(atr)}});
        if (options.json) continue;
        std::printf("%s\t%s", Printable(reader.name).c_str(), presence.text);
        if (!atr.empty()) std::printf("\tATR %s", atr.c_str());
        std::printf("\n");
    }
    if (options.json) PrintJson({{"readers", listed}});
    else if (readers.empty()) std::printf("no readers\n");
    return kExitOk;
}

Action Setup(CLI::App&) { return RunReaders; }

const Registrar kRegistered{{
    .name = "readers",
    .group = kGroupReaders,
    .summary = "list the PC/SC readers and their cards",
    .help = "Lists every PC/SC reader (or only the one of --reader), one a line: its name, whether a card\n"
            "is present, and the card's ATR. With --card sim:IMAGE the simulated card's reader is listed.\n"
            "Fails (exit 1) when pcscd is not running.\n"
            "Examples:\n"
            "  kelm-tool readers --json\n"
            "JSON: {\"readers\": [{\"name\": \"...\", \"state\": \"present\"|\"empty\"|\"mute\"|\"exclusive\"|\n"
            "      \"unavailable\", \"atr\": \"3B ...\" or null}]}\n",
    .shared = kCardChoice | kJsonOutput,
    .setup = Setup,
}};

}  // namespace
}  // namespace kelm::tool
