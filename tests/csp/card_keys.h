// A simulated card in the reader, the registry in memory, a fake clock and a scripted user: the
// fixture of the tests of both provider interfaces. Insert() puts in a card whose container
// "keys" holds a signature key in 80 01 and an exchange key in 80 03 (1024 bits, or 2048 on
// type 6 and where `large` asks), beside a container with one key in 80 02: the signature key of
// "half" or, where a suite asks, the exchange key of "xonly". The PIN is queued for the dialog
// and, unless a suite says otherwise, a context is opened on "keys". InsertBlank() puts in a
// card without containers. Tests read the card's own view (keys, certificates, the exchange log)
// to check the provider against it; keys made with Key() are released with the card.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "card/pin_verify.h"
#include "card/reader_session.h"
#include "core/context_records.h"
#include "core/handles.h"
#include "core/new_keys.h"
#include "core/user_keys.h"
#include "crypto/openssl_peer.h"
#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "platform/process/clock_seam.h"
#include "platform/ui/ui_responder.h"
#include "support/registry_fixture.h"
#include "support/sim_fixture.h"

namespace kelm::csp::testing {

using Blob = std::vector<BYTE>;
inline Blob Hex(const std::string& text) { return kelm::testing::Bytes(text); }
inline std::string HexOf(const Blob& bytes) { return kelm::testing::HexOf(bytes); }

inline DWORD ErrorOf(BOOL ok) { return ok ? 0 : GetLastError(); }
#define EXPECT_REFUSED(call, error) EXPECT_EQ(ErrorOf(call), static_cast<DWORD>(error)) << #call

class CardTest : public ::testing::Test {
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

    // A fresh card made to `setup`, with no container, in the reader; the user's script cleared.
    void InsertBlank(const kelm::testing::SimCardSetup& setup = {}) {
        Remove();
        sim_ = std::make_unique<kelm::testing::ScopedSimCard>(setup);
        ui_.Clear();
    }
    // A fresh card of `type` with the containers above; the exchange log cleared.
    void Insert(int type = 1, bool large = false, sim::CardProtocol protocol = sim::CardProtocol::T1) {
        kelm::testing::SimCardSetup setup;
        setup.type = type, setup.protocol = protocol, setup.image_path = image_path_;
        InsertBlank(setup);
        const std::string size = large || type == 6 ? " 04" : " 02";
        const std::string second = exchange_only_second_ ? "80 02 01" : "80 02 00";
        for (const std::string& file : {std::string("80 01 00"), std::string("80 03 01"), second}) {
            ASSERT_EQ("90 00", HexOf(sim_->Send(Hex("00 42 00 00 08" + file + " 00" + size + " 08 00 00"))));
            ASSERT_TRUE(sim::PutNewKey(Card(), static_cast<WORD>(0x8000 | Hex(file)[1]), &error_)) << error_;
        }
        ASSERT_TRUE(sim::AddContainer(Card(), "keys", 0x8001, 0x8003, &error_) &&
                    (exchange_only_second_ ? sim::AddContainer(Card(), "xonly", 0, 0x8002, &error_)
                                           : sim::AddContainer(Card(), "half", 0x8002, 0, &error_)))
            << error_;
        ui_.QueueDialogAction(platform::DialogAction{IDOK, kelm::testing::kSimPin});
        ASSERT_TRUE(!open_keys_ || CPAcquireContext(&prov_, "keys", 0, nullptr)) << std::hex << GetLastError();
        sim_->backend().ClearLog();
    }
    // What a suite holds on the card, released before the card leaves.
    virtual void Release() {}
    void Remove() {
        Release();
        for (auto [handle, key] : keys_) core::Free_CryptoHandle(handle), core::Free_KeyCTX(key);
        keys_.clear();
        if (prov_ != 0) CPReleaseContext(prov_, 0);
        prov_ = 0;
        card::End_CardSession();
        card::ClearPinCache();
        card::Session().ReaderType = card::READER_TYPE_PLAIN;
        sim_.reset();
    }
    sim::SimCard& Card() { return sim_->card(); }

    // The card's public key in a key file, big-endian.
    std::pair<Blob, Blob> PublicKey(WORD file) {
        Blob modulus, exponent;
        EXPECT_TRUE(sim::PublicKeyOf(Card(), file, &modulus, &exponent));
        return {modulus, exponent};
    }
    // A certificate of `size` bytes for the key in `file`, made by OpenSSL.
    Blob CertificateFor(WORD file, size_t size) {
        test::CertificateRequest request;
        std::tie(request.modulus, request.exponent) = PublicKey(file);
        request.size = size;
        return test::OpenSslCertificate(request);
    }
    HCRYPTKEY UserKey(DWORD which, HCRYPTPROV prov = 0) {
        HCRYPTKEY key = 0;
        EXPECT_TRUE(CPGetUserKey(prov != 0 ? prov : prov_, which, &key)) << std::hex << GetLastError();
        return key;
    }
    // A session key made as the key entry points make one under `prov` (the fixture's context when
    // 0): its bytes 01 02 03 ..., its IV A0 A1 ... A7, the container of that context.
    HCRYPTKEY Key(ALG_ID algid, HCRYPTPROV prov = 0, DWORD mode = CRYPT_MODE_CBC, DWORD permissions = 0) {
        prov = prov != 0 ? prov : prov_;
        core::KeyCTX* key = core::Alloc_Init_KeyCTX(algid);
        for (DWORD i = 0; key->KeyData != nullptr && i < key->KeyDataSize; ++i) key->KeyData[i] = BYTE(i + 1);
        for (BYTE i = 0; key->KeyData != nullptr && i < 8; ++i) key->IV[i] = BYTE(0xA0 + i);
        const auto* owner = static_cast<core::ProvCTX*>(core::Get_CryptoCTX(prov, core::HANDLE_PROVIDER_TYPE, prov));
        std::memcpy(key->ContainerName, owner->ContainerName, core::kContainerNameMax);
        key->Mode = mode, key->Permissions = permissions;
        HCRYPTKEY handle = 0;
        EXPECT_TRUE(core::Alloc_Init_CryptoHandle(&handle, core::HANDLE_KEY_TYPE, key, prov));
        keys_.push_back({handle, key});
        return handle;
    }
    core::KeyCTX* KeyRecord(HCRYPTKEY handle, HCRYPTPROV prov = 0) {
        prov = prov != 0 ? prov : prov_;
        return static_cast<core::KeyCTX*>(core::Get_CryptoCTX(handle, core::HANDLE_KEY_TYPE, prov));
    }
    void NameKey(HCRYPTKEY handle, const char* name) {
        std::strncpy(KeyRecord(handle)->ContainerName, name, sizeof KeyRecord(handle)->ContainerName);
    }
    // A hash of `algid` over `data`.
    HCRYPTHASH Hash(ALG_ID algid, const std::string& data) {
        HCRYPTHASH hash = 0;
        EXPECT_TRUE(CPCreateHash(prov_, algid, 0, 0, &hash) &&
                    CPHashData(prov_, hash, reinterpret_cast<const BYTE*>(data.data()), DWORD(data.size()), 0));
        return hash;
    }
    // HP_HASHVAL read into a roomier buffer, cut to the length reported; empty on failure.
    Blob Value(HCRYPTHASH hash) {
        Blob value(40, 0xEE);
        DWORD length = 40;
        if (!CPGetHashParam(prov_, hash, HP_HASHVAL, value.data(), &length, 0)) return {};
        return Blob(value.begin(), value.begin() + length);
    }
    // The PIN verified (asked once per card) and the exchange log cleared.
    void PinAndClearLog() {
        EXPECT_EQ(core::Key_EnsurePin(0), 0u);
        sim_->backend().ClearLog();
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
    std::vector<std::pair<HCRYPTKEY, core::KeyCTX*>> keys_;
    std::string error_;
    std::string image_path_;             // empty: the card lives in memory only
    bool open_keys_ = true;              // Insert() opens a context on "keys"
    bool exchange_only_second_ = false;  // the container in 80 02 is "xonly", else "half"
};

}  // namespace kelm::csp::testing
