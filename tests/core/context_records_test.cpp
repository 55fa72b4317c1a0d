// The context records: what each algorithm allocates, refusal of unknown algorithms without
// allocating, and names bounded by their field.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/context_records.h"
#include "kelm/winapi.h"
#include "platform/process/memory.h"

namespace kelm::core {
namespace {

size_t LiveLocalBlocks() { return platform::CountLiveAllocations().local_blocks; }

TEST(ContextRecords, RecordsByAlgorithmAndUnknownAlgorithmsRefusedWithoutAllocating) {
    const size_t before = LiveLocalBlocks();
    for (ALG_ID algid : std::initializer_list<ALG_ID>{AT_KEYEXCHANGE, CALG_RSA_KEYX, AT_SIGNATURE, CALG_RSA_SIGN, CALG_DES,
                                                      CALG_3DES, CALG_3DES_112}) {
        KeyCTX* key = Alloc_Init_KeyCTX(algid);
        ASSERT_NE(key, nullptr) << std::hex << algid;
        const bool rsa = key->Algid == CALG_RSA_KEYX || key->Algid == CALG_RSA_SIGN;
        EXPECT_EQ(key->Algid == CALG_RSA_SIGN, algid == AT_SIGNATURE || algid == CALG_RSA_SIGN);
        EXPECT_EQ(key->KeyData == nullptr, rsa) << "private RSA parts stay on the card; session keys get bytes";
        EXPECT_EQ(LiveLocalBlocks(), before + (rsa ? 1 : 2));
        Free_KeyCTX(key);
    }
    const std::pair<ALG_ID, DWORD> hashes[] = {
        {CALG_MD2, 16}, {CALG_MD5, 16}, {CALG_SHA1, 20}, {CALG_MAC, 8}, {CALG_SSL3_SHAMD5, 36}, {CALG_SHA_256, 32},
    };
    for (const auto& [algid, length] : hashes) {
        HashCTX* hash = Alloc_Init_HashCTX(algid);
        ASSERT_NE(hash, nullptr) << std::hex << algid;
        EXPECT_EQ(hash->HashLen, length) << std::hex << algid;
        EXPECT_NE(hash->HashValue, nullptr);
        Free_HashCTX(hash);
    }
    // Unknown algorithms are refused without allocating.
    const std::pair<bool, ALG_ID> unknown[] = {  // key or hash, algorithm
        {true, 0},          {true, 3},  {true, CALG_RC2},  {true, CALG_RC4},  {true, CALG_SHA1},
        {true, 0xFFFFFFFF}, {false, 0}, {false, CALG_MD4}, {false, CALG_HMAC}, {false, CALG_SHA_384}, {false, CALG_DES}};
    for (const auto& [isKey, algid] : unknown) {
        SetLastError(0);
        EXPECT_EQ(isKey ? static_cast<void*>(Alloc_Init_KeyCTX(algid)) : Alloc_Init_HashCTX(algid), nullptr)
            << std::hex << algid;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_ALGID));
    }
    EXPECT_EQ(LiveLocalBlocks(), before);
}

TEST(ContextRecords, ContainerNameIsCutTo36AndNeverReadPastThem) {
    // Not terminated within its 36 bytes: under ASan a read past them fails the test.
    char exact[36];
    std::memset(exact, 'x', sizeof(exact));
    ContainerCTX* container = Alloc_Init_ContainerCTX(exact, 0, CRYPT_MACHINE_KEYSET);
    ASSERT_NE(container, nullptr);
    EXPECT_EQ(std::string(container->Name), std::string(36, 'x'));
    EXPECT_EQ(container->dwFlags, static_cast<DWORD>(CRYPT_MACHINE_KEYSET));
    Free_ContainerCTX(container);

    SetLastError(0);
    EXPECT_EQ(Alloc_Init_ContainerCTX(nullptr, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    Free_ContainerCTX(nullptr);
    Free_ProvCTX(nullptr);
}

}  // namespace
}  // namespace kelm::core
