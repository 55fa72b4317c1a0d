// DER tag-and-length headers: the element's whole length and the header's own length.
#include "card/certificate_der.h"

namespace kelm::card {
namespace {

constexpr BYTE kNullTag = 0x05;
constexpr BYTE kLongForm = 0x80;
constexpr int kMaxLengthBytes = 4;

// Reads `count` big-endian length bytes after the tag and the length byte; -1 when they are not
// all inside `available` or the element does not fit.
int64_t LongFormLength(const BYTE* element, size_t available, int count) {
    if (available < static_cast<size_t>(2 + count)) {
        return -1;
    }
    uint64_t content = 0;
    for (int i = 0; i < count; ++i) {
        content = content << 8 | element[2 + i];
    }
    const uint64_t total = content + 2 + static_cast<uint64_t>(count);
    return total <= available ? static_cast<int64_t>(total) : -1;
}

int64_t ShortFormLength(BYTE length_byte, size_t available) {
    const size_t total = static_cast<size_t>(length_byte) + 2;
    return total <= available ? static_cast<int64_t>(total) : -1;
}

}  // namespace

int64_t Der_GetLen(const BYTE* element, size_t available) {
    if (element == nullptr || available < 2) {
        return -1;
    }
    const BYTE b = element[1];
    if (b < kLongForm) {
        if (b == 0 && element[0] != kNullTag) {
            return -1;
        }
        return ShortFormLength(b, available);
    }
    if (b == kLongForm || b > kLongForm + kMaxLengthBytes) {
        return -1;
    }
    return LongFormLength(element, available, b - kLongForm);
}

int64_t Der_GetElementLen(const BYTE* element, size_t available) {
    if (element == nullptr || available < 2) {
        return -1;
    }
    const BYTE b = element[1];
    if (b < kLongForm) {
        return ShortFormLength(b, available);
    }
    const int count = b == kLongForm || b > kLongForm + kMaxLengthBytes ? kMaxLengthBytes : b - kLongForm;
    return LongFormLength(element, available, count);
}

int Der_GetHeaderLen(const BYTE* element, size_t available) {
    if (element == nullptr || available < 2) {
        return -1;
    }
    const BYTE b = element[1];
    int header = -1;
    if (b <= kLongForm) {
        header = 2;
    } else if (b <= 0x83) {
        header = 2 + (b - kLongForm);
    } else if (b <= 0x87) {
        header = 6;
    }
    return header > 0 && static_cast<size_t>(header) <= available ? header : -1;
}

}  // namespace kelm::card
