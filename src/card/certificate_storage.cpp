// A slot's certificate file on the card: its information, making one, and writing a certificate
// in WRITE CERTIFICATE pieces with each card type's header and authorisation code.
#include "card/certificate_storage.h"

#include <cstring>
#include <vector>

#include "card/apdu_transport.h"
#include "card/card_conversation.h"
#include "card/card_files.h"
#include "card/certificate_der.h"
#include "card/slot_key_file.h"
#include "crypto/secure_zero.h"
#include "kelm/winapi.h"
#include "platform/process/trace.h"

namespace kelm::card {
namespace {

constexpr BYTE kWriteCertificateIns = 0x46;
constexpr BYTE kFirstFreeCandidate = 0x05;  // certificate-only files start at 80 05
constexpr const char* kProviderKey = "SOFTWARE\\VESK\\ROSMAC10";
constexpr const char* kCertMacValue = "CertMac";
// "CertMac" values are a few bytes; one that claims more than this is not read.
constexpr DWORD kMaxCertMacValue = 4096;
// Slot entry offsets in Card_ContainerStatus.
constexpr size_t kEntryCertFile = 4;
constexpr size_t kEntryCertStatus = 5;
constexpr size_t kEntryCapacity = 6;
constexpr size_t kEntryCertLength = 7;

bool ValidSlot(BYTE slot) { return slot == SLOT_SIGNATURE || slot == SLOT_EXCHANGE; }

DWORD InvalidParameter() { return static_cast<DWORD>(ERROR_INVALID_PARAMETER); }

BYTE* SlotEntry(BYTE* container_status, BYTE slot) { return container_status + kSlotEntryOffset[slot]; }

// The first 8 bytes of "CertMac" (zeros when it is missing or shorter). The value is deleted
// as soon as it is read: each code authorises one write, whether that write then succeeds.
void TakeCertMac(BYTE* code) {
    std::memset(code, 0, kCertificateCodeLength);
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kProviderKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        return;
    }
    DWORD size = 0;
    if (RegQueryValueExA(key, kCertMacValue, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS && size != 0 &&
        size <= kMaxCertMacValue) {
        std::vector<BYTE> value(size, 0);
        if (RegQueryValueExA(key, kCertMacValue, nullptr, nullptr, value.data(), &size) == ERROR_SUCCESS) {
            std::memcpy(code, value.data(), size < kCertificateCodeLength ? size : kCertificateCodeLength);
        }
        crypto::SecureZero(value.data(), value.size());
    }
    RegDeleteValueA(key, kCertMacValue);
    RegCloseKey(key);
}

DWORD WritePiece(BYTE p1, const BYTE* piece, size_t length) {
    BYTE reply[kApduResponseCapacity];
    BYTE le = 0x00;
    return Card_SendAPDU(0x00, kWriteCertificateIns, p1, 0x00, static_cast<BYTE>(length), &le, piece, reply, 0);
}

// The payload (header, then the certificate) in pieces of 200 bytes, each behind a continuation
// byte (1: more follows); the last piece carries the code when there is one. A certificate that
// fits in the first piece goes in that one command, continuation 1, without the code.
DWORD SendCertificate(const BYTE* header, size_t header_length, const BYTE* certificate, size_t length,
                      const BYTE* code) {
    BYTE piece[1 + kCertificatePiece + kCertificateCodeLength];
    // The last piece carries the write code; the whole piece goes when the function ends.
    struct PieceWipe {
        BYTE* bytes;
        size_t size;
        ~PieceWipe() { crypto::SecureZero(bytes, size); }
    } const wipe{piece, sizeof piece};
    const size_t commands = (length + header_length - 1) / kCertificatePiece + 1;
    const size_t first = commands == 1 ? length : kCertificatePiece - header_length;
    piece[0] = 1;
    std::memcpy(piece + 1, header, header_length);
    std::memcpy(piece + 1 + header_length, certificate, first);
    DWORD status = WritePiece(0x00, piece, 1 + header_length + first);
    size_t sent = first;
    for (size_t command = 2; command <= commands && Card_StatusSucceeded(status); ++command) {
        const bool last = command == commands;
        const size_t count = last ? length - sent : kCertificatePiece;
        piece[0] = last ? 0 : 1;
        std::memcpy(piece + 1, certificate + sent, count);
        size_t piece_length = 1 + count;
        if (last && code != nullptr) {
            std::memcpy(piece + piece_length, code, kCertificateCodeLength);
            piece_length += kCertificateCodeLength;
        }
        status = WritePiece(0x01, piece, piece_length);
        sent += count;
    }
    return status;
}

// The write goes to the file selected last, so the slot's certificate file is selected first:
// the one the status names, or else the slot's key file.
DWORD SelectCertificateFile(const char* container, BYTE slot, const BYTE* entry) {
    BYTE hi = FILE_HI;
    BYTE lo = entry[kEntryCertFile];
    if (lo == 0) {
        const DWORD status = Card_FindSlotKeyFile(container, slot, &hi, &lo);
        if (!Card_StatusSucceeded(status)) {
            return status;
        }
    }
    return Card_SelectFile(hi, lo);
}

}  // namespace

DWORD Card_GetCertificateInfo(const char* container, BYTE slot, BYTE* container_status) {
    const CardConversation conversation;
    if (container_status == nullptr || !ValidSlot(slot)) {
        return InvalidParameter();
    }
    BYTE hi = 0, lo = 0;
    DWORD status = Card_FindSlotKeyFile(container, slot, &hi, &lo);
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    BYTE info[kFileInfoSize] = {};
    status = Card_GetFileInfo(hi, lo, info);
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    BYTE* entry = SlotEntry(container_status, slot);
    entry[kEntryCertFile] = lo;
    entry[kEntryCapacity] = kDefaultCertificateUnits;
    entry[kEntryCertLength] = info[2];
    entry[kEntryCertLength + 1] = info[3];
    if (info[2] == 0 && info[3] == 0) {
        entry[kEntryCertStatus] = 0;
        return STATUS_CERTIFICATE_NOT_FOUND;
    }
    entry[kEntryCertStatus] = kSlotStatusUsed;
    return status;
}

DWORD Card_CreateCertificate(const char* container, BYTE slot, BYTE units, BYTE* container_status) {
    const CardConversation conversation;
    if (container_status == nullptr || !ValidSlot(slot)) {
        return InvalidParameter();
    }
    BYTE hi = 0, lo = 0;
    DWORD status = Card_FindSlotKeyFile(container, slot, &hi, &lo);
    if (status != static_cast<DWORD>(NTE_NO_KEY) && !Card_StatusSucceeded(status)) {
        return status;
    }
    if (lo != 0) {
        BYTE info[kFileInfoSize] = {};
        status = Card_GetFileInfo(hi, lo, info);
        if (Card_StatusSucceeded(status)) {
            status = Card_SelectFile(hi, lo);
        }
        if (!Card_StatusSucceeded(status)) {
            return status;
        }
    } else {
        // The first file number the card does not know yet becomes the slot's certificate file.
        lo = kFirstFreeCandidate;
        while ((status = Card_SelectFile(FILE_HI, lo)) == 0) {
            if (lo == 0xFF) {
                return static_cast<DWORD>(NTE_BAD_DATA);  // a card that claims every file exists
            }
            ++lo;
        }
        if (status != 0x6602) {
            return status;
        }
        const BYTE capacity[2] = {static_cast<BYTE>(kMaxCertificateLength >> 8),
                                  static_cast<BYTE>(kMaxCertificateLength & 0xFF)};
        status = Card_CreateKeyFile(FILE_HI, lo, static_cast<BYTE>(slot - 1), capacity, 0x00);
    }
    BYTE* entry = SlotEntry(container_status, slot);
    entry[kEntryCertFile] = lo;
    entry[kEntryCapacity] = units;
    return status;
}

DWORD RSA_CardWriteCertificate(const char* container, BYTE slot, DWORD length, const BYTE* certificate,
                               BYTE* container_status) {
    const CardConversation conversation;
    platform::Trace("begin RSA_CardWriteCertificate()");
    if (container == nullptr || certificate == nullptr || container_status == nullptr || !ValidSlot(slot)) {
        return InvalidParameter();
    }
    if (length < 1 || length > kMaxCertificateLength) {
        return static_cast<DWORD>(NTE_FAIL);
    }
    const DWORD card_type = Card_GetCardType();
    const bool type5 = card_type == 5;
    const bool with_code = card_type == 1 || type5;
    if (!with_code && card_type != 3 && card_type != 6 && card_type != 7) {
        return 0;
    }

    // Header: the validity text, and on type 5 the certificate length after it.
    BYTE header[kValidityLong + 2] = {};
    const size_t header_length = type5 ? kValidityLong + 2 : kValidityShort;
    if (Cert_GetValidity(certificate, length, header, type5 ? 1 : 0) != 0) {
        return static_cast<DWORD>(NTE_FAIL);
    }
    if (type5) {
        header[kValidityLong] = static_cast<BYTE>(length >> 8);
        header[kValidityLong + 1] = static_cast<BYTE>(length);
    }

    BYTE* entry = SlotEntry(container_status, slot);
    // The write code, wiped on every way out.
    struct WriteCode {
        BYTE bytes[kCertificateCodeLength] = {};
        ~WriteCode() { crypto::SecureZero(bytes, sizeof bytes); }
    } write_code;
    BYTE* const code = write_code.bytes;
    DWORD status = 0;
    if (card_type == 7) {
        // The room check leaves the file to write selected.
        status = Card_CheckCertificateSlot(container, length, certificate);
        if (status != 0) {
            return status;
        }
    } else {
        if (with_code) {
            TakeCertMac(code);
        }
        status = SelectCertificateFile(container, slot, entry);
        if (!Card_StatusSucceeded(status)) {
            return status;
        }
    }
    status = SendCertificate(header, header_length, certificate, length, with_code ? code : nullptr);
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    entry[kEntryCertStatus] = kSlotStatusUsed;
    entry[kEntryCertLength] = static_cast<BYTE>(length >> 8);
    entry[kEntryCertLength + 1] = static_cast<BYTE>(length);
    return 0;
}

}  // namespace kelm::card
