// pcsc-lite loaded with dlopen, so that its SCardTransmit and g_rgSCardT0Pci never meet the
// Windows-named functions of this library in the global symbol scope. pcsc-lite's types (64-bit
// DWORD and LONG on Linux) are converted at every call and never leave this file.
#include "platform/pcsc/pcsc_lite_calls.h"

#include <dlfcn.h>

#include <PCSC/winscard.h>

#include <algorithm>
#include <mutex>
#include <type_traits>

// The conversions below are written for pcsc-lite's LP64 types.
static_assert(std::is_same_v<DWORD, unsigned long> && std::is_same_v<LONG, long>,
              "pcsc-lite's DWORD and LONG are expected to be unsigned long and long");

namespace kelm::platform::pcsclite {
namespace {

// The Windows values of the few protocol bits that differ from pcsc-lite's.
constexpr uint32_t kWinProtocolT0 = 0x1;
constexpr uint32_t kWinProtocolT1 = 0x2;
constexpr uint32_t kWinProtocolRaw = 0x10000;

// Reader lists are fetched twice (size, then names); a reader plugged in between makes the second
// call too short, so the pair is retried a few times.
constexpr int kListAttempts = 3;

struct Library {
    void* handle = nullptr;
    std::string problem;
    decltype(&::SCardEstablishContext) establish_context = nullptr;
    decltype(&::SCardReleaseContext) release_context = nullptr;
    decltype(&::SCardListReaders) list_readers = nullptr;
    decltype(&::SCardConnect) connect = nullptr;
    decltype(&::SCardDisconnect) disconnect = nullptr;
    decltype(&::SCardTransmit) transmit = nullptr;
    decltype(&::SCardGetStatusChange) get_status_change = nullptr;
};

template <typename Fn>
bool Bind(void* handle, const char* name, Fn* fn, std::string* problem) {
    void* symbol = dlsym(handle, name);
    if (symbol == nullptr) {
        *problem = std::string("libpcsclite.so.1 has no ") + name;
        return false;
    }
    *fn = reinterpret_cast<Fn>(symbol);
    return true;
}

int OpenFlags() {
    // Deep binding keeps the library's own calls inside it even though this library exports the
    // same names. The sanitizer runtimes refuse deep binding (they must see every call), and
    // this pcsc-lite binds its internal calls directly anyway.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return RTLD_NOW | RTLD_LOCAL;
#else
    return RTLD_NOW | RTLD_LOCAL | RTLD_DEEPBIND;
#endif
}

const Library& Loaded() {
    static Library library;
    static std::once_flag once;
    std::call_once(once, [] {
        Library lib;
        lib.handle = dlopen("libpcsclite.so.1", OpenFlags());
        if (lib.handle == nullptr) {
            const char* why = dlerror();
            lib.problem = why != nullptr ? why : "libpcsclite.so.1 could not be loaded";
            library = lib;
            return;
        }
        bool ok = Bind(lib.handle, "SCardEstablishContext", &lib.establish_context, &lib.problem) &&
                  Bind(lib.handle, "SCardReleaseContext", &lib.release_context, &lib.problem) &&
                  Bind(lib.handle, "SCardListReaders", &lib.list_readers, &lib.problem) &&
                  Bind(lib.handle, "SCardConnect", &lib.connect, &lib.problem) &&
                  Bind(lib.handle, "SCardDisconnect", &lib.disconnect, &lib.problem) &&
                  Bind(lib.handle, "SCardTransmit", &lib.transmit, &lib.problem) &&
                  Bind(lib.handle, "SCardGetStatusChange", &lib.get_status_change, &lib.problem);
        if (!ok) {
            dlclose(lib.handle);
            Library missing;
            missing.problem = lib.problem;
            library = missing;
            return;
        }
        library = lib;
    });
    return library;
}

int32_t WinCode(LONG code) { return WindowsCode(code); }

constexpr int32_t kNoService = static_cast<int32_t>(0x8010001Du);
constexpr int32_t kInsufficientBuffer = static_cast<int32_t>(0x80100008u);
constexpr int32_t kNoMemory = static_cast<int32_t>(0x80100006u);
constexpr int32_t kTimeout = static_cast<int32_t>(0x8010000Au);

SCARDCONTEXT LiteContext(uintptr_t context) { return static_cast<SCARDCONTEXT>(static_cast<intptr_t>(context)); }
SCARDHANDLE LiteCard(uintptr_t card) { return static_cast<SCARDHANDLE>(static_cast<intptr_t>(card)); }

}  // namespace

std::string LoadProblem() { return Loaded().problem; }

// pcsc-lite's codes are 64-bit longs holding the 32-bit Windows value (positive there, negative
// as a Windows LONG); only the low 32 bits carry meaning.
int32_t WindowsCode(long lite_code) {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long>(lite_code) & 0xFFFFFFFFu));
}

unsigned long LiteProtocols(uint32_t windows) {
    unsigned long lite = 0;
    if ((windows & kWinProtocolT0) != 0) lite |= SCARD_PROTOCOL_T0;
    if ((windows & kWinProtocolT1) != 0) lite |= SCARD_PROTOCOL_T1;
    if ((windows & kWinProtocolRaw) != 0) lite |= SCARD_PROTOCOL_RAW;
    return lite;
}

uint32_t WindowsProtocols(unsigned long lite) {
    uint32_t windows = 0;
    if ((lite & SCARD_PROTOCOL_T0) != 0) windows |= kWinProtocolT0;
    if ((lite & SCARD_PROTOCOL_T1) != 0) windows |= kWinProtocolT1;
    if ((lite & SCARD_PROTOCOL_RAW) != 0) windows |= kWinProtocolRaw;
    return windows;
}


int32_t EstablishContext(uint32_t scope, uintptr_t* context) {
    const Library& lib = Loaded();
    if (lib.handle == nullptr) return kNoService;
    SCARDCONTEXT lite = 0;
    LONG rv = lib.establish_context(static_cast<DWORD>(scope), nullptr, nullptr, &lite);
    *context = rv == SCARD_S_SUCCESS ? static_cast<uintptr_t>(static_cast<intptr_t>(lite)) : 0;
    return WinCode(rv);
}

int32_t ReleaseContext(uintptr_t context) {
    const Library& lib = Loaded();
    if (lib.handle == nullptr) return kNoService;
    return WinCode(lib.release_context(LiteContext(context)));
}

int32_t ListReaders(uintptr_t context, std::vector<std::string>* readers) {
    const Library& lib = Loaded();
    if (lib.handle == nullptr) return kNoService;
    readers->clear();
    for (int attempt = 0; attempt < kListAttempts; ++attempt) {
        DWORD length = 0;
        LONG rv = lib.list_readers(LiteContext(context), nullptr, nullptr, &length);
        if (rv != SCARD_S_SUCCESS) return WinCode(rv);
        if (length == 0 || length > (1u << 20)) return kNoMemory;
        // One spare zero byte past what the service fills, so parsing always stops inside.
        std::vector<char> names(length + 1, '\0');
        DWORD filled = length;
        rv = lib.list_readers(LiteContext(context), nullptr, names.data(), &filled);
        if (rv == SCARD_E_INSUFFICIENT_BUFFER) continue;
        if (rv != SCARD_S_SUCCESS) return WinCode(rv);
        if (filled > length) filled = length;
        size_t pos = 0;
        while (pos < filled && names[pos] != '\0') {
            std::string name(&names[pos]);
            pos += name.size() + 1;
            readers->push_back(std::move(name));
        }
        return 0;
    }
    return kInsufficientBuffer;
}

int32_t Connect(uintptr_t context, const std::string& reader, uint32_t share_mode, uint32_t preferred_protocols,
                uintptr_t* card, uint32_t* active_protocol) {
    const Library& lib = Loaded();
    if (lib.handle == nullptr) return kNoService;
    SCARDHANDLE lite_card = 0;
    DWORD lite_active = 0;
    LONG rv = lib.connect(LiteContext(context), reader.c_str(), static_cast<DWORD>(share_mode),
                          LiteProtocols(preferred_protocols), &lite_card, &lite_active);
    if (rv != SCARD_S_SUCCESS) return WinCode(rv);
    *card = static_cast<uintptr_t>(static_cast<intptr_t>(lite_card));
    *active_protocol = WindowsProtocols(lite_active);
    return 0;
}

int32_t Disconnect(uintptr_t card, uint32_t disposition) {
    const Library& lib = Loaded();
    if (lib.handle == nullptr) return kNoService;
    return WinCode(lib.disconnect(LiteCard(card), static_cast<DWORD>(disposition)));
}

int32_t Transmit(uintptr_t card, uint32_t protocol, const uint8_t* command, uint32_t command_length,
                 uint8_t* response, uint32_t* response_length) {
    const Library& lib = Loaded();
    if (lib.handle == nullptr) return kNoService;
    SCARD_IO_REQUEST send_pci;
    send_pci.dwProtocol = LiteProtocols(protocol);
    send_pci.cbPciLength = sizeof send_pci;
    const uint32_t offered = *response_length;
    DWORD received = offered;
    LONG rv = lib.transmit(LiteCard(card), &send_pci, command, static_cast<DWORD>(command_length), nullptr, response,
                           &received);
    if (rv == SCARD_S_SUCCESS && received > offered) return kInsufficientBuffer;
    *response_length = received > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(received);
    return WinCode(rv);
}

int32_t ReaderState(uintptr_t context, const std::string& reader, uint32_t* state, std::vector<uint8_t>* atr) {
    const Library& lib = Loaded();
    if (lib.handle == nullptr) return kNoService;
    atr->clear();
    SCARD_READERSTATE entry{};
    entry.szReader = reader.c_str();
    entry.dwCurrentState = SCARD_STATE_UNAWARE;
    LONG rv = lib.get_status_change(LiteContext(context), 0, &entry, 1);
    // Asked as unaware, the service reports at once; a timeout only means nothing new to tell.
    if (rv != SCARD_S_SUCCESS && WinCode(rv) != kTimeout) return WinCode(rv);
    *state = static_cast<uint32_t>(entry.dwEventState & 0xFFFFu);
    const size_t length = std::min<size_t>(entry.cbAtr, sizeof entry.rgbAtr);
    atr->assign(entry.rgbAtr, entry.rgbAtr + length);
    return 0;
}

}  // namespace kelm::platform::pcsclite
