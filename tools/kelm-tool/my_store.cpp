// The "My" store and certificate facts.
#include "my_store.h"

#include <mbedtls/x509_crt.h>

#include <cstdio>
#include <ctime>
#include <vector>

#include "commands.h"
#include "key_storage.h"
#include "kelm/ksp.h"
#include "kelm/winapi.h"
#include "output.h"
#include "platform/registry/registry_store.h"

namespace kelm::tool {
namespace {

constexpr long kSecondsPerDay = 86400;

std::string Distinguished(const mbedtls_x509_name& name) {
    char text[512] = {};
    return mbedtls_x509_dn_gets(text, sizeof text, &name) > 0 ? text : "";
}

Bytes MpiBytes(const mbedtls_mpi& value) {
    Bytes bytes(mbedtls_mpi_size(&value));
    if (mbedtls_mpi_write_binary(&value, bytes.data(), bytes.size()) != 0) bytes.clear();
    return bytes;
}

}  // namespace

MyStore::MyStore() : handle(CertOpenSystemStoreA(0, "My")) {
    if (handle != nullptr) return;
    std::string text = "cannot open the \"My\" store: " + ErrorText(GetLastError());
    if (const std::string problem = platform::RegistryLastProblem(); !problem.empty()) text += " (registry: " + problem + ")";
    Fail(text);
}

MyStore::~MyStore() { CertCloseStore(handle, 0); }

std::string Thumbprint(PCCERT_CONTEXT certificate) {
    BYTE hash[20] = {};
    DWORD size = sizeof hash;
    if (!CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, hash, &size)) return {};
    return HexBytes(hash, size, "");
}

std::pair<std::string, std::string> KeyNamedBy(PCCERT_CONTEXT certificate) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) return {};
    std::vector<BYTE> buffer(size);
    if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size)) return {};
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
    return {Utf8(info->pwszContainerName), info->dwKeySpec == AT_KEYEXCHANGE ? "exchange" : "signature"};
}

CertificateFacts FactsOf(const BYTE* der, size_t length) {
    CertificateFacts facts;
    mbedtls_x509_crt parsed;
    mbedtls_x509_crt_init(&parsed);
    if (mbedtls_x509_crt_parse_der(&parsed, der, length) == 0) {
        facts.parsed = true;
        facts.subject = Distinguished(parsed.subject);
        facts.issuer = Distinguished(parsed.issuer);
        facts.serial = HexBytes(parsed.serial.p, parsed.serial.len, "");
        for (char& c : facts.serial) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const mbedtls_x509_time& to = parsed.valid_to;
        char date[16];
        std::snprintf(date, sizeof date, "%04d-%02d-%02d", to.year, to.mon, to.day);
        facts.expires = date;
        std::tm end{};
        end.tm_year = to.year - 1900, end.tm_mon = to.mon - 1, end.tm_mday = to.day;
        end.tm_hour = to.hour, end.tm_min = to.min, end.tm_sec = to.sec;
        const std::time_t seconds = timegm(&end) - std::time(nullptr);
        facts.days_left = static_cast<long>(seconds >= 0 ? seconds / kSecondsPerDay : -((-seconds + kSecondsPerDay - 1) / kSecondsPerDay));
        if (mbedtls_pk_get_type(&parsed.pk) == MBEDTLS_PK_RSA) {
            const mbedtls_rsa_context* rsa = mbedtls_pk_rsa(parsed.pk);
            mbedtls_mpi n, e;
            mbedtls_mpi_init(&n), mbedtls_mpi_init(&e);
            if (mbedtls_rsa_export(rsa, &n, nullptr, nullptr, nullptr, &e) == 0) facts.key = {MpiBytes(n), MpiBytes(e)};
            mbedtls_mpi_free(&n), mbedtls_mpi_free(&e);
        }
    }
    mbedtls_x509_crt_free(&parsed);
    return facts;
}

std::string FactsText(const CertificateFacts& facts) {
    if (!facts.parsed) return "not a readable X.509 certificate";
    const std::string left = facts.days_left >= 0 ? std::to_string(facts.days_left) + (facts.days_left == 1 ? " day left" : " days left")
                                                  : "expired " + std::to_string(-facts.days_left) + " days ago";
    return "subject " + Printable(facts.subject) + ", issuer " + Printable(facts.issuer) + ", serial " + facts.serial +
           ", expires " + facts.expires + " (" + left + ")";
}

Json FactsJson(const CertificateFacts& facts) {
    if (!facts.parsed) return nullptr;
    return {{"subject", facts.subject}, {"issuer", facts.issuer}, {"serial", facts.serial},
            {"expires", facts.expires}, {"days_left", facts.days_left}};
}

std::string StoreCertificateProblem(const KeyChoice& choice) {
    MyStore store;
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store.handle, c)) != nullptr;) {
        const auto [container, kind] = KeyNamedBy(c);
        if (container != choice.container) continue;
        CertFreeCertificateContext(c);
        if (kind == choice.key) return "";
        return "the key storage provider finds a key's certificate by its container alone, and the first "
               "certificate naming '" + Printable(choice.container) + "' in the \"My\" store is for its " + kind +
               " key, so its " + choice.key + " key cannot be told apart (a container's two keys cannot both have a "
               "certificate there; use the provider's entry points: kelm-tool pubkey, encrypt, verify)";
    }
    return "no certificate in the \"My\" store names container '" + Printable(choice.container) +
           "' (kelm-tool store add CERT --container " + Printable(choice.container) + " --key " + choice.key + ")";
}

}  // namespace kelm::tool
