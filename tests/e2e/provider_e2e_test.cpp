// The provider as an application loads it, through the real pcscd and the card that
// scripts/services.sh serves: libKelmKSPv5.so opened with dlopen, a container created,
// enumerated and deleted through the entry points, and the registry file checked after each.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "platform/pcsc/pcsc_backend.h"
#include "platform/ui/ui_responder.h"
#include "support/registry_fixture.h"

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string ServedPin() {
    const char* pin = std::getenv("KELM_SIM_PIN");
    return pin != nullptr && *pin != '\0' ? pin : "12345678";
}

TEST(ProviderThroughPcscd, ContainerLifeThroughTheLoadedProvider) {
    void* library = dlopen(KELM_PROVIDER_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto acquire = reinterpret_cast<PFN_CPAcquireContext>(dlsym(library, "CPAcquireContext"));
    auto release = reinterpret_cast<PFN_CPReleaseContext>(dlsym(library, "CPReleaseContext"));
    auto get = reinterpret_cast<PFN_CPGetProvParam>(dlsym(library, "CPGetProvParam"));
    ASSERT_TRUE(acquire && release && get);

    kelm::test::ScopedRegistryDirectory registry;
    kelm::platform::ScriptedResponder ui;
    kelm::platform::SetUiResponder(&ui);
    kelm::platform::SetPcscBackend(nullptr);

    const std::string name = "e2e-provider-" + std::to_string(getpid());
    const std::string subkey =
        "[HKEY_CURRENT_USER\\Software\\Microsoft\\Cryptography\\UserKeys\\MorvaCSP-" + name + "]";

    ui.QueueDialogAction(kelm::platform::DialogAction{IDOK, ServedPin()});
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(acquire(&prov, name.c_str(), CRYPT_NEWKEYSET, nullptr))
        << std::hex << GetLastError() << ": is scripts/services.sh running?";
    EXPECT_EQ(ui.DialogCount(), 1u);
    EXPECT_TRUE(release(prov, 0));
    const std::string after_create = ReadFile(registry.CurrentUserFile());
    const size_t at = after_create.find(subkey);
    ASSERT_NE(at, std::string::npos) << after_create;
    EXPECT_NE(after_create.find("\"PSKEYS\"=hex:01,00,00,00", at), std::string::npos) << after_create;

    // A verify context enumerates the card's containers, the new one among them.
    ASSERT_TRUE(acquire(&prov, nullptr, CRYPT_VERIFYCONTEXT, nullptr)) << std::hex << GetLastError();
    std::vector<std::string> names;
    for (DWORD flags = CRYPT_FIRST;; flags = 0) {
        char entry[40] = {};
        DWORD size = sizeof entry;
        if (!get(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(entry), &size, flags)) break;
        names.emplace_back(entry);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_NE(std::find(names.begin(), names.end(), name), names.end());
    EXPECT_TRUE(release(prov, 0));

    // Opening the existing container by name finds it on the card and registers it again.
    ASSERT_TRUE(acquire(&prov, name.c_str(), 0, nullptr)) << std::hex << GetLastError();
    char opened[40] = {};
    DWORD opened_size = sizeof opened;
    ASSERT_TRUE(get(prov, PP_CONTAINER, reinterpret_cast<BYTE*>(opened), &opened_size, 0))
        << std::hex << GetLastError();
    EXPECT_EQ(std::string(opened), name);
    EXPECT_TRUE(release(prov, 0));
    EXPECT_NE(ReadFile(registry.CurrentUserFile()).find(subkey), std::string::npos);

    // The releases ended the session; the deletion connects again and the PIN comes from the
    // recent-PIN cache of this thread, so no second dialog appears.
    prov = 0x77;
    ASSERT_TRUE(acquire(&prov, name.c_str(), CRYPT_DELETEKEYSET, nullptr)) << std::hex << GetLastError();
    EXPECT_EQ(prov, 0u);
    EXPECT_EQ(ui.DialogCount(), 1u);
    EXPECT_EQ(ReadFile(registry.CurrentUserFile()).find(subkey), std::string::npos);
    EXPECT_EQ(ui.BoxCount(), 0u);
    kelm::platform::SetUiResponder(nullptr);
}

}  // namespace
