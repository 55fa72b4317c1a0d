#include "card_selection.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include "platform/pcsc/pcsc_backend.h"

namespace kelm::tool {

namespace {

constexpr const char* kSimPrefix = "sim:";

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

}  // namespace

bool MakeParentDirectories(const std::string& path, std::string* error) {
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        std::string dir = path.substr(0, pos);
        if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = "cannot create directory " + dir;
            return false;
        }
    }
    return true;
}

CardSelection::~CardSelection() {
    if (backend) platform::SetPcscBackend(nullptr);
}

std::string DefaultCardImagePath() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data && *data == '/') return std::string(data) + "/kelm/card.json";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.local/share/kelm/card.json";
}

bool UseSimulatedCard(const std::string& image, bool create, CardSelection* selection, std::string* error) {
    sim::SimCardPtr card(nullptr, sim::FreeSimCard);
    if (create && !Exists(image)) {
        if (!MakeParentDirectories(image, error)) return false;
        card = sim::NewCardImage(image, sim::NewCardOptions{}, error);
    } else {
        card = sim::OpenCardImage(image, error);
    }
    if (!card) return false;
    selection->backend = std::make_unique<sim::InProcessBackend>();
    selection->backend->AddReader(kSimulatedReaderName);
    selection->backend->InsertCard(kSimulatedReaderName, std::move(card));
    selection->reader = kSimulatedReaderName;
    platform::SetPcscBackend(selection->backend.get());
    return true;
}

int SelectCard(const Options& options, CardSelection* selection, std::string* error) {
    if (selection->backend) return kExitOk;
    if (!options.card.empty() && !options.reader.empty()) {
        *error = "--card and --reader exclude each other";
        return kExitUsage;
    }
    if (!options.reader.empty()) {
        selection->reader = options.reader;
        return kExitOk;
    }
    if (options.card.empty()) return kExitOk;
    if (options.card.rfind(kSimPrefix, 0) != 0 || options.card.size() == std::char_traits<char>::length(kSimPrefix)) {
        *error = "--card takes sim:IMAGE (the file of a simulated card)";
        return kExitUsage;
    }
    return UseSimulatedCard(options.card.substr(4), false, selection, error) ? kExitOk : kExitFailure;
}

int SelectCardOrDefault(const Options& options, CardSelection* selection, std::string* error) {
    if (selection->backend || !options.card.empty() || !options.reader.empty()) return SelectCard(options, selection, error);
    return UseSimulatedCard(DefaultCardImagePath(), true, selection, error) ? kExitOk : kExitFailure;
}

}  // namespace kelm::tool
