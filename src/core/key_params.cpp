#include "core/key_params.h"

#include <algorithm>
#include <cstring>

#include "core/data_encryption.h"
#include "core/user_keys.h"
#include "kelm/winapi.h"

namespace kelm::core {
namespace {

constexpr DWORD kBadType = static_cast<DWORD>(NTE_BAD_TYPE);
// A salt is always 11 bytes (88 bits) here.
constexpr DWORD kSaltBytes = 11;
// KP_PERMISSIONS values from 64 up name no permission bit the provider knows.
constexpr DWORD kPermissionLimit = 64;

// The parameter's bytes for the caller under the buffer convention.
DWORD Deliver(const void* value, DWORD size, BYTE* data, DWORD* length) {
    const DWORD stated = *length;
    *length = size;
    if (data == nullptr) {
        return 0;
    }
    if (stated < size) {
        return ERROR_MORE_DATA;
    }
    if (size != 0) {
        std::memcpy(data, value, size);
    }
    return 0;
}

DWORD DeliverDword(DWORD value, BYTE* data, DWORD* length) { return Deliver(&value, sizeof value, data, length); }

bool IsSessionCipher(ALG_ID algid) { return algid == CALG_DES || algid == CALG_3DES || algid == CALG_3DES_112; }

// A new cipher mode, stored first; the key must be a session cipher and the mode one of four.
DWORD SetMode(KeyCTX* key, DWORD mode) {
    key->Mode = mode;
    if (!IsSessionCipher(key->Algid)) {
        return static_cast<DWORD>(NTE_BAD_KEY);
    }
    switch (mode) {
    case CRYPT_MODE_CBC: key->ModeBits = 64, key->BlockLen = 64, key->IvLen = 64; return 0;
    case CRYPT_MODE_ECB: key->ModeBits = 64, key->BlockLen = 64, key->IvLen = 0; return 0;
    case CRYPT_MODE_OFB:
    case CRYPT_MODE_CFB: key->ModeBits = 8, key->BlockLen = 8, key->IvLen = 64; return 0;
    default: return static_cast<DWORD>(NTE_FAIL);
    }
}

DWORD SetSalt(KeyCTX* key, const BYTE* data) {
    if (key->Salt == nullptr) {
        key->Salt = static_cast<BYTE*>(LocalAlloc(LPTR, kSaltBytes));
        if (key->Salt == nullptr) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        key->SaltSize = kSaltBytes;
    }
    std::memcpy(key->Salt, data, kSaltBytes);
    key->SaltLen = kSaltBytes * 8;
    return 0;
}

DWORD IvBytes(const KeyCTX* key) { return std::min<DWORD>(key->IvLen / 8, sizeof key->IV); }

}  // namespace

DWORD KeyParam_Get(const KeyCTX* key, DWORD param, BYTE* data, DWORD* length) {
    const bool rsa = IsRsaKey(key);
    switch (param) {
    case KP_PERMISSIONS: return DeliverDword(key->Permissions, data, length);
    case KP_ALGID: return DeliverDword(key->Algid, data, length);
    case KP_BLOCKLEN: return DeliverDword(key->BlockLen, data, length);
    case KP_KEYLEN: return DeliverDword(key->KeyLen, data, length);
    case KP_CERTIFICATE: return rsa ? KeyCertificate_Read(key, data, length) : static_cast<DWORD>(NTE_BAD_KEY);
    default: break;
    }
    if (rsa) {
        return kBadType;  // the cipher parameters belong to session keys
    }
    switch (param) {
    case KP_IV:
        // An IV of length 0 (ECB) is nothing at all: no bytes and no length.
        return IvBytes(key) == 0 ? 0 : Deliver(key->IV, IvBytes(key), data, length);
    case KP_SALT:
        return Deliver(key->Salt, key->Salt == nullptr ? 0 : std::min(key->SaltLen / 8, key->SaltSize), data, length);
    case KP_PADDING: return DeliverDword(key->Padding, data, length);
    case KP_MODE: return DeliverDword(key->Mode, data, length);
    case KP_MODE_BITS: return DeliverDword(key->ModeBits, data, length);
    default: return kBadType;  // KP_EFFECTIVE_KEYLEN and everything unknown
    }
}

DWORD KeyParam_Set(KeyCTX* key, ContainerCTX* container, DWORD param, const BYTE* data) {
    const bool rsa = IsRsaKey(key);
    switch (param) {
    case KP_PADDING:
        return 0;  // accepted; padding is applied in CBC mode whatever it says
    case KP_PERMISSIONS: {
        if (data == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        DWORD value = 0;
        std::memcpy(&value, data, sizeof value);
        if (value >= kPermissionLimit) {
            return kBadType;
        }
        key->Permissions |= value;
        return 0;
    }
    case KP_CERTIFICATE:
        if (data == nullptr) {
            return kBadType;
        }
        return rsa ? KeyCertificate_Write(key, container, data) : static_cast<DWORD>(NTE_BAD_KEY);
    case KP_IV:
    case KP_SALT:
    case KP_MODE:
    case KP_MODE_BITS:
    case KP_SALT_EX:
        break;
    default:
        return kBadType;  // KP_EFFECTIVE_KEYLEN, the read-only lengths and everything unknown
    }
    if (rsa) {
        return kBadType;
    }
    if (param == KP_MODE_BITS || param == KP_SALT_EX) {
        return 0;  // accepted, nothing changes
    }
    if (data == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    switch (param) {
    case KP_IV: std::memcpy(key->IV, data, IvBytes(key)); return 0;
    case KP_SALT: return SetSalt(key, data);
    default: {  // KP_MODE
        DWORD mode = 0;
        std::memcpy(&mode, data, sizeof mode);
        return SetMode(key, mode);
    }
    }
}

}  // namespace kelm::core
