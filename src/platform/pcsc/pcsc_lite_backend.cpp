// The default PC/SC backend: the system's pcscd, reached through pcsc-lite.
#include "platform/pcsc/pcsc_backend.h"
#include "platform/pcsc/pcsc_lite_calls.h"

namespace kelm::platform {
namespace {

class PcscLite final : public PcscBackend {
public:
    LONG EstablishContext(DWORD scope, SCARDCONTEXT* context) override {
        uintptr_t value = 0;
        LONG result = pcsclite::EstablishContext(scope, &value);
        *context = value;
        return result;
    }

    LONG ReleaseContext(SCARDCONTEXT context) override { return pcsclite::ReleaseContext(context); }

    LONG ListReaders(SCARDCONTEXT context, std::vector<std::string>* readers) override {
        return pcsclite::ListReaders(context, readers);
    }

    LONG Connect(SCARDCONTEXT context, const std::string& reader, DWORD share_mode, DWORD preferred_protocols,
                 SCARDHANDLE* card, DWORD* active_protocol) override {
        uintptr_t handle = 0;
        uint32_t active = 0;
        LONG result = pcsclite::Connect(context, reader, share_mode, preferred_protocols, &handle, &active);
        *card = handle;
        *active_protocol = active;
        return result;
    }

    LONG Disconnect(SCARDHANDLE card, DWORD disposition) override { return pcsclite::Disconnect(card, disposition); }

    LONG Transmit(SCARDHANDLE card, DWORD protocol, const BYTE* command, DWORD command_length, BYTE* response,
                  DWORD* response_length) override {
        return pcsclite::Transmit(card, protocol, command, command_length, response, response_length);
    }

    LONG ReaderState(SCARDCONTEXT context, const std::string& reader, DWORD* state, std::vector<BYTE>* atr) override {
        uint32_t bits = 0;
        LONG result = pcsclite::ReaderState(context, reader, &bits, atr);
        *state = bits;
        return result;
    }
};

}  // namespace

PcscBackend* PcscLiteBackend() {
    static PcscLite backend;
    return &backend;
}

}  // namespace kelm::platform
