// Signature and encryption blocks, the DigestInfo prefixes, and the checks of blocks that come
// back from the card.
#include "card/pkcs1_blocks.h"

#include <cstring>

#include "card/rsa_operations.h"
#include "crypto/soft_random.h"

namespace kelm::card {
namespace {

// DER prefixes of the DigestInfo (AlgorithmIdentifier with NULL parameters, then the OCTET
// STRING header of the hash).
constexpr BYTE kMd5Prefix[] = {0x30, 0x20, 0x30, 0x0C, 0x06, 0x08, 0x2A, 0x86, 0x48,
                               0x86, 0xF7, 0x0D, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
constexpr BYTE kSha1Prefix[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
constexpr BYTE kSha256Prefix[] = {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                  0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
constexpr BYTE kSha384Prefix[] = {0x30, 0x41, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                  0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30};
constexpr BYTE kSha512Prefix[] = {0x30, 0x51, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                  0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40};
constexpr size_t kMd5Sha1Length = 36;

// Passed to the padding generator, of which it reads the first bytes.
constexpr BYTE kPaddingEntropy[] = "KELM CSP V5 RSA padding seed";
static_assert(sizeof kPaddingEntropy - 1 == 28);

// At least eight padding bytes: the separator sits at index 10 or later.
constexpr size_t kMinSeparator = 10;

template <size_t N>
constexpr DigestInfoShape Shape(const BYTE (&prefix)[N], size_t hash_length) {
    return {prefix, N, N + hash_length};
}

}  // namespace

DigestInfoShape DigestInfoFor(BYTE hash_kind) {
    switch (hash_kind) {
    case HASH_KIND_MD5:
        return Shape(kMd5Prefix, 16);
    case HASH_KIND_SHA1:
        return Shape(kSha1Prefix, 20);
    case HASH_KIND_SHA256:
        return Shape(kSha256Prefix, 32);
    case HASH_KIND_SHA384:
        return Shape(kSha384Prefix, 48);
    case HASH_KIND_SHA512:
        return Shape(kSha512Prefix, 64);
    default:
        return {nullptr, 0, kMd5Sha1Length};
    }
}

void BuildSignatureBlock(BYTE hash_kind, const BYTE* hash, BYTE* block, size_t block_length) {
    const DigestInfoShape shape = DigestInfoFor(hash_kind);
    const size_t separator = block_length - shape.total_length - 1;
    block[0] = 0x00;
    block[1] = 0x01;
    std::memset(block + 2, 0xFF, separator - 2);
    block[separator] = 0x00;
    if (shape.prefix_length != 0) {
        std::memcpy(block + separator + 1, shape.prefix, shape.prefix_length);
    }
    std::memcpy(block + separator + 1 + shape.prefix_length, hash, shape.hash_length());
}

bool BuildPayloadSignatureBlock(const BYTE* payload, size_t payload_length, BYTE* block, size_t block_length) {
    if (block_length < kMinSeparator + 1 || payload_length > block_length - kMinSeparator - 1 ||
        (payload == nullptr && payload_length != 0)) {
        return false;
    }
    const size_t separator = block_length - payload_length - 1;
    block[0] = 0x00;
    block[1] = 0x01;
    std::memset(block + 2, 0xFF, separator - 2);
    block[separator] = 0x00;
    if (payload_length != 0) {
        std::memcpy(block + separator + 1, payload, payload_length);
    }
    return true;
}

void BuildEncryptionBlock(const BYTE* message, size_t message_length, BYTE* block) {
    const size_t padding = kRsaBlock1024 - 3 - message_length;
    block[0] = 0x00;
    block[1] = 0x02;
    crypto::Soft_GenRandom(kPaddingEntropy, block + 2, static_cast<int>(padding * 8));
    block[2 + padding] = 0x00;
    if (message_length != 0) {
        std::memcpy(block + 3 + padding, message, message_length);
    }
}

bool FindBlockMessage(const BYTE* block, size_t block_length, size_t* message_offset) {
    if (block_length < kMinSeparator + 2 || block[0] != 0x00 || block[1] != 0x02) {
        return false;
    }
    const void* zero = std::memchr(block + 2, 0x00, block_length - 2);
    if (zero == nullptr) {
        return false;
    }
    const size_t separator = static_cast<size_t>(static_cast<const BYTE*>(zero) - block);
    if (separator < kMinSeparator || separator > block_length - 2) {
        return false;
    }
    *message_offset = separator + 1;
    return true;
}

size_t VerifiedHashLength(BYTE hash_kind) {
    return DigestInfoFor(hash_kind == HASH_KIND_SHA1 ? HASH_KIND_SHA1 : HASH_KIND_MD5).hash_length();
}

bool MatchesSignatureBlock(const BYTE* block, BYTE hash_kind, const BYTE* hash) {
    const DigestInfoShape shape = DigestInfoFor(hash_kind == HASH_KIND_SHA1 ? HASH_KIND_SHA1 : HASH_KIND_MD5);
    const size_t padding = kRsaBlock1024 - shape.total_length - 3;
    if (block[0] != 0x00 || block[1] != 0x01) {
        return false;
    }
    for (size_t i = 2; i < padding + 2; ++i) {
        if (block[i] != 0xFF) {
            return false;
        }
    }
    const BYTE* digest_info = block + padding + 3;
    return block[padding + 2] == 0x00 && std::memcmp(digest_info, shape.prefix, shape.prefix_length) == 0 &&
           std::memcmp(digest_info + shape.prefix_length, hash, shape.hash_length()) == 0;
}

}  // namespace kelm::card
