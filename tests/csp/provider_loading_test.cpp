// The provider as the platform's loader sees it: libKelmKSPv5.so opened with dlopen and driven
// only through the entry points that dlsym finds in it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "pin_card_fake.h"
#include "platform/clock_seam.h"
#include "platform/registry_store.h"
#include "platform/ui_responder.h"

namespace kelm::csp {
namespace {

struct Provider {
    PFN_CPAcquireContext acquire = nullptr;
    PFN_CPReleaseContext release = nullptr;
    PFN_CPGetProvParam get = nullptr;
    PFN_CPSetProvParam set = nullptr;
    PFN_DoCheckDialog check = nullptr;
};

template <typename F>
F Symbol(void* library, const char* name) {
    return reinterpret_cast<F>(dlsym(library, name));
}

TEST(ProviderLoading, EntryPointsWorkThroughDlsym) {
    void* library = dlopen(KELM_PROVIDER_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    Provider p;
    p.acquire = Symbol<PFN_CPAcquireContext>(library, "CPAcquireContext");
    p.release = Symbol<PFN_CPReleaseContext>(library, "CPReleaseContext");
    p.get = Symbol<PFN_CPGetProvParam>(library, "CPGetProvParam");
    p.set = Symbol<PFN_CPSetProvParam>(library, "CPSetProvParam");
    p.check = Symbol<PFN_DoCheckDialog>(library, "DoCheckDialog");
    ASSERT_TRUE(p.acquire && p.release && p.get && p.set && p.check);
    // Nothing but the entry points is visible.
    EXPECT_EQ(dlsym(library, "_ZN4kelm4card9VerifyPINEj"), nullptr);

    test::PinCardFake card;
    platform::ScriptedResponder ui;
    platform::FakeClock clock;
    platform::UseInMemoryRegistry();
    platform::SetPcscBackend(&card);
    platform::SetUiResponder(&ui);
    platform::UseFakeClock(&clock);

    HCRYPTPROV prov = 0;
    ASSERT_TRUE(p.acquire(&prov, nullptr, CRYPT_VERIFYCONTEXT, nullptr)) << std::hex << GetLastError();
    char name[32] = {};
    DWORD size = sizeof name;
    ASSERT_TRUE(p.get(prov, PP_NAME, reinterpret_cast<BYTE*>(name), &size, 0));
    EXPECT_STREQ(name, "KELM CSP V5");
    int rows = 0;
    for (DWORD flags = CRYPT_FIRST;; flags = 0, ++rows) {
        PROV_ENUMALGS alg;
        size = sizeof alg;
        if (!p.get(prov, PP_ENUMALGS, reinterpret_cast<BYTE*>(&alg), &size, flags)) break;
    }
    EXPECT_EQ(rows, 10);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_FALSE(p.set(prov, PP_NAME, reinterpret_cast<const BYTE*>(name), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_FAIL));

    // Creating a container asks for the PIN and records the container in the registry.
    ui.QueueDialogAction(platform::DialogAction{IDOK, "123456"});
    HCRYPTPROV created = 0;
    ASSERT_TRUE(p.acquire(&created, "loader-test", CRYPT_NEWKEYSET, nullptr)) << std::hex << GetLastError();
    EXPECT_EQ(ui.DialogCount(), 1u);
    EXPECT_EQ(card.Verifies().size(), 1u);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Cryptography\\UserKeys\\MorvaCSP-loader-test", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    if (key != nullptr) RegCloseKey(key);

    // The exported PIN check: within 30 seconds this thread's PIN is sent again without a
    // dialog; later, any kind but 0 shows the retry dialog and reports its button.
    EXPECT_EQ(p.check(0), 1);
    EXPECT_EQ(ui.DialogCount(), 1u);
    EXPECT_EQ(card.Verifies().size(), 2u);
    clock.now_ms += 31000;
    ui.QueueDialogAction(platform::DialogAction{IDCANCEL, ""});
    EXPECT_EQ(p.check(1), 2);
    EXPECT_EQ(ui.DialogCount(), 2u);

    clock.total_slept_ms = 0;
    EXPECT_TRUE(p.release(created, 0));
    EXPECT_GE(clock.total_slept_ms, 1000u);
    EXPECT_TRUE(p.release(prov, 0));
    EXPECT_FALSE(p.release(prov, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));

    platform::UseFakeClock(nullptr);
    platform::SetUiResponder(nullptr);
    platform::SetPcscBackend(nullptr);
}

}  // namespace
}  // namespace kelm::csp
