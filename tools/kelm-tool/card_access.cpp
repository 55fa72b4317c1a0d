// Choosing the card: the simulated card's image, the PC/SC reader, and the layers over them.
#include "card_access.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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
        listed += listed.empty() ? "'" : ", '";
        listed += Printable(name);
        listed += '\'';
    }
    Fail("no reader named '" + Printable(reader) + "' (" + (listed.empty() ? "no readers" : "readers: " + listed) + ")");
}

}  // namespace

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
        simulated_ = LoadSimulatedCard(DefaultCardImagePath(), true);
    }
    if (simulated_) {
        reader_ = kSimulatedReaderName;
        top = simulated_.get();
    }
    if (options.verbose) {
        trace_ = ApduTrace(top);
        top = trace_.get();
    }
    if (top != platform::CurrentPcscBackend()) {
        platform::SetPcscBackend(top);
        installed_ = true;
    }
}

CardAccess::~CardAccess() {
    if (installed_) platform::SetPcscBackend(nullptr);
}

}  // namespace kelm::tool
