#include "core/session_keys.h"

#include <algorithm>
#include <cstring>

#include "card/card_files.h"
#include "core/context_records.h"
#include "core/hash_lifecycle.h"
#include "core/secure_wipe.h"
#include "crypto/hash_engine.h"
#include "kelm/winapi.h"

namespace kelm::core {
namespace {

constexpr size_t kIvBytes = 8;
constexpr size_t kPadBlock = 64;
constexpr BYTE kInnerPad = 0x36;
constexpr BYTE kOuterPad = 0x5C;

// Key length in bytes of a session key id; 0 for anything else.
size_t SessionKeyBytes(ALG_ID algid) {
    switch (algid) {
    case CALG_DES: return 8;
    case CALG_3DES_112: return 16;
    case CALG_3DES: return 24;
    default: return 0;
    }
}

DWORD Fail(DWORD error) {
    SetLastError(error);
    return error;
}

// The hash object's own algorithm, MAC key and IV over one 64-byte block; the digest's length.
DWORD DigestBlock(const HashCTX* hash, const BYTE* block, BYTE* out) {
    crypto::HASH_STATE state{};
    crypto::Hash_Init(&state, hash->Algid, hash->MacIV);
    crypto::Hash_Update(&state, block, kPadBlock, hash->MacKey, hash->MacKeyAlgid);
    DWORD length = 0;
    crypto::Hash_Final(&state, out, &length);
    SecureZero(&state, sizeof state);
    return length;
}

// The three-key triple-DES bytes: H1 over the inner pad block, H2 over the outer, written over
// the start of the inner block, whose first 24 bytes are the key.
DWORD DeriveTripleDesBytes(const HashCTX* hash, BYTE* key_data) {
    BYTE inner[kPadBlock];
    BYTE outer[kPadBlock];
    std::memset(inner, kInnerPad, sizeof inner);
    std::memset(outer, kOuterPad, sizeof outer);
    const size_t value_length = std::min<size_t>(hash->HashLen, kPadBlock);
    for (size_t i = 0; i < value_length; ++i) {
        inner[i] ^= hash->HashValue[i];
        outer[i] ^= hash->HashValue[i];
    }
    // Each digest must be as long as the value: a hash that computes nothing (or a value longer
    // than any digest) fails here, and H1 || H2 then fits the 64-byte block.
    BYTE h1[32];  // the longest digest the engine delivers
    BYTE h2[32];
    const bool complete = DigestBlock(hash, inner, h1) == value_length && DigestBlock(hash, outer, h2) == value_length;
    DWORD status = static_cast<DWORD>(NTE_FAIL);
    if (complete) {
        std::memcpy(inner, h1, value_length);
        std::memcpy(inner + value_length, h2, value_length);
        std::memcpy(key_data, inner, SessionKeyBytes(CALG_3DES));
        status = 0;
    }
    SecureZero(inner, sizeof inner);
    SecureZero(outer, sizeof outer);
    SecureZero(h1, sizeof h1);
    SecureZero(h2, sizeof h2);
    return status;
}

// V's first bytes, or for three-key triple DES the bytes of H1 || H2, into the key's KeyData.
DWORD DeriveKeyBytes(KeyCTX* key, const HashCTX* hash) {
    const size_t key_bytes = SessionKeyBytes(key->Algid);
    if (key->KeyData == nullptr || key->KeyDataSize < key_bytes || hash->HashValue == nullptr) {
        return static_cast<DWORD>(NTE_FAIL);
    }
    if (key->Algid == CALG_3DES) {
        return DeriveTripleDesBytes(hash, key->KeyData);
    }
    if (hash->HashLen < key_bytes) {
        return static_cast<DWORD>(NTE_FAIL);
    }
    std::memcpy(key->KeyData, hash->HashValue, key_bytes);
    return 0;
}

}  // namespace

DWORD CreateSessionKey(ALG_ID algid, BYTE* key_data, size_t key_capacity, BYTE iv[16]) {
    const size_t key_bytes = SessionKeyBytes(algid);
    if (key_bytes == 0) {
        return Fail(static_cast<DWORD>(NTE_BAD_ALGID));
    }
    if (key_data == nullptr || iv == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (key_capacity < key_bytes) {
        return Fail(static_cast<DWORD>(NTE_BAD_LEN));
    }
    BYTE random[kSessionKeyRandomBytes];
    if (card::Card_GetChallenge(kSessionKeyRandomBytes, random) != 0) {
        SecureZero(random, sizeof random);
        return Fail(static_cast<DWORD>(NTE_FAIL));
    }
    constexpr DWORD kHalf = kSessionKeyRandomBytes / 2;
    BYTE md5_first[16];
    BYTE md5_second[16];
    BYTE sha1_second[20];
    crypto::MD5_Digest(kHalf, random, md5_first);
    crypto::MD5_Digest(kHalf, random + kHalf, md5_second);
    crypto::SHA1_Digest(kHalf, random + kHalf, sha1_second);
    std::memset(iv, 0, 16);
    switch (algid) {
    case CALG_DES:
        std::memcpy(key_data, md5_first, 8);
        std::memcpy(iv, md5_first + 8, kIvBytes);
        break;
    case CALG_3DES_112:
        std::memcpy(key_data, md5_first, 16);
        std::memcpy(iv, md5_second + 8, kIvBytes);
        break;
    default:  // CALG_3DES
        std::memcpy(key_data, md5_first, 16);
        std::memcpy(key_data + 16, sha1_second, 8);
        std::memcpy(iv, sha1_second + 8, kIvBytes);
        break;
    }
    SecureZero(random, sizeof random);
    SecureZero(md5_first, sizeof md5_first);
    SecureZero(md5_second, sizeof md5_second);
    SecureZero(sha1_second, sizeof sha1_second);
    return 0;
}

DWORD DeriveSessionKey(const ProvCTX* prov, HashCTX* hash, ALG_ID algid, DWORD flags, KeyCTX** out) {
    if (SessionKeyBytes(algid) == 0) {
        return static_cast<DWORD>(NTE_BAD_ALGID);
    }
    KeyCTX* key = Alloc_Init_KeyCTX(algid);
    if (key == nullptr) {
        return GetLastError();
    }
    if ((flags & CRYPT_EXPORTABLE) != 0) {
        key->Permissions |= CRYPT_EXPORT;
    }
    const DWORD status = HashObject_Finish(hash) ? DeriveKeyBytes(key, hash) : static_cast<DWORD>(NTE_BAD_HASH_STATE);
    if (status != 0) {
        Free_KeyCTX(key);
        return status;
    }
    std::memcpy(key->ContainerName, prov->ContainerName, kContainerNameMax);
    *out = key;
    return 0;
}

}  // namespace kelm::core
