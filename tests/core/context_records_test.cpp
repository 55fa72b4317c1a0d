// The context records: initial values by algorithm, refusal of unknown algorithms, release of
// everything a record owns, and the byte-order reversal.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "core/context_records.h"
#include "kelm/winapi.h"
#include "platform/memory.h"

namespace kelm::core {
namespace {

size_t LiveLocalBlocks() { return platform::CountLiveAllocations().local_blocks; }

bool AllZero(const BYTE* bytes, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

struct KeyRow {
    ALG_ID requested;
    ALG_ID stored;
    DWORD blockLen, ivLen, padding, mode, modeBits, keyLen;
};

TEST(KeyRecords, InitialValuesFollowTheAlgorithm) {
    const KeyRow rows[] = {
        {AT_KEYEXCHANGE, CALG_RSA_KEYX, 1024, 0, 0, 0, 0, 1024},
        {CALG_RSA_KEYX, CALG_RSA_KEYX, 1024, 0, 0, 0, 0, 1024},
        {AT_SIGNATURE, CALG_RSA_SIGN, 1024, 0, 0, 0, 0, 1024},
        {CALG_RSA_SIGN, CALG_RSA_SIGN, 1024, 0, 0, 0, 0, 1024},
        {CALG_DES, CALG_DES, 64, 64, 1, 1, 64, 64},
        {CALG_3DES, CALG_3DES, 64, 64, 1, 1, 64, 192},
        {CALG_3DES_112, CALG_3DES_112, 64, 64, 1, 1, 64, 128},
    };
    const size_t before = LiveLocalBlocks();
    for (const KeyRow& row : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << "algid 0x" << row.requested);
        KeyCTX* key = Alloc_Init_KeyCTX(row.requested);
        ASSERT_NE(key, nullptr);
        EXPECT_EQ(key->Algid, row.stored);
        EXPECT_EQ(key->BlockLen, row.blockLen);
        EXPECT_EQ(key->IvLen, row.ivLen);
        EXPECT_EQ(key->Padding, row.padding);
        EXPECT_EQ(key->Mode, row.mode);
        EXPECT_EQ(key->ModeBits, row.modeBits);
        EXPECT_EQ(key->KeyLen, row.keyLen);
        EXPECT_EQ(key->EncryptReset, 1u);
        EXPECT_EQ(key->DecryptReset, 1u);
        EXPECT_EQ(key->EncryptFinal, 0u);
        EXPECT_EQ(key->DecryptFinal, 0u);
        EXPECT_EQ(key->Permissions, 0u);
        EXPECT_EQ(key->SaltLen, 0u);
        EXPECT_EQ(key->Salt, nullptr);
        EXPECT_TRUE(AllZero(key->IV, sizeof(key->IV)));
        EXPECT_TRUE(AllZero(key->Chain, sizeof(key->Chain)));
        const bool rsa = row.stored == CALG_RSA_KEYX || row.stored == CALG_RSA_SIGN;
        if (rsa) {
            EXPECT_EQ(key->KeyData, nullptr) << "private RSA parts stay on the card";
            EXPECT_EQ(LiveLocalBlocks(), before + 1);
        } else {
            ASSERT_NE(key->KeyData, nullptr);
            EXPECT_TRUE(AllZero(key->KeyData, key->KeyLen / 8));
            EXPECT_EQ(LiveLocalBlocks(), before + 2) << "record and key bytes";
        }
        Free_KeyCTX(key);
        EXPECT_EQ(LiveLocalBlocks(), before);
    }
}

TEST(KeyRecords, UnknownAlgorithmsAreRefusedWithoutAllocating) {
    const size_t before = LiveLocalBlocks();
    for (ALG_ID algid : {ALG_ID{0}, ALG_ID{3}, ALG_ID{CALG_RC2}, ALG_ID{CALG_RC4}, ALG_ID{CALG_SHA1}, ALG_ID{0xFFFFFFFF}}) {
        SetLastError(0);
        EXPECT_EQ(Alloc_Init_KeyCTX(algid), nullptr) << std::hex << algid;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_ALGID));
    }
    EXPECT_EQ(LiveLocalBlocks(), before);
}

TEST(HashRecords, LengthsByAlgorithmAndUnknownRefused) {
    const std::pair<ALG_ID, DWORD> rows[] = {
        {CALG_MD2, 16}, {CALG_MD5, 16}, {CALG_SHA1, 20}, {CALG_MAC, 8}, {CALG_SSL3_SHAMD5, 36}, {CALG_SHA_256, 32},
    };
    const size_t before = LiveLocalBlocks();
    for (const auto& [algid, length] : rows) {
        HashCTX* hash = Alloc_Init_HashCTX(algid);
        ASSERT_NE(hash, nullptr) << std::hex << algid;
        EXPECT_EQ(hash->Algid, algid);
        EXPECT_EQ(hash->HashLen, length);
        ASSERT_NE(hash->HashValue, nullptr);
        EXPECT_TRUE(AllZero(hash->HashValue, length));
        EXPECT_EQ(hash->HashState, nullptr);
        EXPECT_EQ(hash->Finished, 0u);
        Free_HashCTX(hash);
    }
    for (ALG_ID algid : {ALG_ID{0}, ALG_ID{CALG_MD4}, ALG_ID{CALG_HMAC}, ALG_ID{CALG_SHA_384}, ALG_ID{CALG_DES}}) {
        SetLastError(0);
        EXPECT_EQ(Alloc_Init_HashCTX(algid), nullptr) << std::hex << algid;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_ALGID));
    }
    EXPECT_EQ(LiveLocalBlocks(), before);
}

TEST(ContainerRecords, NameIsCutTo36AndTerminated) {
    const std::string longName(50, 'n');
    ContainerCTX* container = Alloc_Init_ContainerCTX(longName.c_str(), 0, CRYPT_MACHINE_KEYSET);
    ASSERT_NE(container, nullptr);
    EXPECT_EQ(std::string(container->Name), std::string(36, 'n'));
    EXPECT_EQ(container->dwFlags, static_cast<DWORD>(CRYPT_MACHINE_KEYSET));
    EXPECT_EQ(container->Reserved, 0u);
    EXPECT_EQ(container->RegKey, nullptr);
    Free_ContainerCTX(container);

    // A name that is not terminated within its first 36 bytes is never read past them.
    char exact[36];
    std::memset(exact, 'x', sizeof(exact));
    container = Alloc_Init_ContainerCTX(exact, 0, 0);
    ASSERT_NE(container, nullptr);
    EXPECT_EQ(std::string(container->Name), std::string(36, 'x'));
    Free_ContainerCTX(container);

    SetLastError(0);
    EXPECT_EQ(Alloc_Init_ContainerCTX(nullptr, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    Free_ContainerCTX(nullptr);
}

TEST(ProviderRecords, StartAsFullRsaAndReleaseTheirNameTable) {
    const size_t before = LiveLocalBlocks();
    ProvCTX* prov = Alloc_ProvCTX();
    ASSERT_NE(prov, nullptr);
    EXPECT_EQ(prov->ProvType, static_cast<DWORD>(PROV_RSA_FULL));
    EXPECT_EQ(prov->CHnd, 0u);
    EXPECT_EQ(prov->ContainerNames, nullptr);
    prov->ContainerNames = static_cast<char*>(LocalAlloc(LPTR, 6 * 37 + 2));
    prov->CHnd = 0x1234;  // the container behind it is someone else's to close
    Free_ProvCTX(prov);
    EXPECT_EQ(LiveLocalBlocks(), before);
    Free_ProvCTX(nullptr);
}

TEST(ByteOrder, SwitchHiLoReversesInPlace) {
    std::vector<BYTE> number(128);
    std::iota(number.begin(), number.end(), BYTE{0});
    SwitchHiLo(number.data(), number.size());
    for (size_t i = 0; i < number.size(); ++i) ASSERT_EQ(number[i], 127 - i);

    BYTE odd[] = {1, 2, 3, 4, 5};
    SwitchHiLo(odd, sizeof(odd));
    EXPECT_EQ(std::vector<BYTE>(odd, odd + 5), (std::vector<BYTE>{5, 4, 3, 2, 1}));

    BYTE one[] = {0x42, 0x99};
    SwitchHiLo(one, 1);
    EXPECT_EQ(one[0], 0x42);
    EXPECT_EQ(one[1], 0x99) << "nothing past the length is touched";
    SwitchHiLo(one, 0);
    EXPECT_EQ(one[0], 0x42);
    SwitchHiLo(nullptr, 0);
}

}  // namespace
}  // namespace kelm::core
