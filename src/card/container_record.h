// The 36-byte name field and the 43-byte container directory record as the card takes them.
#pragma once

#include <cstring>

#include "card/card_files.h"

namespace kelm::card {

// The name, zero-padded to 36 bytes; at most 36 bytes are read from `name` (null: empty).
inline void PackContainerName(const char* name, BYTE* field) {
    std::memset(field, 0, kContainerNameBytes);
    if (name != nullptr) {
        std::memcpy(field, name, strnlen(name, kContainerNameBytes));
    }
}

// 00, name (36), 00, 04, slot 1 file hi lo, slot 2 file hi lo.
inline void BuildContainerRecord(const char* name, const BYTE* key_file_record, BYTE* record) {
    std::memset(record, 0, kContainerRecordSize);
    PackContainerName(name, record + 1);
    record[38] = kKeyFileRecordSize;
    if (key_file_record != nullptr) {
        std::memcpy(record + 39, key_file_record, kKeyFileRecordSize);
    }
}

}  // namespace kelm::card
