// Every Free_ function zeroes what it held before the memory goes back to the allocator. The
// test program puts its own LocalFree in front of the platform's: for the blocks a test names
// it keeps a copy of their bytes as they were at release, then hands the block on.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

#include "core/context_records.h"
#include "crypto/hash_engine.h"
#include "kelm/winapi.h"

namespace {

using LocalFreeFunction = HLOCAL(WINAPI*)(HLOCAL);

struct ReleaseWatch {
    std::map<const void*, size_t> watched;                 // block -> bytes to keep
    std::map<const void*, std::vector<BYTE>> at_release;  // block -> its bytes when released
};

ReleaseWatch& Watch() {
    static ReleaseWatch watch;
    return watch;
}

}  // namespace

KELM_WINAPI_EXPORT HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    static auto next = reinterpret_cast<LocalFreeFunction>(dlsym(RTLD_NEXT, "LocalFree"));
    auto found = Watch().watched.find(hMem);
    if (found != Watch().watched.end()) {
        const BYTE* bytes = static_cast<const BYTE*>(hMem);
        Watch().at_release[hMem].assign(bytes, bytes + found->second);
        Watch().watched.erase(found);
    }
    return next(hMem);
}

namespace kelm::core {
namespace {

struct ReleaseWiping : ::testing::Test {
    void SetUp() override { Watch() = {}; }
    void TearDown() override { Watch() = {}; }

    static void WatchBlock(const void* block, size_t length) { Watch().watched[block] = length; }

    // The bytes of a released block between `offset` and `offset + length`.
    static std::vector<BYTE> Released(const void* block, size_t offset, size_t length) {
        auto found = Watch().at_release.find(block);
        if (found == Watch().at_release.end()) {
            ADD_FAILURE() << "block was not released through LocalFree";
            return {};
        }
        return std::vector<BYTE>(found->second.begin() + static_cast<std::ptrdiff_t>(offset),
                                 found->second.begin() + static_cast<std::ptrdiff_t>(offset + length));
    }

    static std::vector<BYTE> Zeros(size_t length) { return std::vector<BYTE>(length, 0); }
};

#define EXPECT_WIPED(block, record, field)                                                             \
    EXPECT_EQ(Released(block, offsetof(record, field), sizeof(record::field)), Zeros(sizeof(record::field))) \
        << #field " survived the release"

TEST_F(ReleaseWiping, KeyRecordLosesIvStatusNameAndKeyBytes) {
    KeyCTX* key = Alloc_Init_KeyCTX(CALG_3DES);
    ASSERT_NE(key, nullptr);
    std::memset(key->IV, 0x11, sizeof(key->IV));
    std::memset(key->Chain, 0x22, sizeof(key->Chain));
    std::memset(key->Card_ContainerStatus, 0x33, sizeof(key->Card_ContainerStatus));
    std::memset(key->ContainerName, 'k', sizeof(key->ContainerName));
    std::memset(key->KeyData, 0x44, 24);
    key->SaltLen = 40;
    key->Salt = static_cast<BYTE*>(LocalAlloc(LPTR, 5));
    std::memset(key->Salt, 0x55, 5);
    const void* keyData = key->KeyData;
    const void* salt = key->Salt;
    WatchBlock(key, sizeof(KeyCTX));
    WatchBlock(keyData, 24);
    WatchBlock(salt, 5);

    Free_KeyCTX(key);
    EXPECT_WIPED(key, KeyCTX, IV);
    EXPECT_WIPED(key, KeyCTX, Chain);
    EXPECT_WIPED(key, KeyCTX, Card_ContainerStatus);
    EXPECT_WIPED(key, KeyCTX, ContainerName);
    EXPECT_EQ(Released(keyData, 0, 24), Zeros(24));
    EXPECT_EQ(Released(salt, 0, 5), Zeros(5));
    Free_KeyCTX(nullptr);
}

TEST_F(ReleaseWiping, HashRecordLosesMacKeyIvAndValue) {
    HashCTX* hash = Alloc_Init_HashCTX(CALG_MAC);
    ASSERT_NE(hash, nullptr);
    hash->MacKeyLen = 64;
    hash->MacKey = static_cast<BYTE*>(LocalAlloc(LPTR, 9));
    std::memset(hash->MacKey, 0x66, 9);
    std::memset(hash->MacIV, 0x77, sizeof(hash->MacIV));
    std::memset(hash->HashValue, 0x88, hash->HashLen);
    hash->HashState = static_cast<crypto::HASH_STATE*>(LocalAlloc(LPTR, sizeof(crypto::HASH_STATE)));
    ASSERT_NE(hash->HashState, nullptr);
    std::memset(hash->HashState, 0x5A, sizeof(crypto::HASH_STATE));
    const void* macKey = hash->MacKey;
    const void* value = hash->HashValue;
    const void* state = hash->HashState;
    WatchBlock(hash, sizeof(HashCTX));
    WatchBlock(macKey, 9);
    WatchBlock(value, 8);
    WatchBlock(state, sizeof(crypto::HASH_STATE));

    SetLastError(0);
    Free_HashCTX(hash);
    EXPECT_EQ(GetLastError(), 0u) << "the allocator refused a release: something was freed twice";
    EXPECT_WIPED(hash, HashCTX, MacIV);
    EXPECT_EQ(Released(macKey, 0, 9), Zeros(9));
    EXPECT_EQ(Released(value, 0, 8), Zeros(8));
    EXPECT_EQ(Released(state, 0, sizeof(crypto::HASH_STATE)), Zeros(sizeof(crypto::HASH_STATE)))
        << "an unfinished hash's running state survived";
    Free_HashCTX(nullptr);
}

TEST_F(ReleaseWiping, ContainerRecordLosesSeedAndStatus) {
    ContainerCTX* container = Alloc_Init_ContainerCTX("seeded", 0, 0);
    ASSERT_NE(container, nullptr);
    container->RandSeedLen = 20;
    std::memset(container->RandSeed, 0x99, sizeof(container->RandSeed));
    std::memset(container->Card_ContainerStatus, 0x02, sizeof(container->Card_ContainerStatus));
    WatchBlock(container, sizeof(ContainerCTX));

    Free_ContainerCTX(container);
    EXPECT_WIPED(container, ContainerCTX, RandSeed);
    EXPECT_WIPED(container, ContainerCTX, Card_ContainerStatus);
}

}  // namespace
}  // namespace kelm::core
