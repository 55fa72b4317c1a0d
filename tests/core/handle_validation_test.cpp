// Masked handles: encoding, the checks of Get_CryptoCTX, release, and handles that were never
// handed out. Forged handles point at memory that must never be read; under ASan any such read
// fails the test.
#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <tuple>

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
    int provContext = 0, keyContext = 0;
};

TEST_F(Handles, EncodingOwnershipAndTheChecksOfValidation) {
    const uint64_t provA = Make(HANDLE_PROVIDER_TYPE, &provContext);
    const uint64_t provB = Make(HANDLE_PROVIDER_TYPE, &provContext);
    const uint64_t key = Make(HANDLE_KEY_TYPE, &keyContext, provA);
    EXPECT_EQ(EncodeHandle(DecodeHandle(key), HandleGeneration(key)), key);
    EXPECT_EQ(DecodeHandle(provA)->hProv, provA) << "a provider owns itself";

    const std::tuple<uint64_t, DWORD, uint64_t, void*> rows[] = {
        {provA, HANDLE_PROVIDER_TYPE, provA, &provContext}, {key, HANDLE_KEY_TYPE, provA, &keyContext},
        {0, HANDLE_PROVIDER_TYPE, 0, nullptr},              {provA, HANDLE_KEY_TYPE, provA, nullptr},
        {key, HANDLE_HASH_TYPE, provA, nullptr},            {key, HANDLE_KEY_TYPE, provB, nullptr},
        {provA, HANDLE_PROVIDER_TYPE, provB, nullptr},
    };
    SetLastError(1234);
    for (const auto& [handle, type, owner, expected] : rows) {
        EXPECT_EQ(Get_CryptoCTX(handle, type, owner), expected) << std::hex << handle << " type " << type;
    }
    EXPECT_EQ(GetLastError(), 1234u) << "validation leaves the last error to the caller";
    for (uint64_t handle : {key, provB, provA}) Free_CryptoHandle(handle);
}

TEST_F(Handles, FreedHandlesStayStaleHoweverOftenTheirSlotIsReused) {
    const uint64_t prov = Make(HANDLE_PROVIDER_TYPE, &provContext);
    const uint64_t stale = Make(HANDLE_KEY_TYPE, &keyContext, prov);
    const HANDLE_CTX* record = DecodeHandle(stale);
    SetLastError(77);
    Free_CryptoHandle(stale);
    EXPECT_EQ(GetLastError(), 77u) << "a successful free restores the last error";
    // The slot is the table's own memory, so it may be read here: nothing of the key is left.
    EXPECT_TRUE(record->Context == nullptr && record->hProv == 0);
    SetLastError(0);
    Free_CryptoHandle(stale);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID)) << "a second free";

    // More make-and-release cycles than a slot has generations: the destroyed key's handle never
    // comes back, and its slot, once reused, is reached only through the new handle.
    bool reused = false;
    for (int i = 0; i < 70000; ++i) {
        const uint64_t key = Make(HANDLE_KEY_TYPE, &keyContext, prov);
        ASSERT_NE(key, stale);
        ASSERT_EQ(Get_CryptoCTX(stale, HANDLE_KEY_TYPE, prov), nullptr) << "after " << i << " cycles";
        reused = reused || DecodeHandle(key) == record;
        Free_CryptoHandle(key);
    }
    EXPECT_TRUE(reused) << "the test never reached the stale handle's slot";
    SetLastError(0);
    Free_CryptoHandle(stale);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
    Free_CryptoHandle(prov);
}

TEST_F(Handles, ForgedHandlesAreRejectedWithoutBeingRead) {
    // A record that looks perfect but was never handed out, on the stack and on the heap.
    HANDLE_CTX lookalike{&provContext, HANDLE_PROVIDER_TYPE, 0};
    lookalike.hProv = EncodeHandle(&lookalike);
    auto* freed = new HANDLE_CTX{&provContext, HANDLE_PROVIDER_TYPE, 0};
    const uint64_t dangling = EncodeHandle(freed);
    delete freed;  // ASan poisons it: a read through the handle would abort

    const uint64_t forged[] = {lookalike.hProv, dangling, HANDLE_MASK ^ 0x10, HANDLE_MASK ^ 0xFFFF'FFFF'FFF0ULL,
                               0x1, ~0ULL, HANDLE_MASK};
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
    for (std::thread* t : {&a, &b, &c}) t->join();
    Free_CryptoHandle(prov);
}

}  // namespace
}  // namespace kelm::core
