#include "openssl_peer.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/provider.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <random>
#include <stdexcept>

namespace kelm::test {
namespace {

// Kept for the life of the test program, so the leak checker sees them as reachable.
OSSL_PROVIDER* g_default_provider = nullptr;
OSSL_PROVIDER* g_legacy_provider = nullptr;

bool LoadProviders() {
    g_default_provider = OSSL_PROVIDER_load(nullptr, "default");
    g_legacy_provider = OSSL_PROVIDER_load(nullptr, "legacy");
    return g_legacy_provider != nullptr;
}

// OpenSSL's plain "cfb" names are the 64-bit feedback ones.
std::string CipherName(const std::string& mode, size_t keyBytes) {
    return (keyBytes == 24 ? "des-ede3-" : keyBytes == 16 ? "des-ede-" : "des-") + mode;
}

}  // namespace

bool OpenSslHasLegacyDes() {
    static const bool loaded = LoadProviders();
    return loaded;
}

Bytes OpenSslDigest(const char* name, const Bytes& data) {
    OpenSslHasLegacyDes();
    EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
    if (md == nullptr) return {};
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &length, md, nullptr);
    EVP_MD_free(md);
    out.resize(length);
    return out;
}

Bytes OpenSslCipher(const std::string& mode, bool encrypt, const Bytes& key, const Bytes& iv,
                    const Bytes& data) {
    OpenSslHasLegacyDes();
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, CipherName(mode, key.size()).c_str(), nullptr);
    if (cipher == nullptr) throw std::runtime_error("OpenSSL cipher unavailable: " + CipherName(mode, key.size()));
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(ctx, cipher, nullptr, key.data(), mode == "ecb" ? nullptr : iv.data(), encrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx, mode == "cbc" ? 1 : 0);
    Bytes out(data.size() + 16);
    int n = 0, tail = 0;
    EVP_CipherUpdate(ctx, out.data(), &n, data.data(), static_cast<int>(data.size()));
    const bool ok = EVP_CipherFinal_ex(ctx, out.data() + n, &tail) == 1;
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);
    if (!ok) throw std::runtime_error("OpenSSL cipher final failed");
    out.resize(static_cast<size_t>(n + tail));
    return out;
}

namespace {

// An RSA key from big-endian numbers; with `private_exponent` a key pair.
EVP_PKEY* RsaKey(const Bytes& modulus, const Bytes& exponent, const Bytes* private_exponent = nullptr) {
    // OSSL_PARAM numbers are in the machine's byte order (little-endian here).
    Bytes n(modulus.rbegin(), modulus.rend()), e(exponent.rbegin(), exponent.rend()), d;
    if (private_exponent != nullptr) d.assign(private_exponent->rbegin(), private_exponent->rend());
    OSSL_PARAM params[] = {OSSL_PARAM_construct_BN(OSSL_PKEY_PARAM_RSA_N, n.data(), n.size()),
                           OSSL_PARAM_construct_BN(OSSL_PKEY_PARAM_RSA_E, e.data(), e.size()),
                           OSSL_PARAM_construct_BN(OSSL_PKEY_PARAM_RSA_D, d.data(), d.size()), OSSL_PARAM_construct_end()};
    if (private_exponent == nullptr) params[2] = OSSL_PARAM_construct_end();
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    const int selection = private_exponent == nullptr ? EVP_PKEY_PUBLIC_KEY : EVP_PKEY_KEYPAIR;
    if (EVP_PKEY_fromdata_init(ctx) != 1 || EVP_PKEY_fromdata(ctx, &key, selection, params) != 1) key = nullptr;
    EVP_PKEY_CTX_free(ctx);
    if (key == nullptr) throw std::runtime_error("OpenSSL refused the key");
    return key;
}

// The issuer of every test certificate: made once, kept for the life of the test program.
EVP_PKEY* Issuer() {
    static EVP_PKEY* issuer = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(1024));
    return issuer;
}

void SetTime(ASN1_TIME* time, const std::string& text) {
    text.size() == 13 ? ASN1_UTCTIME_set_string(time, text.c_str()) : ASN1_GENERALIZEDTIME_set_string(time, text.c_str());
}

Bytes MakeCertificate(const CertificateRequest& request, size_t comment_length) {
    X509* x = X509_new();
    X509_set_version(x, request.with_version ? 2 : 0);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 4711);
    X509_NAME* subject = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(request.common_name.c_str()), -1, -1, 0);
    X509_set_issuer_name(x, subject);
    SetTime(X509_getm_notBefore(x), request.not_before);
    SetTime(X509_getm_notAfter(x), request.not_after);
    EVP_PKEY* key = RsaKey(request.modulus, request.exponent);
    X509_set_pubkey(x, key);
    EVP_PKEY_free(key);
    if (request.with_version && request.size != 0) {
        const std::string comment(comment_length, 'x');
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, nullptr, NID_netscape_comment, comment.c_str());
        X509_add_ext(x, extension, -1);
        X509_EXTENSION_free(extension);
    }
    X509_sign(x, Issuer(), EVP_sha256());
    Bytes der(static_cast<size_t>(i2d_X509(x, nullptr)));
    unsigned char* p = der.data();
    i2d_X509(x, &p);
    X509_free(x);
    return der;
}

}  // namespace

bool OpenSslVerifyRsaPkcs1(const Bytes& modulus, const Bytes& exponent, const char* digest, const Bytes& hash,
                           const Bytes& signature) {
    OpenSslHasLegacyDes();
    EVP_PKEY* key = RsaKey(modulus, exponent);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    EVP_MD* md = EVP_MD_fetch(nullptr, digest, nullptr);
    const bool ok = md != nullptr && EVP_PKEY_verify_init(ctx) == 1 &&
                    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
                    EVP_PKEY_CTX_set_signature_md(ctx, md) == 1 &&
                    EVP_PKEY_verify(ctx, signature.data(), signature.size(), hash.data(), hash.size()) == 1;
    EVP_MD_free(md);
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(key);
    return ok;
}

Bytes OpenSslCertificate(const CertificateRequest& request) {
    // The comment grows the certificate byte for byte, except where a length field gains a byte.
    size_t comment = 16;
    Bytes der = MakeCertificate(request, comment);
    for (int round = 0; round < 4 && request.size != 0 && der.size() != request.size; ++round) {
        comment += request.size - der.size();  // modulo arithmetic: shrinks as well as grows
        der = MakeCertificate(request, comment);
    }
    return der;
}

Bytes OpenSslEncryptRsaPkcs1(const Bytes& modulus, const Bytes& exponent, const Bytes& message) {
    EVP_PKEY* key = RsaKey(modulus, exponent);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    Bytes out(modulus.size());
    size_t length = out.size();
    const bool ok = EVP_PKEY_encrypt_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
                    EVP_PKEY_encrypt(ctx, out.data(), &length, message.data(), message.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(key);
    if (!ok) throw std::runtime_error("OpenSSL RSA encryption failed");
    return out;
}

Bytes OpenSslDecryptRsa(const Bytes& modulus, const Bytes& exponent, const Bytes& private_exponent,
                        const char* oaep_digest, const Bytes& ciphertext) {
    EVP_PKEY* key = RsaKey(modulus, exponent, &private_exponent);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    Bytes out(modulus.size());
    size_t length = out.size();
    bool ok = EVP_PKEY_decrypt_init(ctx) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx, oaep_digest == nullptr ? RSA_PKCS1_PADDING : RSA_PKCS1_OAEP_PADDING) == 1;
    if (ok && oaep_digest != nullptr) {
        const EVP_MD* md = EVP_get_digestbyname(oaep_digest);
        ok = md != nullptr && EVP_PKEY_CTX_set_rsa_oaep_md(ctx, md) == 1 && EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, md) == 1;
    }
    ok = ok && EVP_PKEY_decrypt(ctx, out.data(), &length, ciphertext.data(), ciphertext.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(key);
    out.resize(ok ? length : 0);
    return out;
}

Bytes RandomBytes(size_t length, uint32_t seed) {
    std::mt19937 generator(seed);
    Bytes out(length);
    for (auto& b : out) b = static_cast<uint8_t>(generator());
    return out;
}

Bytes FromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string ToHex(const uint8_t* data, size_t length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        out.push_back(kDigits[data[i] >> 4]);
        out.push_back(kDigits[data[i] & 15]);
    }
    return out;
}

}  // namespace kelm::test
