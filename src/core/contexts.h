// The records behind the four kinds of CryptoAPI handle. Every record is allocated zero-filled
// from the local heap and released by the Free_ function of its kind, which wipes its secrets.
// Field order is part of the record's definition; keep it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kelm/windows_types.h"

namespace kelm::crypto {
struct HASH_STATE;
}

namespace kelm::core {

// Handle types stored in HANDLE_CTX.HndType.
constexpr DWORD HANDLE_PROVIDER_TYPE = 0;
constexpr DWORD HANDLE_CONTAINER_TYPE = 1;
constexpr DWORD HANDLE_KEY_TYPE = 2;
constexpr DWORD HANDLE_HASH_TYPE = 3;

// Every handle given to a caller is the HANDLE_CTX address XOR this mask.
constexpr uint64_t HANDLE_MASK = 0x5b91c4e75b91c4e7ULL;

constexpr size_t kContainerNameMax = 36;       // characters of a container name
constexpr size_t kContainerNameEntry = 37;     // one name table entry: name and NUL
constexpr size_t kContainerStatusSize = 20;    // Card_ContainerStatus
constexpr size_t kRandSeedSize = 32;

// Card_ContainerStatus: slot entries at 2..10 (signature) and 11..19 (exchange).
constexpr size_t STATUS_OFFSET_SIGNATURE = 3;
constexpr size_t STATUS_OFFSET_EXCHANGE = 12;
constexpr BYTE STATUS_USED = 2;

// The key length a slot entry's size code (the byte two after its status) stands for.
constexpr DWORD KeyBitsOfSizeCode(BYTE size_code) {
    return size_code == 2 ? 1024u : size_code == 4 ? 2048u : 512u;
}

struct HANDLE_CTX {
    void* Context;
    DWORD HndType;
    uint64_t hProv;
};

struct ProvCTX {
    uint64_t CHnd;
    DWORD ProvType;
    char ContainerName[kContainerNameEntry];
    DWORD EnumContainerIndex;
    DWORD ContainerCount;
    char* ContainerNames;  // ContainerCount entries of 37 bytes
    DWORD EnumAlgIndex;
    DWORD dwFlags;
};

struct ContainerCTX {
    char Name[kContainerNameEntry];
    DWORD Reserved;
    DWORD dwFlags;
    HKEY RegKey;  // non-null marks the container as registered; never used as an open key
    DWORD RandSeedLen;
    BYTE RandSeed[kRandSeedSize];
    BYTE Card_ContainerStatus[kContainerStatusSize];
};

struct KeyCTX {
    ALG_ID Algid;
    DWORD BlockLen;
    DWORD IvLen;
    BYTE Chain[16];
    BYTE IV[16];
    BYTE Pending[8];
    DWORD PendingLen[2];
    BYTE Card_ContainerStatus[kContainerStatusSize];
    DWORD Padding;
    DWORD Mode;
    DWORD ModeBits;
    DWORD CipherState;
    DWORD Permissions;
    DWORD SaltLen;
    BYTE* Salt;
    DWORD KeyLen;
    BYTE* KeyData;
    DWORD EncryptReset;
    DWORD EncryptFinal;
    DWORD DecryptReset;
    DWORD DecryptFinal;
    char ContainerName[kContainerNameMax];  // not NUL-terminated when 36 characters long
    // Allocated sizes of KeyData and Salt in bytes, recorded by whoever allocates them. Release
    // wipes by these, never by KeyLen or SaltLen, which key parameters change after allocation.
    DWORD KeyDataSize;
    DWORD SaltSize;
};

struct HashCTX {
    ALG_ID Algid;
    crypto::HASH_STATE* HashState;  // null until the first data is hashed
    DWORD HashLen;
    BYTE* HashValue;  // HashLen bytes, allocated with the record
    DWORD MacKeyLen;  // bits, CALG_MAC only
    BYTE* MacKey;     // MacKeyLen/8 + 1 bytes
    ALG_ID MacKeyAlgid;
    BYTE MacIV[16];
    DWORD Finished;
};

}  // namespace kelm::core
