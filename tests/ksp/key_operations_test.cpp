// Signing and decryption on the card, encryption and verification with the certificate found in
// the "My" store: OpenSSL checks the signatures against the certificate's key and encrypts what
// the card decrypts; the store walk passes over entries it cannot use.
#include <algorithm>
#include <string>

#include "ksp_card.h"
#include "platform/crypt32/cert_serialization.h"
#include "sim/card_state.h"
#include "table_program.h"

namespace kelm::ksp::testing {
namespace {

class KeyOperations : public KspCardTest {
protected:
    SECURITY_STATUS Sign(const Blob& hash, Blob* signature, DWORD capacity, void* padding = nullptr) {
        signature->assign(capacity, 0);
        DWORD length = 0;
        const SECURITY_STATUS status = table_->SignHash(provider_, signer_, padding, const_cast<BYTE*>(hash.data()),
                                                        DWORD(hash.size()), signature->data(), capacity, &length, 0);
        signature->resize(status == 0 ? length : 0);
        result_ = length;
        return status;
    }
    SECURITY_STATUS Verify(const Blob& hash, const Blob& signature, DWORD flags = 0) {
        return table_->VerifySignature(provider_, signer_, nullptr, const_cast<BYTE*>(hash.data()), DWORD(hash.size()),
                                       const_cast<BYTE*>(signature.data()), DWORD(signature.size()), flags);
    }
    SECURITY_STATUS Cipher(bool encrypt, const Blob& input, Blob* output, DWORD capacity, DWORD flags,
                           void* padding = nullptr) {
        output->assign(capacity, 0);
        DWORD length = 0;
        const auto call = encrypt ? table_->Encrypt : table_->Decrypt;
        const SECURITY_STATUS status = call(provider_, exchange_, const_cast<BYTE*>(input.data()), DWORD(input.size()),
                                           padding, capacity == 0 ? nullptr : output->data(), capacity, &length, flags);
        output->resize(status == 0 && capacity != 0 ? length : 0);
        result_ = length;
        return status;
    }
    // A store entry written as the registry holds it, bypassing the platform's checks.
    void PutStoreEntry(const std::string& name, const Blob& blob) {
        HKEY key = nullptr;
        const std::string path = "Software\\Microsoft\\SystemCertificates\\My\\Certificates\\" + name;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
        EXPECT_EQ(RegSetValueExA(key, "Blob", 0, REG_BINARY, blob.data(), DWORD(blob.size())), 0);
        RegCloseKey(key);
    }

    DWORD result_ = 0;
};

TEST_F(KeyOperations, SignatureSizesHashLengthsPaddingAndTheDigestInfo) {
    Open();
    const Blob sha1 = test::OpenSslDigest("SHA1", {1, 2, 3});
    Blob signature;
    EXPECT_EQ(Sign(Blob(7), &signature, 0), 0) << "a size query looks at no hash";
    EXPECT_EQ(result_, 128u);
    EXPECT_EQ(Sign(sha1, &signature, 127), ERROR_MORE_DATA);
    EXPECT_EQ(result_, 128u);
    Blob room(128);
    DWORD length = 0;
    EXPECT_EQ(table_->SignHash(provider_, signer_, nullptr, nullptr, 20, room.data(), 128, &length, 0),
              NTE_INVALID_PARAMETER);
    EXPECT_EQ(ui_.DialogCount(), 0u) << "no hash is refused before the PIN";
    EXPECT_EQ(Sign(Blob(28), &signature, 128), NTE_BAD_HASH) << "SHA-224 is refused after the PIN";
    EXPECT_EQ(ui_.DialogCount(), 1u);
    EXPECT_EQ(table_->SignHash(provider_, signer_, nullptr, room.data(), 20, room.data(), 128, nullptr, 0),
              NTE_INVALID_PARAMETER);
    // The hash's length chooses the DigestInfo, whatever algorithm the padding names, and the
    // verification's algorithm too.
    AddCertificate(0x8001, u"keys");
    const auto [modulus, exponent] = PublicKey(0x8001);
    BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
    for (const char* digest : {"MD5", "SHA1", "SHA256", "SHA384", "SHA512"}) {
        const Blob hash = test::OpenSslDigest(digest, test::RandomBytes(40, 3));
        ASSERT_EQ(Sign(hash, &signature, 128, &padding), 0) << digest;
        EXPECT_TRUE(test::OpenSslVerifyRsaPkcs1(modulus, exponent, digest, hash, signature)) << digest;
        EXPECT_EQ(Verify(hash, signature), 0) << digest;
        signature[5] ^= 1;
        EXPECT_EQ(Verify(hash, signature), NTE_BAD_SIGNATURE) << digest;
    }
}

// The round trips themselves run in the table program; here the sizes, refusals and lookups.
TEST_F(KeyOperations, CipherSizesRefusalsAndTheCertificateLookup) {
    Open();
    const auto [modulus, exponent] = PublicKey(0x8003);
    const Blob message = test::RandomBytes(53, 5);
    const Blob ciphertext = test::OpenSslEncryptRsaPkcs1(modulus, exponent, message);
    Blob plain;
    EXPECT_EQ(Cipher(false, ciphertext, &plain, 0, 0), 0);
    EXPECT_EQ(result_, 128u);
    EXPECT_EQ(Cipher(false, ciphertext, &plain, 100, 0), ERROR_MORE_DATA);
    EXPECT_EQ(result_, 128u);
    EXPECT_EQ(Cipher(false, ciphertext, &plain, 256, NCRYPT_PAD_OAEP_FLAG), 0) << "the padding flags change nothing";
    EXPECT_EQ(plain, message);
    EXPECT_EQ(Cipher(false, Blob(ciphertext.begin(), ciphertext.end() - 1), &plain, 256, 0), ERROR_MORE_DATA);
    EXPECT_EQ(Cipher(false, Blob(256, 1), &plain, 128, 0), ERROR_MORE_DATA) << "longer than the output, never copied";
    EXPECT_EQ(Cipher(false, ciphertext, &plain, 256, 0x100), NTE_BAD_FLAGS);

    // No certificate names the container yet.
    EXPECT_EQ(Cipher(true, message, &plain, 128, NCRYPT_PAD_PKCS1_FLAG), NTE_INVALID_HANDLE);
    EXPECT_EQ(Verify(Blob(20), Blob(128), 0x1000), NTE_INVALID_HANDLE) << "the lookup comes before the flags";
    AddCertificate(0x8003, u"keys", u"Another Provider");
    Blob encrypted;
    EXPECT_EQ(Cipher(true, message, &encrypted, 0, NCRYPT_PAD_PKCS1_FLAG), 0);
    EXPECT_EQ(result_, 128u);
    EXPECT_EQ(Cipher(true, message, &encrypted, 127, NCRYPT_PAD_PKCS1_FLAG), NTE_BUFFER_TOO_SMALL);
    EXPECT_EQ(Cipher(true, message, &encrypted, 128, NCRYPT_PAD_OAEP_FLAG), NTE_INVALID_PARAMETER) << "no OAEP hash";
    EXPECT_EQ(Cipher(true, message, &encrypted, 128, 0x100), NTE_BAD_FLAGS);
}

TEST_F(KeyOperations, TheStoreWalkPassesOverEntriesItCannotUse) {
    Open();
    const auto [modulus, exponent] = PublicKey(0x8003);
    const Blob der = test::OpenSslCertificate({modulus, exponent});
    platform::KeyProvInfo info;
    info.container = u"keys";
    Blob property = platform::EncodeKeyProvInfo(info);
    property[0] = 0xF0;  // the container name's offset points past the value
    PutStoreEntry("00-malformed-property", platform::WriteCertificateBlob({{{CERT_KEY_PROV_INFO_PROP_ID, property}}, der}));
    Blob lying = der;
    lying[3] += 1;  // the outer DER length claims one byte more than there is
    info.container = u"keys";
    PutStoreEntry("01-lying-length",
                  platform::WriteCertificateBlob({{{CERT_KEY_PROV_INFO_PROP_ID, platform::EncodeKeyProvInfo(info)}}, lying}));
    Blob encrypted;
    EXPECT_EQ(Cipher(true, Blob(10, 1), &encrypted, 128, NCRYPT_PAD_PKCS1_FLAG), NTE_INVALID_HANDLE);
    AddCertificate(0x8001, u"other");
    AddCertificate(0x8003, u"keys");
    ASSERT_EQ(Cipher(true, Blob(10, 1), &encrypted, 128, NCRYPT_PAD_PKCS1_FLAG), 0);
    Blob plain;
    EXPECT_EQ(Cipher(false, encrypted, &plain, 128, 0), 0) << "the certificate of the right key was taken";
    EXPECT_EQ(plain, Blob(10, 1));
}

// The function table as a program that loads the library sees it, on every simulated card type
// (2048-bit keys on T=1: a T=0 transport cannot carry their 256-byte answers).
TEST_F(KeyOperations, TableProgramRunsOnEveryCardTypeThroughTheLoadedLibrary) {
    const struct { int type; sim::CardProtocol protocol; bool large; } cards[] = {
        {1, sim::CardProtocol::T1, false}, {3, sim::CardProtocol::T0, false}, {5, sim::CardProtocol::T0, false},
        {5, sim::CardProtocol::T1, true},  {6, sim::CardProtocol::T1, true},  {7, sim::CardProtocol::T1, false}};
    for (const auto& card : cards) {
        SCOPED_TRACE("card type " + std::to_string(card.type) + (card.large ? ", 2048-bit" : ""));
        test::ScopedInMemoryRegistry store;
        clock_.now_ms += 60000;  // past the PIN cache of the card before
        Insert(card.type, card.large, card.protocol);
        AddCertificate(0x8001, u"keys");
        const auto file = std::find_if(Card().image.key_files.begin(), Card().image.key_files.end(),
                                       [](const sim::KeyFile& f) { return f.id == 0x8001; });
        ASSERT_NE(file, Card().image.key_files.end());
        RunTableProgram(KELM_PROVIDER_PATH, ProgramKey{u"keys", file->key.n, file->key.e, file->key.d});
        EXPECT_EQ(ui_.DialogCount(), 1u) << "one PIN for the card";
    }
}

}  // namespace
}  // namespace kelm::ksp::testing
