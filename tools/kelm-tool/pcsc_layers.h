// Layers that kelm-tool puts over the PC/SC backend it works through: one that shows the
// provider a single reader, and one that shows every APDU exchanged (--verbose).
#pragma once

#include <memory>
#include <string>

#include "platform/pcsc/pcsc_backend.h"

namespace kelm::tool {

// Lists only `reader` of `inner` (SCARD_E_UNKNOWN_READER when `inner` does not have it) and
// connects only to it, so that --reader decides which card the provider uses without
// changing the provider's registry settings.
std::unique_ptr<platform::PcscBackend> OnlyReader(platform::PcscBackend* inner, const std::string& reader);

// Keeps in `last_status` the status word the card gave the last VERIFY that carried a PIN.
std::unique_ptr<platform::PcscBackend> WatchPinVerification(platform::PcscBackend* inner, DWORD* last_status);

// Writes every command and answer to stderr ("> 00 A4 04 00 ...", "< 90 00") before handing
// them on. Commands that carry a PIN (VERIFY, CHANGE REFERENCE DATA, RESET RETRY COUNTER)
// show their data bytes as "**".
std::unique_ptr<platform::PcscBackend> ApduTrace(platform::PcscBackend* inner);

}  // namespace kelm::tool
