// The key storage provider through the real pcscd: the table program of the in-process tests,
// run against a 1024-bit and a 2048-bit card that kelm-cardsim serves in "Virtual PCD 00 01",
// with the key's certificate in the "My" store and its numbers read from the card's image.
#include <gtest/gtest.h>

#include <string>

#include "crypto/openssl_peer.h"
#include "kelm/cert_store.h"
#include "kelm/ksp.h"
#include "kelm/winapi.h"
#include "ksp/table_program.h"
#include "platform/ui/ui_responder.h"
#include "served_card.h"
#include "sim/card_state.h"
#include "sim/sim_card.h"

namespace {

using kelm::test::kTestReader;

// A card image with the container `name` and its signature key in 80 01, and that key's numbers.
bool MakeImage(const std::string& path, int type, const std::string& name, kelm::ksp::testing::ProgramKey* key,
               std::string* error) {
    kelm::sim::NewCardOptions options;
    options.type = type;
    kelm::sim::SimCardPtr card = kelm::sim::NewCardImage(path, options, error);
    kelm::sim::CardImage image;
    if (!card || !kelm::sim::PutNewKey(*card, 0x8001, error) || !kelm::sim::AddContainer(*card, name, 0x8001, 0, error) ||
        !kelm::sim::LoadImage(path, &image, error)) {
        return false;
    }
    const kelm::sim::KeyFile* file = kelm::sim::FindKeyFile(image, 0x8001);
    *key = {std::u16string(name.begin(), name.end()), file->key.n, file->key.e, file->key.d};
    return true;
}

// Puts a certificate for the key in the "My" store, naming its container.
void AddCertificate(const kelm::ksp::testing::ProgramKey& key) {
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
}

TEST(KeyStorageThroughPcscd, TableProgramOnBothKeySizes) {
    kelm::test::PcscdTestSetup setup("ksp");
    ASSERT_TRUE(setup.reader_chosen);
    kelm::platform::ScriptedResponder ui;
    kelm::platform::SetUiResponder(&ui);

    SCARDCONTEXT context = 0;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context), SCARD_S_SUCCESS)
        << "is scripts/services.sh running?";
    for (int type : {1, 6}) {
        SCOPED_TRACE("card type " + std::to_string(type));
        const std::string image = setup.Image(type);
        kelm::ksp::testing::ProgramKey key;
        std::string error;
        // A container name of each card's own: the store keeps the other card's certificate.
        ASSERT_TRUE(MakeImage(image, type, "keys" + std::to_string(type), &key, &error)) << error;
        AddCertificate(key);
        kelm::test::CardsimProcess served;
        ASSERT_TRUE(served.Start({"--image", image}) && kelm::test::WaitForCard(context, kTestReader, true));
        ui.QueueDialogAction(kelm::platform::DialogAction{IDOK, "12345678"});
        kelm::ksp::testing::RunTableProgram(KELM_PROVIDER_PATH, key);
        served.Stop(SIGTERM);
        ASSERT_TRUE(kelm::test::WaitForCard(context, kTestReader, false));
    }
    SCardReleaseContext(context);
    kelm::platform::SetUiResponder(nullptr);
}

}  // namespace
