// The reader filter and the APDU trace, each a backend that hands every call on to the one below.
#include "pcsc_layers.h"

#include <cstdio>
#include <vector>

#include "output.h"

namespace kelm::tool {
namespace {

class Forwarding : public platform::PcscBackend {
public:
    explicit Forwarding(platform::PcscBackend* inner) : inner_(inner) {}
    LONG EstablishContext(DWORD scope, SCARDCONTEXT* context) override {
        return inner_->EstablishContext(scope, context);
    }
    LONG ReleaseContext(SCARDCONTEXT context) override { return inner_->ReleaseContext(context); }
    LONG ListReaders(SCARDCONTEXT context, std::vector<std::string>* readers) override {
        return inner_->ListReaders(context, readers);
    }
    LONG Connect(SCARDCONTEXT context, const std::string& reader, DWORD share_mode, DWORD preferred_protocols,
                 SCARDHANDLE* card, DWORD* active_protocol) override {
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

protected:
    platform::PcscBackend* inner_;
};

class OneReader : public Forwarding {
public:
    OneReader(platform::PcscBackend* inner, std::string reader) : Forwarding(inner), reader_(std::move(reader)) {}
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

private:
    std::string reader_;
};

constexpr BYTE kPinCarryingIns[] = {0x20, 0x24, 0x2C};
constexpr size_t kHeaderLength = 4;

class Trace : public Forwarding {
public:
    using Forwarding::Forwarding;
    LONG Transmit(SCARDHANDLE card, DWORD protocol, const BYTE* command, DWORD command_length, BYTE* response,
                  DWORD* response_length) override {
        std::string shown = HexBytes(command, command_length);
        if (command_length > kHeaderLength + 1 && IsPinCarrying(command[1])) {
            const size_t data = std::min<size_t>(command[kHeaderLength], command_length - kHeaderLength - 1);
            // Each byte is two digits and a space: keep the header and Lc, mask the data.
            for (size_t i = 0; i < data; ++i) {
                const size_t at = (kHeaderLength + 1 + i) * 3;
                if (at + 1 < shown.size()) shown[at] = shown[at + 1] = '*';
            }
        }
        std::fprintf(stderr, "> %s\n", shown.c_str());
        const LONG rc = inner_->Transmit(card, protocol, command, command_length, response, response_length);
        if (rc == SCARD_S_SUCCESS) {
            std::fprintf(stderr, "< %s\n", HexBytes(response, *response_length).c_str());
        } else {
            std::fprintf(stderr, "< %s\n", ErrorText(static_cast<DWORD>(rc)).c_str());
        }
        return rc;
    }

private:
    static bool IsPinCarrying(BYTE ins) {
        for (BYTE pin_ins : kPinCarryingIns) {
            if (ins == pin_ins) return true;
        }
        return false;
    }
};

}  // namespace

std::unique_ptr<platform::PcscBackend> OnlyReader(platform::PcscBackend* inner, const std::string& reader) {
    return std::make_unique<OneReader>(inner, reader);
}

std::unique_ptr<platform::PcscBackend> ApduTrace(platform::PcscBackend* inner) {
    return std::make_unique<Trace>(inner);
}

}  // namespace kelm::tool
