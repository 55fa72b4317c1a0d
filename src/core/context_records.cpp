#include "core/context_records.h"

#include <algorithm>
#include <cstring>

#include "core/secure_wipe.h"
#include "crypto/hash_engine.h"
#include "kelm/winapi.h"

namespace kelm::core {

namespace {

struct KeyDefaults {
    ALG_ID Requested;
    ALG_ID Stored;
    DWORD BlockLen;
    DWORD IvLen;
    DWORD Padding;
    DWORD Mode;
    DWORD ModeBits;
    DWORD KeyLen;
    bool HasKeyData;
};

// The RSA lengths are placeholders; whoever opens or generates the key sets them from the
// card's size code.
constexpr KeyDefaults kKeyDefaults[] = {
    {AT_KEYEXCHANGE, CALG_RSA_KEYX, 1024, 0, 0, 0, 0, 1024, false},
    {CALG_RSA_KEYX, CALG_RSA_KEYX, 1024, 0, 0, 0, 0, 1024, false},
    {AT_SIGNATURE, CALG_RSA_SIGN, 1024, 0, 0, 0, 0, 1024, false},
    {CALG_RSA_SIGN, CALG_RSA_SIGN, 1024, 0, 0, 0, 0, 1024, false},
    {CALG_DES, CALG_DES, 64, 64, PKCS5_PADDING, CRYPT_MODE_CBC, 64, 64, true},
    {CALG_3DES, CALG_3DES, 64, 64, PKCS5_PADDING, CRYPT_MODE_CBC, 64, 192, true},
    {CALG_3DES_112, CALG_3DES_112, 64, 64, PKCS5_PADDING, CRYPT_MODE_CBC, 64, 128, true},
};

struct HashLength {
    ALG_ID Algid;
    DWORD HashLen;
};

constexpr HashLength kHashLengths[] = {
    {CALG_MD2, 16}, {CALG_MD5, 16}, {CALG_SHA1, 20}, {CALG_MAC, 8}, {CALG_SSL3_SHAMD5, 36}, {CALG_SHA_256, 32},
};

template <typename T>
T* AllocRecord(size_t bytes = sizeof(T)) {
    return static_cast<T*>(LocalAlloc(LPTR, bytes));
}

void WipeAndFree(void* memory, size_t length) {
    if (memory != nullptr) {
        SecureZero(memory, length);
        LocalFree(memory);
    }
}

}  // namespace

KeyCTX* Alloc_Init_KeyCTX(ALG_ID algid) {
    const KeyDefaults* row = nullptr;
    for (const KeyDefaults& candidate : kKeyDefaults) {
        if (candidate.Requested == algid) {
            row = &candidate;
            break;
        }
    }
    if (row == nullptr) {
        SetLastError(static_cast<DWORD>(NTE_BAD_ALGID));
        return nullptr;
    }
    KeyCTX* key = AllocRecord<KeyCTX>();
    if (key == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    key->Algid = row->Stored;
    key->BlockLen = row->BlockLen;
    key->IvLen = row->IvLen;
    key->Padding = row->Padding;
    key->Mode = row->Mode;
    key->ModeBits = row->ModeBits;
    key->KeyLen = row->KeyLen;
    key->EncryptReset = 1;
    key->DecryptReset = 1;
    if (row->HasKeyData) {
        key->KeyData = AllocRecord<BYTE>(row->KeyLen / 8);
        if (key->KeyData == nullptr) {
            LocalFree(key);
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        key->KeyDataSize = row->KeyLen / 8;
    }
    return key;
}

void Free_KeyCTX(KeyCTX* key) {
    if (key == nullptr) {
        return;
    }
    WipeAndFree(key->KeyData, key->KeyDataSize);
    WipeAndFree(key->Salt, key->SaltSize);
    // The whole record: IV, chaining values, the pending block, the status copy and the name.
    WipeAndFree(key, sizeof(KeyCTX));
}

HashCTX* Alloc_Init_HashCTX(ALG_ID algid) {
    DWORD length = 0;
    for (const HashLength& row : kHashLengths) {
        if (row.Algid == algid) {
            length = row.HashLen;
            break;
        }
    }
    if (length == 0) {
        SetLastError(static_cast<DWORD>(NTE_BAD_ALGID));
        return nullptr;
    }
    HashCTX* hash = AllocRecord<HashCTX>();
    if (hash == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    hash->HashValue = AllocRecord<BYTE>(length);
    if (hash->HashValue == nullptr) {
        LocalFree(hash);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    hash->Algid = algid;
    hash->HashLen = length;
    return hash;
}

void Free_HashCTX(HashCTX* hash) {
    if (hash == nullptr) {
        return;
    }
    // A hash destroyed before it was finished still holds running state over the caller's data.
    WipeAndFree(hash->HashState, sizeof(crypto::HASH_STATE));
    hash->HashState = nullptr;
    // A MAC value or a digest of secret data is as sensitive as the key that made it.
    WipeAndFree(hash->HashValue, hash->HashLen);
    hash->HashValue = nullptr;
    WipeAndFree(hash->MacKey, hash->MacKeyLen / 8 + 1);
    hash->MacKey = nullptr;
    // MacIV and the rest of the record.
    WipeAndFree(hash, sizeof(HashCTX));
}

ContainerCTX* Alloc_Init_ContainerCTX(const char* name, DWORD reserved, DWORD dwFlags) {
    if (name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    ContainerCTX* container = AllocRecord<ContainerCTX>();
    if (container == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::memcpy(container->Name, name, strnlen(name, kContainerNameMax));
    container->Reserved = reserved;
    container->dwFlags = dwFlags;
    return container;
}

void Free_ContainerCTX(ContainerCTX* container) {
    // The random seed and the status record are the secrets here; the rest goes with them.
    WipeAndFree(container, sizeof(ContainerCTX));
}

ProvCTX* Alloc_ProvCTX() {
    ProvCTX* prov = AllocRecord<ProvCTX>();
    if (prov == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    prov->ProvType = PROV_RSA_FULL;
    return prov;
}

void Free_ProvCTX(ProvCTX* prov) {
    if (prov == nullptr) {
        return;
    }
    if (prov->ContainerNames != nullptr) {
        LocalFree(prov->ContainerNames);
    }
    WipeAndFree(prov, sizeof(ProvCTX));
}

void SwitchHiLo(BYTE* buffer, size_t length) {
    if (buffer == nullptr || length < 2) {
        return;
    }
    std::reverse(buffer, buffer + length);
}

}  // namespace kelm::core
