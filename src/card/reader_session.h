// The process-wide card session: PC/SC context, the exclusive connection to one card, its
// protocol, the card type, the connection counter and the PIN-verified flag.
#pragma once

#include <cstddef>

#include "kelm/windows_types.h"

namespace kelm::card {

constexpr size_t kReaderListSize = 512;
constexpr size_t kReaderNameSize = 256;
constexpr DWORD READER_TYPE_PLAIN = 1;
constexpr DWORD READER_TYPE_PINPAD = 2;

struct CardSession {
    SCARDCONTEXT Context;
    int ContextValid;
    SCARDHANDLE Card;
    DWORD ActiveProtocol;
    const SCARD_IO_REQUEST* SendPci;
    char ReaderList[kReaderListSize];
    const char* CurrentReader;            // the reader of the connection (ConnectedReader)
    char ConnectedReader[kReaderNameSize];  // its name, cut to the buffer
    int ConnectionCount;
    DWORD CardType;
    DWORD ReaderType;  // starts as READER_TYPE_PLAIN
    int PinVerified;
};

CardSession& Session();

// Makes sure a supported card is connected. 1: connected; 0: no card (or the user cancelled),
// last error 0; otherwise a PC/SC error code, also set as last error. Only CRYPT_SILENT in
// dwFlags is looked at: it suppresses every message box and retry question.
int Init_PCSC_Object(DWORD dwFlags);

// Connects the session to the card in `reader`, whatever connection it had: a cold reset and an
// exclusive connection as Init_PCSC_Object makes them, and the reader type from the registry.
// Shows no message. 1: connected to a supported card; 0: no such card there; otherwise the
// PC/SC error of the context. The PIN-verified flag starts cleared.
int Card_ConnectReader(const char* reader);

// Disconnects the card, leaving it in the reader, and forgets the card handle. The PC/SC
// context stays; the next Init_PCSC_Object reconnects through its failing probe.
void Card_Disconnect();

// Ends the session for the whole process, as a provider release does: counter - 1, disconnect
// (card left in the reader), card handle and PIN-verified flag cleared, context released,
// then a one-second wait.
void End_CardSession();

// The twelve localized texts, loaded once per process in the system's language.
void LoadLocalizedStrings();
// The localized text of string number `id` (200..235; any column maps to the loaded one).
const char* LocalizedText(UINT id);

}  // namespace kelm::card
