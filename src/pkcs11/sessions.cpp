// Sessions and the login: sessions of any number on a token, one login per token shared by all
// the application's sessions on it, the PIN sent to the card's VERIFY as the caller gave it
// (never kept, never sent twice), and the card reset when the login ends so that it forgets the
// PIN.
#include <memory>

#include "card/apdu_transport.h"
#include "card/pin_verify.h"
#include "card/reader_access.h"
#include "card/reader_session.h"
#include "pkcs11/entry_points.h"
#include "pkcs11/module.h"
#include "pkcs11/token_card.h"

namespace kelm::pkcs11 {
namespace {

constexpr DWORD kPinLocked = 0x6620;
constexpr DWORD kLastTryFailed = 0x63C0;
constexpr DWORD kWrongPinClass = 0x63C0;

bool HasSessions(const Module& module, CK_SLOT_ID slot) {
    for (const auto& [handle, session] : module.Sessions) {
        if (session->Slot == slot) {
            return true;
        }
    }
    return false;
}

// The login ends with the application's last session on the token.
void EndLoginWithoutSessions(Module& module, Token& token) {
    if (!HasSessions(module, token.Id) && token.LoggedIn) {
        EndLogin(token);
    }
}

CK_RV VerifyResult(DWORD status) {
    if (card::Card_StatusSucceeded(status)) {
        return CKR_OK;
    }
    if (status == kPinLocked || status == kLastTryFailed) {
        return CKR_PIN_LOCKED;
    }
    if ((status & 0xFFF0) == kWrongPinClass) {
        return CKR_PIN_INCORRECT;
    }
    return CardError(status);
}

}  // namespace

CK_RV OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR /*application*/, CK_NOTIFY /*notify*/,
                  CK_SESSION_HANDLE_PTR session) {
    EntryLock lock(true);
    Module* module = Initialized();
    if (module == nullptr) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (session == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    const auto found = module->Tokens.find(slot);
    if (found == module->Tokens.end() || !found->second.Listed) {
        return CKR_SLOT_ID_INVALID;
    }
    if ((flags & CKF_SERIAL_SESSION) == 0) {
        return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    }
    TokenFacts facts;
    if (!ExamineToken(found->second, &facts)) {
        return CKR_TOKEN_NOT_PRESENT;
    }
    auto opened = std::make_unique<Session>();
    opened->Slot = slot;
    opened->Flags = flags & (CKF_SERIAL_SESSION | CKF_RW_SESSION);
    const CK_SESSION_HANDLE handle = module->NextSession++;
    module->Sessions.emplace(handle, std::move(opened));
    *session = handle;
    return CKR_OK;
}

CK_RV CloseSession(CK_SESSION_HANDLE handle) {
    EntryLock lock(true);
    Session* session = nullptr;
    Token* token = nullptr;
    const CK_RV rv = FindSession(handle, &session, &token);
    if (rv != CKR_OK) {
        return rv;
    }
    State().Sessions.erase(handle);
    EndLoginWithoutSessions(State(), *token);
    return CKR_OK;
}

CK_RV CloseAllSessions(CK_SLOT_ID slot) {
    EntryLock lock(true);
    Module* module = Initialized();
    if (module == nullptr) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    const auto found = module->Tokens.find(slot);
    if (found == module->Tokens.end()) {
        return CKR_SLOT_ID_INVALID;
    }
    std::erase_if(module->Sessions, [&](const auto& entry) { return entry.second->Slot == slot; });
    EndLoginWithoutSessions(*module, found->second);
    return CKR_OK;
}

CK_RV GetSessionInfo(CK_SESSION_HANDLE handle, CK_SESSION_INFO_PTR info) {
    EntryLock lock(false);
    Session* session = nullptr;
    Token* token = nullptr;
    const CK_RV rv = FindSession(handle, &session, &token);
    if (rv != CKR_OK) {
        return rv;
    }
    if (info == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    const bool user = LoginHolds(*token);
    const bool rw = (session->Flags & CKF_RW_SESSION) != 0;
    info->slotID = session->Slot;
    info->state = rw ? (user ? CKS_RW_USER_FUNCTIONS : CKS_RW_PUBLIC_SESSION)
                     : (user ? CKS_RO_USER_FUNCTIONS : CKS_RO_PUBLIC_SESSION);
    info->flags = session->Flags;
    info->ulDeviceError = 0;
    return CKR_OK;
}

CK_RV Login(CK_SESSION_HANDLE handle, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG pin_length) {
    EntryLock lock(true);
    Session* session = nullptr;
    Token* token = nullptr;
    CK_RV rv = FindSession(handle, &session, &token);
    if (rv != CKR_OK) {
        return rv;
    }
    if (user == CKU_CONTEXT_SPECIFIC) {
        return CKR_OPERATION_NOT_INITIALIZED;  // no key asks for its own login
    }
    if (user != CKU_USER) {
        return CKR_USER_TYPE_INVALID;  // the card has the user's PIN only
    }
    if (LoginHolds(*token)) {
        return CKR_USER_ALREADY_LOGGED_IN;
    }
    // The PIN's state first, without spending a try: it makes sure the connection is alive (a
    // card pulled and put back is connected again before the PIN goes out, never after) and
    // refuses a locked card at once.
    DWORD pin_state = 0;
    rv = CardWork(*token, Work::Repeatable, [] { return card::Card_PinState(); }, &pin_state);
    if (rv == CKR_TOKEN_NOT_PRESENT || rv == CKR_DEVICE_REMOVED) {
        return rv;
    }
    if (pin_state == kPinLocked || pin_state == kLastTryFailed) {
        return CKR_PIN_LOCKED;
    }
    const card::CardSession& card_session = card::Session();
    const bool pin_pad =
        card_session.CardType == card::CARD_TYPE_PINPAD_CAPABLE && card_session.ReaderType == card::READER_TYPE_PINPAD;
    if (!pin_pad) {
        if (pin == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        // The card compares 16 bytes: a longer PIN would be cut to another one. An empty one
        // cannot be right either. Neither spends a try.
        if (pin_length == 0 || pin_length > card::kPinMaxLength) {
            return CKR_PIN_INCORRECT;
        }
    }
    // Sent once: a VERIFY whose answer is lost is not sent again, since the card may have
    // counted it.
    DWORD status = 0;
    rv = CardWork(
        *token, Work::Once,
        [&] {
            return card::Card_VerifyPINCode(static_cast<DWORD>(pin_pad ? 0 : pin_length),
                                            reinterpret_cast<const char*>(pin));
        },
        &status);
    if (pin_pad && status == card::STATUS_CLASS_NOT_SUPPORTED) {
        card::Session().ReaderType = card::READER_TYPE_PLAIN;  // no pad after all: ask for the PIN
        return CKR_FUNCTION_FAILED;
    }
    if (rv != CKR_DEVICE_REMOVED && rv != CKR_TOKEN_NOT_PRESENT) {
        rv = VerifyResult(status);
    }
    if (rv == CKR_OK) {
        card::Session().PinVerified = 1;
        token->LoggedIn = true;
        token->LoginCard = card::Session().Card;
    }
    return rv;
}

CK_RV Logout(CK_SESSION_HANDLE handle) {
    EntryLock lock(true);
    Session* session = nullptr;
    Token* token = nullptr;
    const CK_RV rv = FindSession(handle, &session, &token);
    if (rv != CKR_OK) {
        return rv;
    }
    if (!token->LoggedIn) {
        return CKR_USER_NOT_LOGGED_IN;
    }
    EndLogin(*token);
    return CKR_OK;
}

}  // namespace kelm::pkcs11
