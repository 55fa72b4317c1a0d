// kelm-tool card new|init|show: make a simulated card's image, and describe one.
#include <sys/stat.h>

#include <cstdio>
#include <memory>

#include "card_access.h"
#include "commands.h"
#include "output.h"
#include "provider_call.h"
#include "sim/sim_card.h"

namespace kelm::tool {
namespace {

constexpr WORD kFirstKeyFile = 0x8001;
constexpr WORD kLastKeyFile = 0x800F;

struct NewArgs {
    std::string image;
    int type = 1;
    std::string protocol = "T1";
    std::string pin = "12345678";
    std::string pin_pad_entry;
    std::string cert_code;
    std::vector<std::string> containers;
};

// The image named on the command line, else the one of --card sim:IMAGE, else "".
std::string ChosenImage(const Options& options, const std::string& given) {
    if (!options.reader.empty()) Fail(kExitUsage, "a simulated card's image is chosen with --card sim:IMAGE, not --reader");
    return given.empty() ? SimulatedImage(options) : given;
}

std::string FileName(WORD id) {
    const BYTE bytes[] = {static_cast<BYTE>(id >> 8), static_cast<BYTE>(id)};
    return HexBytes(bytes, 2);
}

// A container with a fresh signature key and exchange key in the next two unused key files.
void AddFilledContainer(sim::SimCard& card, const std::string& name) {
    std::vector<WORD> free_files;
    const int count = sim::CardType(card) == 7 ? 7 : 6;
    for (int i = 1; i <= count && free_files.size() < 2; ++i) {
        const WORD id = static_cast<WORD>(0x8000 | i);
        bool used = false;
        for (const sim::ContainerInfo& info : sim::ContainersOf(card)) {
            used = used || info.signature_file == id || info.exchange_file == id;
        }
        if (!used && !sim::PublicKeyOf(card, id, nullptr, nullptr)) free_files.push_back(id);
    }
    if (free_files.size() < 2) Fail("no free key files left for container '" + Printable(name) + "'");
    std::string error;
    if (!sim::PutNewKey(card, free_files[0], &error) || !sim::AddKeyFile(card, free_files[1], 1, &error) ||
        !sim::PutNewKey(card, free_files[1], &error) ||
        !sim::AddContainer(card, name, free_files[0], free_files[1], &error)) {
        Fail(error);
    }
}

int RunCardNew(const Options& options, const NewArgs& args) {
    sim::NewCardOptions card;
    card.type = args.type;
    card.protocol = args.protocol == "T0" ? sim::CardProtocol::T0 : sim::CardProtocol::T1;
    card.pin = args.pin;
    card.pin_pad = !args.pin_pad_entry.empty();
    card.pin_pad_entry = args.pin_pad_entry;
    if (!args.cert_code.empty() && (!ParseHex(args.cert_code, &card.required_cert_code) || card.required_cert_code.size() != 8)) {
        Fail(kExitUsage, "--cert-code takes 8 bytes of hexadecimal");
    }
    for (const std::string& name : args.containers) CheckContainerName(name);
    std::string image = ChosenImage(options, args.image);
    if (image.empty()) {
        image = DefaultCardImagePath();
        MakeDefaultDataDirectory(image);
    } else {
        // Only the default data directory is made; anywhere else a missing directory is a mistake.
        const size_t slash = image.rfind('/');
        const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : image.substr(0, slash);
        struct stat st;
        if (stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            Fail("the directory " + directory + " does not exist (only the default data directory is created)");
        }
    }
    std::string error;
    sim::SimCardPtr made = sim::NewCardImage(image, card, &error);
    if (!made) Fail(error);
    try {
        for (const std::string& name : args.containers) AddFilledContainer(*made, name);
    } catch (const ToolError&) {
        made.reset();
        std::remove(image.c_str());
        throw;
    }
    const char* protocol = card.protocol == sim::CardProtocol::T0 ? "T=0" : "T=1";
    if (options.json) {
        PrintJson({{"image", image}, {"card_type", card.type}, {"protocol", protocol}, {"containers", args.containers}});
    } else {
        std::printf("%s: card type %d, %s\n", image.c_str(), card.type, protocol);
    }
    return kExitOk;
}

Json KeyFilesJson(const sim::SimCard& card) {
    Json files = Json::array();
    for (WORD id = kFirstKeyFile; id <= kLastKeyFile; ++id) {
        std::vector<BYTE> modulus;
        const bool has_key = sim::PublicKeyOf(card, id, &modulus, nullptr);
        const size_t certificate = sim::CertificateOf(card, id).size();
        if (!has_key && certificate == 0) continue;
        files.push_back({{"file", FileName(id)},
                         {"key_bits", has_key ? Json(modulus.size() * 8) : Json()},
                         {"certificate_bytes", certificate}});
    }
    return files;
}

int RunCardShow(const Options& options, const std::string& given) {
    std::string image = ChosenImage(options, given);
    if (image.empty()) image = DefaultCardImagePath();
    std::string error;
    const sim::SimCardPtr card = sim::OpenCardImage(image, &error);
    if (!card) Fail(error);
    if (!options.json) {
        std::printf("%s\n%s", image.c_str(), sim::DescribeCard(*card).c_str());
        return kExitOk;
    }
    Json containers = Json::array();
    for (const sim::ContainerInfo& info : sim::ContainersOf(*card)) {
        containers.push_back({{"name", info.name},
                              {"signature_file", info.signature_file != 0 ? Json(FileName(info.signature_file)) : Json()},
                              {"exchange_file", info.exchange_file != 0 ? Json(FileName(info.exchange_file)) : Json()}});
    }
    PrintJson({{"image", image},
               {"card_type", sim::CardType(*card)},
               {"protocol", sim::CardProtocolOf(*card) == sim::CardProtocol::T0 ? "T=0" : "T=1"},
               {"pin_tries_left", sim::PinTriesLeft(*card)},
               {"containers", containers},
               {"key_files", KeyFilesJson(*card)}});
    return kExitOk;
}

Action SetupNew(CLI::App& command) {
    auto args = std::make_shared<NewArgs>();
    command.add_option("--type", args->type, "the card type: 1 (the default), 3, 5, 6 or 7")
        ->type_name("TYPE")
        ->check(CLI::IsMember({1, 3, 5, 6, 7}).description(""));
    command.add_option("--protocol", args->protocol, "T1 (the default) or T0")
        ->type_name("T0|T1")
        ->check(CLI::IsMember({"T0", "T1"}).description(""));
    command.add_option("--pin", args->pin, "the new card's PIN, 6 to 16 characters (default 12345678)")
        ->type_name("PIN")
        ->check([](const std::string& pin) {
            // The provider's PIN dialog takes 6 to 16 characters: a card with another PIN could not be used.
            return pin.size() < 6 || pin.size() > 16 ? std::string("takes 6 to 16 characters, as the provider does")
                                                     : std::string();
        });
    command.add_option("--pin-pad", args->pin_pad_entry, "give the reader a PIN pad on which the user types ENTRY")
        ->type_name("ENTRY");
    command.add_option("--cert-code", args->cert_code, "the 8-byte code the card requires with a certificate")
        ->type_name("HEX");
    command.add_option("--container", args->containers, "add a container with a new signature and exchange key")
        ->type_name("NAME")
        ->allow_extra_args(false);
    command.add_option("IMAGE", args->image, "the image file to write")->type_name("");
    return [args](const Options& options) { return RunCardNew(options, *args); };
}

Action SetupShow(CLI::App& command) {
    auto image = std::make_shared<std::string>();
    command.add_option("IMAGE", *image, "the image file to describe")->type_name("");
    return [image](const Options& options) { return RunCardShow(options, *image); };
}

constexpr const char kNewHelp[] =
    "Makes an empty simulated card and writes its image to IMAGE (default: the image of\n"
    "--card sim:IMAGE, else $XDG_DATA_HOME/kelm/card.json or ~/.local/share/kelm/card.json).\n"
    "An existing image is never overwritten, and only the default data directory is created.\n"
    "Each --container adds a container with a new signature key and exchange key, each in the\n"
    "next unused key file (two per container).\n"
    "Examples:\n"
    "  kelm-tool card new --type 7 --container alice /tmp/card.json\n"
    "JSON: {\"image\": \"...\", \"card_type\": 1, \"protocol\": \"T=1\", \"containers\": [\"name\", ...]}\n";

const Registrar kNew{{
    .name = "card new",
    .group = kGroupSimulator,
    .summary = "make a simulated card's image",
    .help = kNewHelp,
    .shared = kCardChoice | kJsonOutput,
    .setup = SetupNew,
}};

const Registrar kInit{{
    .name = "card init",
    .group = kGroupSimulator,
    .summary = "the same as card new",
    .help = kNewHelp,
    .shared = kCardChoice | kJsonOutput,
    .setup = SetupNew,
}};

const Registrar kShow{{
    .name = "card show",
    .group = kGroupSimulator,
    .summary = "describe a simulated card: PIN tries, containers, keys, certificates",
    .help = "Prints the card type and protocol, PIN tries left, the containers with their key files,\n"
            "and each key file's key and certificate (its subject and the validity dates written with\n"
            "it). IMAGE defaults as for card new.\n"
            "Examples:\n"
            "  kelm-tool card show /tmp/card.json\n"
            "JSON: {\"image\": \"...\", \"card_type\": 1, \"protocol\": \"T=1\", \"pin_tries_left\": 3,\n"
            "       \"containers\": [{\"name\": \"...\", \"signature_file\": \"80 01\" or null,\n"
            "                       \"exchange_file\": \"80 02\" or null}],\n"
            "       \"key_files\": [{\"file\": \"80 01\", \"key_bits\": 1024 or null, \"certificate_bytes\": 0}]}\n",
    .shared = kCardChoice | kJsonOutput,
    .setup = SetupShow,
}};

}  // namespace
}  // namespace kelm::tool
