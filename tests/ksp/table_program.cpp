#include "table_program.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "kelm/ksp.h"

namespace kelm::ksp::testing {
namespace {

using test::Bytes;

// The names an enumeration yields, each record and finally the state handed back.
std::vector<std::u16string> EnumeratedNames(const NCRYPT_KEY_STORAGE_FUNCTION_TABLE& table,
                                            NCRYPT_PROV_HANDLE provider) {
    std::vector<std::u16string> names;
    PVOID state = nullptr;
    NCryptKeyName* name = nullptr;
    SECURITY_STATUS status = 0;
    while ((status = table.EnumKeys(provider, nullptr, &name, &state, 0)) == 0 && names.size() < 8) {
        names.emplace_back(name->pszName);
        EXPECT_EQ(std::u16string(name->pszAlgid), u"RSA");
        EXPECT_EQ(table.FreeBuffer(name), 0);
    }
    EXPECT_EQ(status, NTE_NO_MORE_ITEMS);
    EXPECT_EQ(table.FreeBuffer(state), 0);
    return names;
}

}  // namespace

void RunTableProgram(const char* library_path, const ProgramKey& key) {
    void* library = dlopen(library_path, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    const auto get_interface = reinterpret_cast<GetKeyStorageInterfaceFn>(dlsym(library, "GetKeyStorageInterface"));
    ASSERT_NE(get_interface, nullptr);
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE* table = nullptr;
    ASSERT_EQ(get_interface(KELM_KSP_NAME, &table, 0), 0);

    // Enumeration moves the provider's current container, so keys are opened on a second handle.
    NCRYPT_PROV_HANDLE enumerator = 0, provider = 0;
    ASSERT_EQ(table->OpenProvider(&enumerator, KELM_KSP_ALIAS_V5, 0), 0);
    const std::vector<std::u16string> names = EnumeratedNames(*table, enumerator);
    EXPECT_EQ(names.size(), 4u);
    EXPECT_NE(std::find(names.begin(), names.end(), key.container), names.end());
    DWORD value = 0, size = 0;
    NCryptAlgorithmName* algorithms = nullptr;
    ASSERT_EQ(table->EnumAlgorithms(enumerator, NCRYPT_SIGNATURE_OPERATION, &value, &algorithms, 0), 0);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(std::u16string(algorithms->pszName), u"RSA");
    EXPECT_EQ(table->FreeBuffer(algorithms), 0);

    ASSERT_EQ(table->OpenProvider(&provider, KELM_KSP_NAME, 0), 0);
    NCRYPT_KEY_HANDLE handle = 0;
    ASSERT_EQ(table->OpenKey(provider, &handle, key.container.c_str(), 0, 0), 0);

    // A signature: its size asked first, then checked by OpenSSL.
    Bytes hash = test::OpenSslDigest("SHA256", test::RandomBytes(100, 7)), signature;
    ASSERT_EQ(table->SignHash(provider, handle, nullptr, hash.data(), DWORD(hash.size()), nullptr, 0, &size, 0), 0);
    ASSERT_EQ(size, key.modulus.size());
    signature.resize(size);
    ASSERT_EQ(table->SignHash(provider, handle, nullptr, hash.data(), DWORD(hash.size()), signature.data(), size, &size,
                              0),
              0);
    EXPECT_TRUE(test::OpenSslVerifyRsaPkcs1(key.modulus, key.exponent, "SHA256", hash, signature));

    // Encryption with the certificate's key, which OpenSSL decrypts, and the card's decryption.
    Bytes message = test::RandomBytes(40, 9);
    BCRYPT_OAEP_PADDING_INFO oaep_sha1{BCRYPT_SHA1_ALGORITHM, nullptr, 0}, oaep_sha256{BCRYPT_SHA256_ALGORITHM, nullptr, 0};
    const struct { DWORD flags; void* padding; const char* digest; } paddings[] = {
        {NCRYPT_PAD_PKCS1_FLAG, nullptr, nullptr},
        {NCRYPT_PAD_OAEP_FLAG, &oaep_sha1, "SHA1"},
        {NCRYPT_PAD_OAEP_FLAG, &oaep_sha256, "SHA256"},
    };
    Bytes encrypted(key.modulus.size()), plain(key.modulus.size());
    for (const auto& p : paddings) {
        ASSERT_EQ(table->Encrypt(provider, handle, message.data(), DWORD(message.size()), p.padding, encrypted.data(),
                                 DWORD(encrypted.size()), &size, p.flags),
                  0);
        EXPECT_EQ(test::OpenSslDecryptRsa(key.modulus, key.exponent, key.private_exponent, p.digest,
                                          Bytes(encrypted.begin(), encrypted.begin() + size)),
                  message)
            << (p.digest == nullptr ? "PKCS #1 v1.5" : p.digest);
    }
    Bytes from_openssl = test::OpenSslEncryptRsaPkcs1(key.modulus, key.exponent, message);
    ASSERT_EQ(table->Decrypt(provider, handle, from_openssl.data(), DWORD(from_openssl.size()), nullptr, plain.data(),
                             DWORD(plain.size()), &size, NCRYPT_PAD_PKCS1_FLAG),
              0);
    EXPECT_EQ(Bytes(plain.begin(), plain.begin() + size), message);

    EXPECT_EQ(table->FreeKey(provider, handle), 0);
    EXPECT_EQ(table->FreeProvider(provider), 0);
    EXPECT_EQ(table->FreeProvider(enumerator), 0);
}

}  // namespace kelm::ksp::testing
