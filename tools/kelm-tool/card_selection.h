// Which card kelm-tool talks to. `--card sim:IMAGE` plugs an embedded simulated card (the image
// file IMAGE) into the process's PC/SC functions as the only reader; `--reader NAME` and no option
// at all use the real PC/SC service. Commands that work through the provider fall back to the
// default simulated card when neither option is given.
#pragma once

#include <memory>
#include <string>

#include "commands.h"
#include "sim/inprocess_backend.h"

namespace kelm::tool {

constexpr const char* kSimulatedReaderName = "KELM Simulated Reader";

// Holds the installed backend; the process's PC/SC functions go back to pcsc-lite when it ends.
struct CardSelection {
    std::unique_ptr<sim::InProcessBackend> backend;
    std::string reader;  // the reader to use; empty: any
    CardSelection() = default;
    CardSelection(const CardSelection&) = delete;
    CardSelection& operator=(const CardSelection&) = delete;
    ~CardSelection();
};

// $XDG_DATA_HOME/kelm/card.json, or ~/.local/share/kelm/card.json.
std::string DefaultCardImagePath();

// Applies --card / --reader: kExitOk, or kExitUsage for a malformed choice and kExitFailure for
// an image that cannot be used, with a message.
int SelectCard(const Options& options, CardSelection* selection, std::string* error);

// For commands that need a card: when no card or reader was chosen, the default simulated card
// (type 1, T=1, PIN "12345678"), its image created on first use. Exit statuses as above.
int SelectCardOrDefault(const Options& options, CardSelection* selection, std::string* error);

// Creates the directories above `path` that are missing.
bool MakeParentDirectories(const std::string& path, std::string* error);

// Plugs the card stored in `image` into PC/SC; `create` makes a default card when the file is missing.
bool UseSimulatedCard(const std::string& image, bool create, CardSelection* selection, std::string* error);

}  // namespace kelm::tool
