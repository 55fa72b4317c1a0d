// kelm-cardsim: serves one simulated card to pcscd through the vpcd virtual reader driver, so
// that anything using the real PC/SC service (the provider, kelm-tool, other programs) sees a
// card in "Virtual PCD 00 00" (port 35963) or "Virtual PCD 00 01" (port 35964).
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim/sim_card.h"
#include "sim/vpcd_bridge.h"

namespace kelm::sim {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "Usage: kelm-cardsim --image FILE [--new [--type N] [--protocol T0|T1] [--pin PIN]\n"
    "                    [--pin-pad ENTRY]] [--host HOST] [--port N]\n"
    "Serves the card stored in FILE to pcscd's vpcd reader until SIGTERM or SIGINT, connecting\n"
    "again whenever pcscd restarts. Every change the card makes is saved to FILE.\n"
    "  --new              make a new card in FILE first (FILE must not exist)\n"
    "  --type N           card type of the new card: 1, 3, 5, 6 or 7 (default 1)\n"
    "  --protocol T0|T1   transmission protocol of the new card (default T1)\n"
    "  --pin PIN          the new card's PIN (default 12345678)\n"
    "  --pin-pad ENTRY    the reader has a PIN pad on which the user types ENTRY\n"
    "  --host HOST        where vpcd listens (default 127.0.0.1)\n"
    "  --port N           vpcd's port: 35963 for its first reader (default), 35964 for the second\n";

StopSignal g_stop;

extern "C" void OnStopSignal(int) { RaiseStop(g_stop); }

// The simulated card as the bridge sees it.
struct ImageCard final : VpcdCard {
    SimCard* card;
    explicit ImageCard(SimCard* c) : card(c) {}
    std::vector<BYTE> Atr() override { return CardAtr(*card); }
    void PowerOn() override { CardPowerOn(*card); }
    void PowerOff() override { CardPowerOff(*card); }
    void Reset() override { CardReset(*card); }
    std::vector<BYTE> Exchange(const BYTE* apdu, size_t length) override { return CardExchange(*card, apdu, length); }
};

struct Arguments {
    std::string image;
    bool make_new = false;
    NewCardOptions options;
    VpcdSlot slot;
};

bool ParseNumber(const std::string& text, long low, long high, long* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high) return false;
    *value = parsed;
    return true;
}

// 0 when the arguments are good, else the exit status (help printed, or an error).
int Parse(int argc, char** argv, Arguments* out) {
    bool new_only_option = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string* v) {
            if (i + 1 >= argc) return false;
            *v = argv[++i];
            return true;
        };
        std::string v;
        long number = 0;
        if (a == "--help" || a == "-h") {
            std::printf("%s", kUsage);
            return -1;
        } else if (a == "--new") {
            out->make_new = true;
        } else if (a == "--image" && value(&v)) {
            out->image = v;
        } else if (a == "--type" && value(&v)) {
            if (!ParseNumber(v, 1, 7, &number) || number == 2 || number == 4) {
                std::fprintf(stderr, "kelm-cardsim: --type takes 1, 3, 5, 6 or 7, not '%s'\n", v.c_str());
                return kExitUsage;
            }
            out->options.type = static_cast<int>(number);
            new_only_option = true;
        } else if (a == "--protocol" && value(&v)) {
            if (v != "T0" && v != "T1") {
                std::fprintf(stderr, "kelm-cardsim: --protocol takes T0 or T1, not '%s'\n", v.c_str());
                return kExitUsage;
            }
            out->options.protocol = v == "T0" ? CardProtocol::T0 : CardProtocol::T1;
            new_only_option = true;
        } else if (a == "--pin" && value(&v)) {
            out->options.pin = v;
            new_only_option = true;
        } else if (a == "--pin-pad" && value(&v)) {
            out->options.pin_pad = true;
            out->options.pin_pad_entry = v;
            new_only_option = true;
        } else if (a == "--host" && value(&v)) {
            out->slot.host = v;
        } else if (a == "--port" && value(&v)) {
            if (!ParseNumber(v, 1, 65535, &number)) {
                std::fprintf(stderr, "kelm-cardsim: --port takes a TCP port number, not '%s'\n", v.c_str());
                return kExitUsage;
            }
            out->slot.port = static_cast<uint16_t>(number);
        } else {
            std::fprintf(stderr, "kelm-cardsim: unexpected argument '%s' (see kelm-cardsim --help)\n", a.c_str());
            return kExitUsage;
        }
    }
    if (out->image.empty()) {
        std::fprintf(stderr, "kelm-cardsim: --image FILE is required (see kelm-cardsim --help)\n");
        return kExitUsage;
    }
    if (new_only_option && !out->make_new) {
        std::fprintf(stderr, "kelm-cardsim: --type, --protocol, --pin and --pin-pad describe a new card: add --new\n");
        return kExitUsage;
    }
    out->slot.label = out->image;
    return 0;
}

int Run(int argc, char** argv) {
    Arguments args;
    const int parsed = Parse(argc, argv, &args);
    if (parsed != 0) return parsed < 0 ? kExitOk : parsed;

    std::string error;
    SimCardPtr card = args.make_new ? NewCardImage(args.image, args.options, &error) : OpenCardImage(args.image, &error);
    if (!card) {
        std::fprintf(stderr, "kelm-cardsim: %s\n", error.c_str());  // the message names the image
        return kExitFailure;
    }
    if (!OpenStopSignal(&g_stop, &error)) {
        std::fprintf(stderr, "kelm-cardsim: %s\n", error.c_str());
        return kExitFailure;
    }
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    ImageCard bridge_card(card.get());
    RunVpcdSlot(args.slot, bridge_card, g_stop, [](const std::string& line) {
        std::fprintf(stderr, "kelm-cardsim: %s\n", line.c_str());
        std::fflush(stderr);
    });
    CloseStopSignal(&g_stop);
    return kExitOk;
}

}  // namespace
}  // namespace kelm::sim

int main(int argc, char** argv) { return kelm::sim::Run(argc, argv); }
