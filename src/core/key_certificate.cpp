// KP_CERTIFICATE: the certificate that the card keeps in an RSA key's slot, read into the
// caller's buffer and written from a DER certificate.
#include <cstring>

#include "card/apdu_transport.h"
#include "card/card_conversation.h"
#include "card/card_files.h"
#include "card/certificate_der.h"
#include "card/certificate_storage.h"
#include "card/certificate_subject.h"
#include "core/key_params.h"
#include "core/user_keys.h"
#include "kelm/winapi.h"

namespace kelm::core {
namespace {

constexpr DWORD kUnitBytes = 256;

// Status record bytes of a slot's certificate, from its StatusOffset.
constexpr size_t kCertificateFile = 3;
constexpr size_t kCertificateUnits = 5;
constexpr size_t kCertificateLength = 6;  // two bytes, big-endian

}  // namespace

DWORD KeyCertificate_Read(const KeyCTX* key, BYTE* data, DWORD* length) {
    const card::CardConversation conversation;  // the reading relies on the file the info selected
    KeySlot slot{};
    if (!KeySlotOf(key->Algid, &slot)) {
        return static_cast<DWORD>(NTE_BAD_KEY);
    }
    BYTE status[kContainerStatusSize];
    std::memcpy(status, key->Card_ContainerStatus, sizeof status);
    const DWORD info = card::Card_GetCertificateInfo(key->ContainerName, slot.Slot, status);
    if (!card::Card_StatusSucceeded(info)) {
        *length = 0;
        return info;  // 0x8009200C for a slot without certificate
    }
    const DWORD size = DWORD{status[slot.StatusOffset + kCertificateLength]} << 8 |
                       status[slot.StatusOffset + kCertificateLength + 1];
    const DWORD stated = *length;
    *length = size;
    if (data == nullptr) {
        return 0;
    }
    if (stated < size) {
        return ERROR_MORE_DATA;
    }
    // The info call left the certificate's file selected. The reading is bounded by the length
    // the card announced, so a card that sends more fails instead of overrunning the buffer.
    const DWORD read = card::Card_ReadFile(size, data, size);
    return card::Card_StatusSucceeded(read) ? 0 : read;
}

DWORD KeyCertificate_Write(KeyCTX* key, ContainerCTX* container, const BYTE* der) {
    const card::CardConversation conversation;  // the file's creation and the writing, as one
    KeySlot slot{};
    if (!KeySlotOf(key->Algid, &slot)) {
        return static_cast<DWORD>(NTE_BAD_KEY);
    }
    if (container == nullptr || !KeyBelongsTo(key, container->Name)) {
        return static_cast<DWORD>(NTE_BAD_KEYSET);
    }
    // The caller hands over no length: the outer element's header says how long the certificate
    // is, and one claiming more than a slot can hold is refused before anything past the header
    // is read.
    const int64_t length = card::Der_GetLen(der, kMaxKeyCertificate);
    if (length <= 0 || length > kMaxKeyCertificate) {
        return static_cast<DWORD>(NTE_FAIL);
    }
    // The whole certificate is checked before the card is touched: an inner length that lies or
    // a certificate cut short after its dates would otherwise reach the card, or leave a freshly
    // made certificate file behind when the write is then refused.
    if (!card::Cert_IsWholeDer(der, static_cast<size_t>(length))) {
        return static_cast<DWORD>(NTE_FAIL);
    }
    const auto units = static_cast<BYTE>((length + kUnitBytes - 1) / kUnitBytes);
    BYTE status[kContainerStatusSize];
    std::memcpy(status, key->Card_ContainerStatus, sizeof status);
    if (status[slot.StatusOffset + kCertificateFile] == 0) {
        const DWORD created = card::Card_CreateCertificate(key->ContainerName, slot.Slot, units, status);
        if (!card::Card_StatusSucceeded(created)) {
            return created;
        }
    } else if (status[slot.StatusOffset + kCertificateUnits] < units) {
        return static_cast<DWORD>(NTE_FAIL);
    }
    const DWORD written =
        card::RSA_CardWriteCertificate(key->ContainerName, slot.Slot, static_cast<DWORD>(length), der, status);
    if (!card::Card_StatusSucceeded(written)) {
        return written;
    }
    std::memcpy(key->Card_ContainerStatus, status, sizeof status);
    std::memcpy(container->Card_ContainerStatus, status, sizeof status);
    return 0;
}

}  // namespace kelm::core
