// Decryption with the card's exchange key: CKM_RSA_PKCS, one block of the key's length, the
// message handed out once the caller's buffer holds it. A message decrypted for a buffer that
// was too short waits, wiped at the end, for the call with a larger one, so that the card is
// asked once.
#include <cstring>

#include "card/card_files.h"
#include "card/rsa_operations.h"
#include "pkcs11/entry_points.h"
#include "pkcs11/objects.h"
#include "pkcs11/token_card.h"

namespace kelm::pkcs11 {
namespace {

constexpr size_t kPkcs1Overhead = 11;

}  // namespace

CK_RV DecryptInit(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key_handle) {
    EntryLock lock(true);
    Session* session = nullptr;
    Token* token = nullptr;
    CK_RV rv = FindSession(handle, &session, &token);
    if (rv != CKR_OK) {
        return rv;
    }
    if (mechanism == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    if (session->Decrypt.Active) {
        return CKR_OPERATION_ACTIVE;
    }
    if (mechanism->mechanism != CKM_RSA_PKCS) {
        return CKR_MECHANISM_INVALID;
    }
    if (mechanism->pParameter != nullptr || mechanism->ulParameterLen != 0) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    if (!LoginHolds(*token)) {
        return CKR_USER_NOT_LOGGED_IN;
    }
    ObjectRef key{};
    CardKey* card_key = nullptr;
    rv = ResolveObject(State(), *token, key_handle, &key, &card_key);
    if (rv != CKR_OK) {
        return rv == CKR_OBJECT_HANDLE_INVALID ? CKR_KEY_HANDLE_INVALID : rv;
    }
    if (key.Kind == ObjectKind::Certificate) {
        return CKR_KEY_HANDLE_INVALID;
    }
    if (key.Kind != ObjectKind::PrivateKey || key.KeySlot != card::SLOT_EXCHANGE) {
        return CKR_KEY_FUNCTION_NOT_PERMITTED;  // only the exchange key decrypts
    }
    DecryptOperation& decrypt = session->Decrypt;
    decrypt.End();
    decrypt.Key = key;
    decrypt.KeyBytes = card_key->Where.KeyBits / 8;
    decrypt.Active = true;
    return CKR_OK;
}

CK_RV Decrypt(CK_SESSION_HANDLE handle, CK_BYTE_PTR encrypted, CK_ULONG encrypted_length, CK_BYTE_PTR data,
              CK_ULONG_PTR data_length) {
    EntryLock lock(true);
    Session* session = nullptr;
    Token* token = nullptr;
    CK_RV rv = FindSession(handle, &session, &token);
    if (rv != CKR_OK) {
        return rv;
    }
    DecryptOperation& decrypt = session->Decrypt;
    if (!decrypt.Active) {
        return CKR_OPERATION_NOT_INITIALIZED;
    }
    if (data_length == nullptr || (encrypted == nullptr && encrypted_length != 0)) {
        decrypt.End();
        return CKR_ARGUMENTS_BAD;
    }
    if (!decrypt.HavePlain) {
        if (encrypted_length != decrypt.KeyBytes) {
            decrypt.End();
            return CKR_ENCRYPTED_DATA_LEN_RANGE;
        }
        // Without a buffer, the most a block of this key can hold; the card is not asked yet.
        if (data == nullptr) {
            *data_length = decrypt.KeyBytes - kPkcs1Overhead;
            return CKR_OK;
        }
        std::vector<BYTE> plain(decrypt.KeyBytes);
        DWORD length = decrypt.KeyBytes;
        DWORD status = 0;
        rv = CardWork(
            *token, Work::NeedsLogin,
            [&] {
                length = decrypt.KeyBytes;
                return card::RSA_CardDecrypt(decrypt.Key.Container.c_str(), CALG_RSA_KEYX, &length, encrypted,
                                             plain.data());
            },
            &status);
        if (status == static_cast<DWORD>(NTE_BAD_KEY)) {
            rv = CKR_ENCRYPTED_DATA_INVALID;  // not a block type 2 under this key
        }
        if (rv != CKR_OK) {
            decrypt.Plain = std::move(plain);
            decrypt.End();
            return rv;
        }
        plain.resize(length);
        decrypt.Plain = std::move(plain);
        decrypt.HavePlain = true;
    }
    const CK_ULONG room = *data_length;
    *data_length = decrypt.Plain.size();
    if (data == nullptr) {
        return CKR_OK;
    }
    if (room < decrypt.Plain.size()) {
        return CKR_BUFFER_TOO_SMALL;
    }
    if (!decrypt.Plain.empty()) {
        std::memcpy(data, decrypt.Plain.data(), decrypt.Plain.size());
    }
    decrypt.End();
    return CKR_OK;
}

}  // namespace kelm::pkcs11
