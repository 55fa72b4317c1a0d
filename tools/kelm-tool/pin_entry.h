// The PIN for the provider's PIN dialog. --pin and --pin-source give it (pass:TEXT, env:VAR,
// file:PATH, fd:N or stdin, as OpenSSL's -passin); without them the person is asked through
// pinentry (KELM_PINENTRY) or the terminal. A PIN outside 6 to 16 characters is refused
// before it reaches the card. After a failed provider call the entry explains a wrong, locked
// or missing PIN with an exit status of its own.
#pragma once

#include <memory>
#include <string>

#include "commands.h"

namespace kelm::tool {

// The forms --pin-source takes; "" when `source` is one of them, else what is wrong.
std::string PinSourceProblem(const std::string& source);

class PinEntry {
public:
    // Reads the given PIN (Fails with kExitUsage for a missing source or a PIN of the wrong
    // length) and answers the PIN dialog from now on.
    explicit PinEntry(const Options& options);
    ~PinEntry();  // the default responder comes back; the PIN is wiped
    PinEntry(const PinEntry&) = delete;
    PinEntry& operator=(const PinEntry&) = delete;

    // After a failed provider call: Fails with kExitWrongPin (and the tries left, asked of the
    // card without spending one), kExitPinLocked or kExitPinCancelled when the PIN is why;
    // returns when it is not.
    void ExplainFailure() const;

private:
    struct Responder;
    std::unique_ptr<Responder> responder_;
};

}  // namespace kelm::tool
