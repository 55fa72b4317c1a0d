// The platform's software providers against OpenSSL: what they export, OpenSSL writes alike;
// what they encrypt, OpenSSL decrypts; what OpenSSL signs, they verify.
#include <gtest/gtest.h>
#include <openssl/rsa.h>

#include "kelm/soft_providers.h"
#include "kelm/winapi.h"
#include "platform/openssl_rsa_peer.h"
#include "support/last_error.h"

namespace {

using kelm::test::Bytes;
using kelm::test::FailsWith;

// The PUBLICKEYBLOB of `key` by the road the key storage provider takes: a verification
// context, the certificate's public key info, a size query, then the export.
Bytes CapiBlob(EVP_PKEY* key) {
    Bytes bits = kelm::test::RsaPublicKeyDer(key);
    CERT_PUBLIC_KEY_INFO info{{const_cast<LPSTR>(szOID_RSA_RSA), {}}, {static_cast<DWORD>(bits.size()), bits.data(), 0}};
    HCRYPTPROV prov = 0;
    HCRYPTKEY handle = 0;
    EXPECT_TRUE(CryptAcquireContextA(&prov, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    EXPECT_TRUE(CryptImportPublicKeyInfo(prov, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, &info, &handle));
    DWORD size = 0;
    EXPECT_TRUE(CryptExportKey(handle, 0, PUBLICKEYBLOB, 0, nullptr, &size));
    Bytes blob(size, 0xEE);
    DWORD short_size = size - 1;
    EXPECT_TRUE(FailsWith(CryptExportKey(handle, 0, PUBLICKEYBLOB, 0, blob.data(), &short_size), ERROR_MORE_DATA));
    EXPECT_EQ(short_size, size);
    EXPECT_EQ(blob, Bytes(size, 0xEE)) << "a short buffer is left alone";
    EXPECT_TRUE(CryptExportKey(handle, 0, PUBLICKEYBLOB, 0, blob.data(), &size));
    EXPECT_TRUE(CryptDestroyKey(handle));
    EXPECT_TRUE(CryptReleaseContext(prov, 0));
    return blob;
}

SECURITY_STATUS Import(NCRYPT_PROV_HANDLE provider, const char16_t* type, Bytes blob, NCRYPT_KEY_HANDLE* key,
                       NCryptBufferDesc* parameters = nullptr) {
    return NCryptImportKey(provider, 0, type, parameters, key, blob.data(), static_cast<DWORD>(blob.size()), 0);
}

struct SoftKey {
    explicit SoftKey(const Bytes& blob, const char16_t* type = LEGACY_RSAPUBLIC_BLOB) {
        EXPECT_EQ(NCryptOpenStorageProvider(&provider, MS_KEY_STORAGE_PROVIDER, 0), 0);
        EXPECT_EQ(Import(provider, type, blob, &key), 0);
    }
    ~SoftKey() {
        NCryptDeleteKey(key, 0);
        NCryptFreeObject(provider);
    }
    NCRYPT_PROV_HANDLE provider = 0;
    NCRYPT_KEY_HANDLE key = 0;
};

// Encrypts into `room` bytes (none: a size query); `out` keeps the size reported.
SECURITY_STATUS Encrypt(NCRYPT_KEY_HANDLE key, Bytes input, void* padding, DWORD flags, Bytes& out, DWORD room) {
    DWORD size = 0;
    out.assign(room, 0);
    const SECURITY_STATUS status = NCryptEncrypt(key, input.data(), static_cast<DWORD>(input.size()), padding,
                                                 room == 0 ? nullptr : out.data(), room, &size, flags);
    out.resize(size);
    return status;
}

TEST(SoftProviders, PublicKeyBlobOfACertificateKeyIsTheOneOpenSslWrites) {
    for (EVP_PKEY* key : {kelm::test::RsaKey(1024), kelm::test::RsaKey(2048)})
        EXPECT_EQ(CapiBlob(key), kelm::test::PublicKeyBlob(key));
}

TEST(SoftProviders, CryptoApiImportRefusalsNameTheFaultAndKeysOutliveTheirContext) {
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT | CRYPT_SILENT));
    const Bytes good = kelm::test::RsaPublicKeyDer(kelm::test::RsaKey(1024));
    Bytes wrong_tag = good;
    wrong_tag[0] = 0x31;
    const struct { const char* oid; Bytes bits; HRESULT error; } imports[] = {
        {"1.2.840.10045.2.1", good, NTE_BAD_ALGID},
        {szOID_RSA_RSA, Bytes(good.begin(), good.end() - 1), CRYPT_E_ASN1_EOD},
        {szOID_RSA_RSA, wrong_tag, CRYPT_E_ASN1_BADTAG},
        {szOID_RSA_RSA, good, 0},
    };
    HCRYPTKEY key = 0;
    for (auto i : imports) {
        CERT_PUBLIC_KEY_INFO info{{const_cast<LPSTR>(i.oid), {}}, {static_cast<DWORD>(i.bits.size()), i.bits.data(), 0}};
        const bool imported = CryptImportPublicKeyInfo(prov, X509_ASN_ENCODING, &info, &key);
        EXPECT_TRUE(i.error == 0 ? imported : FailsWith(imported, i.error)) << i.oid;
    }
    DWORD size = 0;
    EXPECT_TRUE(FailsWith(CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, nullptr, &size), NTE_BAD_TYPE));
    EXPECT_TRUE(CryptReleaseContext(prov, 0));
    EXPECT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size)) << "keys outlive their context";
    EXPECT_TRUE(CryptDestroyKey(key));
    EXPECT_TRUE(FailsWith(CryptDestroyKey(key), NTE_BAD_KEY));
    EXPECT_TRUE(FailsWith(CryptReleaseContext(prov, 0), NTE_BAD_UID));
}

TEST(SoftProviders, EncryptionIsDecryptedByOpenSslForEveryPadding) {
    EVP_PKEY* peer = kelm::test::RsaKey(2048);
    const SoftKey soft(CapiBlob(peer));
    Bytes label = {'l', 'a', 'b', 'e', 'l'};
    BCRYPT_OAEP_PADDING_INFO oaep_sha1{BCRYPT_SHA1_ALGORITHM, nullptr, 0};
    BCRYPT_OAEP_PADDING_INFO oaep_sha256{BCRYPT_SHA256_ALGORITHM, label.data(), static_cast<ULONG>(label.size())};
    BCRYPT_OAEP_PADDING_INFO oaep_md4{u"MD4", nullptr, 0};
    const Bytes raw(255, 0x5A);  // one byte short of the modulus: taken with a leading zero
    // openssl_padding 0: refused with `status`.
    const struct { DWORD flags; void* padding; int openssl_padding; Bytes plaintext; SECURITY_STATUS status; } cases[] = {
        {NCRYPT_PAD_PKCS1_FLAG, nullptr, RSA_PKCS1_PADDING, Bytes(245, 0x11), 0},
        {NCRYPT_PAD_OAEP_FLAG, &oaep_sha1, RSA_PKCS1_OAEP_PADDING, Bytes(214, 0x22), 0},
        {NCRYPT_PAD_OAEP_FLAG | NCRYPT_SILENT_FLAG, &oaep_sha256, RSA_PKCS1_OAEP_PADDING, {1, 2, 3}, 0},
        {NCRYPT_NO_PADDING_FLAG, nullptr, RSA_NO_PADDING, raw, 0},
        {NCRYPT_PAD_PKCS1_FLAG, nullptr, 0, Bytes(246, 1), NTE_INVALID_PARAMETER},
        {NCRYPT_PAD_OAEP_FLAG, &oaep_sha1, 0, Bytes(215, 1), NTE_INVALID_PARAMETER},
        {NCRYPT_PAD_OAEP_FLAG, &oaep_md4, 0, raw, NTE_NOT_SUPPORTED},
        {NCRYPT_PAD_OAEP_FLAG, nullptr, 0, raw, NTE_INVALID_PARAMETER},
        {NCRYPT_NO_PADDING_FLAG, nullptr, 0, Bytes(256, 0xFF), NTE_BAD_DATA},
        {0, nullptr, 0, raw, NTE_INVALID_PARAMETER},
        {NCRYPT_PAD_PKCS1_FLAG | 0x100, nullptr, 0, raw, NTE_BAD_FLAGS},
    };
    for (const auto& c : cases) {
        Bytes out;
        if (c.openssl_padding == 0) {
            EXPECT_EQ(Encrypt(soft.key, c.plaintext, c.padding, c.flags, out, 256), c.status) << c.flags;
            continue;
        }
        EXPECT_EQ(Encrypt(soft.key, c.plaintext, c.padding, c.flags, out, 0), 0);
        EXPECT_EQ(out.size(), 256u) << "a size query";
        EXPECT_EQ(Encrypt(soft.key, c.plaintext, c.padding, c.flags, out, 255), NTE_BUFFER_TOO_SMALL);
        EXPECT_EQ(out.size(), 256u);
        ASSERT_EQ(Encrypt(soft.key, c.plaintext, c.padding, c.flags, out, 256), 0);
        Bytes expected = c.plaintext;
        if (c.openssl_padding == RSA_NO_PADDING) expected.insert(expected.begin(), 0);
        const char* md = c.padding == &oaep_sha1 ? "SHA1" : c.padding == &oaep_sha256 ? "SHA256" : nullptr;
        EXPECT_EQ(kelm::test::PrivateDecrypt(peer, c.openssl_padding, out, md, c.padding == &oaep_sha256 ? label : Bytes{}),
                  expected)
            << c.flags;
    }
}

TEST(SoftProviders, OpenSslSignaturesVerifyAndAlteredOnesDoNot) {
    EVP_PKEY* peer = kelm::test::RsaKey(1024);
    const SoftKey soft(CapiBlob(peer));
    // A null name signs and verifies the bare hash in the PKCS #1 block.
    const struct { const char* md; const char16_t* name; DWORD flags; } cases[] = {
        {"MD5", BCRYPT_MD5_ALGORITHM, BCRYPT_PAD_PKCS1},       {"SHA1", BCRYPT_SHA1_ALGORITHM, BCRYPT_PAD_PKCS1},
        {"SHA256", BCRYPT_SHA256_ALGORITHM, BCRYPT_PAD_PKCS1}, {"SHA384", BCRYPT_SHA384_ALGORITHM, BCRYPT_PAD_PKCS1},
        {"SHA512", BCRYPT_SHA512_ALGORITHM, BCRYPT_PAD_PKCS1}, {"SHA256", nullptr, BCRYPT_PAD_PKCS1},
        {"SHA256", BCRYPT_SHA256_ALGORITHM, BCRYPT_PAD_PSS},
    };
    for (const auto& c : cases) {
        const Bytes hash = kelm::test::OpenSslDigest(c.md, {'s', 'i', 'g', 'n'});
        const Bytes signature = kelm::test::Sign(peer, c.name ? c.md : nullptr, hash, c.flags == BCRYPT_PAD_PSS, 32);
        BCRYPT_PSS_PADDING_INFO padding{c.name, 32};  // begins as BCRYPT_PKCS1_PADDING_INFO does
        auto verify = [&](Bytes h, Bytes s) {
            return NCryptVerifySignature(soft.key, &padding, h.data(), static_cast<DWORD>(h.size()), s.data(),
                                         static_cast<DWORD>(s.size()), c.flags | NCRYPT_SILENT_FLAG);
        };
        Bytes bad_hash = hash, bad_signature = signature;
        bad_hash[0] ^= 1, bad_signature[10] ^= 0x80;
        EXPECT_EQ(verify(hash, signature), 0) << c.md << " flags " << c.flags;
        EXPECT_EQ(verify(bad_hash, signature), NTE_BAD_SIGNATURE) << c.md;
        EXPECT_EQ(verify(hash, bad_signature), NTE_BAD_SIGNATURE) << c.md;
        EXPECT_EQ(verify(hash, Bytes(signature.begin() + 1, signature.end())), NTE_BAD_SIGNATURE) << c.md;
        if (c.name != nullptr) {
            EXPECT_EQ(verify(Bytes(hash.begin() + 1, hash.end()), signature), NTE_INVALID_PARAMETER) << c.md;
        }
    }
}

}  // namespace
