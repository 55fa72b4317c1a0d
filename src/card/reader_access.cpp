// Readers one by one: their names, the configured one, a look at each reader's card over a
// shared connection, the PIN's state and closing a connection.
#include "card/reader_access.h"

#include <cstring>

#include "card/apdu_transport.h"
#include "card/card_files.h"
#include "card/reader_session.h"
#include "kelm/winapi.h"

namespace kelm::card {
namespace {

constexpr const char* kProviderKey = "SOFTWARE\\VESK\\ROSMAC10";
// Reader names and the configured name are bounded: a service or registry that claims more is
// not believed.
constexpr DWORD kMaxReaderList = 64 * 1024;
constexpr DWORD kMaxReaderName = 1024;

// A PC/SC context for one look at the readers, released when it goes out of scope.
struct ScopedContext {
    SCARDCONTEXT context = 0;
    LONG result = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
    ~ScopedContext() {
        if (result == SCARD_S_SUCCESS) {
            SCardReleaseContext(context);
        }
    }
};

const SCARD_IO_REQUEST* PciOf(DWORD protocol) {
    if (protocol == SCARD_PROTOCOL_T0) {
        return &g_rgSCardT0Pci;
    }
    return protocol == SCARD_PROTOCOL_T1 ? &g_rgSCardT1Pci : nullptr;
}

}  // namespace

DWORD Card_ListReaderNames(std::vector<std::string>* names) {
    if (names == nullptr) {
        return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    }
    names->clear();
    ScopedContext scope;
    if (scope.result != SCARD_S_SUCCESS) {
        return static_cast<DWORD>(scope.result);
    }
    DWORD length = 0;
    LONG rc = SCardListReadersA(scope.context, nullptr, nullptr, &length);
    if (rc != SCARD_S_SUCCESS) {
        return static_cast<DWORD>(rc);
    }
    if (length == 0 || length > kMaxReaderList) {
        return static_cast<DWORD>(SCARD_E_NO_READERS_AVAILABLE);
    }
    std::vector<char> list(length + 1, '\0');
    rc = SCardListReadersA(scope.context, nullptr, list.data(), &length);
    if (rc != SCARD_S_SUCCESS) {
        return static_cast<DWORD>(rc);
    }
    // The multi-string up to its empty name, never past the buffer (its last byte stays 0).
    for (size_t position = 0; position < list.size() - 1 && list[position] != '\0';) {
        const size_t name_length = strnlen(list.data() + position, list.size() - 1 - position);
        names->emplace_back(list.data() + position, name_length);
        position += name_length + 1;
    }
    return names->empty() ? static_cast<DWORD>(SCARD_E_NO_READERS_AVAILABLE) : 0;
}

std::string Card_ConfiguredReader() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kProviderKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return {};
    }
    std::string name;
    DWORD size = 0;
    if (RegQueryValueExA(key, "sReaderName", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS && size != 0 &&
        size <= kMaxReaderName) {
        std::vector<char> value(size + 1, '\0');
        if (RegQueryValueExA(key, "sReaderName", nullptr, nullptr, reinterpret_cast<BYTE*>(value.data()), &size) ==
            ERROR_SUCCESS) {
            name.assign(value.data(), strnlen(value.data(), size));
        }
    }
    RegCloseKey(key);
    // As for the provider: an empty or one-character name means any reader.
    return name.size() > 1 ? name : std::string();
}

DWORD Card_ConfiguredReaderType() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kProviderKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return READER_TYPE_PLAIN;
    }
    DWORD type = 0;
    DWORD size = sizeof type;
    const bool read = RegQueryValueExA(key, "iReaderType", nullptr, nullptr, reinterpret_cast<BYTE*>(&type), &size) ==
                          ERROR_SUCCESS &&
                      size == sizeof type;
    RegCloseKey(key);
    return read && type == READER_TYPE_PINPAD ? READER_TYPE_PINPAD : READER_TYPE_PLAIN;
}

DWORD Card_ExamineReader(const char* reader, ReaderCard* card) {
    if (reader == nullptr || card == nullptr) {
        return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    }
    *card = {CARD_TYPE_NONE, 0};
    ScopedContext scope;
    if (scope.result != SCARD_S_SUCCESS) {
        return static_cast<DWORD>(scope.result);
    }
    SCARDHANDLE handle = 0;
    DWORD protocol = 0;
    const LONG rc = SCardConnectA(scope.context, reader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                                  &handle, &protocol);
    if (rc != SCARD_S_SUCCESS) {
        return static_cast<DWORD>(rc);
    }
    // The card functions speak on the session's connection: it lends them this one for the
    // selection and the PIN's state, and gets its own back untouched.
    CardSession& session = Session();
    const SCARDHANDLE own_card = session.Card;
    const DWORD own_protocol = session.ActiveProtocol;
    const SCARD_IO_REQUEST* own_pci = session.SendPci;
    const DWORD own_type = session.CardType;
    session.Card = handle;
    session.ActiveProtocol = protocol;
    session.SendPci = PciOf(protocol);
    if (Card_StatusSucceeded(Card_SelectApplication()) && session.CardType != CARD_TYPE_NONE) {
        card->CardType = session.CardType;
        card->PinState = Card_PinState();
    }
    session.Card = own_card;
    session.ActiveProtocol = own_protocol;
    session.SendPci = own_pci;
    session.CardType = own_type;
    SCardDisconnect(handle, SCARD_LEAVE_CARD);
    return 0;
}

DWORD Card_PinState() {
    BYTE le = 0;
    BYTE response[kApduResponseCapacity];
    return Card_SendAPDU(0x00, 0x20, 0x01, 0x28, 0, &le, nullptr, response, 0);
}

void Card_CloseConnection(bool reset) {
    CardSession& session = Session();
    if (session.Card != 0) {
        SCardDisconnect(session.Card, reset ? SCARD_RESET_CARD : SCARD_LEAVE_CARD);
        session.Card = 0;
    }
    session.PinVerified = 0;
    session.ConnectionCount = 0;
    if (session.ContextValid != 0) {
        SCardReleaseContext(session.Context);
    }
    session.Context = 0;
    session.ContextValid = 0;
}

}  // namespace kelm::card
