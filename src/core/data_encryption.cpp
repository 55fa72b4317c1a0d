#include "core/data_encryption.h"

#include <cstring>

#include "card/rsa_operations.h"
#include "core/context_records.h"
#include "core/hash_lifecycle.h"
#include "core/new_keys.h"
#include "core/secure_wipe.h"
#include "crypto/cipher_object.h"
#include "kelm/winapi.h"

namespace kelm::core {
namespace {

constexpr DWORD kBadData = static_cast<DWORD>(NTE_BAD_DATA);
constexpr DWORD kDesBlock = 8;
constexpr DWORD kPkcs1Overhead = 11;  // 00 02, at least eight padding bytes, 00

// The caller's input copied aside: the cipher reads the copy and writes into the caller's
// buffer. Wiped and freed when it goes out of scope, whatever path the call takes.
class InputCopy {
public:
    InputCopy(const BYTE* data, DWORD length)
        : bytes_(static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, length != 0 ? length : 1))), length_(length) {
        if (bytes_ != nullptr && length != 0) {
            std::memcpy(bytes_, data, length);
        }
    }
    ~InputCopy() {
        if (bytes_ != nullptr) {
            SecureZero(bytes_, length_);
            LocalFree(bytes_);
        }
    }
    InputCopy(const InputCopy&) = delete;
    InputCopy& operator=(const InputCopy&) = delete;
    BYTE* bytes() const { return bytes_; }

private:
    BYTE* bytes_;
    DWORD length_;
};

bool IsBlockMode(const KeyCTX* key) { return key->Mode == CRYPT_MODE_CBC || key->Mode == CRYPT_MODE_ECB; }

// Feeds the plaintext to the hash, if any, and finishes it with the final call. The running
// state is started even for no data, so that a final call alone fixes the empty message's value.
DWORD HashPlaintext(HashCTX* hash, const BYTE* data, DWORD length, BOOL final) {
    if (hash == nullptr) {
        return 0;
    }
    const DWORD status = HashObject_Feed(hash, data, length);
    if (status == 0 && final) {
        HashObject_Finish(hash);
    }
    return status;
}

// The ciphertext length a symmetric encryption of n bytes produces, or 0 with *error set when
// the mode cannot take n bytes in this call.
DWORD SymmetricOutputLength(const KeyCTX* key, DWORD n, BOOL final, DWORD* error) {
    const bool partial = n % kDesBlock != 0;
    if (partial && (key->Mode == CRYPT_MODE_ECB || (!final && IsBlockMode(key)))) {
        *error = kBadData;
        return 0;
    }
    if (key->Mode == CRYPT_MODE_CBC && final) {
        const DWORD padded = n - n % kDesBlock + kDesBlock;
        if (padded < n) {  // a length at the very top of the range has no room for its padding
            *error = kBadData;
            return 0;
        }
        return padded;
    }
    return n;
}

DWORD EncryptSymmetric(KeyCTX* key, HashCTX* hash, BOOL final, BYTE* data, DWORD* length, DWORD capacity) {
    const DWORD n = *length;
    DWORD error = 0;
    const DWORD out_length = SymmetricOutputLength(key, n, final, &error);
    if (error != 0) {
        return error;
    }
    if (data == nullptr || out_length > capacity) {
        *length = out_length;
        return ERROR_MORE_DATA;
    }
    if (const DWORD status = HashPlaintext(hash, data, n, final); status != 0) {
        return status;
    }
    const InputCopy copy(data, n);
    if (copy.bytes() == nullptr) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (key->EncryptReset != 0) {
        crypto::CiphObject_CiphReset(key, crypto::CIPH_ENCRYPT);
    }
    if (crypto::CiphObject_CiphUpdate(key, crypto::CIPH_ENCRYPT, copy.bytes(), n, data, length) != 0) {
        return kBadData;
    }
    if (final) {
        DWORD extra = 0;
        if (!crypto::CiphObject_CiphFinal(key, crypto::CIPH_ENCRYPT, data + *length, &extra)) {
            return GetLastError();
        }
        *length += extra;
    }
    return 0;
}

DWORD DecryptSymmetric(KeyCTX* key, BOOL final, BYTE* data, DWORD* length) {
    const InputCopy copy(data, *length);
    if (copy.bytes() == nullptr) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (key->DecryptReset != 0) {
        crypto::CiphObject_CiphReset(key, crypto::CIPH_DECRYPT);
    }
    if (crypto::CiphObject_CiphUpdate(key, crypto::CIPH_DECRYPT, copy.bytes(), *length, data, length) != 0) {
        return kBadData;
    }
    if (final && key->Mode == CRYPT_MODE_CBC && *length < kDesBlock) {
        return kBadData;
    }
    // The padding check looks at the last block; the other modes examine nothing.
    BYTE* last_block = key->Mode == CRYPT_MODE_CBC ? data + *length - kDesBlock : data;
    if (final && !crypto::CiphObject_CiphFinal(key, crypto::CIPH_DECRYPT, last_block, length)) {
        return kBadData;
    }
    return 0;
}

// The key's container name, terminated, for the card calls.
struct CardContainerName {
    char text[kContainerNameEntry];
};
CardContainerName NameOf(const KeyCTX* key) {
    CardContainerName name{};
    std::memcpy(name.text, key->ContainerName, kContainerNameMax);
    return name;
}

// The card's public-key operation always takes and gives one 1024-bit block, whatever the key's
// length; the message limit and the size reported follow the key's own block length.
DWORD EncryptRsa(KeyCTX* key, HashCTX* hash, BOOL final, BYTE* data, DWORD* length, DWORD capacity) {
    const DWORD n = *length;
    const DWORD block = key->BlockLen / 8;
    // An empty message is refused as a bad length: the card's decryption refuses a block that
    // carries no message byte, so its ciphertext could never be decrypted here.
    if (n == 0 || block < kPkcs1Overhead || n > block - kPkcs1Overhead) {
        return kBadData;
    }
    if (data == nullptr || block > capacity) {
        *length = block;
        return ERROR_MORE_DATA;
    }
    if (const DWORD status = HashPlaintext(hash, data, n, final); status != 0) {
        return status;
    }
    const InputCopy copy(data, n);
    if (copy.bytes() == nullptr) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    BYTE result[card::kRsaBlock1024];
    DWORD result_length = n;
    const DWORD status = card::RSA_CardEncrypt(NameOf(key).text, key->Algid, &result_length, copy.bytes(), result);
    if (status != 0 || result_length > capacity) {
        return kBadData;
    }
    std::memcpy(data, result, result_length);
    *length = result_length;
    return 0;
}

// The ciphertext arrives least significant byte first and goes to the card the other way round.
DWORD DecryptRsa(KeyCTX* key, BYTE* data, DWORD* length, DWORD prov_flags) {
    if (*length != key->KeyLen / 8) {
        return kBadData;
    }
    card::CardConversation conversation(std::defer_lock);
    if (const DWORD status = Key_EnsurePin(prov_flags, conversation); status != 0) {
        return status;
    }
    const InputCopy copy(data, *length);
    if (copy.bytes() == nullptr) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    SwitchHiLo(copy.bytes(), *length);
    return card::RSA_CardDecrypt(NameOf(key).text, key->Algid, length, copy.bytes(), data);
}

}  // namespace

bool Key_BelongsTo(const KeyCTX* key, const ProvCTX* prov) {
    return std::memcmp(key->ContainerName, prov->ContainerName, kContainerNameMax) == 0;
}

DWORD Key_Encrypt(KeyCTX* key, HashCTX* hash, BOOL final, BYTE* data, DWORD* length, DWORD capacity) {
    return IsRsaKey(key) ? EncryptRsa(key, hash, final, data, length, capacity)
                         : EncryptSymmetric(key, hash, final, data, length, capacity);
}

DWORD Key_Decrypt(KeyCTX* key, HashCTX* hash, BOOL final, BYTE* data, DWORD* length, DWORD prov_flags) {
    if (data == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    const DWORD status =
        IsRsaKey(key) ? DecryptRsa(key, data, length, prov_flags) : DecryptSymmetric(key, final, data, length);
    return status != 0 ? status : HashPlaintext(hash, data, *length, final);
}

}  // namespace kelm::core
