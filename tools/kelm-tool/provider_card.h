// The card the provider commands work on: the embedded simulated card (--card sim:IMAGE, or the
// default image created on first use) or the real PC/SC service (--reader NAME, the provider
// then seeing only that reader).
#pragma once

#include <memory>

#include "card_selection.h"
#include "commands.h"
#include "platform/pcsc/pcsc_backend.h"

namespace kelm::tool {

struct ProviderCard {
    CardSelection selection;
    std::unique_ptr<platform::PcscBackend> reader_filter;
    ProviderCard() = default;
    ProviderCard(const ProviderCard&) = delete;
    ProviderCard& operator=(const ProviderCard&) = delete;
    ~ProviderCard();
};

// The error text of a failed entry point, with a hint when the provider found no card.
std::string ProviderErrorText(DWORD code);

// kExitOk, or the exit status after a message naming `command`.
int PrepareProviderCard(const std::string& command, const Options& options, ProviderCard* card);

}  // namespace kelm::tool
