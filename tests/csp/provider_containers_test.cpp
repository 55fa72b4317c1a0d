// Provider contexts on the simulated card: creating, opening and deleting containers with the
// PIN asked exactly when it must be, the combinations of flags, names cut to 36 characters,
// the container enumeration, and a release that ends the session under another context.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "card/pin_verify.h"
#include "card/reader_session.h"
#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "platform/clock_seam.h"
#include "platform/memory.h"
#include "platform/ui_responder.h"
#include "support/registry_fixture.h"
#include "support/sim_fixture.h"

namespace kelm::csp {
namespace {

using platform::DialogAction;

bool Registered(const std::string& name, bool machine = false) {
    const std::string path = std::string(machine ? "Software\\Microsoft\\Cryptography\\MachineKeys"
                                                 : "Software\\Microsoft\\Cryptography\\UserKeys") +
                             "\\MorvaCSP-" + name;
    HKEY key = nullptr;
    if (RegOpenKeyExA(machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    DWORD size = 0;
    const bool has_values = RegQueryValueExA(key, "RandSeed", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS &&
                            size == 20 &&
                            RegQueryValueExA(key, "PSKEYS", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS;
    RegCloseKey(key);
    return has_values;
}

class ProviderContainers : public testing::SimCardTest {
protected:
    void SetUp() override {
        SimCardTest::SetUp();
        platform::SetUiResponder(&ui_);
        platform::UseFakeClock(&clock_);
        card::End_CardSession();
        card::ClearPinCache();
    }
    void TearDown() override {
        card::End_CardSession();
        card::ClearPinCache();
        platform::UseFakeClock(nullptr);
        platform::SetUiResponder(nullptr);
        SimCardTest::TearDown();
    }

    void TypePin(const std::string& pin = testing::kSimPin) { ui_.QueueDialogAction(DialogAction{IDOK, pin}); }

    // The names a fresh context enumerates.
    std::vector<std::string> CardContainers() {
        HCRYPTPROV prov = 0;
        EXPECT_TRUE(CPAcquireContext(&prov, nullptr, CRYPT_VERIFYCONTEXT, nullptr));
        std::vector<std::string> names;
        for (DWORD flags = CRYPT_FIRST;; flags = 0) {
            char name[40] = {};
            DWORD size = sizeof name;
            if (!CPGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &size, flags)) break;
            EXPECT_EQ(size, std::string(name).size() + 1);
            names.emplace_back(name);
        }
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        EXPECT_TRUE(CPReleaseContext(prov, 0));
        return names;
    }

    std::string ContainerOf(HCRYPTPROV prov) {
        char name[40] = {};
        DWORD size = sizeof name;
        EXPECT_TRUE(CPGetProvParam(prov, PP_CONTAINER, reinterpret_cast<BYTE*>(name), &size, 0));
        EXPECT_EQ(size, std::string(name).size() + 1);
        return name;
    }

    test::ScopedInMemoryRegistry registry_;
    platform::ScriptedResponder ui_;
    platform::FakeClock clock_;
};

TEST_F(ProviderContainers, NewKeysetAsksForThePinOnceAndRecordsTheContainer) {
    TypePin();
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CPAcquireContext(&prov, "alpha", CRYPT_NEWKEYSET, nullptr)) << std::hex << GetLastError();
    EXPECT_NE(prov, 0u);
    EXPECT_EQ(ui_.DialogCount(), 1u);
    EXPECT_EQ(ContainerOf(prov), "alpha");
    EXPECT_TRUE(Registered("alpha"));

    // The PIN serves the rest of the connection: a second creation asks nothing.
    HCRYPTPROV second = 0;
    ASSERT_TRUE(CPAcquireContext(&second, "beta", CRYPT_NEWKEYSET, nullptr));
    EXPECT_EQ(ui_.DialogCount(), 1u);

    // A name the card already holds is refused and leaves no trace.
    HCRYPTPROV again = 0;
    EXPECT_FALSE(CPAcquireContext(&again, "alpha", CRYPT_NEWKEYSET, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_EXISTS));
    EXPECT_EQ(again, 0u);

    EXPECT_TRUE(CPReleaseContext(second, 0));
    EXPECT_TRUE(CPReleaseContext(prov, 0));
    // Released contexts leave their containers on the card and in the registry.
    EXPECT_EQ(CardContainers(), (std::vector<std::string>{"alpha", "beta"}));
    EXPECT_TRUE(Registered("alpha"));
}

TEST_F(ProviderContainers, SilentNewKeysetAsksNothingAndReleaseFreesEveryRecord) {
    const platform::LiveAllocations before = platform::CountLiveAllocations();
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CPAcquireContext(&prov, "quiet", CRYPT_NEWKEYSET | CRYPT_SILENT, nullptr)) << std::hex << GetLastError();
    EXPECT_EQ(ui_.DialogCount(), 0u);
    EXPECT_EQ(ui_.BoxCount(), 0u);
    EXPECT_TRUE(CPReleaseContext(prov, 0));
    EXPECT_EQ(platform::CountLiveAllocations().local_blocks, before.local_blocks);
    EXPECT_EQ(CardContainers(), std::vector<std::string>{"quiet"});
}

TEST_F(ProviderContainers, NewAndDeleteTogetherLeaveNothingBehind) {
    TypePin();
    HCRYPTPROV prov = 0x77;
    ASSERT_TRUE(CPAcquireContext(&prov, "transient", CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET, nullptr))
        << std::hex << GetLastError();
    EXPECT_EQ(prov, 0u);
    EXPECT_FALSE(Registered("transient"));
    EXPECT_TRUE(CardContainers().empty());
}

TEST_F(ProviderContainers, DeleteKeysetRemovesAnExistingContainerAndRefusesAMissingOne) {
    TypePin();
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CPAcquireContext(&prov, "doomed", CRYPT_NEWKEYSET, nullptr));
    ASSERT_TRUE(CPReleaseContext(prov, 0));
    ASSERT_TRUE(Registered("doomed"));

    // The release ended the session; 31 seconds on, the PIN is asked again for the deletion.
    clock_.now_ms += 31000;
    ui_.Clear();
    TypePin();
    prov = 0x77;
    ASSERT_TRUE(CPAcquireContext(&prov, "doomed", CRYPT_DELETEKEYSET, nullptr)) << std::hex << GetLastError();
    EXPECT_EQ(prov, 0u);
    EXPECT_EQ(ui_.DialogCount(), 1u);
    EXPECT_FALSE(Registered("doomed"));
    EXPECT_TRUE(CardContainers().empty());

    EXPECT_FALSE(CPAcquireContext(&prov, "doomed", CRYPT_DELETEKEYSET, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
    EXPECT_FALSE(CPAcquireContext(&prov, "never-made", 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
    EXPECT_EQ(prov, 0u);
}

TEST_F(ProviderContainers, RefusedPinChangesNothingAndLeaksNothing) {
    TypePin();
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CPAcquireContext(&prov, "kept", CRYPT_NEWKEYSET, nullptr));
    ASSERT_TRUE(CPReleaseContext(prov, 0));
    clock_.now_ms += 31000;
    ui_.Clear();
    const platform::LiveAllocations before = platform::CountLiveAllocations();

    ui_.QueueDialogAction(DialogAction{IDCANCEL, ""});
    EXPECT_FALSE(CPAcquireContext(&prov, "other", CRYPT_NEWKEYSET, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(SCARD_W_CANCELLED_BY_USER));

    ui_.QueueDialogAction(DialogAction{IDCANCEL, ""});
    EXPECT_FALSE(CPAcquireContext(&prov, "kept", CRYPT_DELETEKEYSET, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(SCARD_W_CANCELLED_BY_USER));

    TypePin("00000000");
    ui_.QueueBoxAnswer(IDNO);
    EXPECT_FALSE(CPAcquireContext(&prov, "kept", CRYPT_DELETEKEYSET, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_FAIL));
    EXPECT_EQ(prov, 0u);

    const platform::LiveAllocations after = platform::CountLiveAllocations();
    EXPECT_EQ(after.local_blocks, before.local_blocks);
    EXPECT_EQ(CardContainers(), std::vector<std::string>{"kept"});
    EXPECT_TRUE(Registered("kept"));
}

TEST_F(ProviderContainers, LongNamesAreCutToThirtySixCharacters) {
    const std::string name(40, 'n');
    const std::string kept(36, 'n');
    TypePin();
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CPAcquireContext(&prov, (name.substr(0, 4) + "0123456789012345678901234567890123456").c_str(),
                                 CRYPT_NEWKEYSET, nullptr));
    EXPECT_EQ(ContainerOf(prov), "nnnn01234567890123456789012345678901");
    EXPECT_TRUE(CPReleaseContext(prov, 0));

    ASSERT_TRUE(CPAcquireContext(&prov, name.c_str(), CRYPT_NEWKEYSET | CRYPT_SILENT, nullptr));
    DWORD size = 0;
    ASSERT_TRUE(CPGetProvParam(prov, PP_CONTAINER, nullptr, &size, 0));
    EXPECT_EQ(size, 37u);
    EXPECT_EQ(ContainerOf(prov), kept);
    EXPECT_TRUE(Registered(kept));
    EXPECT_TRUE(CPReleaseContext(prov, 0));

    // Opening by the long name finds the same container.
    ASSERT_TRUE(CPAcquireContext(&prov, name.c_str(), 0, nullptr));
    EXPECT_EQ(ContainerOf(prov), kept);
    EXPECT_TRUE(CPReleaseContext(prov, 0));
}

TEST_F(ProviderContainers, DefaultContainerIsTheUsersNameOrTheCardsFirst) {
    char user[260] = {};
    DWORD user_size = sizeof user;
    ASSERT_TRUE(GetUserNameA(user, &user_size));
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CPAcquireContext(&prov, nullptr, CRYPT_NEWKEYSET | CRYPT_SILENT, nullptr));
    EXPECT_EQ(ContainerOf(prov), std::string(user).substr(0, 36));
    EXPECT_TRUE(CPReleaseContext(prov, 0));

    ASSERT_TRUE(CPAcquireContext(&prov, "", CRYPT_MACHINE_KEYSET, nullptr)) << std::hex << GetLastError();
    EXPECT_EQ(ContainerOf(prov), std::string(user).substr(0, 36));
    EXPECT_TRUE(Registered(std::string(user).substr(0, 36), true));
    EXPECT_TRUE(CPReleaseContext(prov, 0));
}

TEST_F(ProviderContainers, ContainerCursorMovesOnEveryCallAndSeesTheListOfItsOpening) {
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CPAcquireContext(&prov, "one", CRYPT_NEWKEYSET | CRYPT_SILENT, nullptr));
    ASSERT_TRUE(CPReleaseContext(prov, 0));
    ASSERT_TRUE(CPAcquireContext(&prov, "two", CRYPT_NEWKEYSET | CRYPT_SILENT, nullptr));
    ASSERT_TRUE(CPReleaseContext(prov, 0));

    ASSERT_TRUE(CPAcquireContext(&prov, nullptr, CRYPT_VERIFYCONTEXT, nullptr));
    // A container created now is not seen by the context opened before.
    HCRYPTPROV later = 0;
    ASSERT_TRUE(CPAcquireContext(&later, "three", CRYPT_NEWKEYSET | CRYPT_SILENT, nullptr));

    char name[40];
    DWORD size = 0;
    ASSERT_TRUE(CPGetProvParam(prov, PP_ENUMCONTAINERS, nullptr, &size, CRYPT_FIRST));
    EXPECT_EQ(size, 4u);
    size = sizeof name;
    ASSERT_TRUE(CPGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &size, CRYPT_FIRST));
    EXPECT_STREQ(name, "one");
    // A size query moves the cursor too, so the call after it finds the list exhausted.
    size = 0;
    ASSERT_TRUE(CPGetProvParam(prov, PP_ENUMCONTAINERS, nullptr, &size, 0));
    EXPECT_EQ(size, 4u);
    size = sizeof name;
    EXPECT_FALSE(CPGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &size, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

    size = 2;
    ASSERT_TRUE(CPGetProvParam(prov, PP_ENUMCONTAINERS, nullptr, &size, CRYPT_FIRST));
    size = 2;
    EXPECT_FALSE(CPGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &size, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(size, 4u);
    EXPECT_TRUE(CPReleaseContext(later, 0));
    EXPECT_TRUE(CPReleaseContext(prov, 0));
}

TEST_F(ProviderContainers, ReleaseEndsTheSessionUnderAnotherContext) {
    TypePin();
    HCRYPTPROV first = 0;
    ASSERT_TRUE(CPAcquireContext(&first, "shared", CRYPT_NEWKEYSET, nullptr));
    HCRYPTPROV second = 0;
    ASSERT_TRUE(CPAcquireContext(&second, "shared", 0, nullptr));
    ASSERT_EQ(card::Session().PinVerified, 1);

    clock_.total_slept_ms = 0;
    ASSERT_TRUE(CPReleaseContext(first, 0));
    EXPECT_GE(clock_.total_slept_ms, 1000u);
    EXPECT_EQ(card::Session().PinVerified, 0);
    EXPECT_EQ(card::Session().Card, 0u);

    // The second context is still valid, but its next PIN step has to verify again: within 30
    // seconds from the cache, after that in the dialog.
    EXPECT_EQ(ContainerOf(second), "shared");
    const size_t dialogs = ui_.DialogCount();
    ASSERT_EQ(card::VerifyPIN(0), 1);
    EXPECT_EQ(ui_.DialogCount(), dialogs);
    card::End_CardSession();
    clock_.now_ms += 31000;
    TypePin();
    ASSERT_EQ(card::VerifyPIN(0), 1);
    EXPECT_EQ(ui_.DialogCount(), dialogs + 1);
    EXPECT_TRUE(CPReleaseContext(second, 0));
}

// Every card type serves the whole round: create, enumerate, delete.
class ProviderOnEveryCardType : public ProviderContainers, public ::testing::WithParamInterface<int> {
protected:
    testing::SimCardSetup Setup() const override {
        testing::SimCardSetup setup;
        setup.type = GetParam();
        return setup;
    }
};

TEST_P(ProviderOnEveryCardType, CreatesEnumeratesAndDeletes) {
    TypePin();
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CPAcquireContext(&prov, "roundtrip", CRYPT_NEWKEYSET, nullptr)) << std::hex << GetLastError();
    ASSERT_EQ(card::Session().CardType, static_cast<DWORD>(GetParam()));
    ASSERT_TRUE(CPReleaseContext(prov, 0));
    EXPECT_EQ(CardContainers(), std::vector<std::string>{"roundtrip"});
    ASSERT_TRUE(CPAcquireContext(&prov, "roundtrip", CRYPT_DELETEKEYSET, nullptr)) << std::hex << GetLastError();
    EXPECT_TRUE(CardContainers().empty());
    EXPECT_FALSE(Registered("roundtrip"));
}

INSTANTIATE_TEST_SUITE_P(CardTypes, ProviderOnEveryCardType, ::testing::Values(1, 3, 5, 6, 7));

}  // namespace
}  // namespace kelm::csp
