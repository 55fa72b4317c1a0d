// Signing through the real pcscd: a 1024-bit card of type 1 and a 2048-bit card of type 6, served
// by kelm-cardsim in "Virtual PCD 00 01" (the provider's preferred reader), signed through the
// loaded provider's entry points and checked by OpenSSL against the public key in the card image.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "crypto/openssl_peer.h"
#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "platform/pcsc/pcsc_backend.h"
#include "platform/ui/ui_responder.h"
#include "sim/sim_card.h"
#include "support/registry_fixture.h"

extern char** environ;

namespace {

using Blob = std::vector<BYTE>;
const char kTestReader[] = "Virtual PCD 00 01";

// A card image with the container "signer" and its signature key in 80 01.
bool MakeImage(const std::string& path, int type, Blob* modulus, Blob* exponent, std::string* error) {
    kelm::sim::NewCardOptions options;
    options.type = type;
    kelm::sim::SimCardPtr card = kelm::sim::NewCardImage(path, options, error);
    return card && kelm::sim::PutNewKey(*card, 0x8001, error) &&
           kelm::sim::AddContainer(*card, "signer", 0x8001, 0, error) &&
           kelm::sim::PublicKeyOf(*card, 0x8001, modulus, exponent);
}

// kelm-cardsim serving `image` to the test reader until the object goes.
struct ServedCard {
    pid_t pid = -1;
    explicit ServedCard(const std::string& image) {
        std::vector<std::string> words = {KELM_CARDSIM_PATH, "--image", image, "--port", "35964"};
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) pid = -1;
    }
    ~ServedCard() {
        if (pid < 0) return;
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
};

bool ReaderHoldsCard(bool present) {
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS) return false;
    bool reached = false;
    for (int round = 0; round < 50 && !reached; ++round) {
        SCARD_READERSTATEA state{};
        state.szReader = kTestReader;
        state.dwCurrentState = SCARD_STATE_UNAWARE;
        if (SCardGetStatusChangeA(context, 0, &state, 1) == SCARD_S_SUCCESS) {
            reached = ((state.dwEventState & SCARD_STATE_PRESENT) != 0) == present;
        }
        if (!reached) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    SCardReleaseContext(context);
    return reached;
}

TEST(SigningThroughPcscd, SignaturesOfBothKeySizesVerifyWithOpenSsl) {
    void* library = dlopen(KELM_PROVIDER_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto acquire = reinterpret_cast<PFN_CPAcquireContext>(dlsym(library, "CPAcquireContext"));
    auto release = reinterpret_cast<PFN_CPReleaseContext>(dlsym(library, "CPReleaseContext"));
    auto create_hash = reinterpret_cast<PFN_CPCreateHash>(dlsym(library, "CPCreateHash"));
    auto hash_data = reinterpret_cast<PFN_CPHashData>(dlsym(library, "CPHashData"));
    auto sign = reinterpret_cast<PFN_CPSignHash>(dlsym(library, "CPSignHash"));
    ASSERT_TRUE(acquire && release && create_hash && hash_data && sign);

    kelm::platform::SetPcscBackend(nullptr);
    kelm::test::ScopedRegistryDirectory registry;
    HKEY settings = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\VESK\\ROSMAC10", 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &settings, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(settings, "sReaderName", 0, REG_SZ, reinterpret_cast<const BYTE*>(kTestReader),
                             sizeof kTestReader),
              ERROR_SUCCESS);
    RegCloseKey(settings);
    kelm::platform::ScriptedResponder ui;
    kelm::platform::SetUiResponder(&ui);
    const std::filesystem::path directory = std::filesystem::temp_directory_path() /
                                            ("kelm-e2e-signing-" + std::to_string(getpid()));
    std::filesystem::remove_all(directory);
    std::filesystem::create_directories(directory);

    ui.QueueDialogAction(kelm::platform::DialogAction{IDOK, "12345678"});
    for (int type : {1, 6}) {
        SCOPED_TRACE("card type " + std::to_string(type));
        const std::string image = (directory / ("card" + std::to_string(type) + ".json")).string();
        Blob modulus, exponent;
        std::string error;
        ASSERT_TRUE(MakeImage(image, type, &modulus, &exponent, &error)) << error;
        auto served = std::make_unique<ServedCard>(image);
        ASSERT_TRUE(served->pid > 0 && ReaderHoldsCard(true)) << "is scripts/services.sh running?";
        HCRYPTPROV prov = 0;
        ASSERT_TRUE(acquire(&prov, "signer", 0, nullptr)) << std::hex << GetLastError();
        const std::string document = "signed through pcscd";
        for (const auto& [algid, name] : {std::pair<ALG_ID, const char*>{CALG_MD5, "MD5"}, {CALG_SHA1, "SHA1"},
                                          {CALG_SHA_256, "SHA256"}}) {
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
            std::reverse(signature.begin(), signature.end());
            EXPECT_TRUE(kelm::test::OpenSslVerifyRsaPkcs1(
                modulus, exponent, name, kelm::test::OpenSslDigest(name, Blob(document.begin(), document.end())),
                signature))
                << name;
        }
        EXPECT_TRUE(release(prov, 0));
        served.reset();
        ASSERT_TRUE(ReaderHoldsCard(false));
    }
    EXPECT_EQ(ui.DialogCount(), 1u) << "the second card's PIN came from this thread's recent PIN";
    kelm::platform::SetUiResponder(nullptr);
    std::filesystem::remove_all(directory);
}

}  // namespace
