// Puts the chosen card behind the PC/SC functions that the provider calls.
#include "provider_card.h"

#include <string>
#include <vector>

namespace kelm::tool {
namespace {

// Shows the provider one reader of the real service, so that --reader decides which card is
// used without changing the provider's registry settings.
class OneReader : public platform::PcscBackend {
public:
    OneReader(platform::PcscBackend* inner, std::string reader) : inner_(inner), reader_(std::move(reader)) {}

    LONG EstablishContext(DWORD scope, SCARDCONTEXT* context) override {
        return inner_->EstablishContext(scope, context);
    }
    LONG ReleaseContext(SCARDCONTEXT context) override { return inner_->ReleaseContext(context); }
    LONG ListReaders(SCARDCONTEXT context, std::vector<std::string>* readers) override {
        std::vector<std::string> all;
        const LONG rc = inner_->ListReaders(context, &all);
        if (rc != SCARD_S_SUCCESS) return rc;
        readers->clear();
        for (const std::string& name : all) {
            if (name == reader_) readers->push_back(name);
        }
        return readers->empty() ? SCARD_E_UNKNOWN_READER : SCARD_S_SUCCESS;
    }
    LONG Connect(SCARDCONTEXT context, const std::string& reader, DWORD share_mode, DWORD preferred_protocols,
                 SCARDHANDLE* card, DWORD* active_protocol) override {
        if (reader != reader_) return SCARD_E_UNKNOWN_READER;
        return inner_->Connect(context, reader, share_mode, preferred_protocols, card, active_protocol);
    }
    LONG Disconnect(SCARDHANDLE card, DWORD disposition) override { return inner_->Disconnect(card, disposition); }
    LONG Transmit(SCARDHANDLE card, DWORD protocol, const BYTE* command, DWORD command_length, BYTE* response,
                  DWORD* response_length) override {
        return inner_->Transmit(card, protocol, command, command_length, response, response_length);
    }
    LONG ReaderState(SCARDCONTEXT context, const std::string& reader, DWORD* state, std::vector<BYTE>* atr) override {
        return inner_->ReaderState(context, reader, state, atr);
    }

private:
    platform::PcscBackend* inner_;
    std::string reader_;
};

}  // namespace

std::string ProviderErrorText(DWORD code) {
    // The provider reports a missing reader or card with this one code.
    if (code == ERROR_INVALID_FUNCTION) return ErrorText(code) + ": no supported card was found in the reader";
    return ErrorText(code);
}

ProviderCard::~ProviderCard() {
    if (reader_filter != nullptr) platform::SetPcscBackend(nullptr);
}

int PrepareProviderCard(const std::string& command, const Options& options, ProviderCard* card) {
    std::string error;
    const int status = SelectCardOrDefault(options, &card->selection, &error);
    if (status != kExitOk) {
        PrintError(command + ": " + error);
        return status;
    }
    if (!options.reader.empty()) {
        card->reader_filter = std::make_unique<OneReader>(platform::CurrentPcscBackend(), options.reader);
        platform::SetPcscBackend(card->reader_filter.get());
    }
    return kExitOk;
}

}  // namespace kelm::tool
