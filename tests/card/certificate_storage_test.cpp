// Certificates on the card, made by OpenSSL for the card's key: validity text, the WRITE
// CERTIFICATE pieces with their header and code as the simulated card logs them, reading back
// in pieces (on T=0 too), certificates
// that are refused, files made for certificates, and card type 7's one-key-per-subject rule.
#include <mbedtls/base64.h>

#include "card/card_files.h"
#include "card/certificate_der.h"
#include "card/certificate_storage.h"
#include "card/certificate_subject.h"
#include "crypto/openssl_peer.h"
#include "simulated_keys.h"

namespace kelm::card::testing {
namespace {

class CertificateStorageTest : public SimulatedCardTest {
protected:
    // A certificate made by OpenSSL for the card's signature key.
    Bytes Certificate(test::CertificateRequest request) {
        EXPECT_TRUE(sim::PublicKeyOf(Card(), 0x8001, &request.modulus, &request.exponent));
        return test::OpenSslCertificate(request);
    }
    Bytes Certificate(size_t size, const std::string& name = "Test Subscriber") {
        test::CertificateRequest request;
        request.size = size, request.common_name = name;
        return Certificate(request);
    }
    DWORD Write(const Bytes& certificate, size_t length, const char* name = kContainer, BYTE slot = 1) {
        return RSA_CardWriteCertificate(name, slot, static_cast<DWORD>(length), certificate.data(), status);
    }
    // Sets "CertMac" when a value is given; whether it is there.
    bool CertMac(const Bytes& value = {}) {
        HKEY key = nullptr;
        RegCreateKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\VESK\\ROSMAC10", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        if (!value.empty()) RegSetValueExA(key, "CertMac", 0, REG_BINARY, value.data(), static_cast<DWORD>(value.size()));
        const bool present = RegQueryValueExA(key, "CertMac", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
        RegCloseKey(key);
        return present;
    }
    BYTE status[kContainerStatusBytes] = {};
};

TEST_F(CertificateStorageTest, WrittenInPiecesWithHeaderAndCodeAndReadBack) {
    // pieces: certificate bytes per command; header: the dates 990615123456Z and 050101000000Z.
    const struct { int type; size_t size; std::vector<size_t> pieces; std::string header; bool code; } cases[] = {{1, 1000, {184, 200, 200, 200, 200, 16}, "1999061520050101", true},
                 {5, 1000, {170, 200, 200, 200, 200, 30}, "19990615123456" "20050101000000" "\x03\xE8", true},
                 {3, 1984, {184, 200, 200, 200, 200, 200, 200, 200, 200, 200}, "1999061520050101", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE("card type " + std::to_string(c.type));
        Insert(c.type, c.type == 3 ? sim::CardProtocol::T0 : sim::CardProtocol::T1);
        CertMac(Hex("01 02 03 04 05 06 07 08 09"));
        const Bytes certificate = Certificate(c.size);
        ASSERT_EQ(STATUS_CERTIFICATE_NOT_FOUND, Card_GetCertificateInfo(kContainer, 1, status));
        ASSERT_EQ(0u, Write(certificate, certificate.size()));
        EXPECT_EQ(c.code, !CertMac()) << "the code is used up by the write that carries it";
        const BYTE hi = static_cast<BYTE>(c.size >> 8), lo = static_cast<BYTE>(c.size);
        EXPECT_EQ((Bytes{0, 0, 0, 0, 0x01, 2, 8, hi, lo}), Bytes(status + 2, status + 11));

        const std::vector<Bytes> writes = Sent(0x46);
        ASSERT_EQ(c.pieces.size(), writes.size());
        for (size_t i = 0; i < writes.size(); ++i) {
            const bool first = i == 0, last = i + 1 == writes.size();
            EXPECT_EQ(HexOf({0x00, 0x46, first ? BYTE{0} : BYTE{1}, 0x00}), HexOf(Bytes(writes[i].begin(), writes[i].begin() + 4)));
            EXPECT_EQ(last ? 0 : 1, writes[i][5]);
            EXPECT_EQ(6 + (first ? c.header.size() : 0) + c.pieces[i] + (last && c.code ? 8 : 0), writes[i].size());
        }
        EXPECT_EQ(c.header, std::string(writes[0].begin() + 6, writes[0].begin() + 6 + static_cast<long>(c.header.size())));
        EXPECT_EQ(c.code ? "01 02 03 04 05 06 07 08" : "", HexOf(Bytes(writes.back().end() - (c.code ? 8 : 0), writes.back().end())));
        Bytes read(kMaxCertificateLength + 255);
        ASSERT_EQ(0u, Card_GetCertificateInfo(kContainer, 1, status));
        ASSERT_EQ(0u, Card_ReadFile(static_cast<DWORD>(c.size), read.data(), read.size()));
        EXPECT_EQ(certificate, Bytes(read.begin(), read.begin() + static_cast<long>(c.size)));
    }
}

TEST_F(CertificateStorageTest, RefusalsAndFilesMadeForCertificates) {
    Insert(1);
    CertMac(Hex("01 02 03 04 05 06 07 08"));
    test::CertificateRequest request;
    request.not_before = "20510203040506Z", request.not_after = "20610101000000Z";  // GeneralizedTime
    const Bytes generalized = Certificate(request);
    BYTE text[kValidityLong + 1] = {};
    EXPECT_EQ(0u, Cert_GetValidity(generalized.data(), generalized.size(), text, 1));
    EXPECT_STREQ("20510203040506" "20610101000000", reinterpret_cast<char*>(text));
    request.with_version = false;  // version 1: no version field, so no validity where expected
    const Bytes version1 = Certificate(request);
    EXPECT_EQ(static_cast<DWORD>(NTE_FAIL), Write(version1, version1.size()));
    EXPECT_TRUE(simulated->backend().Log().empty());
    EXPECT_TRUE(CertMac());

    // A slot without key file gets the first file number the card does not use (80 05).
    ASSERT_TRUE(sim::AddContainer(Card(), "no keys", 0, 0, &error)) << error;
    EXPECT_EQ(static_cast<DWORD>(NTE_NO_KEY), Card_GetCertificateInfo("no keys", 2, status));
    ASSERT_EQ(0u, Card_CreateCertificate("no keys", 2, 4, status));
    EXPECT_EQ((Bytes{0x05, 0x00, 0x04}), Bytes(status + 15, status + 18));
    const Bytes small = Certificate(900);
    ASSERT_EQ(0u, Write(small, small.size(), "no keys", 2));
    EXPECT_EQ(small, sim::CertificateOf(Card(), 0x8005));
}

TEST_F(CertificateStorageTest, CardType7KeepsOneCertificatePerSubject) {
    Insert(7);
    const Bytes alice = Certificate(0, "Alice"), al = Certificate(0, "Al");
    for (WORD file = 0x8001; file <= 0x8006; ++file) {
        ASSERT_TRUE(sim::PutNewKey(Card(), file, &error) && sim::PutCertificate(Card(), file, Certificate(0, "Bob"), &error));
    }
    EXPECT_EQ(STATUS_NO_CERTIFICATE_ROOM, Write(alice, alice.size()));
    EXPECT_TRUE(Sent(0x46).empty());
    // A certificate of the same subject may be replaced; "Al" counts as the same as "Alice".
    ASSERT_TRUE(sim::PutCertificate(Card(), 0x8004, al, &error));
    ASSERT_EQ(0u, Write(alice, alice.size()));
    EXPECT_EQ(alice, sim::CertificateOf(Card(), 0x8001));

    CommonName name{};
    // Bare base64 text, in lines, decodes to the same name.
    std::vector<BYTE> text(2 * alice.size());
    size_t length = 0;
    mbedtls_base64_encode(text.data(), text.size(), &length, alice.data(), alice.size());
    text.insert(text.begin() + 64, {'\r', '\n'});
    EXPECT_TRUE(Cert_GetSubjectCommonName(text.data(), length + 2, &name));
    EXPECT_EQ("Alice", std::string(name.value, name.value + name.length));
    EXPECT_FALSE(Cert_GetSubjectCommonName(text.data(), 40, &name));
    EXPECT_EQ(0u, name.length);
}

}  // namespace
}  // namespace kelm::card::testing
