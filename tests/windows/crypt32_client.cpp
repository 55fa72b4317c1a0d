// kelm_crypt32_client SUBJECT DIR: an application that knows nothing of the provider, as Outlook
// or signtool are. It takes the certificate whose subject holds SUBJECT from the current user's
// "My" store and, through crypt32 alone, signs a document with CryptSignMessage (SHA-1 and
// SHA-256, detached and with the content) and makes a self-signed certificate for the same key
// with CertCreateSelfSignCertificate: crypt32 finds the key on the card from the certificate's
// key provider information. The user types the PIN. OpenSSL checks what it writes to DIR:
// document.txt, sha1-detached.p7s, sha1-attached.p7s, sha256-detached.p7s,
// sha256-attached.p7s, self-signed.der.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>
#include <vector>

#include "wine_test.h"

namespace kelm::wine_test {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
const std::string kDocument = "Signed by the card's key, for crypt32 and OpenSSL.\n";

std::string Error() { return ", error " + Hex(GetLastError()); }

bool Save(const std::string& path, const BYTE* data, size_t length) {
    FILE* out = std::fopen(path.c_str(), "wb");
    const bool saved = out != nullptr && std::fwrite(data, 1, length, out) == length;
    if (out != nullptr) std::fclose(out);
    return Check(saved, "write " + path);
}

void Sign(PCCERT_CONTEXT certificate, const char* hash_oid, BOOL detached, const std::string& path) {
    CRYPT_SIGN_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgEncodingType = kEncoding;
    para.pSigningCert = certificate;
    para.HashAlgorithm.pszObjId = const_cast<char*>(hash_oid);
    para.cMsgCert = 1;
    para.rgpMsgCert = &certificate;
    const BYTE* content[] = {reinterpret_cast<const BYTE*>(kDocument.data())};
    DWORD content_length[] = {static_cast<DWORD>(kDocument.size())};
    User user({kPin, IDOK, false});  // asked once; the provider keeps the PIN for the thread
    DWORD length = 0;
    std::vector<BYTE> message;
    if (CryptSignMessage(&para, detached, 1, content, content_length, nullptr, &length)) {
        message.resize(length);
        if (!CryptSignMessage(&para, detached, 1, content, content_length, message.data(), &length)) message.clear();
        message.resize(message.empty() ? 0 : length);
    }
    const std::string error = Error();
    if (Check(!message.empty(), "CryptSignMessage for " + path + error)) Save(path, message.data(), message.size());
}

void SelfSign(PCCERT_CONTEXT certificate, const std::string& path) {
    DWORD length = 0;
    CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &length);
    std::vector<BYTE> key_info(length);
    const bool named = length != 0 && CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, key_info.data(), &length);
    if (!Check(named, "the certificate names its key")) return;
    BYTE name[256];
    CERT_NAME_BLOB subject{sizeof name, name};
    CertStrToNameA(X509_ASN_ENCODING, "CN=Self-signed by the card", CERT_X500_NAME_STR, nullptr, name, &subject.cbData, nullptr);
    CRYPT_ALGORITHM_IDENTIFIER algorithm{const_cast<char*>(szOID_RSA_SHA256RSA), {}};
    User user({kPin, IDOK, false});
    PCCERT_CONTEXT made = CertCreateSelfSignCertificate(0, &subject, 0, reinterpret_cast<CRYPT_KEY_PROV_INFO*>(key_info.data()),
                                                        &algorithm, nullptr, nullptr, nullptr);
    const std::string error = Error();
    if (Check(made != nullptr, "CertCreateSelfSignCertificate" + error)) {
        Save(path, made->pbCertEncoded, made->cbCertEncoded);
        CertFreeCertificateContext(made);
    }
}

}  // namespace
}  // namespace kelm::wine_test

int main(int argc, char** argv) {
    using namespace kelm::wine_test;
    if (argc != 3) {
        std::fprintf(stderr, "usage: kelm_crypt32_client SUBJECT DIR\n");
        return 2;
    }
    const std::string dir = std::string(argv[2]) + "\\";
    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    PCCERT_CONTEXT certificate =
        store != nullptr ? CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_SUBJECT_STR_A, argv[1], nullptr) : nullptr;
    if (Check(certificate != nullptr, std::string("a certificate for '") + argv[1] + "' in \"My\"")) {
        Save(dir + "document.txt", reinterpret_cast<const BYTE*>(kDocument.data()), kDocument.size());
        Sign(certificate, szOID_OIWSEC_sha1, TRUE, dir + "sha1-detached.p7s");
        Sign(certificate, szOID_OIWSEC_sha1, FALSE, dir + "sha1-attached.p7s");
        Sign(certificate, szOID_NIST_sha256, TRUE, dir + "sha256-detached.p7s");
        Sign(certificate, szOID_NIST_sha256, FALSE, dir + "sha256-attached.p7s");
        SelfSign(certificate, dir + "self-signed.der");
        CertFreeCertificateContext(certificate);
    }
    if (store != nullptr) CertCloseStore(store, 0);
    std::printf("crypt32 client: %d failed check(s)\n", Failures());
    return Failures() == 0 ? 0 : 1;
}
