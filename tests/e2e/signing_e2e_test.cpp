// Signing through the real pcscd: a 1024-bit card of type 1 and a 2048-bit card of type 6, served
// by kelm-cardsim in "Virtual PCD 00 01" (the provider's preferred reader), signed through the
// loaded provider's entry points and checked by OpenSSL against the public key in the card image
// and, where it can, by the card; random bytes and a refused call's last error. On the first card
// pcscd is restarted between two signatures (through scripts/services.sh, so the pcscd that script
// started): the provider's next signature reconnects by itself and sends the thread's PIN again.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "crypto/openssl_peer.h"
#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "platform/ui/ui_responder.h"
#include "served_card.h"
#include "sim/sim_card.h"
#include "support/run_command.h"

namespace {

using Blob = std::vector<BYTE>;
using kelm::test::kTestReader;

// A card image with the container "signer" and its signature key in 80 01.
bool MakeImage(const std::string& path, int type, Blob* modulus, Blob* exponent, std::string* error) {
    kelm::sim::NewCardOptions options;
    options.type = type;
    kelm::sim::SimCardPtr card = kelm::sim::NewCardImage(path, options, error);
    return card && kelm::sim::PutNewKey(*card, 0x8001, error) &&
           kelm::sim::AddContainer(*card, "signer", 0x8001, 0, error) &&
           kelm::sim::PublicKeyOf(*card, 0x8001, modulus, exponent);
}

TEST(SigningThroughPcscd, SignaturesOfBothKeySizesVerifyWithOpenSsl) {
    void* library = dlopen(KELM_PROVIDER_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto acquire = reinterpret_cast<PFN_CPAcquireContext>(dlsym(library, "CPAcquireContext"));
    auto release = reinterpret_cast<PFN_CPReleaseContext>(dlsym(library, "CPReleaseContext"));
    auto create_hash = reinterpret_cast<PFN_CPCreateHash>(dlsym(library, "CPCreateHash"));
    auto hash_data = reinterpret_cast<PFN_CPHashData>(dlsym(library, "CPHashData"));
    auto sign = reinterpret_cast<PFN_CPSignHash>(dlsym(library, "CPSignHash"));
    auto get_user_key = reinterpret_cast<PFN_CPGetUserKey>(dlsym(library, "CPGetUserKey"));
    auto verify = reinterpret_cast<PFN_CPVerifySignature>(dlsym(library, "CPVerifySignature"));
    auto random = reinterpret_cast<PFN_CPGenRandom>(dlsym(library, "CPGenRandom"));
    ASSERT_TRUE(acquire && release && create_hash && hash_data && sign && get_user_key && verify && random);

    kelm::test::PcscdTestSetup setup("signing");
    ASSERT_TRUE(setup.reader_chosen);
    kelm::platform::ScriptedResponder ui;
    kelm::platform::SetUiResponder(&ui);

    SCARDCONTEXT context = 0;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context), SCARD_S_SUCCESS)
        << "is scripts/services.sh running?";
    ui.QueueDialogAction(kelm::platform::DialogAction{IDOK, "12345678"});
    for (int type : {1, 6}) {
        SCOPED_TRACE("card type " + std::to_string(type));
        const std::string image = setup.Image(type);
        Blob modulus, exponent;
        std::string error;
        ASSERT_TRUE(MakeImage(image, type, &modulus, &exponent, &error)) << error;
        kelm::test::CardsimProcess served;
        ASSERT_TRUE(served.Start({"--image", image}) && kelm::test::WaitForCard(context, kTestReader, true));
        HCRYPTPROV prov = 0;
        HCRYPTKEY key = 0;
        ASSERT_TRUE(acquire(&prov, "signer", 0, nullptr) && get_user_key(prov, AT_SIGNATURE, &key))
            << std::hex << GetLastError();
        const std::string document = "signed through pcscd";
        for (const auto& [algid, name] : {std::pair<ALG_ID, const char*>{CALG_MD5, "MD5"}, {CALG_SHA1, "SHA1"},
                                          {CALG_SHA_256, "SHA256"}}) {
            if (type == 1 && algid == CALG_SHA_256) {
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
            EXPECT_EQ(length, modulus.size());
            signature.resize(length);
            // The card checks 128-byte signatures of MD5 and SHA-1 hashes only.
            EXPECT_EQ(verify(prov, hash, signature.data(), length, key, nullptr, 0), length == 128 && algid != CALG_SHA_256);
            std::reverse(signature.begin(), signature.end());
            EXPECT_TRUE(kelm::test::OpenSslVerifyRsaPkcs1(
                modulus, exponent, name, kelm::test::OpenSslDigest(name, Blob(document.begin(), document.end())),
                signature))
                << name;
        }
        BYTE bytes[16];
        EXPECT_TRUE(random(prov, sizeof bytes, bytes));
        EXPECT_FALSE(random(prov ^ 0x10, sizeof bytes, bytes));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID)) << "the last error crosses the library boundary";
        EXPECT_TRUE(release(prov, 0));
        served.Stop(SIGTERM);
        ASSERT_TRUE(kelm::test::WaitForCard(context, kTestReader, false));
    }
    EXPECT_EQ(ui.DialogCount(), 1u) << "the second card's PIN came from this thread's recent PIN";
    SCardReleaseContext(context);
    kelm::platform::SetUiResponder(nullptr);
}

}  // namespace
