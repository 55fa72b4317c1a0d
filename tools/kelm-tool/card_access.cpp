// Choosing the card: the simulated card's image, the PC/SC reader, and the layers over them.
#include "card_access.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iterator>
#include <cstdlib>
#include <cstring>

#include "output.h"
#include "pcsc_layers.h"
#include "pcsc_session.h"
#include "sim/sim_card.h"

namespace kelm::tool {
namespace {

constexpr const char* kSimPrefix = "sim:";
constexpr size_t kSimPrefixLength = 4;

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string HomeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr && found->pw_dir != nullptr) {
        return found->pw_dir;
    }
    return "";
}

std::unique_ptr<sim::InProcessBackend> LoadSimulatedCard(const std::string& image, bool create_default) {
    std::string error;
    sim::SimCardPtr card(nullptr, sim::FreeSimCard);
    if (create_default && !Exists(image)) {
        MakeDefaultDataDirectory(image);
        card = sim::NewCardImage(image, sim::NewCardOptions{}, &error);
    } else {
        card = sim::OpenCardImage(image, &error);
    }
    if (!card) Fail(error);
    auto backend = std::make_unique<sim::InProcessBackend>();
    backend->AddReader(kSimulatedReaderName);
    backend->InsertCard(kSimulatedReaderName, std::move(card));
    return backend;
}

// Before the provider is pointed at a reader of the real service: a stopped service or a
// misspelt reader is said plainly, instead of the provider's "no card".
void CheckReaderListed(platform::PcscBackend* backend, const std::string& reader) {
    SCARDCONTEXT context = 0;
    LONG rc = backend->EstablishContext(SCARD_SCOPE_USER, &context);
    std::vector<std::string> readers;
    if (rc == SCARD_S_SUCCESS) {
        rc = backend->ListReaders(context, &readers);
        backend->ReleaseContext(context);
    }
    if (rc == SCARD_E_NO_READERS_AVAILABLE) readers.clear();
    else if (rc != SCARD_S_SUCCESS) Fail(PcscFailureText(rc));
    std::string listed;
    for (const std::string& name : readers) {
        if (name == reader) return;
        if (!listed.empty()) listed.append(", ");
        listed.append(1, '\'').append(Printable(name)).append(1, '\'');
    }
    if (listed.empty()) listed = "no readers";
    else listed.insert(0, "readers: ");
    Fail("no reader named '" + Printable(reader) + "' (" + listed + ")");
}

// The first bytes of the five card applications, and what follows them by card type.
constexpr BYTE kAidPrefix[] = {0xF1, 0x5C, 0x3E, 0x00, 0x27, 0x95};
constexpr BYTE kAidSuffixes[][2] = {{0x01, 0x03}, {0x01, 0x01}, {0x00, 0x01}, {0x01, 0x05}, {0x01, 0x06}};

// Whether the card in `reader` answers one of the card applications (a shared connection, left
// as it was).
bool HoldsSupportedCard(platform::PcscBackend* backend, SCARDCONTEXT context, const std::string& reader) {
    DWORD state = 0;
    std::vector<BYTE> atr;
    if (backend->ReaderState(context, reader, &state, &atr) != SCARD_S_SUCCESS || (state & SCARD_STATE_PRESENT) == 0) {
        return false;
    }
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    if (backend->Connect(context, reader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol) !=
        SCARD_S_SUCCESS) {
        return false;
    }
    bool supported = false;
    for (const auto& suffix : kAidSuffixes) {
        BYTE select[5 + sizeof kAidPrefix + 2] = {0x00, 0xA4, 0x04, 0x00, sizeof kAidPrefix + 2};
        std::copy(std::begin(kAidPrefix), std::end(kAidPrefix), select + 5);
        std::copy(std::begin(suffix), std::end(suffix), select + 5 + sizeof kAidPrefix);
        BYTE answer[258];
        DWORD length = sizeof answer;
        if (backend->Transmit(card, protocol, select, sizeof select, answer, &length) == SCARD_S_SUCCESS &&
            length >= 2 && (answer[length - 2] == 0x90 || answer[length - 2] == 0x61)) {
            supported = true;
            break;
        }
    }
    backend->Disconnect(card, SCARD_LEAVE_CARD);
    return supported;
}

// The readers of the PC/SC service that hold a supported card (none without the service).
std::vector<std::string> ReadersWithSupportedCards(platform::PcscBackend* backend) {
    SCARDCONTEXT context = 0;
    std::vector<std::string> readers, found;
    if (backend->EstablishContext(SCARD_SCOPE_USER, &context) != SCARD_S_SUCCESS) return found;
    if (backend->ListReaders(context, &readers) == SCARD_S_SUCCESS) {
        for (const std::string& reader : readers) {
            if (HoldsSupportedCard(backend, context, reader)) found.push_back(reader);
        }
    }
    backend->ReleaseContext(context);
    return found;
}

DWORD& LastVerify() {
    static DWORD status = 0;
    return status;
}

}  // namespace

DWORD LastPinVerificationStatus() { return LastVerify(); }

std::string SimulatedImage(const Options& options) {
    if (options.card.empty()) return "";
    if (options.card.rfind(kSimPrefix, 0) != 0 || options.card.size() == kSimPrefixLength) {
        Fail(kExitUsage, "--card takes sim:IMAGE (the file of a simulated card)");
    }
    return options.card.substr(kSimPrefixLength);
}

std::string DefaultCardImagePath() {
    if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data == '/') {
        return std::string(data) + "/kelm/card.json";
    }
    const std::string home = HomeDirectory();
    if (home.empty()) Fail("no home directory for the card image: set HOME, or choose the image with --card sim:IMAGE");
    return home + "/.local/share/kelm/card.json";
}

void MakeDefaultDataDirectory(const std::string& image) {
    for (size_t pos = image.find('/', 1); pos != std::string::npos; pos = image.find('/', pos + 1)) {
        const std::string dir = image.substr(0, pos);
        if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
            Fail("cannot create the directory " + dir + ": " + std::strerror(errno));
        }
    }
}

CardAccess::CardAccess(const Options& options, CardUse use) {
    if (!options.card.empty() && !options.reader.empty()) Fail(kExitUsage, "--card and --reader exclude each other");
    platform::PcscBackend* top = platform::CurrentPcscBackend();
    if (!options.card.empty()) {
        simulated_ = LoadSimulatedCard(SimulatedImage(options), false);
    } else if (!options.reader.empty()) {
        reader_ = options.reader;
        if (use == CardUse::Provider) {
            CheckReaderListed(top, reader_);
            filter_ = OnlyReader(top, reader_);
            top = filter_.get();
        }
    } else if (use == CardUse::Provider) {
        // The card a person with a reader means; the simulated card only when there is none.
        const std::vector<std::string> found = ReadersWithSupportedCards(top);
        if (found.size() == 1) {
            reader_ = found.front();
            filter_ = OnlyReader(top, reader_);
            top = filter_.get();
            if (!options.quiet) std::fprintf(stderr, "kelm-tool: using the card in '%s'\n", Printable(reader_).c_str());
        } else {
            const std::string image = DefaultCardImagePath();
            simulated_ = LoadSimulatedCard(image, true);
            if (!options.quiet) {
                std::fprintf(stderr, "kelm-tool: using the simulated card %s%s\n", image.c_str(),
                             found.empty() ? "" : (" (" + std::to_string(found.size()) +
                                                   " supported cards in PC/SC readers: choose one with --reader)").c_str());
            }
        }
    }
    if (simulated_) {
        reader_ = kSimulatedReaderName;
        top = simulated_.get();
    }
    if (options.verbose) {
        trace_ = ApduTrace(top);
        top = trace_.get();
    }
    LastVerify() = 0;
    pin_watch_ = WatchPinVerification(top, &LastVerify());
    top = pin_watch_.get();
    if (top != platform::CurrentPcscBackend()) {
        platform::SetPcscBackend(top);
        installed_ = true;
    }
}

CardAccess::~CardAccess() {
    if (installed_) platform::SetPcscBackend(nullptr);
}

}  // namespace kelm::tool
