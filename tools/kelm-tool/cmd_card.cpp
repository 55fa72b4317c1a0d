// kelm-tool card new|init|show: make a simulated card's image, and describe one.
#include <cstdio>

#include "card_selection.h"
#include "commands.h"
#include "pcsc_session.h"
#include "sim/sim_card.h"

namespace kelm::tool {
namespace {

// The image named on the command line, else the one of --card sim:IMAGE, else the default.
bool ImageArgument(const Options& options, const std::string& given, std::string* image, std::string* error) {
    if (!given.empty()) {
        *image = given;
    } else if (!options.card.empty()) {
        if (options.card.rfind("sim:", 0) != 0 || options.card.size() == 4) {
            *error = "--card takes sim:IMAGE";
            return false;
        }
        *image = options.card.substr(4);
    } else {
        *image = DefaultCardImagePath();
    }
    return true;
}

// A container with a fresh signature key and exchange key in the next two unused key files.
bool AddFilledContainer(sim::SimCard& card, const std::string& name, std::string* error) {
    std::vector<WORD> free_files;
    int count = sim::CardType(card) == 7 ? 7 : 6;
    for (int i = 1; i <= count && free_files.size() < 2; ++i) {
        WORD id = static_cast<WORD>(0x8000 | i);
        bool used = false;
        for (const sim::ContainerInfo& info : sim::ContainersOf(card)) used = used || info.signature_file == id || info.exchange_file == id;
        if (!used && !sim::PublicKeyOf(card, id, nullptr, nullptr)) free_files.push_back(id);
    }
    if (free_files.size() < 2) {
        *error = "no free key files left for container \"" + name + "\"";
        return false;
    }
    return sim::PutNewKey(card, free_files[0], error) && sim::AddKeyFile(card, free_files[1], 1, error) &&
           sim::PutNewKey(card, free_files[1], error) && sim::AddContainer(card, name, free_files[0], free_files[1], error);
}

int RunCardNew(const Options& options, const std::vector<std::string>& args) {
    sim::NewCardOptions card;
    std::vector<std::string> containers;
    std::string image;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        bool has_value = i + 1 < args.size();
        if (a == "--type" && has_value) {
            const std::string& v = args[++i];
            if (v != "1" && v != "3" && v != "5" && v != "6" && v != "7") {
                PrintError("card new: --type takes 1, 3, 5, 6 or 7");
                return kExitUsage;
            }
            card.type = v[0] - '0';
        } else if (a == "--protocol" && has_value) {
            const std::string& v = args[++i];
            if (v != "T0" && v != "T1") {
                PrintError("card new: --protocol takes T0 or T1");
                return kExitUsage;
            }
            card.protocol = v == "T0" ? sim::CardProtocol::T0 : sim::CardProtocol::T1;
        } else if (a == "--pin" && has_value) {
            card.pin = args[++i];
            if (card.pin.empty() || card.pin.size() > 16) {
                PrintError("card new: --pin takes 1 to 16 characters");
                return kExitUsage;
            }
        } else if (a == "--pin-pad" && has_value) {
            card.pin_pad = true;
            card.pin_pad_entry = args[++i];
        } else if (a == "--cert-code" && has_value) {
            if (!ParseHex(args[++i], &card.required_cert_code) || card.required_cert_code.size() != 8) {
                PrintError("card new: --cert-code takes 8 bytes of hexadecimal");
                return kExitUsage;
            }
        } else if (a == "--container" && has_value) {
            containers.push_back(args[++i]);
            if (containers.back().size() > 36) {
                PrintError("card new: a container name has at most 36 characters");
                return kExitUsage;
            }
        } else if (!a.empty() && a[0] == '-') {
            PrintError("card new: unknown option '" + a + "'");
            return kExitUsage;
        } else if (image.empty()) {
            image = a;
        } else {
            PrintError("card new: more than one IMAGE");
            return kExitUsage;
        }
    }
    std::string error;
    if (!ImageArgument(options, image, &image, &error)) {
        PrintError("card new: " + error);
        return kExitUsage;
    }
    if (!MakeParentDirectories(image, &error)) {
        PrintError("card new: " + error);
        return kExitFailure;
    }
    sim::SimCardPtr made = sim::NewCardImage(image, card, &error);
    if (!made) {
        PrintError("card new: " + error);
        return kExitFailure;
    }
    for (const std::string& name : containers) {
        if (!AddFilledContainer(*made, name, &error)) {
            made.reset();
            std::remove(image.c_str());
            PrintError("card new: " + error);
            return kExitFailure;
        }
    }
    std::printf("%s: card type %d, T=%d\n", image.c_str(), card.type, card.protocol == sim::CardProtocol::T0 ? 0 : 1);
    return kExitOk;
}

int RunCardShow(const Options& options, const std::vector<std::string>& args) {
    if (args.size() > 1 || (!args.empty() && !args[0].empty() && args[0][0] == '-')) {
        PrintError("card show: takes at most one IMAGE");
        return kExitUsage;
    }
    std::string image;
    std::string error;
    if (!ImageArgument(options, args.empty() ? std::string() : args[0], &image, &error)) {
        PrintError("card show: " + error);
        return kExitUsage;
    }
    sim::SimCardPtr card = sim::OpenCardImage(image, &error);
    if (!card) {
        PrintError("card show: " + error);
        return kExitFailure;
    }
    std::printf("%s\n%s", image.c_str(), sim::DescribeCard(*card).c_str());
    return kExitOk;
}

const char kNewUsage[] =
    "Usage: kelm-tool card new [--type 1|3|5|6|7] [--protocol T0|T1] [--pin PIN]\n"
    "                          [--pin-pad ENTRY] [--cert-code HEX] [--container NAME]... [IMAGE]\n"
    "Makes an empty simulated card and writes its image to IMAGE (default: the image of\n"
    "--card sim:IMAGE, else $XDG_DATA_HOME/kelm/card.json). Defaults: type 1, T1, PIN 12345678,\n"
    "no PIN pad, any certificate code accepted. An existing image is never overwritten.\n"
    "--pin-pad ENTRY gives the reader a PIN pad on which the user types ENTRY.\n"
    "--container NAME adds a container with a new signature key and exchange key, each in the\n"
    "next unused key file (two per container).\n";

}  // namespace

KELM_TOOL_COMMAND("card new", "make a simulated card's image", kNewUsage, RunCardNew);
KELM_TOOL_COMMAND("card init", "the same as card new", kNewUsage, RunCardNew);
KELM_TOOL_COMMAND("card show", "describe a simulated card: PIN tries, containers, keys, certificates",
                  "Usage: kelm-tool card show [IMAGE]\n"
                  "Prints the card type and protocol, PIN tries left, the containers with their key\n"
                  "files, and each key file's key and certificate. IMAGE defaults as for card new.\n",
                  RunCardShow);

}  // namespace kelm::tool
