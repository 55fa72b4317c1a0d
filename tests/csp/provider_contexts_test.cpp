// Provider contexts on the simulated card: flag checks and their combinations, the verify
// context, the PIN asked exactly when a container is created or deleted, names cut to 36
// characters, the provider's identity and algorithm table, both enumeration cursors, and a
// release that ends the card session under another context.
#include "card_keys.h"
#include "platform/process/memory.h"

namespace kelm::csp::testing {
namespace {

using platform::DialogAction;

// The container's subkey exists; its values are checked byte for byte with the registry code.
bool Registered(const std::string& name) {
    HKEY key = nullptr;
    const std::string path = "Software\\Microsoft\\Cryptography\\UserKeys\\MorvaCSP-" + name;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    return RegCloseKey(key) == ERROR_SUCCESS;
}

// A blank card.
class ProviderContexts : public CardTest {
protected:
    void SetUp() override { CardTest::SetUp(), InsertBlank(); }

    void TypePin(const std::string& pin = kelm::testing::kSimPin) { ui_.QueueDialogAction(DialogAction{IDOK, pin}); }
    HCRYPTPROV Acquire(const char* name, DWORD flags) {
        HCRYPTPROV prov = 0;
        EXPECT_TRUE(CPAcquireContext(&prov, name, flags, nullptr)) << std::hex << GetLastError();
        return prov;
    }
    // Fails with `error` and hands out no handle.
    void Refused(const char* name, DWORD flags, LONG error) {
        HCRYPTPROV prov = 0x55;
        EXPECT_FALSE(CPAcquireContext(&prov, name, flags, nullptr)) << flags;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(error)) << flags;
        EXPECT_EQ(prov, 0u);
    }
    std::string Param(HCRYPTPROV prov, DWORD param, DWORD flags = 0) {
        DWORD size = 0;
        if (!CPGetProvParam(prov, param, nullptr, &size, flags)) return "<failed>";
        std::string data(size, '\0');
        if (!CPGetProvParam(prov, param, reinterpret_cast<BYTE*>(data.data()), &size, flags)) return "<failed>";
        return data.substr(0, size);
    }
    // The card's directory as the simulator holds it, not as the provider reports it.
    std::vector<std::string> CardContainers() {
        std::vector<std::string> names;
        for (const sim::ContainerInfo& info : sim::ContainersOf(Card())) names.push_back(info.name);
        return names;
    }
};

// Bad requests refused before the card; the verify context: blank, the provider's identity, the
// refused parameters, and the algorithm records with a cursor that a size query or too small a
// buffer must not move (the rows' names and values are checked through kelm-tool's listing).
TEST_F(ProviderContexts, BadRequestsTheVerifyContextItsParametersAndAlgorithmRecords) {
    Refused("c", 0x100, NTE_BAD_FLAGS);
    Refused("abc", CRYPT_VERIFYCONTEXT, ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(CPAcquireContext(nullptr, nullptr, CRYPT_VERIFYCONTEXT, nullptr));
    EXPECT_TRUE(sim_->backend().Log().empty()) << "refused before the card is touched";
    HCRYPTPROV prov = 0x55;
    EXPECT_TRUE(CPAcquireContext(&prov, nullptr, CRYPT_VERIFYCONTEXT | CRYPT_DELETEKEYSET, nullptr));
    EXPECT_EQ(prov, 0u);
    for (const char* name : {"", static_cast<const char*>(nullptr)}) {  // the second stays open
        EXPECT_TRUE(prov == 0 || CPReleaseContext(prov, 0));
        prov = Acquire(name, CRYPT_VERIFYCONTEXT);
        EXPECT_EQ(Param(prov, PP_CONTAINER), std::string(36, ' ') + '\0');
    }
    EXPECT_EQ(ui_.DialogCount(), 0u);
    EXPECT_FALSE(Registered(std::string(36, ' ')));

    EXPECT_EQ(Param(prov, PP_NAME), std::string("KELM CSP V5", 12));
    for (const auto& [param, value] : {std::pair<DWORD, DWORD>{PP_VERSION, 0x100}, {PP_PROVTYPE, 1}, {PP_IMPTYPE, 11},
                                       {PP_KEYSET_TYPE, 32}}) {
        EXPECT_EQ(Param(prov, param), std::string(reinterpret_cast<const char*>(&value), 4)) << param;
    }
    BYTE small[5] = {};
    DWORD size = sizeof small;
    EXPECT_REFUSED(CPGetProvParam(prov, PP_NAME, small, &size, 0), ERROR_MORE_DATA);
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(small[0], 0) << "nothing is written into too small a buffer";
    for (const auto& [param, error] : {std::pair<DWORD, LONG>{38, E_NOTIMPL}, {39, E_NOTIMPL}, {8, NTE_BAD_TYPE},
                                       {999, NTE_BAD_TYPE}}) {
        size = sizeof small;
        EXPECT_REFUSED(CPGetProvParam(prov, param, small, &size, 0), error) << param;
    }
    EXPECT_REFUSED(CPSetProvParam(prov, PP_NAME, small, 0), NTE_FAIL);
    EXPECT_REFUSED(CPGetProvParam(prov ^ 0x10, PP_NAME, nullptr, &size, 0), NTE_BAD_UID);
    EXPECT_REFUSED(CPSetProvParam(prov ^ 0x10, PP_NAME, small, 0), NTE_BAD_UID);

    std::vector<DWORD> name_lengths;
    for (DWORD flags = CRYPT_FIRST;; flags = 0) {
        if (!CPGetProvParam(prov, PP_ENUMALGS_EX, nullptr, &size, flags)) break;
        PROV_ENUMALGS_EX ex;
        std::memset(&ex, 0xCC, sizeof ex);
        size = 10;
        EXPECT_REFUSED(CPGetProvParam(prov, PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&ex), &size, flags), ERROR_MORE_DATA);
        size = sizeof ex;
        ASSERT_TRUE(CPGetProvParam(prov, PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&ex), &size, flags));
        EXPECT_EQ(size, 88u);
        const size_t name = strnlen(ex.szName, 20), long_name = strnlen(ex.szLongName, 40);
        EXPECT_EQ(std::string(ex.szName + name, 20 - name), std::string(20 - name, '\0')) << "zero behind the name";
        EXPECT_EQ(std::string(ex.szLongName + long_name, 40 - long_name), std::string(40 - long_name, '\0'));
        EXPECT_EQ(ex.dwLongNameLen, long_name + 1);
        EXPECT_TRUE(ex.dwMinLen == ex.dwDefaultLen && ex.dwMaxLen == ex.dwDefaultLen);
        name_lengths.push_back(ex.dwNameLen);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    // The SHA rows count one byte more than their name and its terminator.
    EXPECT_EQ(name_lengths, (std::vector<DWORD>{4, 13, 5, 6, 8, 8, 8, 4, 9, 9}));
    // The short form shares the cursor.
    PROV_ENUMALGS alg;
    size = sizeof alg;
    ASSERT_TRUE(CPGetProvParam(prov, PP_ENUMALGS, reinterpret_cast<BYTE*>(&alg), &size, CRYPT_FIRST));
    EXPECT_TRUE(size == 32 && alg.aiAlgid == CALG_DES && alg.dwBitLen == 56 && alg.dwNameLen == 4);
    EXPECT_EQ(Param(prov, PP_ENUMALGS).substr(0, 4), std::string("\x09\x66\x00\x00", 4));
    EXPECT_TRUE(CPReleaseContext(prov, 0));
    EXPECT_REFUSED(CPReleaseContext(prov, 0), NTE_BAD_UID);
}

TEST_F(ProviderContexts, PinOncePerConnectionAndReleaseEndsTheSessionUnderAnotherContext) {
    const platform::LiveAllocations before = platform::CountLiveAllocations();
    TypePin();
    HCRYPTPROV first = Acquire("alpha", CRYPT_NEWKEYSET);
    HCRYPTPROV second = Acquire("beta", CRYPT_NEWKEYSET);
    EXPECT_EQ(ui_.DialogCount(), 1u);
    EXPECT_EQ(Param(first, PP_CONTAINER), std::string("alpha", 6));
    EXPECT_TRUE(Registered("alpha") && Registered("beta"));

    ASSERT_EQ(card::Session().PinVerified, 1);
    clock_.total_slept_ms = 0;
    ASSERT_TRUE(CPReleaseContext(first, 0));
    EXPECT_GE(clock_.total_slept_ms, 1000u);
    EXPECT_EQ(card::Session().PinVerified, 0);
    EXPECT_EQ(card::Session().Card, 0u);
    EXPECT_EQ(Param(second, PP_CONTAINER), std::string("beta", 5)) << "the other context lives on";
    EXPECT_TRUE(CPReleaseContext(second, 0));
    Refused("alpha", CRYPT_NEWKEYSET | CRYPT_SILENT, NTE_EXISTS);
    EXPECT_EQ(platform::CountLiveAllocations().local_blocks, before.local_blocks);
    EXPECT_EQ(CardContainers(), (std::vector<std::string>{"alpha", "beta"}));

    // Later than 30 seconds the next PIN step asks in the dialog again.
    clock_.now_ms += 31000;
    TypePin();
    HCRYPTPROV deleted = 0x77;
    ASSERT_TRUE(CPAcquireContext(&deleted, "alpha", CRYPT_DELETEKEYSET, nullptr)) << std::hex << GetLastError();
    EXPECT_EQ(deleted, 0u);
    EXPECT_EQ(ui_.DialogCount(), 2u);
    EXPECT_FALSE(Registered("alpha"));
    Refused("alpha", CRYPT_DELETEKEYSET, NTE_BAD_KEYSET);
    Refused("alpha", 0, NTE_BAD_KEYSET);

    // Silent creation asks nothing; new-and-delete together leaves nothing behind.
    card::End_CardSession();
    CPReleaseContext(Acquire("quiet", CRYPT_NEWKEYSET | CRYPT_SILENT), 0);
    ASSERT_TRUE(CPAcquireContext(&deleted, "transient", CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_SILENT, nullptr));
    EXPECT_EQ(deleted, 0u);
    EXPECT_EQ(ui_.DialogCount(), 2u);
    EXPECT_FALSE(Registered("transient"));
    EXPECT_EQ(CardContainers(), (std::vector<std::string>{"beta", "quiet"}));
}

TEST_F(ProviderContexts, RefusedPinChangesNothingAndLeaksNothing) {
    CPReleaseContext(Acquire("kept", CRYPT_NEWKEYSET | CRYPT_SILENT), 0);
    const platform::LiveAllocations before = platform::CountLiveAllocations();
    ui_.QueueDialogAction(DialogAction{IDCANCEL, ""});
    Refused("other", CRYPT_NEWKEYSET, SCARD_W_CANCELLED_BY_USER);
    ui_.QueueDialogAction(DialogAction{IDCANCEL, ""});
    Refused("kept", CRYPT_DELETEKEYSET, SCARD_W_CANCELLED_BY_USER);
    TypePin("00000000");
    ui_.QueueBoxAnswer(IDNO);
    Refused("kept", CRYPT_DELETEKEYSET, NTE_FAIL);
    EXPECT_EQ(platform::CountLiveAllocations().local_blocks, before.local_blocks);
    EXPECT_EQ(CardContainers(), std::vector<std::string>{"kept"});
    EXPECT_TRUE(Registered("kept"));
}

TEST_F(ProviderContexts, LongNamesAreCutToThirtySixCharacters) {
    const std::string name = "0123456789012345678901234567890123456789", kept = name.substr(0, 36);
    for (const DWORD flags : {DWORD{CRYPT_NEWKEYSET | CRYPT_SILENT}, DWORD{0}}) {
        HCRYPTPROV prov = Acquire(name.c_str(), flags);
        EXPECT_EQ(Param(prov, PP_CONTAINER), kept + '\0');
        CPReleaseContext(prov, 0);
    }
    EXPECT_TRUE(Registered(kept));
    EXPECT_EQ(CardContainers(), std::vector<std::string>{kept});
}

TEST_F(ProviderContexts, ContainerCursorMovesOnEveryCallOverTheListOfItsOpening) {
    HCRYPTPROV empty = Acquire(nullptr, CRYPT_VERIFYCONTEXT);
    CPReleaseContext(Acquire("one", CRYPT_NEWKEYSET | CRYPT_SILENT), 0);
    CPReleaseContext(Acquire("two", CRYPT_NEWKEYSET | CRYPT_SILENT), 0);
    HCRYPTPROV prov = Acquire(nullptr, CRYPT_VERIFYCONTEXT);
    CPReleaseContext(Acquire("three", CRYPT_NEWKEYSET | CRYPT_SILENT), 0);

    // The context opened on an empty card, and the one opened before "three", keep their lists.
    DWORD size = 0;
    EXPECT_REFUSED(CPGetProvParam(empty, PP_ENUMCONTAINERS, nullptr, &size, CRYPT_FIRST), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(Param(prov, PP_ENUMCONTAINERS, CRYPT_FIRST), std::string("one", 4));
    EXPECT_TRUE(CPGetProvParam(prov, PP_ENUMCONTAINERS, nullptr, &size, 0));  // moves to "two"
    char name[40];
    size = sizeof name;
    EXPECT_REFUSED(CPGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &size, 0), ERROR_NO_MORE_ITEMS);
    size = 2;
    CPGetProvParam(prov, PP_ENUMCONTAINERS, nullptr, &size, CRYPT_FIRST);
    size = 2;
    EXPECT_REFUSED(CPGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &size, 0), ERROR_MORE_DATA);
    EXPECT_EQ(size, 4u);
    CPReleaseContext(prov, 0);
    CPReleaseContext(empty, 0);
}

}  // namespace
}  // namespace kelm::csp::testing
