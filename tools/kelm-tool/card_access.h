// Which card a command works on, put behind the process's PC/SC functions for as long as the
// command runs: the embedded simulated card of `--card sim:IMAGE`, the PC/SC reader of
// `--reader NAME`, or, for the provider's commands, the default simulated card. --verbose adds
// the APDU trace on top.
#pragma once

#include <memory>
#include <string>

#include "commands.h"
#include "platform/pcsc/pcsc_backend.h"
#include "sim/inprocess_backend.h"

namespace kelm::tool {

constexpr const char* kSimulatedReaderName = "KELM Simulated Reader";

enum class CardUse {
    Pcsc,      // raw PC/SC: the simulated card of --card, else the PC/SC service
    Provider,  // the provider's card layer: without --card or --reader the PC/SC reader that holds
               // the one supported card, else the default simulated card (said on stderr); the
               // provider sees that reader only
};

class CardAccess {
public:
    // Fails (kExitUsage for a malformed choice, kExitFailure for an image or reader that
    // cannot be used) before anything is installed.
    CardAccess(const Options& options, CardUse use);
    ~CardAccess();
    CardAccess(const CardAccess&) = delete;
    CardAccess& operator=(const CardAccess&) = delete;

    const std::string& reader() const { return reader_; }  // empty: any reader
    bool simulated() const { return simulated_ != nullptr; }

private:
    std::unique_ptr<sim::InProcessBackend> simulated_;
    std::unique_ptr<platform::PcscBackend> filter_;
    std::unique_ptr<platform::PcscBackend> trace_;
    std::unique_ptr<platform::PcscBackend> pin_watch_;
    bool installed_ = false;
    std::string reader_;
};

// The status word of the last VERIFY with a PIN that the card answered while a CardAccess was in
// place (0: none), whichever provider sent it.
DWORD LastPinVerificationStatus();

// The image file of `--card sim:IMAGE` ("" when --card was not given).
std::string SimulatedImage(const Options& options);

// $XDG_DATA_HOME/kelm/card.json, else ~/.local/share/kelm/card.json with the home directory
// found as the registry finds it ($HOME, else the user's entry in the password database).
// Fails when there is no home directory.
std::string DefaultCardImagePath();

// Creates the directory that holds the default image (and its parents), mode 0700.
void MakeDefaultDataDirectory(const std::string& image);

}  // namespace kelm::tool
