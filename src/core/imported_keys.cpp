// Keys taken from CryptoAPI key BLOBs: SIMPLEBLOB session keys unwrapped by the card, and
// PUBLICKEYBLOB keys standing for a slot of the context's container.
#include <cstring>
#include <vector>

#include "card/rsa_operations.h"
#include "core/context_records.h"
#include "core/handles.h"
#include "core/new_keys.h"
#include "core/secure_wipe.h"
#include "kelm/winapi.h"

namespace kelm::core {
namespace {

constexpr BYTE SIMPLEBLOB_TYPE = 1;
constexpr BYTE PUBLICKEYBLOB_TYPE = 6;

DWORD ReadLe32(const BYTE* p) {
    return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
           static_cast<DWORD>(p[3]) << 24;
}

bool IsRsaAlgorithm(ALG_ID algid) { return algid == CALG_RSA_SIGN || algid == CALG_RSA_KEYX; }

ContainerCTX* ContainerOf(const ProvCTX* prov) {
    return static_cast<ContainerCTX*>(Get_CryptoCTX(prov->CHnd, HANDLE_CONTAINER_TYPE, prov->CHnd));
}

// The card key that unwraps a SIMPLEBLOB: its container, algorithm and length in bytes.
struct UnwrappingKey {
    char container[kContainerNameMax];
    ALG_ID algid;
    DWORD bytes;
};

// The given RSA key of the context's container, or else the container's exchange key.
DWORD FindUnwrappingKey(const ProvCTX* prov, const KeyCTX* unwrap, UnwrappingKey* found) {
    if (unwrap != nullptr) {
        if (!IsRsaAlgorithm(unwrap->Algid)) {
            return static_cast<DWORD>(NTE_BAD_KEY);
        }
        if (strncmp(unwrap->ContainerName, prov->ContainerName, kContainerNameMax) != 0) {
            return static_cast<DWORD>(NTE_BAD_KEYSET);
        }
        const size_t offset = unwrap->Algid == CALG_RSA_SIGN ? STATUS_OFFSET_SIGNATURE : STATUS_OFFSET_EXCHANGE;
        if (unwrap->Card_ContainerStatus[offset] == 0) {
            return static_cast<DWORD>(NTE_FAIL);
        }
        std::memcpy(found->container, unwrap->ContainerName, kContainerNameMax);
        found->algid = unwrap->Algid;
        found->bytes = unwrap->KeyLen / 8;
        return 0;
    }
    const ContainerCTX* container = ContainerOf(prov);
    if (container == nullptr) {
        return static_cast<DWORD>(NTE_BAD_KEYSET);
    }
    if (container->Card_ContainerStatus[STATUS_OFFSET_EXCHANGE] != STATUS_USED) {
        return static_cast<DWORD>(NTE_NO_KEY);
    }
    std::memcpy(found->container, container->Name, kContainerNameMax);
    found->algid = CALG_RSA_KEYX;
    found->bytes = KeyBitsOfSizeCode(container->Card_ContainerStatus[STATUS_OFFSET_EXCHANGE + 2]) / 8;
    return 0;
}

// The wrapped key is PKCS #1 type 2 encrypted with the card key, least significant byte first.
DWORD UnwrapSessionKey(const ProvCTX* prov, const BYTE* blob, DWORD length, const KeyCTX* unwrap, KeyCTX* key) {
    if (length < kSimpleBlobHeaderSize) {
        return static_cast<DWORD>(NTE_BAD_DATA);
    }
    if (ReadLe32(blob + kBlobHeaderSize) != CALG_RSA_KEYX) {
        return static_cast<DWORD>(NTE_BAD_ALGID);
    }
    if (key->KeyData == nullptr) {
        return static_cast<DWORD>(NTE_BAD_ALGID);  // only session keys travel in a SIMPLEBLOB
    }
    UnwrappingKey card_key{};
    DWORD error = FindUnwrappingKey(prov, unwrap, &card_key);
    if (error != 0) {
        return error;
    }
    if (length - kSimpleBlobHeaderSize != card_key.bytes) {
        return static_cast<DWORD>(NTE_BAD_DATA);
    }
    std::vector<BYTE> block(blob + kSimpleBlobHeaderSize, blob + length);
    SwitchHiLo(block.data(), block.size());
    std::vector<BYTE> plain(block.size(), 0);
    card::CardConversation conversation(std::defer_lock);
    error = Key_EnsurePin(prov->dwFlags, conversation);
    if (error == 0) {
        DWORD plain_length = card_key.bytes;
        SetLastError(0);
        const DWORD status =
            card::RSA_CardDecrypt(card_key.container, card_key.algid, &plain_length, block.data(), plain.data());
        if (status != 0) {
            error = GetLastError() != 0 ? GetLastError() : status;
        } else if (plain_length != key->KeyDataSize) {
            error = static_cast<DWORD>(NTE_BAD_DATA);  // not a key of the blob's algorithm
        } else {
            std::memcpy(key->KeyData, plain.data(), plain_length);
            key->KeyLen = plain_length * 8;
            std::memcpy(key->ContainerName, card_key.container, kContainerNameMax);
        }
    }
    SecureZero(plain.data(), plain.size());
    SecureZero(block.data(), block.size());
    return error;
}

// The key stands for the slot of its algorithm; only the slot's entry of the status is set.
DWORD AcceptPublicKey(const ProvCTX* prov, const BYTE* blob, DWORD length, KeyCTX* key) {
    ContainerCTX* container = ContainerOf(prov);
    if (container == nullptr) {
        return static_cast<DWORD>(NTE_BAD_KEYSET);
    }
    if (!IsRsaAlgorithm(key->Algid)) {
        return static_cast<DWORD>(NTE_BAD_ALGID);
    }
    if (length < kPublicKeyBlobHeaderSize || ReadLe32(blob + kBlobHeaderSize) != kRsaPublicMagic) {
        return static_cast<DWORD>(NTE_BAD_DATA);
    }
    const DWORD bits = ReadLe32(blob + 12);
    const uint64_t modulus_bytes = (uint64_t{bits} + 7) / 8;
    if (bits == 0 || length - kPublicKeyBlobHeaderSize != modulus_bytes) {
        return static_cast<DWORD>(NTE_BAD_DATA);
    }
    key->KeyLen = key->BlockLen = bits;
    std::memcpy(key->ContainerName, prov->ContainerName, kContainerNameMax);
    std::memset(key->Card_ContainerStatus, 0, kContainerStatusSize);
    const BYTE slot = key->Algid == CALG_RSA_SIGN ? 1 : 2;
    BYTE* entry = key->Card_ContainerStatus + (slot == 1 ? STATUS_OFFSET_SIGNATURE : STATUS_OFFSET_EXCHANGE) - 1;
    // 00 02 01 02 in either slot: no key file, used, 1, a 1024-bit size code.
    entry[1] = STATUS_USED;
    entry[2] = 1;
    entry[3] = 2;
    // The context now sees only this slot: the other one reads as empty until the container is
    // opened again.
    std::memcpy(container->Card_ContainerStatus, key->Card_ContainerStatus, kContainerStatusSize);
    return 0;
}

}  // namespace

DWORD Key_ImportBlob(const ProvCTX* prov, const BYTE* blob, DWORD length, const KeyCTX* unwrap, DWORD flags,
                     KeyCTX** out) {
    if (blob == nullptr) {
        return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    }
    if (length < kBlobHeaderSize) {
        return static_cast<DWORD>(NTE_BAD_DATA);
    }
    if (blob[1] != kBlobVersion) {
        return static_cast<DWORD>(NTE_BAD_VER);
    }
    KeyCTX* key = Alloc_Init_KeyCTX(ReadLe32(blob + 4));
    if (key == nullptr) {
        return GetLastError();
    }
    DWORD error = static_cast<DWORD>(NTE_BAD_TYPE);
    if (blob[0] == SIMPLEBLOB_TYPE) {
        error = UnwrapSessionKey(prov, blob, length, unwrap, key);
    } else if (blob[0] == PUBLICKEYBLOB_TYPE) {
        error = AcceptPublicKey(prov, blob, length, key);
    }
    if (error != 0) {
        Free_KeyCTX(key);
        return error;
    }
    if ((flags & CRYPT_EXPORTABLE) != 0) {
        key->Permissions |= CRYPT_EXPORT;
    }
    *out = key;
    return 0;
}

}  // namespace kelm::core
