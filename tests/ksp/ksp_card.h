// The key storage provider on the shared card fixture, reached through the function table as the
// platform's router reaches it. The card holds "keys" (signature key in 80 01, exchange key in
// 80 03) and "xonly", whose only key is an exchange key in 80 02; no context is opened, and the
// PIN is typed in the dialog when something first asks for it.
#pragma once

#include "csp/card_keys.h"
#include "kelm/cert_store.h"
#include "kelm/ksp.h"

namespace kelm::ksp::testing {

using csp::testing::Blob;
using csp::testing::Hex;

class KspCardTest : public csp::testing::CardTest {
protected:
    KspCardTest() { open_keys_ = false, exchange_only_second_ = true; }
    void SetUp() override {
        GetKeyStorageInterface(nullptr, &table_, 0);
        CardTest::SetUp();
    }
    void Release() override {
        for (NCRYPT_PROV_HANDLE provider : providers_) table_->FreeProvider(provider);
        providers_.clear();
    }

    // A fresh card with a provider open on it and the two keys of "keys".
    void Open(int type = 1, bool large = false, sim::CardProtocol protocol = sim::CardProtocol::T1) {
        Insert(type, large, protocol);
        provider_ = OpenProvider();
        signer_ = OpenKey(provider_);
        exchange_ = OpenKey(provider_, u"keys", AT_KEYEXCHANGE);
    }
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
    std::vector<NCRYPT_PROV_HANDLE> providers_;
    NCRYPT_PROV_HANDLE provider_ = 0;
    NCRYPT_KEY_HANDLE signer_ = 0, exchange_ = 0;
};

}  // namespace kelm::ksp::testing
