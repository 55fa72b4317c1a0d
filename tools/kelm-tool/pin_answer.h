// The options that the provider commands share: --pin (answers the PIN dialog instead of a
// person) and --machine (the machine keyset). Message boxes the provider shows while a
// scripted PIN is in use are echoed to stderr, so that a wrong or locked PIN is explained.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "kelm/windows_types.h"

namespace kelm::tool {

struct ProviderOptions {
    bool has_pin = false;
    std::string pin;
    bool machine = false;
    std::vector<std::string> positional;
};

// Parses --pin PIN, --pin=PIN and --machine out of args; false (with a message printed) on
// a malformed command line.
bool ParseProviderOptions(const std::string& command, const std::vector<std::string>& args,
                          ProviderOptions* options);

// While alive, the PIN dialog is answered with `options.pin` (once; a second request is
// cancelled) when a PIN was given. Restores the default responder and wipes the PIN on exit.
class PinAnswer {
public:
    explicit PinAnswer(ProviderOptions& options);
    ~PinAnswer();
    PinAnswer(const PinAnswer&) = delete;
    PinAnswer& operator=(const PinAnswer&) = delete;

private:
    struct Responder;
    std::unique_ptr<Responder> responder_;
    ProviderOptions& options_;
};

// The flags every provider command adds to its own (CRYPT_MACHINE_KEYSET for --machine).
DWORD KeysetFlags(const ProviderOptions& options);

}  // namespace kelm::tool
