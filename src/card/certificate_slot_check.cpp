// Card type 7 keeps one certified key per subject in its key files 80 01 .. 80 0(N-1): a new
// certificate needs a free file or one whose certificate has the same subject common name.
#include <algorithm>
#include <vector>

#include "card/apdu_transport.h"
#include "card/card_conversation.h"
#include "card/card_files.h"
#include "card/certificate_storage.h"
#include "card/certificate_subject.h"

namespace kelm::card {
namespace {

// Room for any certificate a key file can hold, read in whole pieces.
constexpr size_t kReadBuffer = 4096;

}  // namespace

DWORD Card_CheckCertificateSlot(const char* container, DWORD length, const BYTE* certificate) {
    const CardConversation conversation;
    if (container == nullptr || certificate == nullptr) {
        return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    }
    CommonName name;
    Cert_GetSubjectCommonName(certificate, length, &name);
    const DWORD files = Card_KeyFileCount();
    if (files < 2) {
        return STATUS_NO_CERTIFICATE_ROOM;
    }
    bool match = false;
    bool free_file = false;
    std::vector<BYTE> stored(kReadBuffer);
    for (BYTE lo = 1; lo < files && !match; ++lo) {
        BYTE info[kFileInfoSize] = {};
        DWORD status = Card_GetFileInfo(FILE_HI, lo, info);
        if (!Card_StatusSucceeded(status)) {
            return status;
        }
        const size_t stored_length = static_cast<size_t>(info[2]) << 8 | info[3];
        if (stored_length == 0) {
            free_file = true;
            continue;
        }
        status = Card_SelectFile(FILE_HI, lo);
        if (Card_StatusSucceeded(status)) {
            std::fill(stored.begin(), stored.end(), BYTE{0});
            status = Card_ReadFile(static_cast<DWORD>(stored_length), stored.data(), stored.size());
        }
        if (!Card_StatusSucceeded(status)) {
            return status;
        }
        match = Cert_SubjectMatchesCommonName(stored.data(), stored_length < kReadBuffer ? stored_length : kReadBuffer,
                                              name);
    }
    if (!match && !free_file) {
        return STATUS_NO_CERTIFICATE_ROOM;
    }
    // The certificate goes to the container's newest key: its signature key file, or its
    // exchange key file when it has no signature key.
    BYTE record[kKeyFileRecordSize] = {};
    DWORD status = Card_FindContainer(container, record);
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    const bool signature_file = record[1] != 0;
    status = Card_SelectFile(signature_file ? record[0] : record[2], signature_file ? record[1] : record[3]);
    return Card_StatusSucceeded(status) ? 0 : status;
}

}  // namespace kelm::card
