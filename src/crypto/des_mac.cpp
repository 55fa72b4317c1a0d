// CALG_MAC. After every feed MacValue is the MAC of all data so far: the whole blocks advance
// MacChain, and the carried tail, padded with 8 - r bytes of value 8 - r (or a full block of
// 0x08 when nothing is carried), is encrypted against MacChain without advancing it. The value
// thus equals the last block of the padded CBC encryption however the data was divided.
#include <cstring>

#include "crypto/des_block.h"
#include "crypto/hash_engine.h"
#include "crypto/secure_zero.h"

namespace kelm::crypto {
namespace {

// The MAC's block cipher: DES with K1, two-key triple DES E(K1) D(K2) E(K1), three-key triple DES
// E(K3) D(K2) E(K1). False for a key of any other kind.
bool MacSchedule(TDEA_SCHEDULE* schedule, const BYTE* key, ALG_ID keyAlgid) {
    switch (keyAlgid) {
        case CALG_DES:
            Tdea_SetKey(schedule, 64, key);
            return true;
        case CALG_3DES_112:
            Tdea_SetKey(schedule, 128, key);
            return true;
        case CALG_3DES:
            Tdea_SetKey(schedule, 192, key);
            return true;
        default:
            return false;
    }
}

}  // namespace

void DesMac_Init(MAC_STATE* mac, const BYTE* iv) {
    std::memset(mac, 0, sizeof(*mac));
    if (iv != nullptr) {
        std::memcpy(mac->MacChain, iv, 8);
    }
}

void DesMac_Update(MAC_STATE* mac, const BYTE* data, DWORD length, const BYTE* key, ALG_ID keyAlgid) {
    if (key == nullptr || (data == nullptr && length > 0)) {
        return;
    }
    TDEA_SCHEDULE schedule;
    if (!MacSchedule(&schedule, key, keyAlgid)) {
        return;
    }
    uint32_t chain_left = LoadBlockHalf(mac->MacChain);
    uint32_t chain_right = LoadBlockHalf(mac->MacChain + 4);

    // Complete the carried block first, then run the whole blocks straight from the input.
    size_t carried = mac->CarryLen;
    BYTE block[8];
    std::memcpy(block, mac->Carry, carried);
    if (carried + length >= 8) {
        const size_t take = 8 - carried;
        std::memcpy(block + carried, data, take);
        data += take;
        length -= static_cast<DWORD>(take);
        chain_left ^= LoadBlockHalf(block);
        chain_right ^= LoadBlockHalf(block + 4);
        Tdea_EncryptHalves(&schedule, &chain_left, &chain_right);
        for (; length >= 8; data += 8, length -= 8) {
            chain_left ^= LoadBlockHalf(data);
            chain_right ^= LoadBlockHalf(data + 4);
            Tdea_EncryptHalves(&schedule, &chain_left, &chain_right);
        }
        carried = 0;
    }
    if (length > 0) {
        std::memcpy(block + carried, data, length);
        carried += length;
    }

    // The padded last block L; MacChain is not advanced by it.
    std::memset(mac->Carry, 0, sizeof(mac->Carry));
    std::memcpy(mac->Carry, block, carried);
    mac->CarryLen = static_cast<BYTE>(carried);
    const BYTE pad = static_cast<BYTE>(8 - carried);
    std::memset(block + carried, pad, pad);
    uint32_t value_left = chain_left ^ LoadBlockHalf(block);
    uint32_t value_right = chain_right ^ LoadBlockHalf(block + 4);
    Tdea_EncryptHalves(&schedule, &value_left, &value_right);

    StoreBlockHalf(mac->MacChain, chain_left);
    StoreBlockHalf(mac->MacChain + 4, chain_right);
    StoreBlockHalf(mac->MacValue, value_left);
    StoreBlockHalf(mac->MacValue + 4, value_right);
    SecureZero(block, sizeof(block));
    SecureZero(&schedule, sizeof(schedule));
}

}  // namespace kelm::crypto
