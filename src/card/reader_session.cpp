// The process-wide card session: finding a reader with a supported card, the cold reset and
// exclusive connection, the messages shown when the service, reader or card is missing, and
// the end of the session.
#include "card/reader_session.h"

#include <cstring>
#include <vector>

#include "card/apdu_transport.h"
#include "card/card_conversation.h"
#include "card/card_files.h"
#include "kelm/winapi.h"
#include "platform/process/trace.h"
#include "resources/resources.h"

namespace kelm::card {
namespace {

constexpr const char* kProviderKey = "SOFTWARE\\VESK\\ROSMAC10";
constexpr DWORD kColdResetSettleMs = 200;
constexpr DWORD kReleaseSettleMs = 1000;
constexpr DWORD kProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;

bool Silent(DWORD flags) { return (flags & CRYPT_SILENT) != 0; }

void ShowBox(const char* text, const char* caption, UINT type) { MessageBoxA(nullptr, text, caption, type); }

void ShowTextBox(UINT text_id) {
    ShowBox(LocalizedText(text_id), LocalizedText(resources::IDS_CAPTION), MB_OK);
}

// The preferred reader ("sReaderName") and the reader type ("iReaderType"). Missing values
// leave the defaults: any reader, the reader type as it was.
std::vector<char> ReadReaderSettings(CardSession& session) {
    std::vector<char> preferred;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kProviderKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        return preferred;
    }
    DWORD size = 0;
    if (RegQueryValueExA(key, "sReaderName", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
        preferred.assign(size + 1, '\0');
        DWORD read = size;
        if (RegQueryValueExA(key, "sReaderName", nullptr, nullptr, reinterpret_cast<BYTE*>(preferred.data()),
                             &read) != ERROR_SUCCESS) {
            preferred.clear();
        }
    }
    DWORD reader_type = 0;
    DWORD type_size = sizeof reader_type;
    if (RegQueryValueExA(key, "iReaderType", nullptr, nullptr, reinterpret_cast<BYTE*>(&reader_type),
                         &type_size) == ERROR_SUCCESS &&
        type_size == sizeof reader_type) {
        session.ReaderType = reader_type;
    }
    RegCloseKey(key);
    return preferred;
}

// A preferred name counts only when it is longer than one character.
bool HasPreferredReader(const std::vector<char>& preferred) {
    return !preferred.empty() && strnlen(preferred.data(), preferred.size()) > 1;
}

// The names of the multi-string, up to the empty name, within `length` bytes.
std::vector<const char*> ReaderNames(const char* list, DWORD length) {
    std::vector<const char*> names;
    size_t position = 0;
    while (position < length && list[position] != '\0') {
        const size_t name_length = strnlen(list + position, length - position);
        if (position + name_length >= length) {
            break;  // unterminated tail: not a name
        }
        names.push_back(list + position);
        position += name_length + 1;
    }
    return names;
}

void RememberReader(CardSession& session, const char* name) {
    std::memset(session.ConnectedReader, 0, sizeof session.ConnectedReader);
    std::strncpy(session.ConnectedReader, name, sizeof session.ConnectedReader - 1);
    session.CurrentReader = session.ConnectedReader;
}

void ChooseSendPci(CardSession& session) {
    if (session.ActiveProtocol == SCARD_PROTOCOL_T0) {
        session.SendPci = &g_rgSCardT0Pci;
    } else if (session.ActiveProtocol == SCARD_PROTOCOL_T1) {
        session.SendPci = &g_rgSCardT1Pci;
    }
}

enum class Attempt { Connected, NextReader, PreferredFailed };

// Cold reset, exclusive connection and application selection on one reader.
Attempt TryReader(CardSession& session, const char* reader, bool preferred) {
    SCARDHANDLE shared = 0;
    DWORD protocol = 0;
    if (SCardConnectA(session.Context, reader, SCARD_SHARE_SHARED, kProtocols, &shared, &protocol) ==
        SCARD_S_SUCCESS) {
        // Unpowering twice makes sure the card starts from a cold reset on the next connect.
        SCardDisconnect(shared, SCARD_UNPOWER_CARD);
        SCardDisconnect(shared, SCARD_UNPOWER_CARD);
    }
    Sleep(kColdResetSettleMs);

    SCARDHANDLE card = 0;
    DWORD active = 0;
    if (SCardConnectA(session.Context, reader, SCARD_SHARE_EXCLUSIVE, kProtocols, &card, &active) !=
        SCARD_S_SUCCESS) {
        if (preferred) {
            // Shown even for silent callers: the configured reader cannot be reached at all.
            ShowBox(reader, LocalizedText(resources::IDS_READER_UNAVAILABLE), MB_OK);
            return Attempt::PreferredFailed;
        }
        if (session.Card != 0) {
            SCardDisconnect(session.Card, SCARD_LEAVE_CARD);
            session.Card = 0;
        }
        return Attempt::NextReader;
    }
    session.Card = card;
    session.ActiveProtocol = active;
    ChooseSendPci(session);
    if (Card_StatusSucceeded(Card_SelectApplication()) && session.CardType != CARD_TYPE_NONE) {
        RememberReader(session, reader);
        return Attempt::Connected;
    }
    SCardDisconnect(session.Card, SCARD_LEAVE_CARD);
    session.Card = 0;
    return Attempt::NextReader;
}

}  // namespace

int Init_PCSC_Object(DWORD dwFlags) {
    platform::Trace("begin Init_PCSC_Object()");
    // Probing, connecting and selecting the application is one conversation: another thread
    // neither sends commands into it nor connects a second time while it runs.
    const CardConversation conversation;
    CardSession& session = Session();
    LoadLocalizedStrings();

    // A live connection answers the selection of the container directory.
    if (Card_StatusSucceeded(Card_SelectFile(FILE_HI, DIRECTORY_FILE_LO))) {
        ++session.ConnectionCount;
        return 1;
    }

    // The probe failed: a handle or context left from a connection that went away (card
    // pulled, service restarted) would hold the reader or leak; drop both before starting over.
    if (session.Card != 0) {
        SCardDisconnect(session.Card, SCARD_LEAVE_CARD);
        session.Card = 0;
    }
    if (session.ContextValid != 0) {
        SCardReleaseContext(session.Context);
        session.Context = 0;
    }
    session.ContextValid = 0;
    std::vector<char> preferred = ReadReaderSettings(session);
    bool use_preferred = HasPreferredReader(preferred);
    const bool silent = Silent(dwFlags);

    LONG rc = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &session.Context);
    if (rc != SCARD_S_SUCCESS) {
        SetLastError(static_cast<DWORD>(rc));
        if (!silent) {
            session.Context = 0;
            session.ContextValid = 0;
            ShowTextBox(resources::IDS_NO_SERVICE);
            return static_cast<int>(rc);
        }
        // Silent: the listing below fails on the unusable context and reports that instead.
    } else {
        session.ContextValid = 1;
    }

    for (;;) {
        std::memset(session.ReaderList, 0, sizeof session.ReaderList);
        DWORD list_length = sizeof session.ReaderList;
        rc = SCardListReadersA(session.Context, nullptr, session.ReaderList, &list_length);
        if (rc != SCARD_S_SUCCESS) {
            if (!silent) {
                ShowTextBox(resources::IDS_NO_READER);
            }
            SCardReleaseContext(session.Context);
            session.Context = 0;
            session.ContextValid = 0;
            SetLastError(static_cast<DWORD>(rc));
            return static_cast<int>(rc);
        }
        if (list_length > sizeof session.ReaderList) {
            list_length = sizeof session.ReaderList;
        }
        const std::vector<const char*> readers = ReaderNames(session.ReaderList, list_length);
        session.PinVerified = 0;
        session.ConnectionCount = 0;

        for (const char* listed : readers) {
            const char* reader = use_preferred ? preferred.data() : listed;
            const Attempt attempt = TryReader(session, reader, use_preferred);
            if (attempt == Attempt::Connected) {
                session.ConnectionCount = 1;
                platform::Trace("Init_PCSC_Object() return : TRUE");
                return 1;
            }
            if (attempt == Attempt::PreferredFailed) {
                // Dropped for the rest of this call; the registry keeps it.
                use_preferred = false;
                preferred.clear();
                session.ReaderType = READER_TYPE_PLAIN;
                break;
            }
        }

        if (silent) {
            SetLastError(0);
            return 0;
        }
        const int answer = MessageBoxA(nullptr, LocalizedText(resources::IDS_NO_CARD),
                                       LocalizedText(resources::IDS_CAPTION), MB_RETRYCANCEL);
        if (answer != IDRETRY) {
            SetLastError(0);
            return 0;
        }
        // Retry starts from a new context; the one that found no card is released first so
        // that each retry does not leave a context behind in the service.
        if (session.ContextValid != 0) {
            SCardReleaseContext(session.Context);
        }
        session.Context = 0;
        session.ContextValid = 0;
        rc = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &session.Context);
        if (rc != SCARD_S_SUCCESS) {
            session.Context = 0;
            session.ContextValid = 0;
            ShowTextBox(resources::IDS_NO_SERVICE);
            SetLastError(static_cast<DWORD>(rc));
            return static_cast<int>(rc);
        }
        session.ContextValid = 1;
    }
}

int Card_ConnectReader(const char* reader) {
    platform::Trace("begin Card_ConnectReader()");
    if (reader == nullptr) {
        return 0;
    }
    CardSession& session = Session();
    LoadLocalizedStrings();
    if (session.Card != 0) {
        SCardDisconnect(session.Card, SCARD_LEAVE_CARD);
        session.Card = 0;
    }
    session.PinVerified = 0;
    session.ConnectionCount = 0;
    if (session.ContextValid == 0) {
        const LONG rc = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &session.Context);
        if (rc != SCARD_S_SUCCESS) {
            session.Context = 0;
            return static_cast<int>(rc);
        }
        session.ContextValid = 1;
    }
    ReadReaderSettings(session);
    if (TryReader(session, reader, false) == Attempt::Connected) {
        session.ConnectionCount = 1;
        return 1;
    }
    // No card there, or a context the service no longer knows (pcscd restarted): the next
    // attempt starts from a new context.
    SCardReleaseContext(session.Context);
    session.Context = 0;
    session.ContextValid = 0;
    return 0;
}

void Card_Disconnect() {
    const CardConversation conversation;  // waits for a sequence in flight, never cuts it
    CardSession& session = Session();
    if (session.Card != 0) {
        SCardDisconnect(session.Card, SCARD_LEAVE_CARD);
        session.Card = 0;
    }
    session.PinVerified = 0;
}

void End_CardSession() {
    platform::Trace("begin End_CardSession()");
    {
        // A sequence in flight (another thread's signature, say) ends first; the next one of
        // another context reconnects.
        const CardConversation conversation;
        CardSession& session = Session();
        --session.ConnectionCount;
        if (session.Card != 0) {
            SCardDisconnect(session.Card, SCARD_LEAVE_CARD);
            session.Card = 0;
            session.PinVerified = 0;
        }
        if (session.ContextValid != 0 || session.Context != 0) {
            SCardReleaseContext(session.Context);
            session.Context = 0;
            session.ContextValid = 0;
        }
    }
    // The settle time needs no card: other threads may reconnect and work meanwhile.
    Sleep(kReleaseSettleMs);
}

}  // namespace kelm::card
