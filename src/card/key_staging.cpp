// Card type 7: emptying the staging file before a new key is generated in it.
#include <algorithm>
#include <cstring>
#include <vector>

#include "card/apdu_transport.h"
#include "card/card_conversation.h"
#include "card/card_files.h"
#include "card/certificate_subject.h"
#include "card/key_generation.h"

namespace kelm::card {
namespace {

constexpr size_t kCertificateBuffer = 4096;
constexpr DWORD kFileMissing = 0x6602;

// The subject common name of the certificate in key file `lo` (`info` is its file information);
// empty when the certificate does not decode or names none.
DWORD ReadCommonName(BYTE lo, const BYTE* info, CommonName* name) {
    DWORD status = Card_SelectFile(FILE_HI, lo);
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    std::vector<BYTE> certificate(kCertificateBuffer, 0);
    const size_t length = std::min<size_t>(static_cast<size_t>(info[2]) << 8 | info[3], certificate.size());
    status = Card_ReadFile(static_cast<DWORD>(length), certificate.data(), certificate.size());
    if (Card_StatusSucceeded(status)) {
        Cert_GetSubjectCommonName(certificate.data(), length, name);
    }
    return status;
}

bool SameName(const CommonName& a, const CommonName& b) {
    return a.length != 0 && a.length == b.length && std::memcmp(a.value, b.value, a.length) == 0;
}

}  // namespace

DWORD Card_FindCertificateSlot(const char* /*name*/) {
    const CardConversation conversation;
    const BYTE staging = static_cast<BYTE>(Card_KeyFileCount());
    BYTE info[kFileInfoSize] = {};
    DWORD status = Card_GetFileInfo(FILE_HI, staging, info);
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    if ((info[2] == 0 && info[3] == 0) || info[4] == 0) {
        // An uncertified staged key (or a certificate whose key is gone) is not kept: its
        // container lets go of it.
        return Card_RelocateKey(FILE_HI, staging, FILE_HI, staging);
    }
    CommonName staged{};
    status = ReadCommonName(staging, info, &staged);
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    if (staging < 2) {
        return STATUS_NO_FREE_KEY_FILE;
    }
    // The staged key replaces the older key of its subject (the same common name, compared whole),
    // or else takes the first file without a certificate. A staged certificate without a common
    // name matches nothing.
    BYTE free_file = 0;
    for (BYTE lo = 1; lo < staging; ++lo) {
        status = Card_GetFileInfo(FILE_HI, lo, info);
        if (status == kFileMissing) {
            continue;
        }
        if (!Card_StatusSucceeded(status)) {
            return status;
        }
        if (info[2] == 0 && info[3] == 0) {
            free_file = free_file == 0 ? lo : free_file;
            continue;
        }
        CommonName older{};
        status = ReadCommonName(lo, info, &older);
        if (!Card_StatusSucceeded(status)) {
            return status;
        }
        if (SameName(staged, older)) {
            return Card_RelocateKey(FILE_HI, staging, FILE_HI, lo);
        }
    }
    if (free_file == 0) {
        return STATUS_NO_FREE_KEY_FILE;
    }
    return Card_RelocateKey(FILE_HI, staging, FILE_HI, free_file);
}

}  // namespace kelm::card
