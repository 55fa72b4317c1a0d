// Masked handles: encoding, the four checks of Get_CryptoCTX in order, and release. Forged
// handles point at memory that must never be read; under ASan any such read fails the test.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <thread>
#include <vector>

#include "core/handles.h"
#include "kelm/winapi.h"

namespace kelm::core {
namespace {

struct Handles : ::testing::Test {
    void SetUp() override { baseline = LiveHandleCount(); }
    void TearDown() override { EXPECT_EQ(LiveHandleCount(), baseline) << "a handle record leaked"; }

    uint64_t Make(DWORD type, void* context, uint64_t owner = 0) {
        uint64_t handle = 0;
        EXPECT_TRUE(Alloc_Init_CryptoHandle(&handle, type, context, owner));
        return handle;
    }

    size_t baseline = 0;
    int provContext = 0;
    int keyContext = 0;
};

TEST_F(Handles, HandleIsRecordAddressUnderTheMaskAndDecodesBack) {
    std::set<uint64_t> seen;
    std::vector<uint64_t> handles;
    for (int i = 0; i < 16; ++i) {
        const uint64_t handle = Make(HANDLE_HASH_TYPE, &keyContext, 1);
        handles.push_back(handle);
        EXPECT_TRUE(seen.insert(handle).second) << "two live records share a handle";
        HANDLE_CTX* record = DecodeHandle(handle);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(record) ^ HANDLE_MASK, handle);
        EXPECT_EQ(EncodeHandle(record), handle);
        EXPECT_EQ(record->Context, &keyContext);
        EXPECT_EQ(record->HndType, HANDLE_HASH_TYPE);
    }
    for (uint64_t handle : handles) Free_CryptoHandle(handle);
}

TEST_F(Handles, ProviderAndContainerHandlesOwnThemselvesKeysTheirProvider) {
    const uint64_t prov = Make(HANDLE_PROVIDER_TYPE, &provContext);
    const uint64_t key = Make(HANDLE_KEY_TYPE, &keyContext, prov);
    EXPECT_EQ(DecodeHandle(prov)->hProv, prov);
    EXPECT_EQ(DecodeHandle(key)->hProv, prov);
    EXPECT_EQ(Get_CryptoCTX(prov, HANDLE_PROVIDER_TYPE, prov), &provContext);
    EXPECT_EQ(Get_CryptoCTX(key, HANDLE_KEY_TYPE, prov), &keyContext);
    Free_CryptoHandle(key);
    Free_CryptoHandle(prov);
}

TEST_F(Handles, RejectsNullWrongTypeAndForeignOwner) {
    const uint64_t provA = Make(HANDLE_PROVIDER_TYPE, &provContext);
    const uint64_t provB = Make(HANDLE_PROVIDER_TYPE, &provContext);
    const uint64_t key = Make(HANDLE_KEY_TYPE, &keyContext, provA);

    SetLastError(1234);
    EXPECT_EQ(Get_CryptoCTX(0, HANDLE_PROVIDER_TYPE, 0), nullptr);
    EXPECT_EQ(Get_CryptoCTX(provA, HANDLE_KEY_TYPE, provA), nullptr) << "provider used as a key";
    EXPECT_EQ(Get_CryptoCTX(key, HANDLE_HASH_TYPE, provA), nullptr) << "key used as a hash";
    EXPECT_EQ(Get_CryptoCTX(key, HANDLE_KEY_TYPE, provB), nullptr) << "key of A used under B";
    EXPECT_EQ(Get_CryptoCTX(provA, HANDLE_PROVIDER_TYPE, provB), nullptr);
    EXPECT_EQ(GetLastError(), 1234u) << "validation must leave the last error to the caller";

    Free_CryptoHandle(key);
    Free_CryptoHandle(provB);
    Free_CryptoHandle(provA);
}

TEST_F(Handles, FreedHandleIsStaleAndSecondFreeReportsBadUid) {
    const uint64_t prov = Make(HANDLE_PROVIDER_TYPE, &provContext);
    SetLastError(77);
    Free_CryptoHandle(prov);
    EXPECT_EQ(GetLastError(), 77u) << "a successful free restores the last error";
    EXPECT_EQ(Get_CryptoCTX(prov, HANDLE_PROVIDER_TYPE, prov), nullptr);

    Free_CryptoHandle(prov);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));

    // Repeated frees must not put the slot back more than once: it would then be handed out
    // to two live objects at the same time.
    for (int i = 0; i < 2000; ++i) Free_CryptoHandle(prov);
    std::set<uint64_t> live;
    for (int i = 0; i < 2500; ++i) live.insert(Make(HANDLE_KEY_TYPE, &keyContext, 1));
    EXPECT_EQ(live.size(), 2500u);
    for (uint64_t handle : live) Free_CryptoHandle(handle);
}

TEST_F(Handles, StaleHandleStaysStaleWhileNewObjectsAreMade) {
    const uint64_t prov = Make(HANDLE_PROVIDER_TYPE, &provContext);
    const uint64_t stale = Make(HANDLE_KEY_TYPE, &keyContext, prov);
    const HANDLE_CTX* record = DecodeHandle(stale);
    Free_CryptoHandle(stale);
    // The slot is the table's own memory, so it may be read here: nothing of the key is left.
    EXPECT_EQ(record->Context, nullptr);
    EXPECT_EQ(record->hProv, 0u);

    // Objects of the same kind under the same provider, made and destroyed one after another,
    // as an application does with keys: none of them takes over the destroyed key's handle.
    int otherKey = 0;
    for (int i = 0; i < 500; ++i) {
        const uint64_t fresh = Make(HANDLE_KEY_TYPE, &otherKey, prov);
        ASSERT_NE(fresh, stale);
        ASSERT_EQ(Get_CryptoCTX(stale, HANDLE_KEY_TYPE, prov), nullptr);
        Free_CryptoHandle(fresh);
    }
    Free_CryptoHandle(prov);
}

TEST_F(Handles, ForgedHandlesAreRejectedWithoutBeingRead) {
    // A record that looks perfect but was never handed out, on the stack and on the heap.
    HANDLE_CTX lookalike{&provContext, HANDLE_PROVIDER_TYPE, 0};
    lookalike.hProv = EncodeHandle(&lookalike);
    auto* freed = new HANDLE_CTX{&provContext, HANDLE_PROVIDER_TYPE, 0};
    const uint64_t dangling = EncodeHandle(freed);
    delete freed;  // ASan poisons it: a read through the handle would abort

    const uint64_t forged[] = {
        lookalike.hProv,
        dangling,
        HANDLE_MASK ^ 0x10,                 // unmapped low page
        HANDLE_MASK ^ 0xFFFF'FFFF'FFF0ULL,  // kernel half
        0x1,
        ~0ULL,
        HANDLE_MASK,  // decodes to address 0
    };
    for (uint64_t handle : forged) {
        for (DWORD type : {HANDLE_PROVIDER_TYPE, HANDLE_CONTAINER_TYPE, HANDLE_KEY_TYPE, HANDLE_HASH_TYPE}) {
            EXPECT_EQ(Get_CryptoCTX(handle, type, handle), nullptr) << std::hex << handle;
        }
        SetLastError(0);
        Free_CryptoHandle(handle);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID)) << std::hex << handle;
    }
    EXPECT_EQ(lookalike.Context, &provContext) << "a forged record must not be cleared or freed";
}

TEST_F(Handles, TableStaysConsistentUnderConcurrentUse) {
    const uint64_t prov = Make(HANDLE_PROVIDER_TYPE, &provContext);
    auto worker = [&] {
        for (int i = 0; i < 500; ++i) {
            uint64_t key = 0;
            ASSERT_TRUE(Alloc_Init_CryptoHandle(&key, HANDLE_KEY_TYPE, &keyContext, prov));
            ASSERT_EQ(Get_CryptoCTX(key, HANDLE_KEY_TYPE, prov), &keyContext);
            Free_CryptoHandle(key);
            ASSERT_EQ(Get_CryptoCTX(key, HANDLE_KEY_TYPE, prov), nullptr);
        }
    };
    std::thread a(worker), b(worker), c(worker);
    a.join();
    b.join();
    c.join();
    Free_CryptoHandle(prov);
}

}  // namespace
}  // namespace kelm::core
