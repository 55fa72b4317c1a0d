// kelm-tool store add, store list and store remove: the current user's "My" certificate store,
// through the platform's Cert… functions, where the key storage provider finds a key's public
// half.
#include <mbedtls/x509_crt.h>

#include <cstdio>
#include <memory>

#include "commands.h"
#include "kelm/cert_store.h"
#include "kelm/ksp.h"
#include "kelm/winapi.h"
#include "key_storage.h"
#include "output.h"

namespace kelm::tool {
namespace {

// The "My" store, closed when the command ends.
struct MyStore {
    MyStore() : handle(CertOpenSystemStoreA(0, "My")) {
        if (handle == nullptr) Fail("cannot open the \"My\" store: " + ErrorText(GetLastError()));
    }
    ~MyStore() { CertCloseStore(handle, 0); }
    HCERTSTORE handle;
};

std::string Thumbprint(PCCERT_CONTEXT certificate) {
    BYTE hash[20] = {};
    DWORD size = sizeof hash;
    if (!CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, hash, &size)) return {};
    return HexBytes(hash, size, "");
}

std::string Subject(PCCERT_CONTEXT certificate) {
    mbedtls_x509_crt parsed;
    mbedtls_x509_crt_init(&parsed);
    char text[256] = {};
    if (mbedtls_x509_crt_parse_der(&parsed, certificate->pbCertEncoded, certificate->cbCertEncoded) == 0) {
        mbedtls_x509_dn_gets(text, sizeof text, &parsed.subject);
    }
    mbedtls_x509_crt_free(&parsed);
    return text;
}

// The container and key the certificate's key provider information names ("" when none).
std::pair<std::string, std::string> KeyOf(PCCERT_CONTEXT certificate) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) return {};
    std::vector<BYTE> buffer(size);
    if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size)) return {};
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
    return {Utf8(info->pwszContainerName), info->dwKeySpec == AT_KEYEXCHANGE ? "exchange" : "signature"};
}

struct AddArgs {
    std::string file, container, kind = "signature";
};

int RunAdd(const Options& options, const AddArgs& args) {
    std::vector<BYTE> bytes = ReadBytes(args.file);
    bytes.push_back(0);  // PEM text is parsed with its terminator
    mbedtls_x509_crt parsed;
    mbedtls_x509_crt_init(&parsed);
    const bool readable = mbedtls_x509_crt_parse(&parsed, bytes.data(), bytes.size()) == 0 ||
                          mbedtls_x509_crt_parse_der(&parsed, bytes.data(), bytes.size() - 1) == 0;
    const std::vector<BYTE> der(parsed.raw.p, parsed.raw.p + (readable ? parsed.raw.len : 0));
    mbedtls_x509_crt_free(&parsed);
    if (der.empty()) Fail(args.file + " holds no certificate (DER or PEM)");
    MyStore store;
    PCCERT_CONTEXT added = nullptr;
    if (!CertAddEncodedCertificateToStore(store.handle, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                          DWORD(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, &added)) {
        Fail("the store did not take the certificate: " + ErrorText(GetLastError()));
    }
    if (!args.container.empty()) {
        std::u16string container = Utf16(args.container), provider = KELM_KSP_NAME;
        CRYPT_KEY_PROV_INFO info{reinterpret_cast<LPWSTR>(container.data()), reinterpret_cast<LPWSTR>(provider.data()), 0, 0,
                                 0, nullptr, DWORD(args.kind == "exchange" ? AT_KEYEXCHANGE : AT_SIGNATURE)};
        if (!CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) {
            CertFreeCertificateContext(added);
            Fail("cannot name the key's container: " + ErrorText(GetLastError()));
        }
    }
    const std::string thumbprint = Thumbprint(added);
    CertFreeCertificateContext(added);
    if (options.json) PrintJson({{"thumbprint", thumbprint}, {"container", args.container}});
    else std::printf("%s\n", thumbprint.c_str());
    return kExitOk;
}

int RunList(const Options& options) {
    MyStore store;
    Json certificates = Json::array();
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store.handle, c)) != nullptr;) {
        const auto [container, kind] = KeyOf(c);
        certificates.push_back({{"thumbprint", Thumbprint(c)}, {"subject", Subject(c)}, {"container", container},
                                {"key", kind}});
        if (!options.json) {
            std::printf("%s  %s%s%s\n", Thumbprint(c).c_str(), Printable(Subject(c)).c_str(),
                        container.empty() ? "" : "  key: ", container.empty() ? "" : (Printable(container) + " (" + kind + ")").c_str());
        }
    }
    if (options.json) PrintJson({{"certificates", certificates}});
    return kExitOk;
}

int RunRemove(const Options& options, const std::string& thumbprint) {
    std::vector<BYTE> hash;
    if (!ParseHex(thumbprint, &hash) || hash.size() != 20) Fail(kExitUsage, "a thumbprint is 40 hexadecimal digits");
    MyStore store;
    CRYPT_HASH_BLOB blob{DWORD(hash.size()), hash.data()};
    PCCERT_CONTEXT found = CertFindCertificateInStore(store.handle, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                      CERT_FIND_SHA1_HASH, &blob, nullptr);
    if (found == nullptr) Fail("no certificate " + thumbprint + " in the \"My\" store");
    if (!CertDeleteCertificateFromStore(found)) Fail("cannot remove it: " + ErrorText(GetLastError()));
    if (options.json) PrintJson({{"removed", thumbprint}});
    else std::printf("removed %s\n", thumbprint.c_str());
    return kExitOk;
}

Action SetupAdd(CLI::App& command) {
    auto args = std::make_shared<AddArgs>();
    command.add_option("CERT", args->file, "the certificate, DER or PEM")->required()->type_name("");
    command.add_option("--container", args->container, "the card container whose key it certifies")->type_name("NAME");
    command.add_option("--key", args->kind, "which key of the container (default signature)")
        ->check(CLI::IsMember({"signature", "exchange"}))
        ->type_name("signature|exchange");
    return [args](const Options& options) { return RunAdd(options, *args); };
}
Action SetupList(CLI::App&) { return RunList; }
Action SetupRemove(CLI::App& command) {
    auto thumbprint = std::make_shared<std::string>();
    command.add_option("THUMBPRINT", *thumbprint, "the certificate's SHA-1 thumbprint")->required()->type_name("");
    return [thumbprint](const Options& options) { return RunRemove(options, *thumbprint); };
}

const Registrar kAdd{{
    .name = "store add",
    .group = kGroupStore,
    .summary = "put a certificate in the current user's \"My\" store",
    .help = "Adds CERT to the \"My\" store (the registry) and, with --container, names the card key it\n"
            "certifies, so that the key storage provider finds the key's public half there. Prints\n"
            "the certificate's thumbprint.\n"
            "JSON: {\"thumbprint\": \"...\", \"container\": \"NAME\"}\n",
    .shared = kJsonOutput,
    .setup = SetupAdd,
}};

const Registrar kList{{
    .name = "store list",
    .group = kGroupStore,
    .summary = "list the \"My\" store's certificates",
    .help = "Lists the \"My\" store: thumbprint, subject and the card key a certificate names.\n"
            "JSON: {\"certificates\": [{\"thumbprint\": \"...\", \"subject\": \"CN=...\", \"container\": \"NAME\",\n"
            "       \"key\": \"signature\"}]}\n",
    .shared = kJsonOutput,
    .setup = SetupList,
}};

const Registrar kRemove{{
    .name = "store remove",
    .group = kGroupStore,
    .summary = "take a certificate out of the \"My\" store",
    .help = "Removes the certificate with that SHA-1 thumbprint from the \"My\" store.\n"
            "JSON: {\"removed\": \"...\"}\n",
    .shared = kJsonOutput,
    .setup = SetupRemove,
}};

}  // namespace
}  // namespace kelm::tool
