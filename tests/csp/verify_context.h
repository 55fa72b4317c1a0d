// A verify context on a fresh simulated card (in-memory registry, fake clock, a scripted user),
// with session keys made by the core functions as the key entry points make them: key bytes
// 01 02 03 ..., IV A0 A1 ... A7, the container of the context they are made under. Keys made
// here and the contexts listed in provs_ are released after the test.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "card/pin_verify.h"
#include "core/context_records.h"
#include "core/handles.h"
#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "platform/process/clock_seam.h"
#include "platform/ui/ui_responder.h"
#include "support/registry_fixture.h"
#include "support/sim_fixture.h"

namespace kelm::csp::testing {

using Bytes = std::vector<BYTE>;

inline DWORD ErrorOf(BOOL ok) { return ok ? 0 : GetLastError(); }
#define EXPECT_REFUSED(call, error) EXPECT_EQ(ErrorOf(call), static_cast<DWORD>(error)) << #call

class VerifyContextTest : public kelm::testing::SimCardTest {
protected:
    void SetUp() override {
        SimCardTest::SetUp();
        platform::UseFakeClock(&clock_), platform::SetUiResponder(&ui_);
        ASSERT_TRUE(CPAcquireContext(&prov_, nullptr, CRYPT_VERIFYCONTEXT, nullptr));
        provs_.push_back(prov_);
    }
    void TearDown() override {
        for (auto [handle, key] : keys_) core::Free_CryptoHandle(handle), core::Free_KeyCTX(key);
        for (HCRYPTPROV prov : provs_) CPReleaseContext(prov, 0);
        card::ClearPinCache(), platform::SetUiResponder(nullptr), platform::UseFakeClock(nullptr);
        SimCardTest::TearDown();
    }
    HCRYPTKEY Key(ALG_ID algid, HCRYPTPROV prov, DWORD mode = CRYPT_MODE_CBC) {
        core::KeyCTX* key = core::Alloc_Init_KeyCTX(algid);
        for (DWORD i = 0; key->KeyData != nullptr && i < key->KeyLen / 8; ++i) key->KeyData[i] = BYTE(i + 1);
        for (BYTE i = 0; key->KeyData != nullptr && i < 8; ++i) key->IV[i] = BYTE(0xA0 + i);
        const auto* owner = static_cast<core::ProvCTX*>(core::Get_CryptoCTX(prov, core::HANDLE_PROVIDER_TYPE, prov));
        std::memcpy(key->ContainerName, owner->ContainerName, core::kContainerNameMax);
        key->Mode = mode;
        HCRYPTKEY handle = 0;
        EXPECT_TRUE(core::Alloc_Init_CryptoHandle(&handle, core::HANDLE_KEY_TYPE, key, prov));
        keys_.push_back({handle, key});
        return handle;
    }
    // HP_HASHVAL read into a roomier buffer, cut to the length reported; empty on failure.
    Bytes Value(HCRYPTHASH hash) {
        Bytes value(40, 0xEE);
        DWORD length = 40;
        if (!CPGetHashParam(prov_, hash, HP_HASHVAL, value.data(), &length, 0)) return {};
        return Bytes(value.begin(), value.begin() + length);
    }

    test::ScopedInMemoryRegistry registry_;
    platform::FakeClock clock_;
    platform::ScriptedResponder ui_;
    HCRYPTPROV prov_ = 0;
    std::vector<HCRYPTPROV> provs_;
    std::vector<std::pair<HCRYPTKEY, core::KeyCTX*>> keys_;
};

}  // namespace kelm::csp::testing
