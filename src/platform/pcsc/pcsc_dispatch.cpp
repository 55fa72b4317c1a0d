// The Windows-named winscard functions. Each checks its arguments the way the Windows service
// does, then hands the call to the process's PC/SC backend (pcsc-lite unless a test or tool chose
// another). Reader lists are turned into the Windows multi-string here, once for every backend.
#include <algorithm>
#include <cstring>
#include <strings.h>
#include <string>
#include <vector>

#include "kelm/winapi.h"
#include "platform/pcsc/pcsc_backend.h"

namespace kelm::platform {
namespace {

// Windows lets a caller ask the service to allocate the reader list. This layer has no matching
// free function, so the request is refused rather than mistaken for a 4 GB buffer.
constexpr DWORD kAutoAllocate = 0xFFFFFFFFu;

// How often a waiting SCardGetStatusChangeA looks at the readers again.
constexpr DWORD kStatusPollMs = 100;

// The longest command or response: an extended APDU's 65536 data bytes and the status word.
constexpr size_t kMaxApdu = 65536 + 2;

// The low word of a reader state holds the state bits; Windows keeps an event count above it.
constexpr DWORD kStateBits = 0xFFFFu;

// Updates one entry; true when the reader's state differs from what the caller last saw.
LONG RefreshReaderState(SCARDCONTEXT context, SCARD_READERSTATEA* entry, bool* changed) {
    *changed = false;
    if ((entry->dwCurrentState & SCARD_STATE_IGNORE) != 0) {
        entry->dwEventState = SCARD_STATE_IGNORE;
        return SCARD_S_SUCCESS;
    }
    DWORD state = 0;
    std::vector<BYTE> atr;
    const LONG result = CurrentPcscBackend()->ReaderState(context, entry->szReader, &state, &atr);
    if (result == SCARD_E_UNKNOWN_READER || result == SCARD_E_READER_UNAVAILABLE) {
        state = result == SCARD_E_UNKNOWN_READER ? SCARD_STATE_UNKNOWN : SCARD_STATE_UNAVAILABLE;
        atr.clear();
    } else if (result != SCARD_S_SUCCESS) {
        return result;
    }
    state &= kStateBits & ~static_cast<DWORD>(SCARD_STATE_CHANGED | SCARD_STATE_IGNORE);
    // An ATR longer than the entry holds is cut at its capacity, never written past it.
    const size_t atr_length = std::min(atr.size(), sizeof entry->rgbAtr);
    if (atr_length > 0) std::memcpy(entry->rgbAtr, atr.data(), atr_length);
    entry->cbAtr = static_cast<DWORD>(atr_length);
    const DWORD seen = entry->dwCurrentState & kStateBits & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
    *changed = seen == SCARD_STATE_UNAWARE || seen != state;
    entry->dwEventState = state | (*changed ? SCARD_STATE_CHANGED : 0);
    return SCARD_S_SUCCESS;
}

}  // namespace
}  // namespace kelm::platform

using kelm::platform::CurrentPcscBackend;
using kelm::platform::kAutoAllocate;
using kelm::platform::kStatusPollMs;
using kelm::platform::RefreshReaderState;

extern "C" __attribute__((visibility("default"))) const SCARD_IO_REQUEST g_rgSCardT0Pci = {
    SCARD_PROTOCOL_T0, static_cast<DWORD>(sizeof(SCARD_IO_REQUEST))};
extern "C" __attribute__((visibility("default"))) const SCARD_IO_REQUEST g_rgSCardT1Pci = {
    SCARD_PROTOCOL_T1, static_cast<DWORD>(sizeof(SCARD_IO_REQUEST))};

KELM_WINAPI_EXPORT LONG WINAPI SCardEstablishContext(DWORD dwScope, LPCVOID, LPCVOID, LPSCARDCONTEXT phContext) {
    if (phContext == nullptr) return SCARD_E_INVALID_PARAMETER;
    if (dwScope != SCARD_SCOPE_USER && dwScope != SCARD_SCOPE_SYSTEM) return SCARD_E_INVALID_VALUE;
    SCARDCONTEXT context = 0;
    LONG result = CurrentPcscBackend()->EstablishContext(dwScope, &context);
    *phContext = result == SCARD_S_SUCCESS ? context : 0;
    return result;
}

KELM_WINAPI_EXPORT LONG WINAPI SCardReleaseContext(SCARDCONTEXT hContext) {
    return CurrentPcscBackend()->ReleaseContext(hContext);
}

KELM_WINAPI_EXPORT LONG WINAPI SCardListReadersA(SCARDCONTEXT hContext, LPCSTR, LPSTR mszReaders,
                                                 LPDWORD pcchReaders) {
    if (pcchReaders == nullptr) return SCARD_E_INVALID_PARAMETER;
    if (mszReaders != nullptr && *pcchReaders == kAutoAllocate) return SCARD_E_INVALID_PARAMETER;

    std::vector<std::string> readers;
    LONG result = CurrentPcscBackend()->ListReaders(hContext, &readers);
    if (result != SCARD_S_SUCCESS) return result;

    // An empty name would end the multi-string early and hide the readers after it.
    size_t needed = 1;  // the final terminator
    size_t listed = 0;
    for (const std::string& name : readers) {
        if (name.empty()) continue;
        needed += name.size() + 1;
        ++listed;
    }
    if (listed == 0) return SCARD_E_NO_READERS_AVAILABLE;
    if (needed > 0xFFFFFFFEu) return SCARD_E_NO_MEMORY;

    const DWORD offered = *pcchReaders;
    *pcchReaders = static_cast<DWORD>(needed);
    if (mszReaders == nullptr) return SCARD_S_SUCCESS;
    if (offered < needed) return SCARD_E_INSUFFICIENT_BUFFER;

    char* out = mszReaders;
    for (const std::string& name : readers) {
        if (name.empty()) continue;
        std::memcpy(out, name.c_str(), name.size() + 1);
        out += name.size() + 1;
    }
    *out = '\0';
    return SCARD_S_SUCCESS;
}

KELM_WINAPI_EXPORT LONG WINAPI SCardConnectA(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode,
                                             DWORD dwPreferredProtocols, LPSCARDHANDLE phCard,
                                             LPDWORD pdwActiveProtocol) {
    if (szReader == nullptr || *szReader == '\0' || phCard == nullptr || pdwActiveProtocol == nullptr) {
        return SCARD_E_INVALID_PARAMETER;
    }
    if (dwShareMode != SCARD_SHARE_EXCLUSIVE && dwShareMode != SCARD_SHARE_SHARED &&
        dwShareMode != SCARD_SHARE_DIRECT) {
        return SCARD_E_INVALID_VALUE;
    }
    SCARDHANDLE card = 0;
    DWORD active = SCARD_PROTOCOL_UNDEFINED;
    LONG result = CurrentPcscBackend()->Connect(hContext, szReader, dwShareMode, dwPreferredProtocols, &card, &active);
    if (result != SCARD_S_SUCCESS) {
        *phCard = 0;
        return result;
    }
    *phCard = card;
    *pdwActiveProtocol = active;
    return SCARD_S_SUCCESS;
}

KELM_WINAPI_EXPORT LONG WINAPI SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition) {
    if (dwDisposition > SCARD_EJECT_CARD) return SCARD_E_INVALID_VALUE;
    return CurrentPcscBackend()->Disconnect(hCard, dwDisposition);
}

KELM_WINAPI_EXPORT LONG WINAPI SCardTransmit(SCARDHANDLE hCard, LPCSCARD_IO_REQUEST pioSendPci, LPCBYTE pbSendBuffer,
                                             DWORD cbSendLength, LPSCARD_IO_REQUEST pioRecvPci, LPBYTE pbRecvBuffer,
                                             LPDWORD pcbRecvLength) {
    if (pioSendPci == nullptr || pbSendBuffer == nullptr || cbSendLength == 0 || pbRecvBuffer == nullptr ||
        pcbRecvLength == nullptr) {
        return SCARD_E_INVALID_PARAMETER;
    }
    if (cbSendLength > kelm::platform::kMaxApdu) return SCARD_E_INVALID_PARAMETER;
    // The backend answers into a buffer of the largest possible response, so that a card (or a
    // backend) answering more than the caller offered can never write past the caller's buffer.
    thread_local std::vector<BYTE> scratch(kelm::platform::kMaxApdu);
    const DWORD offered = *pcbRecvLength;
    DWORD received = static_cast<DWORD>(scratch.size());
    const LONG result = CurrentPcscBackend()->Transmit(hCard, pioSendPci->dwProtocol, pbSendBuffer, cbSendLength,
                                                       scratch.data(), &received);
    const size_t written = std::min<size_t>(received, scratch.size());
    LONG outcome = result;
    if (result == SCARD_S_SUCCESS) {
        if (received > scratch.size()) {
            *pcbRecvLength = 0;
            outcome = SCARD_E_INSUFFICIENT_BUFFER;
        } else if (received > offered) {
            *pcbRecvLength = received;  // what the answer needs, as Windows reports it
            outcome = SCARD_E_INSUFFICIENT_BUFFER;
        } else {
            if (received > 0) std::memcpy(pbRecvBuffer, scratch.data(), received);
            *pcbRecvLength = received;
            if (pioRecvPci != nullptr) pioRecvPci->dwProtocol = pioSendPci->dwProtocol;
        }
    }
    // Answers carry decrypted data and signatures: nothing stays behind in the shared buffer.
    explicit_bzero(scratch.data(), written);
    return outcome;
}

KELM_WINAPI_EXPORT LONG WINAPI SCardGetStatusChangeA(SCARDCONTEXT hContext, DWORD dwTimeout,
                                                     LPSCARD_READERSTATEA rgReaderStates, DWORD cReaders) {
    if (cReaders > 0 && rgReaderStates == nullptr) return SCARD_E_INVALID_PARAMETER;
    for (DWORD i = 0; i < cReaders; ++i) {
        if (rgReaderStates[i].szReader == nullptr) return SCARD_E_INVALID_PARAMETER;
    }
    const DWORD started = GetTickCount();
    for (;;) {
        bool any_changed = false;
        for (DWORD i = 0; i < cReaders; ++i) {
            bool changed = false;
            const LONG result = RefreshReaderState(hContext, &rgReaderStates[i], &changed);
            if (result != SCARD_S_SUCCESS) return result;
            any_changed = any_changed || changed;
        }
        if (any_changed) return SCARD_S_SUCCESS;
        const DWORD elapsed = GetTickCount() - started;
        if (dwTimeout != INFINITE && elapsed >= dwTimeout) return SCARD_E_TIMEOUT;
        DWORD pause = kStatusPollMs;
        if (dwTimeout != INFINITE) pause = std::min(pause, dwTimeout - elapsed);
        Sleep(pause);
    }
}
