// READ PUBLIC KEY in each card type's layout, and taking the record apart.
#include <algorithm>
#include <cstring>

#include "card/apdu_transport.h"
#include "card/card_conversation.h"
#include "card/card_files.h"
#include "card/rsa_operations.h"
#include "card/slot_key_file.h"

namespace kelm::card {
namespace {

constexpr BYTE kReadPublicKeyIns = 0x44;
constexpr size_t kType1Answer = 0x8E;       // one leading byte and the 141-byte record
constexpr BYTE kShortLe = 0xFA;             // types 3, 6, 7
constexpr BYTE kMoreFollows = 0x01;         // first answer byte: a second answer completes the record
constexpr size_t kRecordShort = 134;        // types 3, 6, 7, 1024-bit
constexpr size_t kRecordLong = 262;         // types 3, 6, 7, 2048-bit
constexpr size_t kRecordType5Short = 141;   // also type 1
constexpr size_t kRecordType5Long = 270;
constexpr size_t kMaxExponent = 4;

struct Answer {
    BYTE bytes[kApduResponseCapacity] = {};
    size_t length = 0;
};

DWORD ReadPublicKey(BYTE p1, BYTE le, Answer* answer, size_t capacity = kApduResponseCapacity) {
    return Card_SendAPDU(0x00, kReadPublicKeyIns, p1, 0x00, 0, &le, nullptr, answer->bytes, 1, capacity,
                         &answer->length);
}

// Appends answer bytes [first, first + count) to the record, and counts how many of them the
// card actually sent; the record stays whole only while every piece arrived in full.
struct RecordBuilder {
    BYTE* out;
    size_t written = 0;
    size_t filled = 0;
    void Take(const Answer& answer, size_t first, size_t count) {
        std::memcpy(out + written, answer.bytes + first, count);
        const size_t sent = answer.length > first ? std::min(count, answer.length - first) : 0;
        if (filled == written) {
            filled += sent;
        }
        written += count;
    }
};

// The record holds a whole modulus and the exponent's length byte within its first `filled`
// bytes, and the exponent itself when its length is one the record format allows (0 to 4). A
// longer exponent is left for the reader of the record to refuse: nothing past the length byte
// is read then.
bool WholeRecord(const BYTE* record, size_t modulus_length, size_t filled) {
    if (filled < modulus_length + 2) {
        return false;
    }
    const size_t exponent_length = record[1 + modulus_length];
    return exponent_length > kMaxExponent || filled >= modulus_length + 2 + exponent_length;
}

}  // namespace

DWORD Card_GetRSAPublicKey(const char* container, BYTE slot, DWORD* length, BYTE* out, size_t capacity) {
    const CardConversation conversation;
    if (length == nullptr || out == nullptr) {
        return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    }
    *length = 0;
    if (capacity < kPublicKeyRecordMax) {
        return static_cast<DWORD>(SCARD_E_INSUFFICIENT_BUFFER);
    }
    BYTE hi = 0, lo = 0;
    DWORD status = Card_FindSlotKey(container, slot, &hi, &lo, nullptr);
    if (!Card_StatusSucceeded(status)) {
        return status;
    }
    const DWORD card_type = Card_GetCardType();
    RecordBuilder record{out};
    size_t record_length = 0;
    Answer first;
    Answer second;
    if (card_type == 1) {
        status = ReadPublicKey(0x00, static_cast<BYTE>(kType1Answer), &first, kType1Answer);
        if (!Card_StatusSucceeded(status)) {
            return status;
        }
        if (first.length == 0) {
            return static_cast<DWORD>(NTE_BAD_DATA);
        }
        record_length = first.length - 1;
        record.Take(first, 1, record_length);
    } else if (card_type == 3 || card_type == 6 || card_type == 7 || card_type == 5) {
        const bool type5 = card_type == 5;
        const BYTE le = type5 ? 0x00 : kShortLe;
        status = ReadPublicKey(0x00, le, &first);
        if (!Card_StatusSucceeded(status)) {
            return status;
        }
        if (first.bytes[0] != kMoreFollows) {
            // The whole record follows the answer's leading byte (type 5: two leading bytes).
            record_length = type5 ? kRecordType5Short : kRecordShort;
            record.Take(first, type5 ? 2 : 1, record_length);
        } else {
            status = ReadPublicKey(0x01, le, &second);
            if (!Card_StatusSucceeded(status)) {
                return status;
            }
            if (type5) {
                record_length = kRecordType5Long;
                record.Take(first, 2, 254);
                record.Take(second, 1, 16);
            } else {
                // The first answer carries the modulus length in its bytes 1..2 instead of the
                // record's unused byte, which is written as 00.
                record_length = kRecordLong;
                out[0] = 0x00;
                record.written = record.filled = 1;
                // Its second answer completes the record; a 4-byte exponent's last byte comes
                // only when the card sends it.
                record.Take(first, 3, 198);
                record.Take(second, 1, second.length > 63 ? 63 : 62);
            }
        }
    } else {
        return status;
    }
    const size_t modulus_length = record_length >= kRecordLong ? kRsaBlock2048 : kRsaBlock1024;
    if (!WholeRecord(out, modulus_length, record.filled)) {
        return static_cast<DWORD>(NTE_BAD_DATA);
    }
    *length = static_cast<DWORD>(record_length);
    return status;
}

bool SplitPublicKeyRecord(const BYTE* record, DWORD length, PublicKeyParts* parts) {
    if (record == nullptr || parts == nullptr) {
        return false;
    }
    const size_t modulus_length = length >= kRecordLong ? kRsaBlock2048 : kRsaBlock1024;
    if (!WholeRecord(record, modulus_length, length)) {
        return false;
    }
    *parts = {record + 1, modulus_length, record + 2 + modulus_length, record[1 + modulus_length]};
    return true;
}

}  // namespace kelm::card
