// The hash engine: one running state (HASH_STATE) driven by Hash_Init, Hash_Update and
// Hash_Final for MD2, MD5, SHA-1, SHA-256 and the DES/triple-DES CBC-MAC (CALG_MAC), and the
// one-shot MD5_Digest and SHA1_Digest.
//
// A HASH_STATE is allocated zero-filled by its owner, started once, fed any number of times
// (zero-length feeds included) and finished once; Hash_Final wipes the running state.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/md2.h"
#include "crypto/md5.h"
#include "crypto/sha1.h"
#include "crypto/sha256.h"
#include "kelm/windows_types.h"

namespace kelm::crypto {

// CALG_MAC: CBC-MAC over the data padded PKCS #5 style, kept current after every feed.
struct MAC_STATE {
    BYTE MacChain[8];  // chaining value after the last whole block
    BYTE MacValue[8];  // MAC over everything fed so far, padded last block included
    BYTE Carry[8];     // bytes of an incomplete block, zero beyond CarryLen
    BYTE CarryLen;     // 0..7
};

struct HASH_STATE {
    ALG_ID Algid;
    DWORD DigestLen;  // bytes delivered by Hash_Final; 0 for an identifier without an algorithm
    union {
        MD2_STATE Md2;
        MD5_STATE Md5;
        SHA1_STATE Sha1;
        SHA256_STATE Sha256;
        MAC_STATE Mac;
    } Running;
};

// Starts `algid` in `state`. `iv` (16 bytes, may be null for anything but CALG_MAC) supplies the
// MAC's initial chaining value. For an identifier without an algorithm only Algid is stored.
void Hash_Init(HASH_STATE* state, ALG_ID algid, const BYTE* iv);

// Feeds `length` bytes. `macKey` and `macKeyAlgid` (CALG_DES, CALG_3DES_112 or CALG_3DES) are
// used by CALG_MAC only; a MAC key of any other kind leaves the MAC at eight zero bytes.
void Hash_Update(HASH_STATE* state, const BYTE* data, DWORD length, const BYTE* macKey,
                 ALG_ID macKeyAlgid);

// Writes DigestLen bytes to `out`, stores DigestLen through `outLength` when not null, and wipes
// the running state (Algid and DigestLen stay).
void Hash_Final(HASH_STATE* state, BYTE* out, DWORD* outLength);

// One buffer digested into 16 (MD5) or 20 (SHA-1) bytes; both return 0.
int MD5_Digest(DWORD length, const BYTE* data, BYTE out[16]);
int SHA1_Digest(DWORD length, const BYTE* data, BYTE out[20]);

// The CALG_MAC steps behind Hash_Init and Hash_Update.
void DesMac_Init(MAC_STATE* mac, const BYTE* iv);
void DesMac_Update(MAC_STATE* mac, const BYTE* data, DWORD length, const BYTE* key, ALG_ID keyAlgid);

}  // namespace kelm::crypto
