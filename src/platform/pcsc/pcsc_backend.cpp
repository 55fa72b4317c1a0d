// The process-wide choice of PC/SC backend, and the behaviour every backend shares.
#include "platform/pcsc/pcsc_backend.h"

#include <atomic>

namespace kelm::platform {
namespace {

std::atomic<PcscBackend*> g_backend{nullptr};

}  // namespace

void SetPcscBackend(PcscBackend* backend) { g_backend.store(backend, std::memory_order_release); }

PcscBackend* CurrentPcscBackend() {
    PcscBackend* backend = g_backend.load(std::memory_order_acquire);
    return backend != nullptr ? backend : DefaultPcscBackend();
}

LONG PcscBackend::ReaderState(SCARDCONTEXT context, const std::string& reader, DWORD* state,
                              std::vector<BYTE>* atr) {
    atr->clear();
    SCARDHANDLE card = 0;
    DWORD active = SCARD_PROTOCOL_UNDEFINED;
    const LONG result =
        Connect(context, reader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &active);
    if (result == SCARD_S_SUCCESS) {
        Disconnect(card, SCARD_LEAVE_CARD);
        *state = SCARD_STATE_PRESENT;
        return SCARD_S_SUCCESS;
    }
    if (result == SCARD_E_NO_SMARTCARD || result == SCARD_W_REMOVED_CARD) {
        *state = SCARD_STATE_EMPTY;
    } else if (result == SCARD_W_UNRESPONSIVE_CARD || result == SCARD_W_UNPOWERED_CARD) {
        *state = SCARD_STATE_PRESENT | SCARD_STATE_MUTE;
    } else if (result == SCARD_E_SHARING_VIOLATION) {
        *state = SCARD_STATE_PRESENT | SCARD_STATE_EXCLUSIVE | SCARD_STATE_INUSE;
    } else {
        return result;  // unknown reader, no service: the caller reports it
    }
    return SCARD_S_SUCCESS;
}

}  // namespace kelm::platform
