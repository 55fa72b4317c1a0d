// The provider as the platform's loader sees it: libKelmKSPv5.so opened with dlopen and driven
// only through the entry points that dlsym finds in it.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <string>

#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "platform/process/clock_seam.h"
#include "platform/ui/ui_responder.h"
#include "sim/sim_card.h"
#include "support/run_command.h"
#include "support/registry_fixture.h"
#include "support/sim_fixture.h"

namespace {

template <typename F>
F Symbol(void* library, const char* name) {
    return reinterpret_cast<F>(dlsym(library, name));
}

TEST(ProviderLoading, EntryPointsWorkThroughDlsym) {
    void* library = dlopen(KELM_PROVIDER_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto acquire = Symbol<PFN_CPAcquireContext>(library, "CPAcquireContext");
    auto release = Symbol<PFN_CPReleaseContext>(library, "CPReleaseContext");
    auto get = Symbol<PFN_CPGetProvParam>(library, "CPGetProvParam");
    auto set = Symbol<PFN_CPSetProvParam>(library, "CPSetProvParam");
    auto check = Symbol<PFN_DoCheckDialog>(library, "DoCheckDialog");
    auto create_hash = Symbol<PFN_CPCreateHash>(library, "CPCreateHash");
    auto hash_data = Symbol<PFN_CPHashData>(library, "CPHashData");
    auto get_hash = Symbol<PFN_CPGetHashParam>(library, "CPGetHashParam");
    ASSERT_TRUE(acquire && release && get && set && check && create_hash && hash_data && get_hash);

    kelm::testing::ScopedSimCard card;
    kelm::test::ScopedInMemoryRegistry registry;
    kelm::platform::ScriptedResponder ui;
    kelm::platform::FakeClock clock;
    kelm::platform::SetUiResponder(&ui);
    kelm::platform::UseFakeClock(&clock);

    HCRYPTPROV prov = 0;
    ASSERT_TRUE(acquire(&prov, nullptr, CRYPT_VERIFYCONTEXT, nullptr)) << std::hex << GetLastError();
    char name[32] = {};
    DWORD size = sizeof name;
    ASSERT_TRUE(get(prov, PP_NAME, reinterpret_cast<BYTE*>(name), &size, 0));
    EXPECT_STREQ(name, "KELM CSP V5");

    HCRYPTHASH hash = 0;
    BYTE digest[32] = {};
    size = sizeof digest;
    ASSERT_TRUE(create_hash(prov, CALG_SHA_256, 0, 0, &hash) && hash_data(prov, hash, digest, 3, 0) &&
                get_hash(prov, hash, HP_HASHVAL, digest, &size, 0));
    EXPECT_EQ(digest[0] << 8 | digest[31], 0x707c) << "SHA-256 of three zero bytes";
    // A key derived from that hash encrypts and decrypts through the exported functions.
    HCRYPTKEY key = 0;
    BYTE data[16] = {'d', 'l', 's', 'y', 'm'};
    DWORD length = 5;
    ASSERT_TRUE(Symbol<PFN_CPDeriveKey>(library, "CPDeriveKey")(prov, CALG_3DES, hash, 0, &key) &&
                Symbol<PFN_CPEncrypt>(library, "CPEncrypt")(prov, key, 0, TRUE, 0, data, &length, sizeof data) &&
                Symbol<PFN_CPDecrypt>(library, "CPDecrypt")(prov, key, 0, TRUE, 0, data, &length));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), length), "dlsym");
    EXPECT_TRUE(Symbol<PFN_CPDestroyHash>(library, "CPDestroyHash")(prov, hash));

    // Creating a container asks for the PIN.
    ui.QueueDialogAction(kelm::platform::DialogAction{IDOK, kelm::testing::kSimPin});
    HCRYPTPROV created = 0;
    ASSERT_TRUE(acquire(&created, "loader-test", CRYPT_NEWKEYSET, nullptr)) << std::hex << GetLastError();
    EXPECT_EQ(ui.DialogCount(), 1u);

    // A key pair made on the card, the PIN of the creation serving it.
    HCRYPTKEY pair = 0;
    EXPECT_TRUE(Symbol<PFN_CPGenKey>(library, "CPGenKey")(created, AT_SIGNATURE, 0, &pair)) << std::hex << GetLastError();
    EXPECT_EQ(ui.DialogCount(), 1u);

    // Within 30 seconds the exported check re-sends this thread's PIN without a dialog.
    EXPECT_EQ(check(0), 1);
    EXPECT_EQ(ui.DialogCount(), 1u);

    EXPECT_TRUE(release(created, 0));
    EXPECT_GE(clock.total_slept_ms, 1000u);
    EXPECT_TRUE(release(prov, 0));
    kelm::platform::UseFakeClock(nullptr);
    kelm::platform::SetUiResponder(nullptr);
}

// Any program may use the simulated card: the platform's PC/SC serves the image KELM_PCSC
// names, and the PIN comes from KELM_PINENTRY. The program here is written in C and knows the
// provider only through dlopen and the public headers.
TEST(ProviderLoading, AProgramInCUsesTheSimulatedCardThatKelmPcscNames) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("kelm-c-client-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string image = (dir / "card.json").string();
    std::string error;
    kelm::sim::SimCardPtr card = kelm::sim::NewCardImage(image, kelm::sim::NewCardOptions{}, &error);
    ASSERT_TRUE(card && kelm::sim::AddContainer(*card, "alice", 0, 0, &error)) << error;
    const std::string pinentry = (dir / "pinentry").string();
    std::ofstream(pinentry) << "#!/bin/sh\necho 'OK ready'\nwhile read -r line; do case \"$line\" in\n"
                               "GETPIN) echo 'D 12345678'; echo OK ;;\nBYE) echo OK; exit 0 ;;\n*) echo OK ;;\nesac; done\n";
    fs::permissions(pinentry, fs::perms::owner_all);

    const struct {
        std::string pcsc;
        int status;
        std::vector<std::string> shown;
    } rows[] = {
        {"sim:" + image, 0, {"container alice\n", "PIN check: 1\n"}},
        {"sim:" + (dir / "missing.json").string(), 1, {"cannot open card image", "CPAcquireContext failed"}},
        {"smartcard", 1, {"KELM_PCSC=smartcard: unknown value", "CPAcquireContext failed"}},
    };
    for (const auto& row : rows) {
        const kelm::test::CommandRun run = kelm::test::RunCommand(
            "KELM_PCSC='" + row.pcsc + "' KELM_PINENTRY='" + pinentry + "' KELM_REGISTRY_DIR='" + (dir / "registry").string() +
            "' setsid -w '" KELM_C_CLIENT_PATH "' '" KELM_PROVIDER_PATH "' </dev/null 2>&1");
        EXPECT_EQ(run.status, row.status) << row.pcsc << "\n" << run.output;
        for (const std::string& text : row.shown) EXPECT_NE(run.output.find(text), std::string::npos) << text << "\n" << run.output;
    }
    fs::remove_all(dir);
}

}  // namespace
