// PC/SC helpers of kelm-tool, over the platform's SCard* functions (whichever backend is chosen).
#include "pcsc_session.h"

#include <algorithm>

#include "output.h"
#include "kelm/winapi.h"
#include "platform/pcsc/pcsc_lite_calls.h"

namespace kelm::tool {

PcscContext::~PcscContext() {
    if (handle != 0) SCardReleaseContext(handle);
}

LONG OpenPcsc(PcscContext* context) { return SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context->handle); }

LONG ListReaderInfo(const PcscContext& context, std::vector<ReaderInfo>* readers) {
    readers->clear();
    DWORD length = 0;
    LONG result = SCardListReadersA(context.handle, nullptr, nullptr, &length);
    if (result == SCARD_E_NO_READERS_AVAILABLE) return SCARD_S_SUCCESS;
    if (result != SCARD_S_SUCCESS) return result;
    std::vector<char> names(length + 1, '\0');
    result = SCardListReadersA(context.handle, nullptr, names.data(), &length);
    if (result == SCARD_E_NO_READERS_AVAILABLE) return SCARD_S_SUCCESS;
    if (result != SCARD_S_SUCCESS) return result;
    for (size_t pos = 0; pos < length && names[pos] != '\0';) {
        ReaderInfo info;
        info.name = &names[pos];
        pos += info.name.size() + 1;
        readers->push_back(std::move(info));
    }
    std::vector<SCARD_READERSTATEA> states(readers->size());
    for (size_t i = 0; i < readers->size(); ++i) {
        states[i] = SCARD_READERSTATEA{};
        states[i].szReader = (*readers)[i].name.c_str();
        states[i].dwCurrentState = SCARD_STATE_UNAWARE;
    }
    if (states.empty()) return SCARD_S_SUCCESS;
    result = SCardGetStatusChangeA(context.handle, 0, states.data(), static_cast<DWORD>(states.size()));
    if (result != SCARD_S_SUCCESS && result != SCARD_E_TIMEOUT) return result;
    for (size_t i = 0; i < readers->size(); ++i) {
        (*readers)[i].state = states[i].dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
        (*readers)[i].atr.assign(states[i].rgbAtr, states[i].rgbAtr + std::min<DWORD>(states[i].cbAtr, 36));
    }
    return SCARD_S_SUCCESS;
}

std::string PcscFailureText(LONG code) {
    std::string sentence;
    if (code == SCARD_E_NO_SERVICE || code == SCARD_E_SERVICE_STOPPED) {
        sentence = "pcscd is not running";
        const std::string problem = platform::pcsclite::LoadProblem();
        if (!problem.empty()) sentence = "the PC/SC library is not available: " + problem;
    } else if (code == SCARD_E_NO_SMARTCARD || code == SCARD_W_REMOVED_CARD) {
        sentence = "there is no card in the reader";
    } else if (code == SCARD_E_UNKNOWN_READER || code == SCARD_E_READER_UNAVAILABLE) {
        sentence = "no such reader";
    } else if (code == SCARD_W_UNRESPONSIVE_CARD) {
        sentence = "the card does not answer";
    } else if (code == SCARD_E_SHARING_VIOLATION) {
        sentence = "the card is in exclusive use by another program";
    } else {
        sentence = "the PC/SC call failed";
    }
    return sentence + " (" + ErrorText(static_cast<DWORD>(code)) + ")";
}

}  // namespace kelm::tool
