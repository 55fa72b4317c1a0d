// The smart-card service restarted between two signatures: the provider's context outlives its
// PC/SC context and connection, and the next signature reconnects on its own, sending the
// thread's PIN again without asking. The service is restarted through scripts/services.sh, so
// this test needs the pcscd that script started (run it under the pcscd lock like every test
// that uses the readers).
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

TEST(PcscdRestart, TheNextSignatureReconnects) {
    kelm::test::PcscdTestSetup setup("restart");
    ASSERT_TRUE(setup.reader_chosen);
    kelm::platform::ScriptedResponder ui;
    kelm::platform::SetUiResponder(&ui);
    ui.QueueDialogAction(kelm::platform::DialogAction{IDOK, "12345678"});

    const std::string image = setup.Image(1);
    std::string error;
    kelm::sim::NewCardOptions options;
    kelm::sim::SimCardPtr card = kelm::sim::NewCardImage(image, options, &error);
    Blob modulus, exponent;
    ASSERT_TRUE(card && kelm::sim::PutNewKey(*card, 0x8001, &error) &&
                kelm::sim::AddContainer(*card, "signer", 0x8001, 0, &error) &&
                kelm::sim::PublicKeyOf(*card, 0x8001, &modulus, &exponent))
        << error;
    kelm::test::CardsimProcess served;
    SCARDCONTEXT context = 0;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context), SCARD_S_SUCCESS)
        << "is scripts/services.sh running?";
    ASSERT_TRUE(served.Start({"--image", image}) && kelm::test::WaitForCard(context, kelm::test::kTestReader, true));
    SCardReleaseContext(context);

    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CPAcquireContext(&prov, "signer", 0, nullptr)) << std::hex << GetLastError();
    const auto signs = [&](const std::string& document) {
        HCRYPTHASH hash = 0;
        Blob signature(128);
        DWORD length = static_cast<DWORD>(signature.size());
        const bool ok = CPCreateHash(prov, CALG_SHA1, 0, 0, &hash) &&
                        CPHashData(prov, hash, reinterpret_cast<const BYTE*>(document.data()),
                                   static_cast<DWORD>(document.size()), 0) &&
                        CPSignHash(prov, hash, AT_SIGNATURE, nullptr, 0, signature.data(), &length);
        EXPECT_TRUE(ok) << document << ": " << std::hex << GetLastError();
        CPDestroyHash(prov, hash);
        std::reverse(signature.begin(), signature.end());
        return ok && kelm::test::OpenSslVerifyRsaPkcs1(
                         modulus, exponent, "SHA1",
                         kelm::test::OpenSslDigest("SHA1", Blob(document.begin(), document.end())), signature);
    };
    EXPECT_TRUE(signs("before the restart"));

    const kelm::test::CommandRun restart =
        kelm::test::RunCommand(std::string(KELM_SOURCE_DIR) + "/scripts/services.sh restart-pcscd 2>&1");
    ASSERT_EQ(restart.status, 0) << restart.output;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context), SCARD_S_SUCCESS);
    ASSERT_TRUE(kelm::test::WaitForCard(context, kelm::test::kTestReader, true)) << "the test card came back";
    SCardReleaseContext(context);

    EXPECT_TRUE(signs("after the restart"));
    EXPECT_EQ(ui.DialogCount(), 1u) << "the PIN was sent again from this thread's recent PIN";
    EXPECT_TRUE(CPReleaseContext(prov, 0));
    kelm::platform::SetUiResponder(nullptr);
}

}  // namespace
