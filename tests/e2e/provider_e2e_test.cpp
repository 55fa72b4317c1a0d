// The provider as an application loads it (dlopen), through the real pcscd, on cards that
// kelm-cardsim serves in "Virtual PCD 00 01" (the provider's preferred reader). CryptoAPI, on a
// 1024-bit card of type 1: signatures checked by OpenSSL against the public key in the card image
// and by the card; pcscd restarted between two signatures (through scripts/services.sh, so the
// pcscd that script started), after which the next signature reconnects by itself and sends the
// thread's PIN again; a container made, listed and deleted with the registry file checked after
// each; random bytes and a refused call's last error. Key storage, on a 2048-bit card of type 6:
// the table program of the in-process tests, with the key's certificate in the "My" store.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/openssl_peer.h"
#include "kelm/cert_store.h"
#include "kelm/csp.h"
#include "kelm/ksp.h"
#include "kelm/winapi.h"
#include "ksp/table_program.h"
#include "platform/ui/ui_responder.h"
#include "served_card.h"
#include "support/run_command.h"

namespace {

using Blob = std::vector<BYTE>;
using kelm::test::kTestReader;

std::string ReadFile(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

template <typename Function>
Function Entry(void* library, const char* name) {
    return reinterpret_cast<Function>(dlsym(library, name));
}

// The PIN dialog answered once.
class ProvidersThroughPcscd : public kelm::test::PcscdTest {
protected:
    void SetUp() override {
        PcscdTest::SetUp();
        kelm::platform::SetUiResponder(&ui);
        ui.QueueDialogAction(kelm::platform::DialogAction{IDOK, "12345678"});
    }
    void TearDown() override {
        kelm::platform::SetUiResponder(nullptr);
        PcscdTest::TearDown();
    }
    kelm::platform::ScriptedResponder ui;
};

TEST_F(ProvidersThroughPcscd, CryptoApiSignsAcrossAPcscdRestartAndKeepsContainers) {
    void* library = dlopen(KELM_PROVIDER_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto acquire = Entry<PFN_CPAcquireContext>(library, "CPAcquireContext");
    auto release = Entry<PFN_CPReleaseContext>(library, "CPReleaseContext");
    auto get_param = Entry<PFN_CPGetProvParam>(library, "CPGetProvParam");
    auto create_hash = Entry<PFN_CPCreateHash>(library, "CPCreateHash");
    auto hash_data = Entry<PFN_CPHashData>(library, "CPHashData");
    auto sign = Entry<PFN_CPSignHash>(library, "CPSignHash");
    auto get_user_key = Entry<PFN_CPGetUserKey>(library, "CPGetUserKey");
    auto verify = Entry<PFN_CPVerifySignature>(library, "CPVerifySignature");
    auto random = Entry<PFN_CPGenRandom>(library, "CPGenRandom");
    ASSERT_TRUE(acquire && release && get_param && create_hash && hash_data && sign && get_user_key && verify && random);

    kelm::test::CardsimProcess served;
    kelm::sim::RsaKey held;
    Serve(1, "signer", &served, &held);
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
    ASSERT_TRUE(acquire(&prov, "signer", 0, nullptr) && get_user_key(prov, AT_SIGNATURE, &key))
        << std::hex << GetLastError();
    const std::string document = "signed through pcscd";
    for (const auto& [algid, name] : {std::pair<ALG_ID, const char*>{CALG_MD5, "MD5"}, {CALG_SHA1, "SHA1"},
                                      {CALG_SHA_256, "SHA256"}}) {
        if (algid == CALG_SHA_256) {
            const auto restart =
                kelm::test::RunCommand(std::string(KELM_SOURCE_DIR) + "/scripts/services.sh restart-pcscd 2>&1");
            ASSERT_EQ(restart.status, 0) << restart.output;
            SCardReleaseContext(context);
            ASSERT_TRUE(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) == SCARD_S_SUCCESS &&
                        kelm::test::WaitForCard(context, kTestReader, true));
        }
        HCRYPTHASH hash = 0;
        Blob signature(256);
        DWORD length = static_cast<DWORD>(signature.size());
        ASSERT_TRUE(create_hash(prov, algid, 0, 0, &hash) &&
                    hash_data(prov, hash, reinterpret_cast<const BYTE*>(document.data()),
                              static_cast<DWORD>(document.size()), 0) &&
                    sign(prov, hash, AT_SIGNATURE, nullptr, 0, signature.data(), &length))
            << name << " " << std::hex << GetLastError();
        EXPECT_EQ(length, held.n.size());
        signature.resize(length);
        // The card checks signatures of MD5 and SHA-1 hashes only.
        EXPECT_EQ(verify(prov, hash, signature.data(), length, key, nullptr, 0), algid != CALG_SHA_256);
        std::reverse(signature.begin(), signature.end());
        EXPECT_TRUE(kelm::test::OpenSslVerifyRsaPkcs1(
            held.n, held.e, name, kelm::test::OpenSslDigest(name, Blob(document.begin(), document.end())), signature))
            << name;
    }
    BYTE bytes[16];
    EXPECT_TRUE(random(prov, sizeof bytes, bytes));
    EXPECT_FALSE(random(prov ^ 0x10, sizeof bytes, bytes));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID)) << "the last error crosses the library boundary";
    EXPECT_TRUE(release(prov, 0));
    // A container's life: written to the card and the registry file, listed by a verify
    // context, deleted from both; the PIN comes from this thread's recent PIN.
    const std::string name = "e2e-" + std::to_string(getpid());
    const std::string subkey = "\\Cryptography\\UserKeys\\MorvaCSP-" + name + "]";
    ASSERT_TRUE(acquire(&prov, name.c_str(), CRYPT_NEWKEYSET, nullptr) && release(prov, 0))
        << std::hex << GetLastError();
    const std::string registered = ReadFile(setup.registry.CurrentUserFile());
    ASSERT_NE(registered.find(subkey), std::string::npos) << registered;
    EXPECT_NE(registered.find("\"PSKEYS\"=hex:01,00,00,00", registered.find(subkey)), std::string::npos);
    ASSERT_TRUE(acquire(&prov, nullptr, CRYPT_VERIFYCONTEXT, nullptr)) << std::hex << GetLastError();
    std::vector<std::string> names;
    for (DWORD flags = CRYPT_FIRST;; flags = 0) {
        char entry[40] = {};
        DWORD size = sizeof entry;
        if (!get_param(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(entry), &size, flags)) break;
        names.emplace_back(entry);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(names, (std::vector<std::string>{"signer", name}));
    EXPECT_TRUE(release(prov, 0));
    prov = 0x77;
    ASSERT_TRUE(acquire(&prov, name.c_str(), CRYPT_DELETEKEYSET, nullptr)) << std::hex << GetLastError();
    EXPECT_EQ(prov, 0u);
    EXPECT_EQ(ReadFile(setup.registry.CurrentUserFile()).find(subkey), std::string::npos);
    Unserve(&served);
    EXPECT_EQ(ui.DialogCount(), 1u) << "every later PIN came from this thread's recent PIN";
    EXPECT_EQ(ui.BoxCount(), 0u);
}

// The key storage provider on the 2048-bit card, with the key's certificate in the "My" store.
TEST_F(ProvidersThroughPcscd, KeyStorageTableProgram) {
    kelm::test::CardsimProcess served;
    kelm::sim::RsaKey held;
    Serve(6, "keys6", &served, &held);
    const kelm::ksp::testing::ProgramKey key{u"keys6", held.n, held.e, held.d};
    const kelm::test::Bytes der = kelm::test::OpenSslCertificate({key.modulus, key.exponent});
    HCERTSTORE store = CertOpenSystemStoreA(0, "My");
    ASSERT_NE(store, nullptr);
    PCCERT_CONTEXT added = nullptr;
    ASSERT_TRUE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), DWORD(der.size()),
                                                 CERT_STORE_ADD_ALWAYS, &added));
    std::u16string container = key.container, provider = KELM_KSP_NAME;
    CRYPT_KEY_PROV_INFO info{reinterpret_cast<LPWSTR>(container.data()), reinterpret_cast<LPWSTR>(provider.data()), 0, 0,
                             0, nullptr, AT_SIGNATURE};
    EXPECT_TRUE(CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    CertFreeCertificateContext(added);
    CertCloseStore(store, 0);
    kelm::ksp::testing::RunTableProgram(KELM_PROVIDER_PATH, key);
    Unserve(&served);
}

}  // namespace
