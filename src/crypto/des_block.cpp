#include "crypto/des_block.h"

#include <array>

#include "crypto/secure_zero.h"

namespace kelm::crypto {
namespace {

// Bit numbers below count from 1 at the most significant bit, as the DES tables do.
constexpr uint8_t kPc1[56] = {
    57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18, 10, 2,  59, 51, 43,
    35, 27, 19, 11, 3,  60, 52, 44, 36, 63, 55, 47, 39, 31, 23, 15, 7,  62, 54,
    46, 38, 30, 22, 14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4,
};

constexpr uint8_t kPc2[48] = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
    26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
    51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32,
};

constexpr uint8_t kRotations[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

constexpr uint8_t kP[32] = {
    16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
    2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25,
};

constexpr uint8_t kSBoxes[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8,  3,  10, 6,  12, 5,  9,  0, 7,
     0,  15, 7,  4, 14, 2,  13, 1,  10, 6,  12, 11, 9,  5,  3, 8,
     4,  1,  14, 8, 13, 6,  2,  11, 15, 12, 9,  7,  3,  10, 5, 0,
     15, 12, 8,  2, 4,  9,  1,  7,  5,  11, 3,  14, 10, 0,  6, 13},
    {15, 1,  8,  14, 6,  11, 3,  4,  9,  7, 2,  13, 12, 0, 5,  10,
     3,  13, 4,  7,  15, 2,  8,  14, 12, 0, 1,  10, 6,  9, 11, 5,
     0,  14, 7,  11, 10, 4,  13, 1,  5,  8, 12, 6,  9,  3, 2,  15,
     13, 8,  10, 1,  3,  15, 4,  2,  11, 6, 7,  12, 0,  5, 14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7,  11, 4,  2,  8,
     13, 7,  0,  9,  3, 4,  6,  10, 2,  8,  5,  14, 12, 11, 15, 1,
     13, 6,  4,  9,  8, 15, 3,  0,  11, 1,  2,  12, 5,  10, 14, 7,
     1,  10, 13, 0,  6, 9,  8,  7,  4,  15, 14, 3,  11, 5,  2,  12},
    {7,  13, 14, 3, 0,  6,  9,  10, 1,  2, 8, 5,  11, 12, 4,  15,
     13, 8,  11, 5, 6,  15, 0,  3,  4,  7, 2, 12, 1,  10, 14, 9,
     10, 6,  9,  0, 12, 11, 7,  13, 15, 1, 3, 14, 5,  2,  8,  4,
     3,  15, 0,  6, 10, 1,  13, 8,  9,  4, 5, 11, 12, 7,  2,  14},
    {2,  12, 4,  1,  7,  10, 11, 6,  8,  5,  3,  15, 13, 0, 14, 9,
     14, 11, 2,  12, 4,  7,  13, 1,  5,  0,  15, 10, 3,  9, 8,  6,
     4,  2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,  6,  3, 0,  14,
     11, 8,  12, 7,  1,  14, 2,  13, 6,  15, 0,  9,  10, 4, 5,  3},
    {12, 1,  10, 15, 9, 2,  6,  8,  0,  13, 3,  4,  14, 7,  5,  11,
     10, 15, 4,  2,  7, 12, 9,  5,  6,  1,  13, 14, 0,  11, 3,  8,
     9,  14, 15, 5,  2, 8,  12, 3,  7,  0,  4,  10, 1,  13, 11, 6,
     4,  3,  2,  12, 9, 5,  15, 10, 11, 14, 1,  7,  6,  0,  8,  13},
    {4,  11, 2,  14, 15, 0, 8,  13, 3,  12, 9, 7,  5,  10, 6, 1,
     13, 0,  11, 7,  4,  9, 1,  10, 14, 3,  5, 12, 2,  15, 8, 6,
     1,  4,  11, 13, 12, 3, 7,  14, 10, 15, 6, 8,  0,  5,  9, 2,
     6,  11, 13, 8,  1,  4, 10, 7,  9,  5,  0, 15, 14, 2,  3, 12},
    {13, 2,  8,  4, 6,  15, 11, 1,  10, 9,  3,  14, 5,  0,  12, 7,
     1,  15, 13, 8, 10, 3,  7,  4,  12, 5,  6,  11, 0,  14, 9,  2,
     7,  11, 4,  1, 9,  12, 14, 2,  0,  6,  10, 13, 15, 3,  5,  8,
     2,  1,  14, 7, 4,  10, 8,  13, 15, 12, 9,  0,  3,  5,  6,  11},
};

constexpr uint32_t Rotl(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

// The rounds keep both halves rotated left by one bit. In that form each S-box's six input bits
// lie at a byte boundary, either of the half itself (boxes 2, 4, 6, 8) or of the half rotated
// right by four (boxes 1, 3, 5, 7), so the expansion costs one rotation a round. Each table
// entry is the S-box output already passed through P and rotated into the same form.
using SpTables = std::array<std::array<uint32_t, 64>, 8>;

constexpr SpTables MakeSpTables() {
    SpTables tables{};
    for (int box = 0; box < 8; ++box) {
        for (int v = 0; v < 64; ++v) {
            const int row = ((v >> 4) & 2) | (v & 1);
            const int column = (v >> 1) & 15;
            const uint32_t s = static_cast<uint32_t>(kSBoxes[box][row * 16 + column]) << (28 - 4 * box);
            uint32_t p = 0;
            for (int bit = 0; bit < 32; ++bit) {
                if ((s >> (32 - kP[bit])) & 1) {
                    p |= 1u << (31 - bit);
                }
            }
            tables[box][v] = Rotl(p, 1);
        }
    }
    return tables;
}

constexpr SpTables kSp = MakeSpTables();

// Key schedule tables: for each 7-bit chunk of C (chunks 0-3) and of D (chunks 4-7), the round
// key bits that PC-2 takes from it, already placed where the rounds read them (high word: boxes
// 1, 3, 5, 7 input groups; low word: boxes 2, 4, 6, 8).
using Pc2Tables = std::array<std::array<uint64_t, 128>, 8>;

constexpr Pc2Tables MakePc2Tables() {
    Pc2Tables tables{};
    for (int chunk = 0; chunk < 8; ++chunk) {
        for (int value = 0; value < 128; ++value) {
            uint64_t placed = 0;
            for (int bit = 0; bit < 48; ++bit) {
                const int source = kPc2[bit] - 1;  // 0..55 over C then D
                if (source / 7 != chunk || ((value >> (6 - source % 7)) & 1) == 0) {
                    continue;
                }
                const int group = bit / 6;
                const int shift = 24 - 8 * (group / 2) + (5 - bit % 6);
                placed |= (group % 2 == 0 ? uint64_t{1} << 32 : uint64_t{1}) << shift;
            }
            tables[chunk][value] = placed;
        }
    }
    return tables;
}

constexpr Pc2Tables kPc2Tables = MakePc2Tables();

// Initial permutation as a sequence of bit-group exchanges; leaves both halves rotated left.
inline void InitialPermutation(uint32_t& left, uint32_t& right) {
    uint32_t work;
    work = ((left >> 4) ^ right) & 0x0f0f0f0fu;
    right ^= work;
    left ^= work << 4;
    work = ((left >> 16) ^ right) & 0x0000ffffu;
    right ^= work;
    left ^= work << 16;
    work = ((right >> 2) ^ left) & 0x33333333u;
    left ^= work;
    right ^= work << 2;
    work = ((right >> 8) ^ left) & 0x00ff00ffu;
    left ^= work;
    right ^= work << 8;
    right = Rotl(right, 1);
    work = (left ^ right) & 0xaaaaaaaau;
    left ^= work;
    right ^= work;
    left = Rotl(left, 1);
}

// Final permutation of the pre-output block (right, left) in rotated form; the result is
// returned as (left, right) of the output block.
inline void FinalPermutation(uint32_t& left, uint32_t& right) {
    uint32_t work;
    right = Rotl(right, 31);
    work = (left ^ right) & 0xaaaaaaaau;
    left ^= work;
    right ^= work;
    left = Rotl(left, 31);
    work = ((left >> 8) ^ right) & 0x00ff00ffu;
    right ^= work;
    left ^= work << 8;
    work = ((left >> 2) ^ right) & 0x33333333u;
    right ^= work;
    left ^= work << 2;
    work = ((right >> 16) ^ left) & 0x0000ffffu;
    left ^= work;
    right ^= work << 16;
    work = ((right >> 4) ^ left) & 0x0f0f0f0fu;
    left ^= work;
    right ^= work << 4;
    const uint32_t out_left = right;
    right = left;
    left = out_left;
}

inline uint32_t RoundFunction(uint32_t half, uint32_t k0, uint32_t k1) {
    const uint32_t even = Rotl(half, 28) ^ k0;
    const uint32_t odd = half ^ k1;
    return kSp[0][(even >> 24) & 0x3f] ^ kSp[2][(even >> 16) & 0x3f] ^ kSp[4][(even >> 8) & 0x3f] ^
           kSp[6][even & 0x3f] ^ kSp[1][(odd >> 24) & 0x3f] ^ kSp[3][(odd >> 16) & 0x3f] ^
           kSp[5][(odd >> 8) & 0x3f] ^ kSp[7][odd & 0x3f];
}

// Sixteen rounds on the rotated halves. Afterwards `left` holds L16 and `right` R16; the
// pre-output block is (right, left).
inline void EncryptRounds(const uint32_t* k, uint32_t& left, uint32_t& right) {
    for (int round = 0; round < 16; round += 2, k += 4) {
        left ^= RoundFunction(right, k[0], k[1]);
        right ^= RoundFunction(left, k[2], k[3]);
    }
}

inline void DecryptRounds(const uint32_t* k, uint32_t& left, uint32_t& right) {
    k += 30;
    for (int round = 0; round < 16; round += 2, k -= 4) {
        left ^= RoundFunction(right, k[0], k[1]);
        right ^= RoundFunction(left, k[-2], k[-1]);
    }
}

inline void Swap(uint32_t& a, uint32_t& b) {
    const uint32_t t = a;
    a = b;
    b = t;
}

}  // namespace

void Des_SetKey(DES_KEY_SCHEDULE* schedule, const BYTE key[8]) {
    uint64_t k = 0;
    for (int i = 0; i < 8; ++i) {
        k = k << 8 | key[i];
    }
    // C and D, 28 bits each, in the low bits of two words.
    uint32_t c = 0, d = 0;
    for (int i = 0; i < 28; ++i) {
        c = c << 1 | static_cast<uint32_t>((k >> (64 - kPc1[i])) & 1);
        d = d << 1 | static_cast<uint32_t>((k >> (64 - kPc1[28 + i])) & 1);
    }
    for (int round = 0; round < 16; ++round) {
        const int n = kRotations[round];
        c = ((c << n) | (c >> (28 - n))) & 0x0fffffffu;
        d = ((d << n) | (d >> (28 - n))) & 0x0fffffffu;
        const uint64_t placed = kPc2Tables[0][c >> 21] | kPc2Tables[1][(c >> 14) & 127] |
                                kPc2Tables[2][(c >> 7) & 127] | kPc2Tables[3][c & 127] |
                                kPc2Tables[4][d >> 21] | kPc2Tables[5][(d >> 14) & 127] |
                                kPc2Tables[6][(d >> 7) & 127] | kPc2Tables[7][d & 127];
        schedule->Subkeys[2 * round] = static_cast<uint32_t>(placed >> 32);
        schedule->Subkeys[2 * round + 1] = static_cast<uint32_t>(placed);
    }
    SecureZero(&c, sizeof(c));
    SecureZero(&d, sizeof(d));
    SecureZero(&k, sizeof(k));
}

void Tdea_SetKey(TDEA_SCHEDULE* schedule, DWORD keyLenBits, const BYTE* key) {
    Des_SetKey(&schedule->Keys[0], key);
    schedule->Triple = keyLenBits == 128 || keyLenBits == 192;
    if (!schedule->Triple) {
        return;
    }
    Des_SetKey(&schedule->Keys[1], key + 8);
    if (keyLenBits == 192) {
        Des_SetKey(&schedule->Keys[2], key + 16);
    } else {
        schedule->Keys[2] = schedule->Keys[0];
    }
}

void Tdea_EncryptHalves(const TDEA_SCHEDULE* schedule, uint32_t* left, uint32_t* right) {
    uint32_t l = *left, r = *right;
    InitialPermutation(l, r);
    EncryptRounds(schedule->Keys[0].Subkeys, l, r);
    if (schedule->Triple) {
        // The pre-output (r, l) of one stage is the next stage's permuted input.
        Swap(l, r);
        DecryptRounds(schedule->Keys[1].Subkeys, l, r);
        Swap(l, r);
        EncryptRounds(schedule->Keys[2].Subkeys, l, r);
    }
    FinalPermutation(l, r);
    *left = l;
    *right = r;
}

void Tdea_DecryptHalves(const TDEA_SCHEDULE* schedule, uint32_t* left, uint32_t* right) {
    uint32_t l = *left, r = *right;
    InitialPermutation(l, r);
    if (schedule->Triple) {
        DecryptRounds(schedule->Keys[2].Subkeys, l, r);
        Swap(l, r);
        EncryptRounds(schedule->Keys[1].Subkeys, l, r);
        Swap(l, r);
    }
    DecryptRounds(schedule->Keys[0].Subkeys, l, r);
    FinalPermutation(l, r);
    *left = l;
    *right = r;
}

void Tdea_EncryptBlock(const TDEA_SCHEDULE* schedule, const BYTE in[8], BYTE out[8]) {
    uint32_t l = LoadBlockHalf(in), r = LoadBlockHalf(in + 4);
    Tdea_EncryptHalves(schedule, &l, &r);
    StoreBlockHalf(out, l);
    StoreBlockHalf(out + 4, r);
}

void Tdea_DecryptBlock(const TDEA_SCHEDULE* schedule, const BYTE in[8], BYTE out[8]) {
    uint32_t l = LoadBlockHalf(in), r = LoadBlockHalf(in + 4);
    Tdea_DecryptHalves(schedule, &l, &r);
    StoreBlockHalf(out, l);
    StoreBlockHalf(out + 4, r);
}

void DES_EncryptBlock(const BYTE key[8], const BYTE in[8], BYTE out[8]) {
    TDEA_SCHEDULE schedule;
    Tdea_SetKey(&schedule, 64, key);
    Tdea_EncryptBlock(&schedule, in, out);
    SecureZero(&schedule, sizeof(schedule));
}

void DES_DecryptBlock(const BYTE key[8], const BYTE in[8], BYTE out[8]) {
    TDEA_SCHEDULE schedule;
    Tdea_SetKey(&schedule, 64, key);
    Tdea_DecryptBlock(&schedule, in, out);
    SecureZero(&schedule, sizeof(schedule));
}

}  // namespace kelm::crypto
