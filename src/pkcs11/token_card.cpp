// The token's card: connection, login, errors, and the card's keys read into the token.
#include "pkcs11/token_card.h"

#include <algorithm>
#include <cstring>

#include "card/apdu_transport.h"
#include "card/certificate_storage.h"
#include "card/pin_verify.h"
#include "card/reader_access.h"
#include "card/reader_session.h"
#include "card/rsa_operations.h"
#include "core/key_params.h"

namespace kelm::pkcs11 {
namespace {

constexpr DWORD kPinNotVerified = 0x6982;
constexpr DWORD kDirectoryFull = 0x6A84;
constexpr DWORD kFileFull = 0x6640;

void ForgetObjects(Module& module, CK_SLOT_ID slot) {
    for (auto it = module.Handles.begin(); it != module.Handles.end();) {
        if (it->first.Slot == slot) {
            module.Objects.erase(it->second);
            it = module.Handles.erase(it);
        } else {
            ++it;
        }
    }
}

// After a lost connection: nothing of the old one is trusted.
void LoseConnection(Token& token) {
    card::Card_Disconnect();
    token.LoggedIn = false;
    ForgetKeys(token);
}

}  // namespace

CK_RV CardError(DWORD status) {
    if (card::Card_StatusSucceeded(status)) {
        return CKR_OK;
    }
    if (card::Card_ConnectionLost(status)) {
        return CKR_DEVICE_REMOVED;
    }
    switch (status) {
    case kPinNotVerified:
        return CKR_USER_NOT_LOGGED_IN;
    case kDirectoryFull:
    case kFileFull:
    case static_cast<DWORD>(NTE_NO_MEMORY):
        return CKR_DEVICE_MEMORY;
    case ERROR_NOT_ENOUGH_MEMORY:
        return CKR_HOST_MEMORY;
    default:
        return CKR_DEVICE_ERROR;
    }
}

bool Connected(const Token& token) {
    const card::CardSession& session = card::Session();
    return session.Card != 0 && token.Reader == session.ConnectedReader;
}

CK_RV ConnectToken(Token& token) {
    if (Connected(token)) {
        return CKR_OK;
    }
    token.LoggedIn = false;
    ForgetKeys(token);
    ForgetObjects(State(), token.Id);
    return card::Card_ConnectReader(token.Reader.c_str()) == 1 ? CKR_OK : CKR_TOKEN_NOT_PRESENT;
}

bool LoginHolds(const Token& token) {
    const card::CardSession& session = card::Session();
    return token.LoggedIn && Connected(token) && session.Card == token.LoginCard && session.PinVerified == 1;
}

CK_RV CardWork(Token& token, Work kind, const std::function<DWORD()>& work, DWORD* status) {
    if (status != nullptr) {
        *status = 0;
    }
    CK_RV rv = ConnectToken(token);
    if (rv != CKR_OK) {
        return rv;
    }
    if (kind == Work::NeedsLogin && !LoginHolds(token)) {
        token.LoggedIn = false;
        return CKR_USER_NOT_LOGGED_IN;
    }
    DWORD last = work();
    if (card::Card_ConnectionLost(last)) {
        LoseConnection(token);
        if (ConnectToken(token) != CKR_OK) {
            rv = CKR_DEVICE_REMOVED;
        } else if (kind == Work::NeedsLogin) {
            rv = CKR_USER_NOT_LOGGED_IN;
        } else if (kind == Work::Once) {
            rv = CKR_DEVICE_REMOVED;
        } else {
            last = work();
            rv = CardError(last);
        }
    } else {
        rv = CardError(last);
    }
    if (last == kPinNotVerified) {
        token.LoggedIn = false;
    }
    if (status != nullptr) {
        *status = last;
    }
    return rv;
}

bool ExamineToken(Token& token, TokenFacts* facts) {
    if (Connected(token)) {
        DWORD pin_state = card::Card_PinState();
        if (card::Card_ConnectionLost(pin_state)) {
            LoseConnection(token);
            if (ConnectToken(token) != CKR_OK) {
                return false;
            }
            pin_state = card::Card_PinState();
        }
        const card::CardSession& session = card::Session();
        *facts = {session.CardType, pin_state,
                  session.CardType == card::CARD_TYPE_PINPAD_CAPABLE && session.ReaderType == card::READER_TYPE_PINPAD};
        return true;
    }
    card::ReaderCard examined{};
    if (card::Card_ExamineReader(token.Reader.c_str(), &examined) != 0 ||
        examined.CardType == card::CARD_TYPE_NONE) {
        return false;
    }
    *facts = {examined.CardType, examined.PinState,
              examined.CardType == card::CARD_TYPE_PINPAD_CAPABLE &&
                  card::Card_ConfiguredReaderType() == card::READER_TYPE_PINPAD};
    return true;
}

void EndLogin(Token& token) {
    if (Connected(token)) {
        card::Card_CloseConnection(true);
    }
    token.LoggedIn = false;
    token.LoginCard = 0;
}

CK_RV ReadKeys(Token& token) {
    if (token.KeysRead && Connected(token)) {
        return CKR_OK;
    }
    card::Inventory inventory;
    const CK_RV rv = CardWork(token, Work::Repeatable, [&] { return card::Card_ReadInventory(&inventory); });
    if (rv != CKR_OK) {
        return rv;
    }
    token.Containers = std::move(inventory.Containers);
    token.Keys.clear();
    for (const card::InventorySlot& slot : inventory.Slots) {
        CardKey key;
        key.Where = slot;
        token.Keys.push_back(std::move(key));
    }
    token.KeysRead = true;
    return CKR_OK;
}

void ForgetKeys(Token& token) {
    token.KeysRead = false;
    token.Keys.clear();
    token.Containers.clear();
}

CardKey* FindKey(Token& token, const std::string& container, BYTE slot) {
    for (CardKey& key : token.Keys) {
        if (key.Where.Container == container && key.Where.Slot == slot) {
            return &key;
        }
    }
    return nullptr;
}

CK_RV ReadPublicKey(Token& token, CardKey& key) {
    if (key.PublicRead) {
        return CKR_OK;
    }
    BYTE record[card::kPublicKeyRecordMax] = {};
    DWORD length = 0;
    // Once: a new connection forgets the token's keys, this one with them.
    const std::string container = key.Where.Container;
    const BYTE slot = key.Where.Slot;
    const CK_RV rv = CardWork(token, Work::Once, [&] {
        return card::Card_GetRSAPublicKey(container.c_str(), slot, &length, record, sizeof record);
    });
    if (rv != CKR_OK) {
        return rv;
    }
    card::PublicKeyParts parts{};
    if (!card::SplitPublicKeyRecord(record, length, &parts)) {
        return CKR_DEVICE_ERROR;
    }
    key.Modulus.assign(parts.modulus, parts.modulus + parts.modulus_length);
    key.Exponent.assign(parts.exponent, parts.exponent + parts.exponent_length);
    key.PublicRead = true;
    return CKR_OK;
}

CK_RV ReadCertificate(Token& token, CardKey& key) {
    if (key.CertificateRead) {
        return CKR_OK;
    }
    // The key object the certificate functions take: the container's name and the slot.
    core::KeyCTX record{};
    record.Algid = key.Where.Slot == card::SLOT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX;
    std::memcpy(record.ContainerName, key.Where.Container.data(),
                std::min(key.Where.Container.size(), sizeof record.ContainerName));
    std::vector<BYTE> certificate(key.Where.CertificateLength);
    DWORD length = 0;
    // Once, as for the public key: after a new connection `key` is gone.
    const CK_RV rv = CardWork(token, Work::Once, [&] {
        length = static_cast<DWORD>(certificate.size());
        DWORD result = core::KeyCertificate_Read(&record, certificate.data(), &length);
        if (result == ERROR_MORE_DATA && length <= core::kMaxKeyCertificate) {
            // Longer than when the keys were read: read what the card holds now.
            certificate.assign(length, 0);
            result = core::KeyCertificate_Read(&record, certificate.data(), &length);
        }
        return result == card::STATUS_CERTIFICATE_NOT_FOUND ? 0 : result;
    });
    if (rv != CKR_OK) {
        return rv;
    }
    certificate.resize(std::min<size_t>(length, certificate.size()));
    key.Certificate = std::move(certificate);
    key.CertificateRead = true;
    return CKR_OK;
}

}  // namespace kelm::pkcs11
