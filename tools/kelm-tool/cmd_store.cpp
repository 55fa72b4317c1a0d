// kelm-tool store add, store import, store list and store remove: the current user's "My"
// certificate store, through the platform's Cert… functions, where the key storage provider
// finds a key's public half. What names a card key is checked against the card first.
#include <mbedtls/x509_crt.h>

#include <cstdio>
#include <memory>

#include "card/card_files.h"
#include "card_access.h"
#include "card_keys.h"
#include "commands.h"
#include "container_slots.h"
#include "kelm/cert_store.h"
#include "kelm/ksp.h"
#include "kelm/winapi.h"
#include "key_storage.h"
#include "my_store.h"
#include "output.h"

namespace kelm::tool {
namespace {

constexpr size_t kLongestFile = 64 * 1024;
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The DER certificate of a DER or PEM file.
Bytes CertificateFile(const std::string& path) {
    Bytes bytes = ReadWhole(path, kLongestFile);
    bytes.push_back(0);  // PEM text is parsed with its terminator
    mbedtls_x509_crt parsed;
    mbedtls_x509_crt_init(&parsed);
    const bool readable = mbedtls_x509_crt_parse(&parsed, bytes.data(), bytes.size()) == 0 ||
                          mbedtls_x509_crt_parse_der(&parsed, bytes.data(), bytes.size() - 1) == 0;
    const Bytes der(parsed.raw.p, parsed.raw.p + (readable ? parsed.raw.len : 0));
    mbedtls_x509_crt_free(&parsed);
    if (der.empty()) Fail(Printable(path) + " holds no certificate (DER or PEM)");
    return der;
}

// Adds `der` naming `choice` (no key when its container is empty); Fails when the store holds
// it already naming another key, unless `force`. Returns the thumbprint.
std::string AddToStore(MyStore& store, const Bytes& der, const KeyChoice& choice, bool force) {
    PCCERT_CONTEXT added = nullptr;
    if (!CertAddEncodedCertificateToStore(store.handle, kEncoding, der.data(), DWORD(der.size()),
                                          CERT_STORE_ADD_USE_EXISTING, &added)) {
        Fail("the store did not take the certificate: " + ErrorText(GetLastError()));
    }
    const std::string thumbprint = Thumbprint(added);
    const auto [container, kind] = KeyNamedBy(added);
    const bool repointing =
        !choice.container.empty() && !container.empty() && (container != choice.container || kind != choice.key);
    if (repointing && !force) {
        CertFreeCertificateContext(added);
        Fail("the store holds " + thumbprint + " already, naming the " + kind + " key of '" + Printable(container) +
             "': left as it is (--force names the new key)");
    }
    if (!choice.container.empty()) {
        std::u16string name = Utf16(choice.container), provider = KELM_KSP_NAME;
        CRYPT_KEY_PROV_INFO info{reinterpret_cast<LPWSTR>(name.data()), reinterpret_cast<LPWSTR>(provider.data()), 0, 0,
                                 0, nullptr, choice.KeySpec()};
        if (!CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) {
            CertFreeCertificateContext(added);
            Fail("cannot name the key's container: " + ErrorText(GetLastError()));
        }
    }
    CertFreeCertificateContext(added);
    return thumbprint;
}

struct AddArgs {
    std::string file;
    KeyChoice key;
    bool force = false;
};

int RunAdd(const Options& options, AddArgs& args) {
    const Bytes der = CertificateFile(args.file);
    const bool names_key = !args.key.container.empty() || args.key.key != "signature" || !args.key.kind.empty();
    if (names_key) {
        args.key.Resolve();
        // The card is asked before the store is changed: the container must be there, holding the
        // key this certificate certifies.
        CardAccess access(options, CardUse::Provider);
        const CardLayerSession session;
        bool found = false;
        for (const std::string& name : CardContainerNames()) found = found || name == args.key.container;
        if (!found) Fail("no container named '" + Printable(args.key.container) + "' on the card: nothing added");
        if (!args.force && !SameKey(FactsOf(der.data(), der.size()).key, CardPublicKey(args.key))) {
            Fail(Printable(args.file) + " certifies another key than " + args.key.Describe() +
                 " on the card: nothing added (--force adds it anyway)");
        }
    }
    MyStore store;
    const std::string thumbprint = AddToStore(store, der, names_key ? args.key : KeyChoice{}, args.force);
    if (options.json) PrintJson({{"thumbprint", thumbprint}, {"container", args.key.container}});
    else std::printf("%s\n", thumbprint.c_str());
    return kExitOk;
}

int RunImport(const Options& options, bool force) {
    struct Found {
        KeyChoice key;
        Bytes der;
    };
    std::vector<Found> certificates;
    {
        CardAccess access(options, CardUse::Provider);
        const CardLayerSession session;
        for (const std::string& name : CardContainerNames()) {
            for (const char* kind : {"signature", "exchange"}) {
                KeyChoice key{name, kind};
                Bytes der = ReadSlotCertificate(name, key.KeySpec() == AT_KEYEXCHANGE ? card::SLOT_EXCHANGE : card::SLOT_SIGNATURE);
                if (der.empty()) continue;
                // Only a certificate of the key beside it: a stale one would misname the key.
                if (!SameKey(FactsOf(der.data(), der.size()).key, CardPublicKey(key))) {
                    if (!options.quiet) {
                        std::fprintf(stderr, "kelm-tool: store import: skipped the certificate of %s: it certifies another key\n",
                                     key.Describe().c_str());
                    }
                    continue;
                }
                certificates.push_back({key, std::move(der)});
            }
        }
    }
    MyStore store;
    Json added = Json::array();
    for (const Found& found : certificates) {
        const std::string thumbprint = AddToStore(store, found.der, found.key, force);
        const CertificateFacts facts = FactsOf(found.der.data(), found.der.size());
        added.push_back({{"thumbprint", thumbprint}, {"container", found.key.container}, {"key", found.key.key},
                         {"certificate", FactsJson(facts)}});
        if (!options.json) {
            std::printf("%s  %s  key: %s (%s)\n", thumbprint.c_str(), Printable(facts.subject).c_str(),
                        Printable(found.key.container).c_str(), found.key.key.c_str());
        }
    }
    if (options.json) PrintJson({{"added", added}});
    else if (certificates.empty() && !options.quiet) std::fprintf(stderr, "kelm-tool: store import: the card holds no certificates\n");
    return kExitOk;
}

int RunList(const Options& options) {
    MyStore store;
    Json certificates = Json::array();
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store.handle, c)) != nullptr;) {
        const auto [container, kind] = KeyNamedBy(c);
        const CertificateFacts facts = FactsOf(c->pbCertEncoded, c->cbCertEncoded);
        certificates.push_back({{"thumbprint", Thumbprint(c)}, {"subject", facts.subject}, {"issuer", facts.issuer},
                                {"serial", facts.serial}, {"expires", facts.expires}, {"days_left", facts.days_left},
                                {"container", container}, {"key", kind}});
        if (!options.json) {
            std::printf("%s  %s\n    %s\n", Thumbprint(c).c_str(),
                        container.empty() ? "no card key" : ("key: " + Printable(container) + " (" + kind + ")").c_str(),
                        FactsText(facts).c_str());
        }
    }
    if (options.json) PrintJson({{"certificates", certificates}});
    else if (certificates.empty()) std::fprintf(stderr, "kelm-tool: store list: the \"My\" store holds no certificates\n");
    return kExitOk;
}

int RunRemove(const Options& options, const std::string& thumbprint) {
    std::vector<BYTE> hash;
    if (!ParseHex(thumbprint, &hash) || hash.size() != 20) Fail(kExitUsage, "a thumbprint is 40 hexadecimal digits");
    MyStore store;
    CRYPT_HASH_BLOB blob{DWORD(hash.size()), hash.data()};
    PCCERT_CONTEXT found = CertFindCertificateInStore(store.handle, kEncoding, 0, CERT_FIND_SHA1_HASH, &blob, nullptr);
    if (found == nullptr) Fail("no certificate " + thumbprint + " in the \"My\" store");
    if (!CertDeleteCertificateFromStore(found)) Fail("cannot remove it: " + ErrorText(GetLastError()));
    if (options.json) PrintJson({{"removed", thumbprint}});
    else std::printf("removed %s\n", thumbprint.c_str());
    return kExitOk;
}

Action SetupAdd(CLI::App& command) {
    auto args = std::make_shared<AddArgs>();
    command.add_option("CERT", args->file, "the certificate, DER or PEM")->required()->type_name("");
    AddKeyOptions(command, &args->key);
    command.add_flag("--force", args->force, "add it even when the card's key differs, and re-point an entry");
    return [args](const Options& options) { return RunAdd(options, *args); };
}
Action SetupImport(CLI::App& command) {
    auto force = std::make_shared<bool>(false);
    command.add_flag("--force", *force, "re-point entries that name another key");
    return [force](const Options& options) { return RunImport(options, *force); };
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
            "certifies, so that the key storage provider finds the key's public half there. The card\n"
            "is asked first: the container must be on it and the certificate's public key must be that\n"
            "key's; a certificate already in the store naming another key is left as it is. --force\n"
            "skips both checks. Prints the certificate's thumbprint.\n"
            "Examples:\n"
            "  kelm-tool store add alice.crt --container alice --key signature\n"
            "JSON: {\"thumbprint\": \"...\", \"container\": \"NAME\"}\n",
    .shared = kCardChoice | kJsonOutput,
    .setup = SetupAdd,
}};

const Registrar kImport{{
    .name = "store import",
    .group = kGroupStore,
    .summary = "put every certificate of the card in the \"My\" store, naming its key",
    .help = "Reads every certificate the card keeps beside a container's key and adds each whose public\n"
            "key is that key's to the \"My\" store, naming the container and key, as Windows' certificate\n"
            "propagation does; one that certifies another key is skipped, and an entry naming another\n"
            "key is left as it is (--force re-points it). No PIN is asked.\n"
            "Examples:\n"
            "  kelm-tool store import\n"
            "JSON: {\"added\": [{\"thumbprint\": \"...\", \"container\": \"NAME\", \"key\": \"signature\",\n"
            "       \"certificate\": {\"subject\": \"CN=...\", \"issuer\": \"CN=...\", \"serial\": \"...\",\n"
            "                       \"expires\": \"2027-03-01\", \"days_left\": 84}}]}\n",
    .shared = kCardChoice | kJsonOutput,
    .setup = SetupImport,
}};

const Registrar kList{{
    .name = "store list",
    .group = kGroupStore,
    .summary = "list the \"My\" store's certificates",
    .help = "Lists the \"My\" store: each certificate's thumbprint and the card key it names, then its\n"
            "subject, issuer, serial and expiry with the days left. An empty store is said on stderr.\n"
            "Examples:\n"
            "  kelm-tool store list\n"
            "JSON: {\"certificates\": [{\"thumbprint\": \"...\", \"subject\": \"CN=...\", \"issuer\": \"CN=...\",\n"
            "       \"serial\": \"...\", \"expires\": \"2027-03-01\", \"days_left\": 84, \"container\": \"NAME\",\n"
            "       \"key\": \"signature\"}]}\n",
    .shared = kJsonOutput,
    .setup = SetupList,
}};

const Registrar kRemove{{
    .name = "store remove",
    .group = kGroupStore,
    .summary = "take a certificate out of the \"My\" store",
    .help = "Removes the certificate with that SHA-1 thumbprint from the \"My\" store.\n"
            "Examples:\n"
            "  kelm-tool store remove 3f7a...\n"
            "JSON: {\"removed\": \"...\"}\n",
    .shared = kJsonOutput,
    .setup = SetupRemove,
}};

}  // namespace
}  // namespace kelm::tool
