#include "core/hash_lifecycle.h"

#include <algorithm>
#include <cstring>

#include "core/context_records.h"
#include "core/secure_wipe.h"
#include "crypto/hash_engine.h"
#include "kelm/winapi.h"

namespace kelm::core {
namespace {

// The key's bytes, (KeyLen + 7) / 8 of them, never more than its KeyData holds.
DWORD KeyBytes(const KeyCTX* key) { return std::min((key->KeyLen + 7) / 8, key->KeyDataSize); }

void DropRunningState(HashCTX* hash) {
    if (hash->HashState != nullptr) {
        SecureZero(hash->HashState, sizeof(crypto::HASH_STATE));
        LocalFree(hash->HashState);
        hash->HashState = nullptr;
    }
}

}  // namespace

DWORD HashObject_TakeMacKey(HashCTX* hash, const KeyCTX* key) {
    if (key->KeyData == nullptr) {
        return static_cast<DWORD>(NTE_BAD_KEY);
    }
    // MacKeyLen/8 + 1 bytes, as the record's release expects.
    auto* copy = static_cast<BYTE*>(LocalAlloc(LPTR, key->KeyLen / 8 + 1));
    if (copy == nullptr) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    std::memcpy(copy, key->KeyData, KeyBytes(key));
    hash->MacKey = copy;
    hash->MacKeyLen = key->KeyLen;
    hash->MacKeyAlgid = key->Algid;
    std::memcpy(hash->MacIV, key->IV, sizeof hash->MacIV);
    return 0;
}

DWORD HashObject_Feed(HashCTX* hash, const BYTE* data, DWORD length) {
    if (hash->HashState == nullptr) {
        auto* state = static_cast<crypto::HASH_STATE*>(LocalAlloc(LPTR, sizeof(crypto::HASH_STATE)));
        if (state == nullptr) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        crypto::Hash_Init(state, hash->Algid, hash->MacIV);
        hash->HashState = state;
    }
    crypto::Hash_Update(hash->HashState, data, length, hash->MacKey, hash->MacKeyAlgid);
    return 0;
}

DWORD HashObject_FeedKey(HashCTX* hash, const KeyCTX* key) {
    if (key->KeyData == nullptr) {
        return static_cast<DWORD>(NTE_BAD_KEY);
    }
    const DWORD length = KeyBytes(key);
    auto* reversed = static_cast<BYTE*>(LocalAlloc(LPTR, length + 1));
    if (reversed == nullptr) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    std::memcpy(reversed, key->KeyData, length);
    SwitchHiLo(reversed, length);
    const DWORD status = HashObject_Feed(hash, reversed, length);
    SecureZero(reversed, length);
    LocalFree(reversed);
    return status;
}

bool HashObject_Finish(HashCTX* hash) {
    if (hash->Finished == 0 && hash->HashState != nullptr) {
        // An identifier without an algorithm (CALG_SSL3_SHAMD5) delivers nothing: its value
        // stays as it was, zero unless set.
        BYTE digest[32];  // the longest digest the engine delivers
        DWORD length = 0;
        crypto::Hash_Final(hash->HashState, digest, &length);
        std::memcpy(hash->HashValue, digest, std::min(length, hash->HashLen));
        SecureZero(digest, sizeof digest);
        DropRunningState(hash);
        hash->Finished = 1;
    }
    return hash->Finished != 0;
}

const BYTE* HashObject_ReadValue(HashCTX* hash) {
    HashObject_Finish(hash);
    hash->Finished = 1;
    return hash->HashValue;
}

void HashObject_SetValue(HashCTX* hash, const BYTE* value) {
    DropRunningState(hash);
    std::memcpy(hash->HashValue, value, hash->HashLen);
    hash->Finished = 1;
}

}  // namespace kelm::core
