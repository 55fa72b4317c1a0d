#include "crypto/hash_engine.h"

#include <cstring>

#include "crypto/secure_zero.h"

namespace kelm::crypto {

void Hash_Init(HASH_STATE* state, ALG_ID algid, const BYTE* iv) {
    state->Algid = algid;
    switch (algid) {
        case CALG_MD2:
            state->DigestLen = 16;
            Md2_Init(&state->Running.Md2);
            break;
        case CALG_MD5:
            state->DigestLen = 16;
            Md5_Init(&state->Running.Md5);
            break;
        case CALG_SHA1:
            state->DigestLen = 20;
            Sha1_Init(&state->Running.Sha1);
            break;
        case CALG_SHA_256:
            state->DigestLen = 32;
            Sha256_Init(&state->Running.Sha256);
            break;
        case CALG_MAC:
            state->DigestLen = 8;
            DesMac_Init(&state->Running.Mac, iv);
            break;
        default:
            break;
    }
}

void Hash_Update(HASH_STATE* state, const BYTE* data, DWORD length, const BYTE* macKey,
                 ALG_ID macKeyAlgid) {
    if (data == nullptr && length > 0) {
        return;
    }
    switch (state->Algid) {
        case CALG_MD2:
            Md2_Update(&state->Running.Md2, data, length);
            break;
        case CALG_MD5:
            Md5_Update(&state->Running.Md5, data, length);
            break;
        case CALG_SHA1:
            Sha1_Update(&state->Running.Sha1, data, length);
            break;
        case CALG_SHA_256:
            Sha256_Update(&state->Running.Sha256, data, length);
            break;
        case CALG_MAC:
            DesMac_Update(&state->Running.Mac, data, length, macKey, macKeyAlgid);
            break;
        default:
            break;
    }
}

void Hash_Final(HASH_STATE* state, BYTE* out, DWORD* outLength) {
    BYTE digest[32];
    DWORD written = 0;
    switch (state->Algid) {
        case CALG_MD2:
            Md2_Final(&state->Running.Md2, digest);
            written = 16;
            break;
        case CALG_MD5:
            Md5_Final(&state->Running.Md5, digest);
            written = 16;
            break;
        case CALG_SHA1:
            Sha1_Final(&state->Running.Sha1, digest);
            written = 20;
            break;
        case CALG_SHA_256:
            Sha256_Final(&state->Running.Sha256, digest);
            written = 32;
            break;
        case CALG_MAC:
            std::memcpy(digest, state->Running.Mac.MacValue, 8);
            written = 8;
            break;
        default:
            break;
    }
    if (out != nullptr && written > 0) {
        std::memcpy(out, digest, written);
    }
    if (outLength != nullptr) {
        *outLength = written;
    }
    SecureZero(digest, sizeof(digest));
    SecureZero(&state->Running, sizeof(state->Running));
}

int MD5_Digest(DWORD length, const BYTE* data, BYTE out[16]) {
    MD5_STATE state;
    Md5_Init(&state);
    Md5_Update(&state, data, length);
    Md5_Final(&state, out);
    return 0;
}

int SHA1_Digest(DWORD length, const BYTE* data, BYTE out[20]) {
    SHA1_STATE state;
    Sha1_Init(&state);
    Sha1_Update(&state, data, length);
    Sha1_Final(&state, out);
    return 0;
}

}  // namespace kelm::crypto
