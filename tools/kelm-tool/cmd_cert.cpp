// kelm-tool cert write|read: the certificate the card keeps beside a container's key, through the
// key parameter KP_CERTIFICATE (CPSetKeyParam, CPGetKeyParam).
#include <mbedtls/pem.h>
#include <mbedtls/x509_crt.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "card_access.h"
#include "card_keys.h"
#include "commands.h"
#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "output.h"
#include "my_store.h"
#include "provider_call.h"

namespace kelm::tool {
namespace {

constexpr size_t kLongestFile = 64 * 1024;
constexpr size_t kLongestCertificate = 2048;  // what a key file keeps
constexpr DWORD kNoCertificate = 0x8009200C;
constexpr char kPemBegin[] = "-----BEGIN CERTIFICATE-----\n";
constexpr char kPemEnd[] = "-----END CERTIFICATE-----\n";

struct CertArgs {
    KeyChoice key;
    std::string file;  // write: the certificate; read: --out
    bool pem = false;
    bool force = false;
};

// The DER certificate in a DER or PEM file, checked to be one with mbed TLS's X.509 parser.
Bytes CertificateIn(const std::string& path) {
    Bytes file = ReadWhole(path, kLongestFile);
    if (file.size() >= 10 && std::memcmp(file.data(), "-----BEGIN", 10) == 0) file.push_back(0);  // PEM text
    mbedtls_x509_crt chain;
    mbedtls_x509_crt_init(&chain);
    const bool parsed = mbedtls_x509_crt_parse(&chain, file.data(), file.size()) == 0;
    const Bytes der = parsed ? Bytes(chain.raw.p, chain.raw.p + chain.raw.len) : Bytes();
    const int version = parsed ? chain.version : 0;
    mbedtls_x509_crt_free(&chain);
    if (!parsed) Fail(Printable(path) + " holds no X.509 certificate (DER or PEM)");
    // The card finds the validity dates behind the version field; a version 1 certificate has
    // none, and the provider would refuse it with a bare NTE_FAIL.
    if (version < 2) {
        Fail(Printable(path) + " is an X.509 version 1 certificate; the card takes version 3 (issue it with extensions)");
    }
    if (der.size() > kLongestCertificate) {
        Fail("the card keeps certificates of at most 2048 bytes; " + Printable(path) + " holds " +
             std::to_string(der.size()));
    }
    return der;
}

int RunWrite(const Options& options, CertArgs& args) {
    args.key.Resolve();
    const Bytes der = CertificateIn(args.file);
    const CertificateFacts facts = FactsOf(der.data(), der.size());
    CardAccess access(options, CardUse::Provider);
    ProviderContext provider(args.key.container.c_str(), KeysetFlags(options), ContainerWhat(args.key.container));
    const UserKey key(provider.handle(), args.key);
    // Checked before anything is written: a certificate of another key would be taken for this one's.
    if (!args.force && !SameKey(facts.key, CardPublicKey(args.key))) {
        Fail(Printable(args.file) + " certifies another key than " + args.key.Describe() +
             " (its public key is not the card's): nothing written (--force writes it anyway)");
    }
    if (!CPSetKeyParam(provider.handle(), key.handle(), KP_CERTIFICATE, der.data(), 0)) {
        FailCall("writing the certificate beside " + args.key.Describe());
    }
    if (options.json) PrintJson({{"container", args.key.container}, {"key", args.key.key}, {"bytes", der.size()}});
    else std::printf("certificate written beside %s (%zu bytes)\n", args.key.Describe().c_str(), der.size());
    return kExitOk;
}

int RunRead(const Options& options, CertArgs& args) {
    args.key.Resolve();
    CardAccess access(options, CardUse::Provider);
    ProviderContext provider(args.key.container.c_str(), CRYPT_SILENT | KeysetFlags(options),
                             ContainerWhat(args.key.container));
    const UserKey key(provider.handle(), args.key);
    DWORD size = 0;
    Bytes der;
    if (CPGetKeyParam(provider.handle(), key.handle(), KP_CERTIFICATE, nullptr, &size, 0)) {
        der.resize(size);
        if (!CPGetKeyParam(provider.handle(), key.handle(), KP_CERTIFICATE, der.data(), &size, 0)) der.clear();
    }
    if (der.empty() && GetLastError() == kNoCertificate) Fail(args.key.Describe() + " has no certificate on the card");
    if (der.empty()) FailCall("reading the certificate beside " + args.key.Describe());
    std::string pem(der.size() * 2 + 128, '\0');
    size_t pem_length = 0;
    if (mbedtls_pem_write_buffer(kPemBegin, kPemEnd, der.data(), der.size(), reinterpret_cast<unsigned char*>(pem.data()),
                                 pem.size(), &pem_length) != 0) {
        Fail("cannot write the certificate as PEM");
    }
    pem.resize(pem_length - 1);  // without the terminating NUL
    if (!args.file.empty() || !options.json) {
        WriteWhole(args.file, args.pem ? Bytes(pem.begin(), pem.end()) : der, !args.pem);
    }
    if (options.json) {
        PrintJson({{"container", args.key.container}, {"key", args.key.key}, {"bytes", der.size()}, {"pem", pem}});
    }
    return kExitOk;
}

Action SetupWrite(CLI::App& command) {
    auto args = std::make_shared<CertArgs>();
    AddKeyOptions(command, &args->key);
    command.add_flag("--force", args->force, "write it even when its public key is not the card key's");
    command.add_option("FILE", args->file, "the certificate, DER or PEM")->type_name("")->required();
    return [args](const Options& options) { return RunWrite(options, *args); };
}

Action SetupRead(CLI::App& command) {
    auto args = std::make_shared<CertArgs>();
    AddKeyOptions(command, &args->key);
    AddOutOption(command, &args->file, "where the certificate goes (default: standard output)");
    command.add_flag("--pem", args->pem, "write PEM instead of DER");
    return [args](const Options& options) { return RunRead(options, *args); };
}

const Registrar kWrite{{
    .name = "cert write",
    .group = kGroupProvider,
    .summary = "store a certificate beside a container's key on the card",
    .help = "Writes the X.509 certificate in FILE (DER or PEM, at most 2048 bytes as DER, version 3)\n"
            "into the key file of the container's key (CPSetKeyParam, KP_CERTIFICATE). A certificate\n"
            "whose public key is not the card key of that slot is refused (--force writes it anyway).\n"
            "The card's own write authorisation governs the write; no PIN is asked.\n"
            "Examples:\n"
            "  kelm-tool cert write --container alice alice.crt\n"
            "JSON: {\"container\": \"NAME\", \"key\": \"signature\", \"bytes\": 812}\n",
    .shared = kCardChoice | kMachineKeyset | kJsonOutput,
    .setup = SetupWrite,
}};

const Registrar kRead{{
    .name = "cert read",
    .group = kGroupProvider,
    .summary = "read the certificate stored beside a container's key",
    .help = "Reads the certificate the card keeps beside the container's key (CPGetKeyParam,\n"
            "KP_CERTIFICATE), byte for byte as it was written, and writes it as DER (not to a\n"
            "terminal) or, with --pem, as PEM. No PIN is asked. With --json and no -o it is only in the\n"
            "JSON.\n"
            "Examples:\n"
            "  kelm-tool cert read --container alice --pem -o alice.pem\n"
            "JSON: {\"container\": \"NAME\", \"key\": \"signature\", \"bytes\": 812, \"pem\": \"-----BEGIN...\"}\n",
    .shared = kCardChoice | kMachineKeyset | kJsonOutput,
    .setup = SetupRead,
}};

}  // namespace
}  // namespace kelm::tool
