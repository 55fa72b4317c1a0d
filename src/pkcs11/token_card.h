// Speaking to a token's card: the session's connection made the token's, the card's answers
// turned into PKCS #11 codes, a lost connection made again (the login is gone then), the login's
// state, and the card's keys, public keys and certificates read into the token.
#pragma once

#include <functional>

#include "pkcs11/module.h"

namespace kelm::pkcs11 {

// The card status as a PKCS #11 code for work that needs nothing special: CKR_OK for success,
// CKR_DEVICE_REMOVED for a lost connection, CKR_USER_NOT_LOGGED_IN when the card wants the PIN,
// CKR_DEVICE_MEMORY when it has no room, CKR_DEVICE_ERROR otherwise.
CK_RV CardError(DWORD status);

// Whether the session's connection is to the token's reader.
bool Connected(const Token& token);

// Makes the session's connection the token's (a new connection when it was elsewhere or none):
// CKR_OK or CKR_TOKEN_NOT_PRESENT. A new connection forgets the login, the keys read and the
// token's object handles.
CK_RV ConnectToken(Token& token);

// Whether the token's login holds: the PIN was given on the session's present connection, which
// has not been lost, reset or moved to another card since.
bool LoginHolds(const Token& token);

// How card work may be run again after its connection turned out lost.
enum class Work {
    Repeatable,  // connect again and run it once more
    Once,        // connect again, but do not repeat it (a VERIFY the card may have counted)
    NeedsLogin,  // refused at once when the login does not hold; after a new connection, which
                 // has no PIN, CKR_USER_NOT_LOGGED_IN
};

// Runs `work` (which returns a card status) on the token's card, connected first. When the
// status says the connection is gone (the card pulled, or reset by another program), the token
// is connected again and `kind` says what follows; CKR_DEVICE_REMOVED when no card is there any
// more. *status receives the last status.
CK_RV CardWork(Token& token, Work kind, const std::function<DWORD()>& work, DWORD* status = nullptr);

// The facts a token's slot and token information show.
struct TokenFacts {
    DWORD CardType = 0;
    DWORD PinState = 0;  // as card::Card_PinState reports it
    bool PinPad = false;
};
// Looks at the token's card without taking the connection from another token's card: on the
// session's connection when it is the token's, else over a connection of its own. False when no
// supported card is there.
bool ExamineToken(Token& token, TokenFacts* facts);

// Forgets the login and resets the card so that it forgets the PIN too (a card with the PIN
// verified must not be left to the next program).
void EndLogin(Token& token);

// Reads the card's keys into the token unless they are read already.
CK_RV ReadKeys(Token& token);
// Forgets the keys read (after the module changed the card).
void ForgetKeys(Token& token);
// The key of the container's slot, or null.
CardKey* FindKey(Token& token, const std::string& container, BYTE slot);
// Reads the key's public part, or its certificate, unless read already. A connection found lost
// on the way is made again, which forgets the token's keys: then CKR_DEVICE_REMOVED comes back
// and `key` is no longer to be used.
CK_RV ReadPublicKey(Token& token, CardKey& key);
CK_RV ReadCertificate(Token& token, CardKey& key);

}  // namespace kelm::pkcs11
