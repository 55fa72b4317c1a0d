// What the PC/SC commands of kelm-tool share: a context that is always released, readers with
// their card state, and the wording of failures.
#pragma once

#include <string>
#include <vector>

#include "kelm/windows_types.h"

namespace kelm::tool {

struct PcscContext {
    SCARDCONTEXT handle = 0;
    PcscContext() = default;
    PcscContext(const PcscContext&) = delete;
    PcscContext& operator=(const PcscContext&) = delete;
    ~PcscContext();
};

struct ReaderInfo {
    std::string name;
    DWORD state = 0;         // SCARD_STATE_* bits
    std::vector<BYTE> atr;   // empty without a card
};

// Each returns a PC/SC code; SCARD_E_NO_READERS_AVAILABLE leaves an empty list and counts as success.
LONG OpenPcsc(PcscContext* context);
LONG ListReaderInfo(const PcscContext& context, std::vector<ReaderInfo>* readers);

// "pcscd is not running (SCARD_E_NO_SERVICE (0x8010001D))" and the like: a sentence first,
// the code after it.
std::string PcscFailureText(LONG code);

}  // namespace kelm::tool
