// The key storage provider on a simulated card, reached through the function table as the
// platform's router reaches it. The card holds the container "keys" (signature key in 80 01,
// exchange key in 80 03; 2048 bits on type 6 or where asked) and "xonly", whose only key is an
// exchange key in 80 02. The PIN is typed in the dialog when something first asks for it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "card/pin_verify.h"
#include "card/reader_session.h"
#include "crypto/openssl_peer.h"
#include "kelm/cert_store.h"
#include "kelm/ksp.h"
#include "kelm/winapi.h"
#include "platform/process/clock_seam.h"
#include "platform/ui/ui_responder.h"
#include "support/registry_fixture.h"
#include "support/sim_fixture.h"

namespace kelm::ksp::testing {

using Blob = std::vector<BYTE>;
inline Blob Hex(const std::string& text) { return kelm::testing::Bytes(text); }

class KspCardTest : public ::testing::Test {
protected:
    void SetUp() override {
        GetKeyStorageInterface(nullptr, &table_, 0);
        platform::SetUiResponder(&ui_);
        platform::UseFakeClock(&clock_);
    }
    void TearDown() override {
        Remove();
        platform::UseFakeClock(nullptr);
        platform::SetUiResponder(nullptr);
    }

    void Insert(int type = 1, bool large = false, sim::CardProtocol protocol = sim::CardProtocol::T1) {
        Remove();
        kelm::testing::SimCardSetup setup;
        setup.type = type, setup.protocol = protocol;
        sim_ = std::make_unique<kelm::testing::ScopedSimCard>(setup);
        const std::string size = large || type == 6 ? " 04" : " 02";
        for (const std::string file : {"80 01 00", "80 03 01", "80 02 01"}) {
            ASSERT_EQ("90 00", kelm::testing::HexOf(sim_->Send(Hex("00 42 00 00 08" + file + " 00" + size + " 08 00 00"))));
            ASSERT_TRUE(sim::PutNewKey(Card(), static_cast<WORD>(0x8000 | Hex(file)[1]), &error_)) << error_;
        }
        ASSERT_TRUE(sim::AddContainer(Card(), "keys", 0x8001, 0x8003, &error_) &&
                    sim::AddContainer(Card(), "xonly", 0, 0x8002, &error_))
            << error_;
        ui_.Clear();
        ui_.QueueDialogAction(platform::DialogAction{IDOK, kelm::testing::kSimPin});
    }
    void Remove() {
        for (NCRYPT_PROV_HANDLE provider : providers_) table_->FreeProvider(provider);
        providers_.clear();
        card::End_CardSession();
        card::ClearPinCache();
        sim_.reset();
    }
    sim::SimCard& Card() { return sim_->card(); }

    NCRYPT_PROV_HANDLE OpenProvider() {
        NCRYPT_PROV_HANDLE provider = 0;
        EXPECT_EQ(table_->OpenProvider(&provider, KELM_KSP_NAME, 0), 0);
        if (provider != 0) providers_.push_back(provider);
        return provider;
    }
    NCRYPT_KEY_HANDLE OpenKey(NCRYPT_PROV_HANDLE provider, const char16_t* name = u"keys", DWORD key_spec = 0) {
        NCRYPT_KEY_HANDLE key = 0;
        EXPECT_EQ(table_->OpenKey(provider, &key, name, key_spec, 0), 0);
        return key;
    }

    // The card's public key in a key file, big-endian modulus and exponent.
    std::pair<Blob, Blob> PublicKey(WORD file) {
        Blob modulus, exponent;
        EXPECT_TRUE(sim::PublicKeyOf(Card(), file, &modulus, &exponent));
        return {modulus, exponent};
    }
    // A certificate for the key in `file` put in the "My" store, its key provider information
    // naming `container` under `provider`.
    void AddCertificate(WORD file, const char16_t* container, const char16_t* provider = KELM_KSP_NAME) {
        const auto [modulus, exponent] = PublicKey(file);
        const Blob der = test::OpenSslCertificate({modulus, exponent});
        HCERTSTORE store = CertOpenSystemStoreA(0, "My");
        PCCERT_CONTEXT added = nullptr;
        ASSERT_TRUE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), DWORD(der.size()),
                                                     CERT_STORE_ADD_ALWAYS, &added));
        CRYPT_KEY_PROV_INFO info{const_cast<LPWSTR>(container), const_cast<LPWSTR>(provider), 0, 0, 0, nullptr,
                                 AT_SIGNATURE};
        EXPECT_TRUE(CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
        CertFreeCertificateContext(added);
        CertCloseStore(store, 0);
    }

    NCRYPT_KEY_STORAGE_FUNCTION_TABLE* table_ = nullptr;
    std::unique_ptr<kelm::testing::ScopedSimCard> sim_;
    std::vector<NCRYPT_PROV_HANDLE> providers_;
    test::ScopedInMemoryRegistry registry_;
    platform::ScriptedResponder ui_;
    platform::FakeClock clock_;
    std::string error_;
};

}  // namespace kelm::ksp::testing
