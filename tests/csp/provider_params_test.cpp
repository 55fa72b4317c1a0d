// Provider contexts that need no container on the card: flag checks, the verify context, the
// provider's identity, the algorithm table and its cursor, the delivery convention, handle
// checks, and the release that ends the card session.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "card/reader_session.h"
#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "pin_card_fake.h"
#include "platform/clock_seam.h"
#include "platform/registry_store.h"
#include "platform/ui_responder.h"

namespace kelm::csp {
namespace {

class ProviderParams : public ::testing::Test {
protected:
    void SetUp() override {
        platform::UseInMemoryRegistry();
        platform::SetPcscBackend(&card_);
        platform::SetUiResponder(&ui_);
        platform::UseFakeClock(&clock_);
        card::End_CardSession();
    }
    void TearDown() override {
        card::End_CardSession();
        platform::SetUiResponder(nullptr);
        platform::SetPcscBackend(nullptr);
        platform::UseFakeClock(nullptr);
    }

    HCRYPTPROV AcquireVerify() {
        HCRYPTPROV prov = 0;
        EXPECT_TRUE(CPAcquireContext(&prov, nullptr, CRYPT_VERIFYCONTEXT, nullptr)) << std::hex << GetLastError();
        EXPECT_NE(prov, 0u);
        return prov;
    }

    std::vector<BYTE> Get(HCRYPTPROV prov, DWORD param, DWORD flags = 0) {
        DWORD size = 0;
        if (!CPGetProvParam(prov, param, nullptr, &size, flags)) return {};
        std::vector<BYTE> data(size);
        if (!CPGetProvParam(prov, param, data.data(), &size, flags)) return {};
        data.resize(size);
        return data;
    }

    DWORD GetDword(HCRYPTPROV prov, DWORD param) {
        DWORD value = 0;
        DWORD size = sizeof value;
        EXPECT_TRUE(CPGetProvParam(prov, param, reinterpret_cast<BYTE*>(&value), &size, 0));
        EXPECT_EQ(size, sizeof value);
        return value;
    }

    test::PinCardFake card_;
    platform::ScriptedResponder ui_;
    platform::FakeClock clock_;
};

TEST_F(ProviderParams, FlagsAndNamesAreCheckedBeforeTheCardIsTouched) {
    HCRYPTPROV prov = 0x1234;
    EXPECT_FALSE(CPAcquireContext(&prov, "c", 0x100, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_FLAGS));
    EXPECT_EQ(prov, 0u);

    prov = 0x1234;
    EXPECT_FALSE(CPAcquireContext(&prov, "abc", CRYPT_VERIFYCONTEXT, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(prov, 0u);

    EXPECT_FALSE(CPAcquireContext(nullptr, nullptr, CRYPT_VERIFYCONTEXT, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(card_.commands.empty());
}

TEST_F(ProviderParams, VerifyContextUsesABlankContainerWithoutPinOrRegistry) {
    for (const char* name : {static_cast<const char*>(nullptr), ""}) {
        HCRYPTPROV prov = 0;
        ASSERT_TRUE(CPAcquireContext(&prov, name, CRYPT_VERIFYCONTEXT, nullptr));
        const std::vector<BYTE> container = Get(prov, PP_CONTAINER);
        ASSERT_EQ(container.size(), 37u);
        EXPECT_EQ(std::string(container.begin(), container.end() - 1), std::string(36, ' '));
        EXPECT_EQ(container.back(), 0);
        EXPECT_TRUE(CPReleaseContext(prov, 0));
    }
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CPAcquireContext(&prov, "", CRYPT_VERIFYCONTEXT | CRYPT_SILENT, nullptr));
    EXPECT_TRUE(CPReleaseContext(prov, 0));

    EXPECT_TRUE(card_.Verifies().empty());
    EXPECT_EQ(ui_.DialogCount(), 0u);
    HKEY key = nullptr;
    const std::string subkey = "Software\\Microsoft\\Cryptography\\UserKeys\\MorvaCSP-" + std::string(36, ' ');
    EXPECT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, subkey.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);

    // With CRYPT_DELETEKEYSET the context is made and dropped again: success, no handle.
    prov = 0x55;
    EXPECT_TRUE(CPAcquireContext(&prov, nullptr, CRYPT_VERIFYCONTEXT | CRYPT_DELETEKEYSET, nullptr));
    EXPECT_EQ(prov, 0u);
}

TEST_F(ProviderParams, ReportsTheProviderIdentity) {
    HCRYPTPROV prov = AcquireVerify();
    const std::vector<BYTE> name = Get(prov, PP_NAME);
    EXPECT_EQ(std::string(name.begin(), name.end()), std::string("KELM CSP V5", 12));
    EXPECT_EQ(GetDword(prov, PP_VERSION), 0x100u);
    EXPECT_EQ(GetDword(prov, PP_PROVTYPE), 1u);
    EXPECT_EQ(GetDword(prov, PP_IMPTYPE), 11u);
    EXPECT_EQ(GetDword(prov, PP_KEYSET_TYPE), 32u);

    DWORD size = 5;
    BYTE small[5] = {};
    EXPECT_FALSE(CPGetProvParam(prov, PP_NAME, small, &size, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(small[0], 0) << "nothing is written into too small a buffer";

    for (DWORD param : {38u, 39u}) {
        size = 64;
        BYTE buffer[64];
        EXPECT_FALSE(CPGetProvParam(prov, param, buffer, &size, 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_NOTIMPL));
    }
    for (DWORD param : {8u, 0u, 7u, 999u}) {
        size = 64;
        BYTE buffer[64];
        EXPECT_FALSE(CPGetProvParam(prov, param, buffer, &size, 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_TYPE)) << param;
    }
    const BYTE data[4] = {};
    EXPECT_FALSE(CPSetProvParam(prov, PP_NAME, data, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_FAIL));
    EXPECT_TRUE(CPReleaseContext(prov, 0));
}

TEST_F(ProviderParams, ForeignAndReleasedHandlesAreRefused) {
    HCRYPTPROV prov = AcquireVerify();
    const HCRYPTPROV forged[] = {0, prov ^ 0x10, 0xdeadbeef};
    for (HCRYPTPROV h : forged) {
        DWORD size = 64;
        BYTE buffer[64];
        EXPECT_FALSE(CPGetProvParam(h, PP_NAME, buffer, &size, 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
        EXPECT_FALSE(CPSetProvParam(h, PP_NAME, buffer, 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
        EXPECT_FALSE(CPReleaseContext(h, 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
    }
    EXPECT_TRUE(CPReleaseContext(prov, 0));
    EXPECT_FALSE(CPReleaseContext(prov, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
}

struct Row {
    ALG_ID algid;
    DWORD bits;
    DWORD protocols;
    const char* name;
    DWORD name_length;
    const char* long_name;
    DWORD long_name_length;
};

const Row kRows[] = {
    {0x6601, 56, 0, "DES", 4, "Data Encryption Standard (DES)", 31},
    {0x6609, 112, 0, "3DES TWO KEY", 13, "Two Key Triple DES", 19},
    {0x6603, 168, 0, "3DES", 5, "Three Key Triple DES", 21},
    {0x8004, 160, 0x20, "SHA1", 6, "Secure Hash Algorithm (SHA-1)", 30},
    {0x800C, 256, 0x20, "SHA256", 8, "Secure Hash Algorithm 256 (SHA-256)", 36},
    {0x800D, 384, 0x20, "SHA384", 8, "Secure Hash Algorithm 256 (SHA-384)", 36},
    {0x800E, 512, 0x20, "SHA512", 8, "Secure Hash Algorithm 256 (SHA-512)", 36},
    {0x8003, 128, 0x20, "MD5", 4, "Message Digest 2 (MD5)", 23},
    {0x2400, 1024, 0x30, "RSA_SIGN", 9, "RSA Signature", 14},
    {0xA400, 1024, 0x30, "RSA_KEYX", 9, "RSA Key Exchange", 17},
};

TEST_F(ProviderParams, AlgorithmTableIsEnumeratedRowByRowWithoutSkippingOnSizeQueries) {
    HCRYPTPROV prov = AcquireVerify();
    for (size_t i = 0; i < std::size(kRows); ++i) {
        SCOPED_TRACE("row " + std::to_string(i));
        const DWORD flags = i == 0 ? CRYPT_FIRST : 0;
        // A size query and a too-small buffer first: neither may move past the row.
        DWORD size = 0;
        ASSERT_TRUE(CPGetProvParam(prov, PP_ENUMALGS_EX, nullptr, &size, flags));
        ASSERT_EQ(size, sizeof(PROV_ENUMALGS_EX));
        size = 10;
        BYTE small[10];
        ASSERT_FALSE(CPGetProvParam(prov, PP_ENUMALGS_EX, small, &size, flags));
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));

        PROV_ENUMALGS_EX ex;
        std::memset(&ex, 0xCC, sizeof ex);
        size = sizeof ex;
        ASSERT_TRUE(CPGetProvParam(prov, PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&ex), &size, flags));
        const Row& row = kRows[i];
        EXPECT_EQ(ex.aiAlgid, row.algid);
        EXPECT_EQ(ex.dwDefaultLen, row.bits);
        EXPECT_EQ(ex.dwMinLen, row.bits);
        EXPECT_EQ(ex.dwMaxLen, row.bits);
        EXPECT_EQ(ex.dwProtocols, row.protocols);
        EXPECT_STREQ(ex.szName, row.name);
        EXPECT_EQ(ex.dwNameLen, row.name_length);
        EXPECT_STREQ(ex.szLongName, row.long_name);
        EXPECT_EQ(ex.dwLongNameLen, row.long_name_length);
        for (size_t b = std::strlen(row.name); b < sizeof ex.szName; ++b) ASSERT_EQ(ex.szName[b], 0);
        for (size_t b = std::strlen(row.long_name); b < sizeof ex.szLongName; ++b) ASSERT_EQ(ex.szLongName[b], 0);
    }
    DWORD size = sizeof(PROV_ENUMALGS_EX);
    PROV_ENUMALGS_EX ex;
    EXPECT_FALSE(CPGetProvParam(prov, PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&ex), &size, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

    // The short form shares the cursor: CRYPT_FIRST restarts it, the next call continues it.
    PROV_ENUMALGS alg;
    size = sizeof alg;
    ASSERT_TRUE(CPGetProvParam(prov, PP_ENUMALGS, reinterpret_cast<BYTE*>(&alg), &size, CRYPT_FIRST));
    EXPECT_EQ(size, 32u);
    EXPECT_EQ(alg.aiAlgid, static_cast<ALG_ID>(CALG_DES));
    EXPECT_EQ(alg.dwBitLen, 56u);
    EXPECT_EQ(alg.dwNameLen, 4u);
    EXPECT_STREQ(alg.szName, "DES");
    size = sizeof ex;
    ASSERT_TRUE(CPGetProvParam(prov, PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&ex), &size, 0));
    EXPECT_EQ(ex.aiAlgid, static_cast<ALG_ID>(CALG_3DES_112));
    EXPECT_TRUE(CPReleaseContext(prov, 0));
}

TEST_F(ProviderParams, EmptyCardEnumeratesNoContainers) {
    HCRYPTPROV prov = AcquireVerify();
    for (DWORD flags : {static_cast<DWORD>(CRYPT_FIRST), 0u, 0u}) {
        DWORD size = 64;
        BYTE buffer[64];
        EXPECT_FALSE(CPGetProvParam(prov, PP_ENUMCONTAINERS, buffer, &size, flags));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    }
    EXPECT_TRUE(CPReleaseContext(prov, 0));
}

TEST_F(ProviderParams, ReleaseEndsTheCardSessionOfEveryContextAfterASecond) {
    HCRYPTPROV first = AcquireVerify();
    HCRYPTPROV second = AcquireVerify();
    card::Session().PinVerified = 1;
    clock_.total_slept_ms = 0;
    EXPECT_TRUE(CPReleaseContext(first, 0));
    EXPECT_GE(clock_.total_slept_ms, 1000u);
    EXPECT_EQ(card::Session().Card, 0u);
    EXPECT_EQ(card::Session().PinVerified, 0);

    // The other context lives on; its next card operation has to reconnect.
    EXPECT_EQ(Get(second, PP_NAME).size(), 12u);
    EXPECT_EQ(card::Init_PCSC_Object(CRYPT_SILENT), 1);
    EXPECT_NE(card::Session().Card, 0u);
    EXPECT_TRUE(CPReleaseContext(second, 0));
}

}  // namespace
}  // namespace kelm::csp
