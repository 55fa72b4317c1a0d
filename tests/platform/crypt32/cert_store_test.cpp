// The "My" certificate store over the in-memory registry, with certificates made by OpenSSL.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "kelm/cert_store.h"
#include "kelm/winapi.h"
#include "platform/crypt32/cert_store.h"
#include "platform/openssl_rsa_peer.h"
#include "support/last_error.h"
#include "support/registry_fixture.h"

namespace {

using kelm::test::Bytes;
using kelm::test::FailsWith;

const std::string kStoreKey = "Software\\Microsoft\\SystemCertificates\\My\\Certificates\\";

std::string Thumbprint(const Bytes& der) {
    std::string hex = kelm::test::ToHex(kelm::test::OpenSslDigest("SHA1", der));
    std::transform(hex.begin(), hex.end(), hex.begin(), [](char c) { return static_cast<char>(std::toupper(c)); });
    return hex;
}

// Little-endian 32-bit fields followed by `tail`.
Bytes Fields(std::initializer_list<uint32_t> fields, const Bytes& tail = {}) {
    Bytes out;
    for (const uint32_t f : fields) out.insert(out.end(), {uint8_t(f), uint8_t(f >> 8), uint8_t(f >> 16), uint8_t(f >> 24)});
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

Bytes Element(uint32_t id, const Bytes& value) { return Fields({id, 1, static_cast<uint32_t>(value.size())}, value); }

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void WriteEntry(const std::string& name, DWORD type, const Bytes& blob) {
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_CURRENT_USER, (kStoreKey + name).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    ASSERT_EQ(RegSetValueExA(key, "Blob", 0, type, blob.data(), static_cast<DWORD>(blob.size())), ERROR_SUCCESS);
    RegCloseKey(key);
}

// The entry's "Blob"; empty when there is none.
Bytes ReadEntry(const std::string& name) {
    HKEY key = nullptr;
    Bytes blob(4096);
    auto size = static_cast<DWORD>(blob.size());
    if (RegOpenKeyExA(HKEY_CURRENT_USER, (kStoreKey + name).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS ||
        RegQueryValueExA(key, "Blob", nullptr, nullptr, blob.data(), &size) != ERROR_SUCCESS)
        size = 0;
    RegCloseKey(key);
    blob.resize(size);
    return blob;
}

class CertStore : public kelm::test::InMemoryRegistryTest {
protected:
    const Bytes der_ = kelm::test::SelfSignedCertificate(kelm::test::RsaKey(1024), "Card holder", 0x0102);

    static PCCERT_CONTEXT Add(HCERTSTORE store, const Bytes& der, DWORD disposition = CERT_STORE_ADD_NEW) {
        PCCERT_CONTEXT context = nullptr;
        CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                         static_cast<DWORD>(der.size()), disposition, &context);
        return context;
    }
    static BOOL SetKeyProv(PCCERT_CONTEXT context, const char16_t* container) {
        BYTE data[] = {1, 2, 3};
        CRYPT_KEY_PROV_PARAM param{7, data, sizeof data, 0};
        CRYPT_KEY_PROV_INFO info{const_cast<LPWSTR>(container), const_cast<LPWSTR>(u"KELM CSP V5"), PROV_RSA_FULL, 0,
                                 1, &param, AT_SIGNATURE};
        return CertSetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
    }
};

TEST_F(CertStore, CertificateAndKeyProviderRoundTripThroughTheRegistryAsThePlatformKeepsThem) {
    HCERTSTORE store = CertOpenSystemStoreA(0, "My");
    PCCERT_CONTEXT added = Add(store, der_);
    ASSERT_TRUE(added != nullptr && added->hCertStore == store);
    const CERT_INFO& info = *added->pCertInfo;
    const CRYPT_BIT_STRING_BLOB& key = info.SubjectPublicKeyInfo.PublicKey;
    EXPECT_STREQ(info.SubjectPublicKeyInfo.Algorithm.pszObjId, szOID_RSA_RSA);
    EXPECT_EQ(Bytes(key.pbData, key.pbData + key.cbData), kelm::test::RsaPublicKeyDer(kelm::test::RsaKey(1024)));
    EXPECT_EQ(Bytes(info.SerialNumber.pbData, info.SerialNumber.pbData + info.SerialNumber.cbData), (Bytes{2, 1}));
    EXPECT_TRUE(info.cExtension == 1 && info.rgExtension[0].fCritical &&
                info.rgExtension[0].pszObjId == std::string("2.5.29.19"));
    ASSERT_TRUE(SetKeyProv(added, u"Container 1"));
    CertFreeCertificateContext(added);
    ASSERT_TRUE(CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG));

    // The entry is named for the thumbprint and holds the property element, then the certificate.
    const Bytes blob = ReadEntry(Thumbprint(der_));
    ASSERT_FALSE(blob.empty());
    EXPECT_EQ(Bytes(blob.begin(), blob.begin() + 8), Fields({CERT_KEY_PROV_INFO_PROP_ID, 1}));
    EXPECT_EQ(Bytes(blob.end() - static_cast<long>(der_.size()) - 12, blob.end()), Element(CERT_CERT_PROP_ID, der_));

    store = CertOpenSystemStoreA(0, "MY");
    PCCERT_CONTEXT found = CertEnumCertificatesInStore(store, nullptr);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(Bytes(found->pbCertEncoded, found->pbCertEncoded + found->cbCertEncoded), der_);
    DWORD size = 0;
    ASSERT_TRUE(CertGetCertificateContextProperty(found, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
    std::vector<BYTE> buffer(size + 8, 0xEE);
    DWORD short_size = size - 1;
    EXPECT_TRUE(FailsWith(CertGetCertificateContextProperty(found, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &short_size),
                          ERROR_MORE_DATA));
    EXPECT_EQ(short_size, size);
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](BYTE b) { return b == 0xEE; })) << "short buffer written";
    ASSERT_TRUE(CertGetCertificateContextProperty(found, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size));
    EXPECT_TRUE(std::all_of(buffer.end() - 8, buffer.end(), [](BYTE b) { return b == 0xEE; })) << "written past size";
    const auto* prov = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
    EXPECT_EQ(std::u16string(prov->pwszContainerName) + u"/" + prov->pwszProvName, u"Container 1/KELM CSP V5");
    EXPECT_EQ(prov->dwProvType * 10 + prov->dwKeySpec, static_cast<DWORD>(PROV_RSA_FULL * 10 + AT_SIGNATURE));
    ASSERT_EQ(prov->cProvParam, 1u);
    EXPECT_EQ(Bytes(prov->rgProvParam[0].pbData, prov->rgProvParam[0].pbData + 3), (Bytes{1, 2, 3}));

    const Bytes sha1 = kelm::test::OpenSslDigest("SHA1", der_);
    CRYPT_HASH_BLOB hash{static_cast<DWORD>(sha1.size()), const_cast<BYTE*>(sha1.data())};
    EXPECT_TRUE(CertDeleteCertificateFromStore(
        CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &hash, nullptr)));
    CertCloseStore(store, 0);
    EXPECT_TRUE(ReadEntry(Thumbprint(der_)).empty());
}

// The dispositions the tools use, and one that is refused.
TEST_F(CertStore, AddingAgainFollowsTheDispositionAndKeepsTheProperty) {
    const struct { DWORD disposition; HRESULT error; bool keeps_property; } cases[] = {  // error 0: added
        {CERT_STORE_ADD_NEW, CRYPT_E_EXISTS, true},
        {CERT_STORE_ADD_USE_EXISTING, 0, true},
        {0, E_INVALIDARG, true},
    };
    for (const auto& c : cases) {
        kelm::test::ScopedInMemoryRegistry fresh;
        HCERTSTORE store = CertOpenSystemStoreA(0, "My");
        PCCERT_CONTEXT first = Add(store, der_);
        ASSERT_TRUE(SetKeyProv(first, u"C"));
        CertFreeCertificateContext(first);
        PCCERT_CONTEXT again = Add(store, der_, c.disposition);
        EXPECT_TRUE(c.error == 0 ? again != nullptr : FailsWith(again != nullptr, c.error)) << c.disposition;
        CertFreeCertificateContext(again);
        CertCloseStore(store, 0);

        store = CertOpenSystemStoreA(0, "My");
        PCCERT_CONTEXT read = CertEnumCertificatesInStore(store, nullptr);
        DWORD size = 0;
        EXPECT_EQ(CertGetCertificateContextProperty(read, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) == TRUE,
                  c.keeps_property)
            << c.disposition;
        EXPECT_EQ(CertEnumCertificatesInStore(store, read), nullptr) << "one entry whatever the disposition";
        CertCloseStore(store, 0);
    }
}

TEST_F(CertStore, UnreadableEntriesArePassedOverAndMalformedKeyProviderIsRefusedClearly) {
    Bytes lying_length = der_;  // 30 82 hi lo: the outer length now claims 256 bytes more
    ++lying_length[2];
    const Bytes whole = Element(CERT_CERT_PROP_ID, der_);
    auto with_key_prov = [&](const Bytes& value) { return Concat(Element(CERT_KEY_PROV_INFO_PROP_ID, value), whole); };
    // A null problem: listed, but its key provider property is refused.
    const struct { const char* name; DWORD type; Bytes blob; const char* problem; } entries[] = {
        {"A0", REG_BINARY, Concat(whole, {0}), "follow the certificate"},
        {"A1", REG_BINARY, Bytes(whole.begin(), whole.end() - 1), "remain"},
        {"A2", REG_BINARY, Element(CERT_CERT_PROP_ID, lying_length), "ASN1"},
        {"A3", REG_BINARY, Element(CERT_CERT_PROP_ID, Concat(der_, {5, 0})), "follow the certificate"},
        {"A4", REG_BINARY, Element(CERT_FRIENDLY_NAME_PROP_ID, {'x', 0}), "no certificate element"},
        {"A5", REG_SZ, whole, "Blob"},
        {"A7", REG_BINARY, {1, 2, 3}, "truncated"},
        {"B0", REG_BINARY, with_key_prov(Fields({5000, 0, 1, 0, 0, 0, 2})), nullptr},
        {"B1", REG_BINARY, with_key_prov(Fields({28, 0, 1, 0, 0, 0, 2}, {'a', 0, 'b', 0})), nullptr},
        {"B2", REG_BINARY, with_key_prov(Fields({0, 0, 1, 0, 0x10000000, 28, 2, 0, 0, 0, 0})), nullptr},
        {"B3", REG_BINARY, with_key_prov(Fields({0, 0, 1, 0, 1, 28, 2, 7, 40, 9, 0})), nullptr},
        {"B4", REG_BINARY, with_key_prov({1, 2, 3}), nullptr},
    };
    for (const auto& e : entries) WriteEntry(e.name, e.type, e.blob);

    HCERTSTORE store = CertOpenSystemStoreA(0, "My");
    ASSERT_NE(store, nullptr);
    const auto skipped = kelm::platform::SkippedStoreEntries(store);
    size_t listed = 0;
    for (const auto& e : entries) {
        const auto named = std::find_if(skipped.begin(), skipped.end(),
                                        [&](const std::string& s) { return s.rfind(std::string(e.name) + ": ", 0) == 0; });
        listed += e.problem == nullptr ? 1 : 0;
        EXPECT_EQ(named != skipped.end(), e.problem != nullptr) << e.name;
        if (e.problem != nullptr && named != skipped.end()) {
            EXPECT_NE(named->find(e.problem), std::string::npos) << *named;
        }
    }
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c; c = CertEnumCertificatesInStore(store, c)) {
        --listed;
        std::vector<BYTE> buffer(1000);
        DWORD size = 1000;
        EXPECT_TRUE(FailsWith(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size),
                              ERROR_INVALID_DATA));
    }
    EXPECT_EQ(listed, 0u);
    CertCloseStore(store, 0);

    // Handed to the store directly, the same faults give the decoder's reason.
    store = CertOpenSystemStoreA(0, "Other");
    const std::pair<Bytes, HRESULT> added[] = {
        {lying_length, CRYPT_E_ASN1_EOD}, {Concat(der_, {0}), CRYPT_E_ASN1_CORRUPT}, {{0x31, 0}, CRYPT_E_ASN1_BADTAG}};
    for (const auto& [der, error] : added) EXPECT_TRUE(FailsWith(Add(store, der) != nullptr, error));
    CertCloseStore(store, 0);
}

}  // namespace
