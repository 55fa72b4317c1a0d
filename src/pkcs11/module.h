// The module's tables: the tokens (one per PC/SC reader), the sessions with their operations,
// and the object handles handed out. One mutex guards them all; an entry point that may speak to
// the card takes the card conversation first and the tables second (EntryLock), never the other
// way round, so that no two threads wait for each other.
#pragma once

#include <compare>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "card/card_conversation.h"
#include "card/card_inventory.h"
#include "crypto/hash_engine.h"
#include "pkcs11/cryptoki.h"

namespace kelm::pkcs11 {

enum class ObjectKind { PrivateKey, PublicKey, Certificate };

// One key slot of one container as the card's inventory shows it, and what has been read of it
// since: its public key and its certificate, each read once.
struct CardKey {
    card::InventorySlot Where;
    bool PublicRead = false;
    std::vector<BYTE> Modulus;
    std::vector<BYTE> Exponent;
    bool CertificateRead = false;
    std::vector<BYTE> Certificate;
};

// What an object handle stands for: a kind of object of one key slot of one container of the
// card in a slot. The card holds no other identity, so a handle stays valid while the card
// holds that object.
struct ObjectRef {
    CK_SLOT_ID Slot;
    std::string Container;
    BYTE KeySlot;
    ObjectKind Kind;
    auto operator<=>(const ObjectRef&) const = default;
};

// A PC/SC reader and the card in it. The card's keys are read once per connection and again
// after the module changed them; the connection is exclusive, so no other program changes the
// card in between.
struct Token {
    CK_SLOT_ID Id = 0;
    std::string Reader;
    bool Listed = true;        // in the reader list when the slots were last listed
    bool LoggedIn = false;     // the application's login (CKU_USER), shared by all its sessions
    SCARDHANDLE LoginCard = 0; // the connection the PIN was given on
    bool KeysRead = false;
    std::vector<std::string> Containers;
    std::vector<CardKey> Keys;
};

struct FindOperation {
    bool Active = false;
    std::vector<CK_OBJECT_HANDLE> Found;
    size_t Next = 0;
};

// The hash engine's running state, wiped when the operation ends.
struct HashState {
    crypto::HASH_STATE Running{};
    ~HashState();
};

struct SignOperation {
    bool Active = false;
    CK_MECHANISM_TYPE Mechanism = 0;
    ObjectRef Key{};
    DWORD KeyBytes = 0;
    std::unique_ptr<HashState> Hash;  // hashing mechanisms
    std::vector<BYTE> Data;           // CKM_RSA_PKCS: the data gathered so far
    void End();
    ~SignOperation() { End(); }
};

struct DecryptOperation {
    bool Active = false;
    ObjectRef Key{};
    DWORD KeyBytes = 0;
    bool HavePlain = false;  // decrypted, waiting for a buffer large enough
    std::vector<BYTE> Plain;
    void End();
    ~DecryptOperation() { End(); }
};

struct Session {
    CK_SLOT_ID Slot = 0;
    CK_FLAGS Flags = 0;
    FindOperation Find;
    SignOperation Sign;
    DecryptOperation Decrypt;
};

struct Module {
    bool Initialized = false;
    std::map<CK_SLOT_ID, Token> Tokens;
    CK_SLOT_ID NextSlot = 1;
    std::map<CK_SESSION_HANDLE, std::unique_ptr<Session>> Sessions;
    CK_SESSION_HANDLE NextSession = 1;
    std::map<ObjectRef, CK_OBJECT_HANDLE> Handles;
    std::map<CK_OBJECT_HANDLE, ObjectRef> Objects;
    CK_OBJECT_HANDLE NextObject = 1;
};

// The module's tables; only under the lock of an EntryLock.
Module& State();

// What an entry point holds while it runs: the card conversation when it may speak to the card,
// then the tables' mutex.
struct EntryLock {
    std::optional<card::CardConversation> Conversation;
    std::unique_lock<std::mutex> Tables;
    explicit EntryLock(bool card);
};

// The initialised module's state for an entry point, or null (CKR_CRYPTOKI_NOT_INITIALIZED).
Module* Initialized();

// The session and its token. CKR_SESSION_HANDLE_INVALID for a handle that is not open.
CK_RV FindSession(CK_SESSION_HANDLE handle, Session** session, Token** token);

// Spaces after the text, cut to the field: PKCS #11's fixed-width strings.
void PadText(CK_UTF8CHAR* field, size_t width, const std::string& text);

}  // namespace kelm::pkcs11
