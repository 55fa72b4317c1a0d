#include "core/session_keys.h"

#include <cstring>

#include "card/card_files.h"
#include "core/secure_wipe.h"
#include "crypto/hash_engine.h"
#include "kelm/winapi.h"

namespace kelm::core {
namespace {

constexpr size_t kIvBytes = 8;

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

}  // namespace kelm::core
