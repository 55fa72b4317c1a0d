// Signatures with the card's keys: CKM_RSA_PKCS over a DigestInfo (or other data of at most the
// key's length less 11 bytes), and MD5, SHA-1 and SHA-256 with PKCS #1 v1.5, hashed by our own
// hash engine and signed on the card; in one part or many. Also random bytes from the card.
#include <algorithm>
#include <cstring>

#include "card/card_files.h"
#include "card/pkcs1_blocks.h"
#include "card/rsa_operations.h"
#include "crypto/secure_zero.h"
#include "pkcs11/entry_points.h"
#include "pkcs11/objects.h"
#include "pkcs11/token_card.h"

namespace kelm::pkcs11 {
namespace {

constexpr size_t kPkcs1Overhead = 11;
// Hash engine feeds take a DWORD; longer parts go in pieces.
constexpr CK_ULONG kHashPiece = 1u << 30;
// Random bytes come from the card's GET CHALLENGE (8 a command), this many a card-layer call.
constexpr CK_ULONG kRandomPiece = 240;
constexpr size_t kMaxDigest = 32;

struct HashMechanism {
    CK_MECHANISM_TYPE Mechanism;
    ALG_ID Algid;
    BYTE HashKind;
};
constexpr HashMechanism kHashMechanisms[] = {
    {CKM_MD5_RSA_PKCS, CALG_MD5, card::HASH_KIND_MD5},
    {CKM_SHA1_RSA_PKCS, CALG_SHA1, card::HASH_KIND_SHA1},
    {CKM_SHA256_RSA_PKCS, CALG_SHA_256, card::HASH_KIND_SHA256},
};

const HashMechanism* HashOf(CK_MECHANISM_TYPE mechanism) {
    for (const HashMechanism& entry : kHashMechanisms) {
        if (entry.Mechanism == mechanism) {
            return &entry;
        }
    }
    return nullptr;
}

// The signing operation of a session, or CKR_OPERATION_NOT_INITIALIZED.
CK_RV SigningSession(CK_SESSION_HANDLE handle, Session** session, Token** token) {
    const CK_RV rv = FindSession(handle, session, token);
    if (rv != CKR_OK) {
        return rv;
    }
    return (*session)->Sign.Active ? CKR_OK : CKR_OPERATION_NOT_INITIALIZED;
}

void Feed(SignOperation& sign, const BYTE* data, CK_ULONG length) {
    while (length != 0) {
        const CK_ULONG piece = std::min(length, kHashPiece);
        crypto::Hash_Update(&sign.Hash->Running, data, static_cast<DWORD>(piece), nullptr, 0);
        data += piece;
        length -= piece;
    }
}

// Adds a part of the data; CKR_DATA_LEN_RANGE when CKM_RSA_PKCS's data outgrows the key.
CK_RV Take(SignOperation& sign, const BYTE* data, CK_ULONG length) {
    if (sign.Hash != nullptr) {
        Feed(sign, data, length);
        return CKR_OK;
    }
    if (length > sign.KeyBytes - kPkcs1Overhead - sign.Data.size()) {
        return CKR_DATA_LEN_RANGE;
    }
    sign.Data.insert(sign.Data.end(), data, data + length);
    return CKR_OK;
}

// The signature of what the operation took: the size query and a short buffer leave the
// operation as it was; anything else ends it.
CK_RV Finish(Session& session, Token& token, CK_BYTE_PTR signature, CK_ULONG_PTR length) {
    SignOperation& sign = session.Sign;
    const CK_ULONG room = *length;
    *length = sign.KeyBytes;
    if (signature == nullptr) {
        return CKR_OK;
    }
    if (room < sign.KeyBytes) {
        return CKR_BUFFER_TOO_SMALL;
    }
    // The payload: the DigestInfo of the hash, or CKM_RSA_PKCS's data as given.
    std::vector<BYTE> payload;
    if (sign.Hash != nullptr) {
        const HashMechanism* hash = HashOf(sign.Mechanism);
        const card::DigestInfoShape shape = card::DigestInfoFor(hash->HashKind);
        BYTE digest[kMaxDigest] = {};
        crypto::Hash_Final(&sign.Hash->Running, digest, nullptr);
        payload.assign(shape.prefix, shape.prefix + shape.prefix_length);
        payload.insert(payload.end(), digest, digest + shape.hash_length());
    } else {
        payload = sign.Data;
    }
    DWORD signature_length = sign.KeyBytes;
    const CK_RV rv = CardWork(token, Work::NeedsLogin, [&] {
        signature_length = sign.KeyBytes;
        return card::RSA_CardSignPayload(sign.Key.Container.c_str(), sign.Key.KeySlot, payload.data(),
                                         static_cast<DWORD>(payload.size()), &signature_length, signature);
    });
    crypto::SecureZero(payload.data(), payload.size());
    sign.End();
    return rv;
}

}  // namespace

CK_RV SignInit(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key_handle) {
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
    if (session->Sign.Active) {
        return CKR_OPERATION_ACTIVE;
    }
    const HashMechanism* hash = HashOf(mechanism->mechanism);
    if (hash == nullptr && mechanism->mechanism != CKM_RSA_PKCS) {
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
    if (key.Kind != ObjectKind::PrivateKey) {
        return key.Kind == ObjectKind::PublicKey ? CKR_KEY_FUNCTION_NOT_PERMITTED : CKR_KEY_HANDLE_INVALID;
    }
    SignOperation& sign = session->Sign;
    sign.End();
    sign.Mechanism = mechanism->mechanism;
    sign.Key = key;
    sign.KeyBytes = card_key->Where.KeyBits / 8;
    if (hash != nullptr) {
        sign.Hash = std::make_unique<HashState>();
        crypto::Hash_Init(&sign.Hash->Running, hash->Algid, nullptr);
    }
    sign.Active = true;
    return CKR_OK;
}

CK_RV Sign(CK_SESSION_HANDLE handle, CK_BYTE_PTR data, CK_ULONG data_length, CK_BYTE_PTR signature,
           CK_ULONG_PTR signature_length) {
    EntryLock lock(true);
    Session* session = nullptr;
    Token* token = nullptr;
    CK_RV rv = SigningSession(handle, &session, &token);
    if (rv != CKR_OK) {
        return rv;
    }
    SignOperation& sign = session->Sign;
    if (signature_length == nullptr || (data == nullptr && data_length != 0)) {
        sign.End();
        return CKR_ARGUMENTS_BAD;
    }
    // A size query or a short buffer answers before the data is taken, so that the call that
    // follows with a buffer takes it once.
    if (signature == nullptr || *signature_length < sign.KeyBytes) {
        const CK_ULONG room = *signature_length;
        *signature_length = sign.KeyBytes;
        return signature == nullptr || room >= sign.KeyBytes ? CKR_OK : CKR_BUFFER_TOO_SMALL;
    }
    rv = Take(sign, data, data_length);
    if (rv != CKR_OK) {
        sign.End();
        return rv;
    }
    return Finish(*session, *token, signature, signature_length);
}

CK_RV SignUpdate(CK_SESSION_HANDLE handle, CK_BYTE_PTR part, CK_ULONG part_length) {
    EntryLock lock(false);
    Session* session = nullptr;
    Token* token = nullptr;
    CK_RV rv = SigningSession(handle, &session, &token);
    if (rv != CKR_OK) {
        return rv;
    }
    if (part == nullptr && part_length != 0) {
        session->Sign.End();
        return CKR_ARGUMENTS_BAD;
    }
    rv = Take(session->Sign, part, part_length);
    if (rv != CKR_OK) {
        session->Sign.End();
    }
    return rv;
}

CK_RV SignFinal(CK_SESSION_HANDLE handle, CK_BYTE_PTR signature, CK_ULONG_PTR signature_length) {
    EntryLock lock(true);
    Session* session = nullptr;
    Token* token = nullptr;
    const CK_RV rv = SigningSession(handle, &session, &token);
    if (rv != CKR_OK) {
        return rv;
    }
    if (signature_length == nullptr) {
        session->Sign.End();
        return CKR_ARGUMENTS_BAD;
    }
    return Finish(*session, *token, signature, signature_length);
}

CK_RV GenerateRandom(CK_SESSION_HANDLE handle, CK_BYTE_PTR out, CK_ULONG length) {
    EntryLock lock(true);
    Session* session = nullptr;
    Token* token = nullptr;
    const CK_RV rv = FindSession(handle, &session, &token);
    if (rv != CKR_OK) {
        return rv;
    }
    if (out == nullptr && length != 0) {
        return CKR_ARGUMENTS_BAD;
    }
    for (CK_ULONG done = 0; done < length;) {
        const CK_ULONG piece = std::min(length - done, kRandomPiece);
        const CK_RV piece_rv = CardWork(*token, Work::Repeatable, [&] {
            return card::Card_GetChallenge(static_cast<DWORD>(piece), out + done);
        });
        if (piece_rv != CKR_OK) {
            return piece_rv;
        }
        done += piece;
    }
    return CKR_OK;
}

}  // namespace kelm::pkcs11
