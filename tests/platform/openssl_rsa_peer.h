// OpenSSL's libcrypto as the independent party for the certificate store and the software
// providers: it makes the keys and certificates, decrypts what they encrypt, signs what they
// verify and reads the blobs they export.
#pragma once

#include <openssl/evp.h>

#include <string>

#include "crypto/openssl_peer.h"

namespace kelm::test {

// One RSA key pair per size for the whole test program (public exponent 65537).
EVP_PKEY* RsaKey(int bits);

// A self-signed X.509 v3 certificate (SHA-256, one basic-constraints extension) as DER.
Bytes SelfSignedCertificate(EVP_PKEY* key, const std::string& common_name, long serial);

// The RSAPublicKey DER (modulus, exponent), as a SubjectPublicKeyInfo's bit string holds it.
Bytes RsaPublicKeyDer(EVP_PKEY* key);

// padding: RSA_PKCS1_PADDING, RSA_PKCS1_OAEP_PADDING (with `oaep_md` and `label`) or
// RSA_NO_PADDING. Empty when OpenSSL refuses the ciphertext.
Bytes PrivateDecrypt(EVP_PKEY* key, int padding, const Bytes& ciphertext, const char* oaep_md = nullptr,
                     const Bytes& label = {});

// Signs `hash`: PKCS #1 v1.5 with the DigestInfo of `md` (none: the bare hash), or PSS.
Bytes Sign(EVP_PKEY* key, const char* md, const Bytes& hash, bool pss = false, int salt = 0);

// The PUBLICKEYBLOB ("MSBLOB") OpenSSL writes for the public half of `key`.
Bytes PublicKeyBlob(EVP_PKEY* key);

}  // namespace kelm::test
