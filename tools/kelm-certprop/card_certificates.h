// The certificates of the card's keys, read through the installed provider "KELM CSP V5" as any
// CryptoAPI application reads them: the containers the provider lists, each key's certificate
// from KP_CERTIFICATE.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace kelm::certprop {

inline constexpr char kProviderName[] = "KELM CSP V5";

// One key's certificate, or why it could not be read. key_spec 0 stands for the container as a
// whole (it could not be opened).
struct CardCertificate {
    std::string container;
    DWORD key_spec = 0;  // AT_SIGNATURE or AT_KEYEXCHANGE
    std::vector<BYTE> der;
    DWORD error = 0;
};

struct CardReading {
    DWORD error = 0;  // nonzero: the provider or the card could not be reached at all
    std::vector<CardCertificate> certificates;  // keys without a certificate are left out
};

CardReading ReadCardCertificates();

// A name as the provider gives it (the ANSI code page, as advapi32 converts it back), in UTF-16.
std::wstring Widen(const std::string& text);

}  // namespace kelm::certprop
