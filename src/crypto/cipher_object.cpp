#include "crypto/cipher_object.h"

#include <cstring>

#include "crypto/des_block.h"
#include "crypto/des_modes.h"
#include "crypto/secure_zero.h"
#include "kelm/winapi.h"

namespace kelm::crypto {
namespace {

void ClearPending(core::KeyCTX* key) {
    SecureZero(key->Pending, sizeof(key->Pending));
    SecureZero(key->PendingLen, sizeof(key->PendingLen));
}

// The last CBC block: Pending encrypted against the current chaining value.
void EncryptPendingBlock(core::KeyCTX* key, BYTE out[8]) {
    TDEA_SCHEDULE schedule;
    Tdea_SetKey(&schedule, key->KeyLen, key->KeyData);
    uint32_t l = LoadBlockHalf(key->Pending) ^ LoadBlockHalf(key->Chain);
    uint32_t r = LoadBlockHalf(key->Pending + 4) ^ LoadBlockHalf(key->Chain + 4);
    Tdea_EncryptHalves(&schedule, &l, &r);
    StoreBlockHalf(key->Chain, l);
    StoreBlockHalf(key->Chain + 4, r);
    StoreBlockHalf(out, l);
    StoreBlockHalf(out + 4, r);
    SecureZero(&schedule, sizeof(schedule));
}

// Checks and strips PKCS #5 padding from the last plaintext block, from its end backwards; each
// examined pad byte is zeroed and taken off the length, even when a later one turns out wrong.
BOOL RemovePadding(BYTE* buffer, DWORD* length) {
    if (buffer == nullptr || length == nullptr || *length < 8) {
        SetLastError(static_cast<DWORD>(NTE_BAD_DATA));
        return FALSE;
    }
    const BYTE v = buffer[7];
    if (v > 8) {
        SetLastError(static_cast<DWORD>(NTE_BAD_DATA));
        return FALSE;
    }
    for (int i = 0; i < v; ++i) {
        if (buffer[7 - i] != v) {
            SetLastError(static_cast<DWORD>(NTE_BAD_DATA));
            return FALSE;
        }
        buffer[7 - i] = 0;
        --*length;
    }
    return TRUE;
}

}  // namespace

void CiphObject_CiphReset(core::KeyCTX* key, DWORD direction) {
    std::memcpy(key->Chain, key->IV, 8);
    key->CipherState = 0;
    ClearPending(key);
    if (direction == CIPH_ENCRYPT) {
        key->EncryptReset = 1;
        key->EncryptFinal = 0;
    } else {
        key->DecryptReset = 1;
        key->DecryptFinal = 0;
    }
}

int CiphObject_CiphUpdate(core::KeyCTX* key, DWORD direction, const BYTE* in, DWORD length, BYTE* out,
                          DWORD* outLength) {
    if (direction == CIPH_ENCRYPT) {
        key->EncryptReset = 0;
        return DES_EncryptData(key->Mode, key->KeyLen, &key->CipherState, key->KeyData, key->Chain, in, length,
                               out, outLength, key->Pending);
    }
    key->DecryptReset = 0;
    return DES_DecryptData(key->Mode, key->KeyLen, &key->CipherState, key->KeyData, key->Chain, in, length, out,
                           outLength);
}

BOOL CiphObject_CiphFinal(core::KeyCTX* key, DWORD direction, BYTE* buffer, DWORD* length) {
    const bool cbc = key->Mode == CRYPT_MODE_CBC;
    if (direction == CIPH_ENCRYPT) {
        if (cbc && (buffer == nullptr || key->KeyData == nullptr)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        DWORD written = 0;
        if (cbc) {
            EncryptPendingBlock(key, buffer);
            written = 8;
        }
        if (length != nullptr) {
            *length = written;
        }
        key->EncryptFinal = 1;
        key->EncryptReset = 1;
    } else {
        if (cbc && !RemovePadding(buffer, length)) {
            return FALSE;
        }
        key->DecryptFinal = 1;
        key->DecryptReset = 1;
    }
    ClearPending(key);
    return TRUE;
}

}  // namespace kelm::crypto
