// The current user's "My" certificate store as the commands read it, and the facts of a
// certificate they print: subject, issuer, serial, expiry.
#pragma once

#include <string>
#include <utility>

#include "card_keys.h"
#include "kelm/cert_store.h"
#include "output.h"

namespace kelm::tool {

// The "My" store, closed when it goes; Fails, naming the registry's problem, when it cannot be
// opened.
struct MyStore {
    MyStore();
    ~MyStore();
    MyStore(const MyStore&) = delete;
    MyStore& operator=(const MyStore&) = delete;
    HCERTSTORE handle;
};

std::string Thumbprint(PCCERT_CONTEXT certificate);
// The container and key ("signature"/"exchange") its key provider information names; empty
// strings when it names none.
std::pair<std::string, std::string> KeyNamedBy(PCCERT_CONTEXT certificate);

struct CertificateFacts {
    bool parsed = false;
    std::string subject, issuer, serial;  // serial in lowercase hexadecimal
    std::string expires;                  // "2027-03-01"
    long days_left = 0;                   // negative once expired
    PublicKey key;                        // empty when it is not an RSA key
};
CertificateFacts FactsOf(const BYTE* der, size_t length);
// "subject CN=Alice, issuer CN=CA, serial 01a2, expires 2027-03-01 (84 days left)"
std::string FactsText(const CertificateFacts& facts);
Json FactsJson(const CertificateFacts& facts);

}  // namespace kelm::tool
