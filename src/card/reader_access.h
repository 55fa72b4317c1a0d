// Readers one by one, for callers that offer each reader's card on its own rather than taking
// the first card found: the reader list, the reader the user configured, what card a reader
// holds (learnt without taking the session away from its card), the PIN's state, and the end of
// a connection without the provider's settling pause.
#pragma once

#include <string>
#include <vector>

#include "kelm/windows_types.h"

namespace kelm::card {

// The PC/SC readers in the service's order: 0, or the PC/SC error (SCARD_E_NO_READERS_AVAILABLE
// when there are none).
DWORD Card_ListReaderNames(std::vector<std::string>* names);

// The reader "sReaderName" names when the value is longer than one character; empty otherwise.
std::string Card_ConfiguredReader();

// The reader type "iReaderType" gives (READER_TYPE_PINPAD for a PIN-pad reader), else
// READER_TYPE_PLAIN.
DWORD Card_ConfiguredReaderType();

// What a reader holds: the card type (CARD_TYPE_NONE for a card that answers none of the
// applications) and, for a supported card, its PIN state as Card_PinState reports it.
struct ReaderCard {
    DWORD CardType;
    DWORD PinState;
};

// Examines the card in `reader` over a shared connection of its own, then leaves it as it was;
// the session keeps its own connection and card type. 0, or the PC/SC error of the connection
// (SCARD_E_NO_SMARTCARD for an empty reader, SCARD_E_SHARING_VIOLATION for a card another
// program holds exclusively).
DWORD Card_ExamineReader(const char* reader, ReaderCard* card);

// VERIFY without a PIN on the session's card: 0 when the card has the PIN in this connection,
// 0x63Cx with x tries left, 0x6620 when locked, or the exchange's error. No try is spent.
DWORD Card_PinState();

// Ends the session's connection and releases its context, resetting the card when `reset` (so
// that it forgets a verified PIN), else leaving it. No pause; the next Card_ConnectReader or
// Init_PCSC_Object starts afresh.
void Card_CloseConnection(bool reset);

}  // namespace kelm::card
