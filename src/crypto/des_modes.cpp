#include "crypto/des_modes.h"

#include <cstring>

#include "crypto/des_block.h"
#include "crypto/secure_zero.h"

namespace kelm::crypto {
namespace {

enum class Direction { Encrypt, Decrypt };

DWORD EffectiveMode(DWORD mode) {
    switch (mode) {
        case CRYPT_MODE_CBC:
        case CRYPT_MODE_ECB:
        case CRYPT_MODE_CFB:
            return mode;
        default:
            return CRYPT_MODE_OFB;
    }
}

// The checks shared by both directions, in order: pointers, chaining value, block length.
int CheckArguments(DWORD mode, Direction direction, const DWORD* position, const BYTE* key,
                   const BYTE* chain, const BYTE* in, DWORD length, const BYTE* out,
                   const DWORD* outLength, const BYTE* pending) {
    if (key == nullptr || (length > 0 && (in == nullptr || out == nullptr))) {
        return DES_STATUS_NULL;
    }
    const bool stream = mode == CRYPT_MODE_OFB || mode == CRYPT_MODE_CFB;
    const bool writes_length = !stream || direction == Direction::Decrypt;
    if ((writes_length && outLength == nullptr) || (stream && position == nullptr) ||
        (mode == CRYPT_MODE_CBC && direction == Direction::Encrypt && pending == nullptr)) {
        return DES_STATUS_NULL;
    }
    if (mode != CRYPT_MODE_ECB && chain == nullptr) {
        return DES_STATUS_NO_CHAIN;
    }
    const bool whole_blocks = mode == CRYPT_MODE_ECB || (mode == CRYPT_MODE_CBC && direction == Direction::Decrypt);
    if (whole_blocks && length % 8 != 0) {
        return DES_STATUS_BAD_LENGTH;
    }
    return DES_STATUS_OK;
}

void Ecb(const TDEA_SCHEDULE* schedule, Direction direction, const BYTE* in, DWORD length, BYTE* out) {
    for (DWORD i = 0; i < length; i += 8) {
        uint32_t l = LoadBlockHalf(in + i), r = LoadBlockHalf(in + i + 4);
        if (direction == Direction::Encrypt) {
            Tdea_EncryptHalves(schedule, &l, &r);
        } else {
            Tdea_DecryptHalves(schedule, &l, &r);
        }
        StoreBlockHalf(out + i, l);
        StoreBlockHalf(out + i + 4, r);
    }
}

// Whole blocks are chained and written; the r tail bytes become the padded block in `pending`.
DWORD CbcEncrypt(const TDEA_SCHEDULE* schedule, BYTE* chain, const BYTE* in, DWORD length, BYTE* out,
                 BYTE* pending) {
    const DWORD tail = length % 8;
    const DWORD whole = length - tail;
    uint32_t cl = LoadBlockHalf(chain), cr = LoadBlockHalf(chain + 4);
    for (DWORD i = 0; i < whole; i += 8) {
        cl ^= LoadBlockHalf(in + i);
        cr ^= LoadBlockHalf(in + i + 4);
        Tdea_EncryptHalves(schedule, &cl, &cr);
        StoreBlockHalf(out + i, cl);
        StoreBlockHalf(out + i + 4, cr);
    }
    StoreBlockHalf(chain, cl);
    StoreBlockHalf(chain + 4, cr);
    const BYTE pad = static_cast<BYTE>(8 - tail);
    if (tail > 0) {
        std::memcpy(pending, in + whole, tail);
    }
    std::memset(pending + tail, pad, pad);
    return whole;
}

void CbcDecrypt(const TDEA_SCHEDULE* schedule, BYTE* chain, const BYTE* in, DWORD length, BYTE* out) {
    uint32_t cl = LoadBlockHalf(chain), cr = LoadBlockHalf(chain + 4);
    for (DWORD i = 0; i < length; i += 8) {
        const uint32_t il = LoadBlockHalf(in + i), ir = LoadBlockHalf(in + i + 4);
        uint32_t l = il, r = ir;
        Tdea_DecryptHalves(schedule, &l, &r);
        StoreBlockHalf(out + i, l ^ cl);
        StoreBlockHalf(out + i + 4, r ^ cr);
        cl = il;
        cr = ir;
    }
    StoreBlockHalf(chain, cl);
    StoreBlockHalf(chain + 4, cr);
}

// OFB: the register is encrypted in place at the start of every keystream block. Whole blocks
// that start at position 0 are done eight bytes at a time, with the same result.
void Ofb(const TDEA_SCHEDULE* schedule, DWORD* position, BYTE* chain, const BYTE* in, DWORD length, BYTE* out) {
    DWORD p = *position & 7;
    DWORD i = 0;
    for (; i < length && p != 0; ++i) {
        out[i] = static_cast<BYTE>(in[i] ^ chain[p]);
        p = (p + 1) & 7;
    }
    if (length - i >= 8) {
        uint32_t cl = LoadBlockHalf(chain), cr = LoadBlockHalf(chain + 4);
        for (; length - i >= 8; i += 8) {
            Tdea_EncryptHalves(schedule, &cl, &cr);
            StoreBlockHalf(out + i, LoadBlockHalf(in + i) ^ cl);
            StoreBlockHalf(out + i + 4, LoadBlockHalf(in + i + 4) ^ cr);
        }
        StoreBlockHalf(chain, cl);
        StoreBlockHalf(chain + 4, cr);
    }
    for (; i < length; ++i) {
        if (p == 0) {
            Tdea_EncryptBlock(schedule, chain, chain);
        }
        out[i] = static_cast<BYTE>(in[i] ^ chain[p]);
        p = (p + 1) & 7;
    }
    *position = p;
}

// CFB encryption keeps the keystream in the register itself and overwrites it with ciphertext as
// it is produced; decryption keeps it in chain bytes 8-15, where it survives between calls.
// Whole blocks that start at position 0 are done eight bytes at a time, with the same result.
void Cfb(const TDEA_SCHEDULE* schedule, Direction direction, DWORD* position, BYTE* chain, const BYTE* in,
         DWORD length, BYTE* out) {
    const bool encrypt = direction == Direction::Encrypt;
    BYTE* keystream = encrypt ? chain : chain + 8;
    DWORD p = *position & 7;
    DWORD i = 0;
    auto one_byte = [&](DWORD at) {
        if (p == 0) {
            Tdea_EncryptBlock(schedule, chain, keystream);
        }
        const BYTE x = in[at];
        const BYTE y = static_cast<BYTE>(x ^ keystream[p]);
        out[at] = y;
        chain[p] = encrypt ? y : x;
        p = (p + 1) & 7;
    };
    for (; i < length && p != 0; ++i) {
        one_byte(i);
    }
    if (length - i >= 8) {
        uint32_t cl = LoadBlockHalf(chain), cr = LoadBlockHalf(chain + 4);
        uint32_t kl = 0, kr = 0;
        for (; length - i >= 8; i += 8) {
            kl = cl;
            kr = cr;
            Tdea_EncryptHalves(schedule, &kl, &kr);
            const uint32_t xl = LoadBlockHalf(in + i), xr = LoadBlockHalf(in + i + 4);
            StoreBlockHalf(out + i, xl ^ kl);
            StoreBlockHalf(out + i + 4, xr ^ kr);
            cl = encrypt ? xl ^ kl : xl;
            cr = encrypt ? xr ^ kr : xr;
        }
        StoreBlockHalf(chain, cl);
        StoreBlockHalf(chain + 4, cr);
        if (!encrypt) {
            StoreBlockHalf(chain + 8, kl);
            StoreBlockHalf(chain + 12, kr);
        }
    }
    for (; i < length; ++i) {
        one_byte(i);
    }
    *position = p;
}

int Run(Direction direction, DWORD mode, DWORD keyLen, DWORD* position, const BYTE* key, BYTE* chain,
        const BYTE* in, DWORD length, BYTE* out, DWORD* outLength, BYTE* pending) {
    mode = EffectiveMode(mode);
    const int status = CheckArguments(mode, direction, position, key, chain, in, length, out, outLength, pending);
    if (status != DES_STATUS_OK) {
        return status;
    }
    TDEA_SCHEDULE schedule;
    Tdea_SetKey(&schedule, keyLen, key);
    switch (mode) {
        case CRYPT_MODE_ECB:
            Ecb(&schedule, direction, in, length, out);
            *outLength = length;
            break;
        case CRYPT_MODE_CBC:
            if (direction == Direction::Encrypt) {
                *outLength = CbcEncrypt(&schedule, chain, in, length, out, pending);
            } else {
                CbcDecrypt(&schedule, chain, in, length, out);
                *outLength = length;
            }
            break;
        case CRYPT_MODE_CFB:
            Cfb(&schedule, direction, position, chain, in, length, out);
            break;
        default:
            Ofb(&schedule, position, chain, in, length, out);
            break;
    }
    if ((mode == CRYPT_MODE_CFB || mode == CRYPT_MODE_OFB) && direction == Direction::Decrypt) {
        *outLength = length;
    }
    SecureZero(&schedule, sizeof(schedule));
    return DES_STATUS_OK;
}

}  // namespace

int DES_EncryptData(DWORD mode, DWORD keyLen, DWORD* position, const BYTE* key, BYTE* chain,
                    const BYTE* in, DWORD length, BYTE* out, DWORD* outLength, BYTE* pending) {
    return Run(Direction::Encrypt, mode, keyLen, position, key, chain, in, length, out, outLength, pending);
}

int DES_DecryptData(DWORD mode, DWORD keyLen, DWORD* position, const BYTE* key, BYTE* chain,
                    const BYTE* in, DWORD length, BYTE* out, DWORD* outLength) {
    return Run(Direction::Decrypt, mode, keyLen, position, key, chain, in, length, out, outLength, nullptr);
}

}  // namespace kelm::crypto
