// Eight threads signing at once through the entry points, each with its own context (provider)
// or all through one, on the in-process simulated card and through pcscd: every call succeeds
// and every signature verifies, with OpenSSL, under the key that was asked for. And a context
// released by one thread while a call of another still uses it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "card/pin_verify.h"
#include "card/reader_session.h"
#include "crypto/openssl_peer.h"
#include "e2e/served_card.h"
#include "kelm/csp.h"
#include "kelm/ksp.h"
#include "platform/process/clock_seam.h"
#include "platform/ui/ui_responder.h"
#include "support/sim_fixture.h"

namespace {

using Blob = std::vector<BYTE>;
constexpr int kThreads = 8;
// Through pcscd every command also crosses pcscd, vpcd and kelm-cardsim, which reads and writes
// its image file: about 60 ms a command on the test machine, so fewer signatures there.
constexpr int kSignaturesInProcess = 100, kSignaturesThroughPcscd = 5;

// Two containers of two keys each (signature, exchange).
struct Container {
    const char* name;
    const char16_t* key_name;
    WORD files[2];
};
constexpr Container kContainers[] = {{"alpha", u"alpha", {0x8001, 0x8003}}, {"beta", u"beta", {0x8002, 0x8004}}};

bool PutKeys(kelm::sim::SimCard& card, std::string* error) {
    bool put = true;
    for (const Container& c : kContainers) {
        put = put && kelm::sim::PutNewKey(card, c.files[0], error) && kelm::sim::PutNewKey(card, c.files[1], error) &&
              kelm::sim::AddContainer(card, c.name, c.files[0], c.files[1], error);
    }
    return put;
}

// Types the PIN into every PIN dialog, from whichever thread asks; `during_dialog` runs first.
// The release's settle time takes no time (the real tick count and thread ids stay).
struct TypingUser : kelm::platform::UiResponder {
    std::atomic<int> dialogs{0}, boxes{0};
    std::function<void()> during_dialog;
    TypingUser() {
        kelm::platform::SetUiResponder(this);
        kelm::platform::ClockSeam seam;
        seam.sleep = [](DWORD) {};
        kelm::platform::SetClockSeam(&seam);
    }
    ~TypingUser() override {
        kelm::card::End_CardSession();
        kelm::card::ClearPinCache();
        kelm::platform::SetClockSeam(nullptr);
        kelm::platform::SetUiResponder(nullptr);
    }
    int MessageBox(const kelm::platform::MessageBoxShown& box) override {
        ++boxes;
        return kelm::platform::UnattendedAnswer(box.type);
    }
    std::optional<kelm::platform::DialogAction> Dialog(const kelm::platform::DialogShown&) override {
        ++dialogs;
        if (during_dialog) during_dialog();
        return kelm::platform::DialogAction{IDOK, kelm::testing::kSimPin};
    }
};

Blob Digest(bool sha256, const std::string& message) {
    return kelm::test::OpenSslDigest(sha256 ? "SHA256" : "SHA1", Blob(message.begin(), message.end()));
}
NCRYPT_KEY_STORAGE_FUNCTION_TABLE* Table() {
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE* table = nullptr;
    GetKeyStorageInterface(nullptr, &table, 0);
    return table;
}

struct Case {
    const char* name;
    bool key_storage;  // GetKeyStorageInterface's table, else the CP entry points
    bool shared;       // one context (provider) for all threads, else one each
    int card_type;     // 6: 2048-bit keys, two commands per signature
    bool pcscd;        // through pcscd and kelm-cardsim, else the in-process card
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name << (c.pcscd ? " through pcscd" : ""); }

// One thread's signing; threads of their own spread over the four keys, threads sharing one
// context (provider) use the first container's two. Each checks its signatures when done.
struct Signer {
    const Case& c;
    const Container& container;
    int key;  // 0 signature, 1 exchange
    HCRYPTPROV prov = 0;
    HCRYPTHASH hash = 0;  // the one being signed
    NCRYPT_PROV_HANDLE provider = 0;
    NCRYPT_KEY_HANDLE handle = 0;
    std::vector<std::pair<std::string, Blob>> made;  // message (SHA-256 when odd) and signature
    std::vector<std::string> failures;

    Signer(const Case& test, const Container& keys, int which) : c(test), container(keys), key(which) {}
    DWORD Open() {
        if (!c.key_storage) return CPAcquireContext(&prov, container.name, 0, nullptr) ? 0 : GetLastError();
        SECURITY_STATUS opened = Table()->OpenProvider(&provider, KELM_KSP_NAME, 0);
        if (opened == 0) opened = Table()->OpenKey(provider, &handle, container.key_name, key ? AT_KEYEXCHANGE : AT_SIGNATURE, 0);
        return static_cast<DWORD>(opened);
    }
    void Close() {
        if (!c.key_storage) CPReleaseContext(prov, 0);
        else Table()->FreeKey(provider, handle), Table()->FreeProvider(provider);
    }
    void Sign(const std::string& message, bool sha256) {
        Blob signature(256), digest = Digest(sha256, message);
        DWORD length = 0, error = 0;
        if (c.key_storage) {
            error = static_cast<DWORD>(Table()->SignHash(provider, handle, nullptr, digest.data(), DWORD(digest.size()),
                                                         signature.data(), 256, &length, 0));
        } else {
            length = 256;
            const bool signed_hash = CPCreateHash(prov, sha256 ? CALG_SHA_256 : CALG_SHA1, 0, 0, &hash) &&
                                     CPHashData(prov, hash, reinterpret_cast<const BYTE*>(message.data()), DWORD(message.size()), 0) &&
                                     CPSignHash(prov, hash, key ? AT_KEYEXCHANGE : AT_SIGNATURE, nullptr, 0, signature.data(), &length);
            error = signed_hash ? 0 : GetLastError();
            CPDestroyHash(prov, hash);
            std::reverse(signature.begin(), signature.begin() + length);
        }
        signature.resize(error == 0 ? length : 0);
        if (error != 0) failures.push_back(message + ": error " + std::to_string(error));
        made.emplace_back(message, signature);
    }
    void Check(kelm::sim::SimCard& card) {
        Blob modulus, exponent;
        kelm::sim::PublicKeyOf(card, container.files[key], &modulus, &exponent);
        for (size_t j = 0; j < made.size(); ++j) {
            if (!made[j].second.empty() && !kelm::test::OpenSslVerifyRsaPkcs1(modulus, exponent, j % 2 ? "SHA256" : "SHA1",
                                                                              Digest(j % 2, made[j].first), made[j].second)) {
                failures.push_back(made[j].first + ": not made by the key asked for");
            }
        }
    }
};

class ConcurrentSigning : public ::testing::TestWithParam<Case> {};

TEST_P(ConcurrentSigning, EverySignatureIsMadeByTheKeyAskedFor) {
    const Case& c = GetParam();
    std::unique_ptr<kelm::test::PcscdTestSetup> pcscd;
    std::unique_ptr<kelm::test::ScopedInMemoryRegistry> registry;
    kelm::testing::SimCardSetup setup;
    setup.type = c.card_type;
    std::unique_ptr<kelm::testing::ScopedSimCard> in_process;
    kelm::sim::SimCardPtr image{nullptr, kelm::sim::FreeSimCard};
    kelm::test::CardsimProcess served;
    SCARDCONTEXT context = 0;
    if (c.pcscd) {
        pcscd = std::make_unique<kelm::test::PcscdTestSetup>("threads");
        kelm::sim::NewCardOptions options;
        options.type = c.card_type;
        std::string error;
        image = kelm::sim::NewCardImage(pcscd->Image(c.card_type), options, &error);
        ASSERT_TRUE(image && PutKeys(*image, &error)) << error;
        ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context), SCARD_S_SUCCESS) << "is pcscd running?";
        ASSERT_TRUE(served.Start({"--image", pcscd->Image(c.card_type)}) &&
                    kelm::test::WaitForCard(context, kelm::test::kTestReader, true));
    } else {
        registry = std::make_unique<kelm::test::ScopedInMemoryRegistry>();
        in_process = std::make_unique<kelm::testing::ScopedSimCard>(setup);
        std::string error;
        ASSERT_TRUE(PutKeys(in_process->card(), &error)) << error;
    }
    kelm::sim::SimCard& card = c.pcscd ? *image : in_process->card();
    TypingUser user;

    std::vector<Signer> signers;
    for (int t = 0; t < kThreads; ++t) signers.emplace_back(c, kContainers[c.shared ? 0 : (t / 2) % 2], t % 2);
    if (c.shared) {
        // One context (provider) opened by the first signer; with the key storage provider, its
        // second key is the exchange key.
        ASSERT_EQ(signers[0].Open(), 0u);
        ASSERT_TRUE(!c.key_storage || Table()->OpenKey(signers[0].provider, &signers[1].handle, u"alpha", AT_KEYEXCHANGE, 0) == 0);
        for (int t = 1; t < kThreads; ++t) {
            signers[t].prov = signers[0].prov, signers[t].provider = signers[0].provider;
            signers[t].handle = signers[t % 2].handle;
        }
    }
    std::barrier<> ready(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Signer& signer = signers[t];
            const DWORD opened = c.shared ? 0 : signer.Open();
            ready.arrive_and_wait();
            const int signatures = c.pcscd ? kSignaturesThroughPcscd : kSignaturesInProcess;
            for (int j = 0; opened == 0 && j < signatures; ++j) {
                signer.Sign(std::to_string(t) + " signs " + std::to_string(j), j % 2);
            }
            // The first thread done ends the session under the others: their next signature reconnects.
            if (opened == 0 && !c.shared) signer.Close();
            if (opened != 0) signer.failures.push_back("open: error " + std::to_string(opened));
        });
    }
    for (std::thread& thread : threads) thread.join();
    if (c.shared) signers[0].Close();
    size_t failures = 0;
    for (Signer& signer : signers) {
        signer.Check(card);
        if (!signer.failures.empty()) ADD_FAILURE() << signer.failures.front();
        failures += signer.failures.size();
    }
    EXPECT_EQ(failures, 0u);
    EXPECT_EQ(user.boxes, 0) << "no message box";
    // Threads that need the session's PIN at once wait for the one that asks instead of asking.
    EXPECT_TRUE(!c.shared || user.dialogs == 1) << user.dialogs << " dialogs";
    if (c.pcscd) {
        kelm::card::End_CardSession();
        served.Stop(SIGTERM);
        EXPECT_TRUE(kelm::test::WaitForCard(context, kelm::test::kTestReader, false));
        SCardReleaseContext(context);
    }
}

std::vector<Case> Cases() {
    std::vector<Case> cases;
    for (bool pcscd : {false, true}) {
        cases.insert(cases.end(), {{"OwnContexts", false, false, 1, pcscd},
                                   {"SharedContext", false, true, 6, pcscd},
                                   {"ProviderPerThread", true, false, 1, pcscd},
                                   {"SharedProvider", true, true, 6, pcscd}});
    }
    return cases;
}
INSTANTIATE_TEST_SUITE_P(Threads, ConcurrentSigning, ::testing::ValuesIn(Cases()), [](const auto& info) {
    return std::string(info.param.name) + (info.param.pcscd ? "ThroughPcscd" : "");
});

// CPReleaseContext (and CPDestroyHash) in another thread while CPSignHash waits for the PIN: the
// running call goes on with the context it holds and signs; the context is gone afterwards.
TEST(Threads, ReleaseDuringUseFinishesWithTheContextItHolds) {
    kelm::test::ScopedInMemoryRegistry registry;
    kelm::testing::ScopedSimCard sim;
    std::string error;
    ASSERT_TRUE(PutKeys(sim.card(), &error)) << error;
    TypingUser user;
    const Case c{"", false, false, 1, false};
    Signer signer(c, kContainers[0], 0);
    ASSERT_EQ(signer.Open(), 0u);
    user.during_dialog = [&] {
        std::thread([&] { CPDestroyHash(signer.prov, signer.hash), CPReleaseContext(signer.prov, 0); }).join();
    };
    signer.Sign("released meanwhile", false);
    signer.Check(sim.card());
    EXPECT_EQ(signer.failures, std::vector<std::string>{});
    EXPECT_FALSE(CPReleaseContext(signer.prov, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
}

}  // namespace
