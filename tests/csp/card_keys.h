// A provider context on the container "keys" of a simulated card: its signature key in 80 01 and
// exchange key in 80 03 (1024 bits, or 2048 on type 6 and where `large` asks), beside the
// container "half" whose only key, a signature key, is in 80 02. The PIN is typed once in the
// dialog when the first private-key operation asks for it. Tests read the card's own view (keys,
// certificates, the exchange log) to check the provider against it.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "card/pin_verify.h"
#include "card/reader_session.h"
#include "core/context_records.h"
#include "core/handles.h"
#include "core/new_keys.h"
#include "core/user_keys.h"
#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "platform/process/clock_seam.h"
#include "platform/ui/ui_responder.h"
#include "support/registry_fixture.h"
#include "support/sim_fixture.h"

namespace kelm::csp::testing {

using Blob = std::vector<BYTE>;
inline Blob Hex(const std::string& text) { return kelm::testing::Bytes(text); }

inline DWORD ErrorOf(BOOL ok) { return ok ? 0 : GetLastError(); }
#define EXPECT_REFUSED(call, error) EXPECT_EQ(ErrorOf(call), static_cast<DWORD>(error)) << #call

class CardKeysTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetUiResponder(&ui_);
        platform::UseFakeClock(&clock_);
    }
    void TearDown() override {
        Remove();
        platform::UseFakeClock(nullptr);
        platform::SetUiResponder(nullptr);
    }

    // A fresh card of `type` in the reader and a context on "keys", the exchange log cleared.
    void Insert(int type, bool large = false, sim::CardProtocol protocol = sim::CardProtocol::T1) {
        Remove();
        kelm::testing::SimCardSetup setup;
        setup.type = type, setup.protocol = protocol, setup.image_path = image_path_;
        sim_ = std::make_unique<kelm::testing::ScopedSimCard>(setup);
        const std::string size = large || type == 6 ? " 04" : " 02";
        for (const std::string file : {"80 01 00", "80 03 01", "80 02 00"}) {
            ASSERT_EQ("90 00", HexOf(sim_->Send(Hex("00 42 00 00 08" + file + " 00" + size + " 08 00 00"))));
            ASSERT_TRUE(sim::PutNewKey(Card(), static_cast<WORD>(0x8000 | Hex(file)[1]), &error_)) << error_;
        }
        ASSERT_TRUE(sim::AddContainer(Card(), "keys", 0x8001, 0x8003, &error_) &&
                    sim::AddContainer(Card(), "half", 0x8002, 0, &error_))
            << error_;
        ui_.Clear();
        ui_.QueueDialogAction(platform::DialogAction{IDOK, kelm::testing::kSimPin});
        ASSERT_TRUE(CPAcquireContext(&prov_, "keys", 0, nullptr)) << std::hex << GetLastError();
        sim_->backend().ClearLog();
    }
    void Remove() {
        if (prov_ != 0) CPReleaseContext(prov_, 0);
        prov_ = 0;
        card::End_CardSession();
        card::ClearPinCache();
        sim_.reset();
    }
    sim::SimCard& Card() { return sim_->card(); }
    std::string HexOf(const Blob& bytes) { return kelm::testing::HexOf(bytes); }

    // The card's public key in a key file, big-endian.
    std::pair<Blob, Blob> PublicKey(WORD file) {
        Blob modulus, exponent;
        EXPECT_TRUE(sim::PublicKeyOf(Card(), file, &modulus, &exponent));
        return {modulus, exponent};
    }
    HCRYPTKEY UserKey(DWORD which, HCRYPTPROV prov = 0) {
        HCRYPTKEY key = 0;
        EXPECT_TRUE(CPGetUserKey(prov != 0 ? prov : prov_, which, &key)) << std::hex << GetLastError();
        return key;
    }
    // A session key made as the key entry points make one, its bytes 01 02 03 ...
    HCRYPTKEY SessionKey(ALG_ID algid, DWORD permissions = 0) {
        core::KeyCTX* key = core::Alloc_Init_KeyCTX(algid);
        for (DWORD i = 0; i < key->KeyDataSize; ++i) key->KeyData[i] = BYTE(i + 1);
        key->Permissions = permissions;
        HCRYPTKEY handle = 0;
        EXPECT_TRUE(core::Alloc_Init_CryptoHandle(&handle, core::HANDLE_KEY_TYPE, key, prov_));
        return handle;
    }
    void NameKey(HCRYPTKEY handle, const char* name) {
        auto* key = static_cast<core::KeyCTX*>(core::Get_CryptoCTX(handle, core::HANDLE_KEY_TYPE, prov_));
        std::strncpy(key->ContainerName, name, sizeof key->ContainerName);
    }
    // Releases a key made with SessionKey (its record names no container, so CPDestroyKey
    // would keep it).
    void Forget(HCRYPTKEY handle) {
        core::Free_KeyCTX(static_cast<core::KeyCTX*>(core::Get_CryptoCTX(handle, core::HANDLE_KEY_TYPE, prov_)));
        core::Free_CryptoHandle(handle);
    }
    // A hash of `algid` over `data`.
    HCRYPTHASH Hash(ALG_ID algid, const std::string& data) {
        HCRYPTHASH hash = 0;
        EXPECT_TRUE(CPCreateHash(prov_, algid, 0, 0, &hash) &&
                    CPHashData(prov_, hash, reinterpret_cast<const BYTE*>(data.data()), DWORD(data.size()), 0));
        return hash;
    }
    // The PIN verified (asked once per card) and the exchange log cleared.
    void PinAndClearLog() {
        EXPECT_EQ(core::Key_EnsurePin(0), 0u);
        sim_->backend().ClearLog();
    }
    // A value of the provider's registry key, as stored; empty when missing.
    Blob ProviderSetting(const char* name) {
        HKEY key = nullptr;
        Blob value(64);
        DWORD size = DWORD(value.size());
        const bool found = RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\VESK\\ROSMAC10", 0, KEY_READ, &key) == 0 &&
                           RegQueryValueExA(key, name, nullptr, nullptr, value.data(), &size) == 0;
        if (key != nullptr) RegCloseKey(key);
        value.resize(found ? size : 0);
        return value;
    }
    // The commands sent since the log was last cleared, and how many of them had instruction `ins`.
    size_t Sent(int ins = -1) {
        size_t count = 0;
        for (const sim::Exchange& e : sim_->backend().Log()) count += ins < 0 || e.command[1] == ins;
        return count;
    }

    std::unique_ptr<kelm::testing::ScopedSimCard> sim_;
    test::ScopedInMemoryRegistry registry_;
    platform::ScriptedResponder ui_;
    platform::FakeClock clock_;
    HCRYPTPROV prov_ = 0;
    std::string error_;
    std::string image_path_;  // empty: the card lives in memory only
};

}  // namespace kelm::csp::testing
