// Every Free_ function zeroes what it held before the memory goes back to the allocator. The
// test program puts its own LocalFree in front of the platform's: for the blocks a test names
// it keeps a copy of their bytes as they were at release, then hands the block on.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "core/context_records.h"
#include "crypto/hash_engine.h"
#include "kelm/winapi.h"

namespace {

// Blocks a test watches, and the images of their bytes taken as they were released.
struct Images {
    std::map<const void*, std::vector<BYTE>> watched, released;
};
Images& Blocks() {
    static Images images;
    return images;
}

}  // namespace

KELM_WINAPI_EXPORT HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    static auto next = reinterpret_cast<HLOCAL(WINAPI*)(HLOCAL)>(dlsym(RTLD_NEXT, "LocalFree"));
    auto watched = Blocks().watched.extract(hMem);
    if (!watched.empty()) {
        std::memcpy(watched.mapped().data(), hMem, watched.mapped().size());
        Blocks().released[hMem] = std::move(watched.mapped());
    }
    return next(hMem);
}

namespace kelm::core {
namespace {

// Fills `length` bytes of `block` with `fill` and keeps their image at release.
const void* Fill(void* block, size_t length, int fill) {
    std::memset(block, fill, length);
    Blocks().watched[block].resize(length);
    return block;
}
// True when the released block's bytes from `offset` for `length` (0: to its end) are all zero.
bool Wiped(const void* block, size_t offset = 0, size_t length = 0) {
    const std::vector<BYTE>& bytes = Blocks().released[block];
    const auto begin = bytes.begin() + static_cast<std::ptrdiff_t>(offset);
    return !bytes.empty() && std::all_of(begin, length == 0 ? bytes.end() : begin + static_cast<std::ptrdiff_t>(length),
                                         [](BYTE b) { return b == 0; });
}

#define EXPECT_WIPED(block, record, field) \
    EXPECT_TRUE(Wiped(block, offsetof(record, field), sizeof(record::field))) << #field " survived the release"

// Every record's secrets are set to non-zero bytes; the record itself is watched whole.
TEST(ReleaseWiping, EveryRecordLosesItsSecretsBeforeRelease) {
    KeyCTX* key = Alloc_Init_KeyCTX(CALG_3DES);
    ASSERT_NE(key, nullptr);
    key->Salt = static_cast<BYTE*>(LocalAlloc(LPTR, 5));
    key->SaltSize = 5;
    const void* keyData = Fill(key->KeyData, 24, 0x44);
    const void* salt = Fill(key->Salt, 5, 0x55);
    // Key parameters changed after allocation; the buffers are still wiped whole.
    key->KeyLen = 64;
    key->SaltLen = 8;
    std::memset(key->IV, 0x11, sizeof(key->IV));
    std::memset(key->Chain, 0x22, sizeof(key->Chain));
    std::memset(key->Card_ContainerStatus, 0x33, sizeof(key->Card_ContainerStatus));
    std::memset(key->ContainerName, 'k', sizeof(key->ContainerName));
    Blocks().watched[key].resize(sizeof(KeyCTX));
    Free_KeyCTX(key);
    EXPECT_WIPED(key, KeyCTX, IV);
    EXPECT_WIPED(key, KeyCTX, Chain);
    EXPECT_WIPED(key, KeyCTX, Card_ContainerStatus);
    EXPECT_WIPED(key, KeyCTX, ContainerName);
    EXPECT_TRUE(Wiped(keyData)) << "key bytes";
    EXPECT_TRUE(Wiped(salt)) << "salt";

    HashCTX* hash = Alloc_Init_HashCTX(CALG_MAC);
    ASSERT_NE(hash, nullptr);
    hash->MacKeyLen = 64;
    hash->MacKey = static_cast<BYTE*>(LocalAlloc(LPTR, 9));
    hash->HashState = static_cast<crypto::HASH_STATE*>(LocalAlloc(LPTR, sizeof(crypto::HASH_STATE)));
    ASSERT_NE(hash->HashState, nullptr);
    const void* macKey = Fill(hash->MacKey, 9, 0x66);
    const void* value = Fill(hash->HashValue, 8, 0x88);
    const void* state = Fill(hash->HashState, sizeof(crypto::HASH_STATE), 0x5A);
    std::memset(hash->MacIV, 0x77, sizeof(hash->MacIV));
    Blocks().watched[hash].resize(sizeof(HashCTX));
    SetLastError(0);
    Free_HashCTX(hash);
    EXPECT_EQ(GetLastError(), 0u) << "the allocator refused a release: something was freed twice";
    EXPECT_WIPED(hash, HashCTX, MacIV);
    EXPECT_TRUE(Wiped(macKey)) << "MAC key";
    EXPECT_TRUE(Wiped(value)) << "hash value";
    EXPECT_TRUE(Wiped(state)) << "an unfinished hash's running state survived";

    ContainerCTX* container = Alloc_Init_ContainerCTX("seeded", 0, 0);
    ASSERT_NE(container, nullptr);
    container->RandSeedLen = 20;
    std::memset(container->RandSeed, 0x99, sizeof(container->RandSeed));
    std::memset(container->Card_ContainerStatus, 0x02, sizeof(container->Card_ContainerStatus));
    Blocks().watched[container].resize(sizeof(ContainerCTX));
    Free_ContainerCTX(container);
    EXPECT_WIPED(container, ContainerCTX, RandSeed);
    EXPECT_WIPED(container, ContainerCTX, Card_ContainerStatus);

    Free_KeyCTX(nullptr);
    Free_HashCTX(nullptr);
}

}  // namespace
}  // namespace kelm::core
