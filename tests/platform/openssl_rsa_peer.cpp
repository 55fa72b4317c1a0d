#include "platform/openssl_rsa_peer.h"

#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <map>
#include <memory>
#include <stdexcept>

namespace kelm::test {
namespace {

void Check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("OpenSSL failed: ") + what);
}

using Context = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;

}  // namespace

EVP_PKEY* RsaKey(int bits) {
    // Kept, never destroyed, for the life of the test program, so the leak checker sees them
    // as reachable.
    static auto& keys = *new std::map<int, EVP_PKEY*>;
    EVP_PKEY*& key = keys[bits];
    if (key == nullptr) key = EVP_RSA_gen(static_cast<unsigned>(bits));
    Check(key != nullptr, "EVP_RSA_gen");
    return key;
}

Bytes SelfSignedCertificate(EVP_PKEY* key, const std::string& common_name, long serial) {
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 365L * 24 * 3600);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(common_name.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_set_pubkey(cert.get(), key);
    X509_EXTENSION* constraints = X509V3_EXT_conf_nid(nullptr, nullptr, NID_basic_constraints, "critical,CA:FALSE");
    X509_add_ext(cert.get(), constraints, -1);
    X509_EXTENSION_free(constraints);
    Check(X509_sign(cert.get(), key, EVP_sha256()) > 0, "X509_sign");
    unsigned char* der = nullptr;
    const int length = i2d_X509(cert.get(), &der);
    Check(length > 0, "i2d_X509");
    Bytes out(der, der + length);
    OPENSSL_free(der);
    return out;
}

Bytes RsaPublicKeyDer(EVP_PKEY* key) {
    unsigned char* der = nullptr;
    const int length = i2d_PublicKey(key, &der);
    Check(length > 0, "i2d_PublicKey");
    Bytes out(der, der + length);
    OPENSSL_free(der);
    return out;
}

Bytes PrivateDecrypt(EVP_PKEY* key, int padding, const Bytes& ciphertext, const char* oaep_md, const Bytes& label) {
    Context ctx(EVP_PKEY_CTX_new(key, nullptr), EVP_PKEY_CTX_free);
    Check(EVP_PKEY_decrypt_init(ctx.get()) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding) == 1,
          "decrypt init");
    if (oaep_md != nullptr) {
        Check(EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), EVP_get_digestbyname(oaep_md)) == 1, "OAEP hash");
        if (!label.empty()) {
            auto* copy = static_cast<unsigned char*>(OPENSSL_memdup(label.data(), label.size()));
            Check(EVP_PKEY_CTX_set0_rsa_oaep_label(ctx.get(), copy, static_cast<int>(label.size())) == 1, "label");
        }
    }
    Bytes out(static_cast<size_t>(EVP_PKEY_get_size(key)));
    size_t length = out.size();
    if (EVP_PKEY_decrypt(ctx.get(), out.data(), &length, ciphertext.data(), ciphertext.size()) != 1) return {};
    out.resize(length);
    return out;
}

Bytes Sign(EVP_PKEY* key, const char* md, const Bytes& hash, bool pss, int salt) {
    Context ctx(EVP_PKEY_CTX_new(key, nullptr), EVP_PKEY_CTX_free);
    Check(EVP_PKEY_sign_init(ctx.get()) == 1, "sign init");
    Check(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), pss ? RSA_PKCS1_PSS_PADDING : RSA_PKCS1_PADDING) == 1, "padding");
    if (md != nullptr) Check(EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_get_digestbyname(md)) == 1, md);
    if (pss) Check(EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), salt) == 1, "salt");
    Bytes out(static_cast<size_t>(EVP_PKEY_get_size(key)));
    size_t length = out.size();
    Check(EVP_PKEY_sign(ctx.get(), out.data(), &length, hash.data(), hash.size()) == 1, "sign");
    out.resize(length);
    return out;
}

Bytes PublicKeyBlob(EVP_PKEY* key) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    Check(i2b_PublicKey_bio(bio.get(), key) > 0, "i2b_PublicKey_bio");
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return Bytes(data, data + length);
}

}  // namespace kelm::test
