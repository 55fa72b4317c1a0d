// winscard.dll for the Wine tests: the card simulator behind the Windows smart-card API, so that
// the unchanged KelmKSPv5.dll talks to a simulated card. Wine loads it in place of its own
// with WINEDLLOVERRIDES="winscard=n" when it sits beside the program.
//
// One reader, "KELM Simulated Reader". Its card is the image file named by KELM_SIM_IMAGE; a
// fresh card (type KELM_SIM_TYPE, default 1, PIN 12345678, no containers) is made there when the
// file is missing. Without KELM_SIM_IMAGE the reader is empty.
//
// Connections follow the Windows service: an exclusive connection excludes every other one,
// a reset or power-off at disconnect ends the card's PIN-verified state and makes the other
// connections answer SCARD_W_RESET_CARD, and answers never overrun the caller's buffer.
#define WINSCARDDATA  // this DLL defines the protocol-control blocks it exports

#include <windows.h>
#include <winscard.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "sim/sim_card.h"

const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};

namespace {

using kelm::sim::SimCardPtr;

constexpr char kReaderName[] = "KELM Simulated Reader";

struct Connection {
    SCARDCONTEXT context;
    DWORD share_mode;
    DWORD protocol;
    unsigned power;  // the card's power cycle when the connection was made
};

struct Service {
    std::mutex lock;
    bool card_looked_up = false;
    SimCardPtr card{nullptr, kelm::sim::FreeSimCard};
    unsigned power = 0;  // counts resets and power-offs
    std::set<SCARDCONTEXT> contexts;
    std::map<SCARDHANDLE, Connection> connections;
    ULONG_PTR next_handle = 0x1000;
};

Service& TheService() {
    static Service service;
    return service;
}

// Finds the card on first use (not at load, where the loader lock is held).
kelm::sim::SimCard* Card(Service& service) {
    if (service.card_looked_up) return service.card.get();
    service.card_looked_up = true;
    const char* path = std::getenv("KELM_SIM_IMAGE");
    if (path == nullptr || *path == '\0') return nullptr;
    std::string error;
    std::error_code missing;
    if (std::filesystem::exists(path, missing)) {
        service.card = kelm::sim::OpenCardImage(path, &error);
    } else {
        kelm::sim::NewCardOptions options;
        if (const char* type = std::getenv("KELM_SIM_TYPE")) options.type = std::atoi(type);
        service.card = kelm::sim::NewCardImage(path, options, &error);
    }
    if (!service.card) std::fprintf(stderr, "winscard (simulated card): %s\n", error.c_str());
    return service.card.get();
}

}  // namespace

LONG WINAPI SCardEstablishContext(DWORD dwScope, LPCVOID, LPCVOID, LPSCARDCONTEXT phContext) {
    Service& service = TheService();
    std::lock_guard<std::mutex> guard(service.lock);
    if (phContext == nullptr) return SCARD_E_INVALID_PARAMETER;
    if (dwScope != SCARD_SCOPE_USER && dwScope != SCARD_SCOPE_SYSTEM) return SCARD_E_INVALID_VALUE;
    *phContext = service.next_handle++;
    service.contexts.insert(*phContext);
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardReleaseContext(SCARDCONTEXT hContext) {
    Service& service = TheService();
    std::lock_guard<std::mutex> guard(service.lock);
    if (service.contexts.erase(hContext) == 0) return SCARD_E_INVALID_HANDLE;
    // The context's connections end with it, leaving the card as it is.
    std::erase_if(service.connections, [hContext](const auto& entry) { return entry.second.context == hContext; });
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardListReadersA(SCARDCONTEXT hContext, LPCSTR, LPSTR mszReaders, LPDWORD pcchReaders) {
    Service& service = TheService();
    std::lock_guard<std::mutex> guard(service.lock);
    if (!service.contexts.count(hContext)) return SCARD_E_INVALID_HANDLE;
    if (pcchReaders == nullptr || *pcchReaders == SCARD_AUTOALLOCATE) return SCARD_E_INVALID_PARAMETER;
    const DWORD needed = sizeof kReaderName + 1;  // the name, its NUL and the list's closing NUL
    if (mszReaders == nullptr) {
        *pcchReaders = needed;
        return SCARD_S_SUCCESS;
    }
    if (*pcchReaders < needed) {
        *pcchReaders = needed;
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    std::memcpy(mszReaders, kReaderName, sizeof kReaderName);
    mszReaders[sizeof kReaderName] = '\0';
    *pcchReaders = needed;
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardConnectA(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode, DWORD dwPreferredProtocols,
                          LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol) {
    Service& service = TheService();
    std::lock_guard<std::mutex> guard(service.lock);
    if (!service.contexts.count(hContext)) return SCARD_E_INVALID_HANDLE;
    if (szReader == nullptr || phCard == nullptr || pdwActiveProtocol == nullptr) return SCARD_E_INVALID_PARAMETER;
    if (dwShareMode != SCARD_SHARE_EXCLUSIVE && dwShareMode != SCARD_SHARE_SHARED) return SCARD_E_INVALID_VALUE;
    if (std::strcmp(szReader, kReaderName) != 0) return SCARD_E_UNKNOWN_READER;
    kelm::sim::SimCard* card = Card(service);
    if (card == nullptr) return SCARD_E_NO_SMARTCARD;
    for (const auto& [handle, connection] : service.connections) {
        if (dwShareMode == SCARD_SHARE_EXCLUSIVE || connection.share_mode == SCARD_SHARE_EXCLUSIVE)
            return SCARD_E_SHARING_VIOLATION;
    }
    const DWORD protocol = kelm::sim::CardPcscProtocol(*card);
    if ((dwPreferredProtocols & protocol) == 0) return SCARD_E_PROTO_MISMATCH;
    if (service.connections.empty()) kelm::sim::CardPowerOn(*card);
    *phCard = service.next_handle++;
    service.connections[*phCard] = Connection{hContext, dwShareMode, protocol, service.power};
    *pdwActiveProtocol = protocol;
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition) {
    Service& service = TheService();
    std::lock_guard<std::mutex> guard(service.lock);
    auto it = service.connections.find(hCard);
    if (it == service.connections.end()) return SCARD_E_INVALID_HANDLE;
    if (dwDisposition > SCARD_EJECT_CARD) return SCARD_E_INVALID_VALUE;
    service.connections.erase(it);
    if (dwDisposition == SCARD_RESET_CARD) {
        kelm::sim::CardReset(*service.card);
        ++service.power;
    } else if (dwDisposition != SCARD_LEAVE_CARD) {
        kelm::sim::CardPowerOff(*service.card);
        ++service.power;
    }
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardTransmit(SCARDHANDLE hCard, LPCSCARD_IO_REQUEST pioSendPci, LPCBYTE pbSendBuffer, DWORD cbSendLength,
                          LPSCARD_IO_REQUEST, LPBYTE pbRecvBuffer, LPDWORD pcbRecvLength) {
    Service& service = TheService();
    std::lock_guard<std::mutex> guard(service.lock);
    auto it = service.connections.find(hCard);
    if (it == service.connections.end()) return SCARD_E_INVALID_HANDLE;
    if (pioSendPci == nullptr || pbSendBuffer == nullptr || cbSendLength == 0 || pcbRecvLength == nullptr)
        return SCARD_E_INVALID_PARAMETER;
    if (it->second.power != service.power) return SCARD_W_RESET_CARD;
    if (pioSendPci->dwProtocol != it->second.protocol) return SCARD_E_PROTO_MISMATCH;
    const std::vector<BYTE> answer = kelm::sim::CardExchange(*service.card, pbSendBuffer, cbSendLength);
    if (pbRecvBuffer == nullptr || *pcbRecvLength < answer.size()) {
        *pcbRecvLength = static_cast<DWORD>(answer.size());
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    std::memcpy(pbRecvBuffer, answer.data(), answer.size());
    *pcbRecvLength = static_cast<DWORD>(answer.size());
    return SCARD_S_SUCCESS;
}
