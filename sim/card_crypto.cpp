#include "sim/card_crypto.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/rsa.h>

#include <cstdlib>
#include <mutex>

namespace kelm::sim {

namespace {

struct Drbg {
    std::mutex lock;
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    Drbg() {
        mbedtls_entropy_init(&entropy);
        mbedtls_ctr_drbg_init(&drbg);
        static const unsigned char personal[] = "kelm card simulator";
        if (mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy, personal, sizeof personal - 1) != 0) std::abort();
    }
    ~Drbg() {
        mbedtls_ctr_drbg_free(&drbg);
        mbedtls_entropy_free(&entropy);
    }
};

Drbg& TheDrbg() {
    static Drbg drbg;
    return drbg;
}

int RandomCallback(void*, unsigned char* out, size_t length) {
    CardRandom(out, length);
    return 0;
}

// An mbed TLS context loaded with a stored key; freed (and so wiped) on scope exit.
struct RsaContext {
    mbedtls_rsa_context ctx;
    bool ok = false;
    explicit RsaContext(const RsaKey& key, bool with_private) {
        mbedtls_rsa_init(&ctx, MBEDTLS_RSA_PKCS_V15, 0);
        int rc = with_private ? mbedtls_rsa_import_raw(&ctx, key.n.data(), key.n.size(), key.p.data(), key.p.size(), key.q.data(),
                                                       key.q.size(), key.d.data(), key.d.size(), key.e.data(), key.e.size())
                              : mbedtls_rsa_import_raw(&ctx, key.n.data(), key.n.size(), nullptr, 0, nullptr, 0, nullptr, 0,
                                                       key.e.data(), key.e.size());
        ok = rc == 0 && mbedtls_rsa_complete(&ctx) == 0 && mbedtls_rsa_get_len(&ctx) == key.n.size();
    }
    ~RsaContext() { mbedtls_rsa_free(&ctx); }
    RsaContext(const RsaContext&) = delete;
    RsaContext& operator=(const RsaContext&) = delete;
};

}  // namespace

void CardRandom(BYTE* out, size_t length) {
    Drbg& d = TheDrbg();
    std::lock_guard<std::mutex> guard(d.lock);
    while (length > 0) {
        size_t chunk = length < MBEDTLS_CTR_DRBG_MAX_REQUEST ? length : MBEDTLS_CTR_DRBG_MAX_REQUEST;
        if (mbedtls_ctr_drbg_random(&d.drbg, out, chunk) != 0) std::abort();
        out += chunk;
        length -= chunk;
    }
}

bool GenerateKey(unsigned bits, RsaKey* key) {
    mbedtls_rsa_context ctx;
    mbedtls_rsa_init(&ctx, MBEDTLS_RSA_PKCS_V15, 0);
    bool ok = mbedtls_rsa_gen_key(&ctx, RandomCallback, nullptr, bits, 65537) == 0;
    if (ok) {
        size_t len = mbedtls_rsa_get_len(&ctx);
        RsaKey made;
        made.n.resize(len);
        made.d.resize(len);
        made.p.resize(len / 2);
        made.q.resize(len / 2);
        made.e = {0x01, 0x00, 0x01};
        ok = mbedtls_rsa_export_raw(&ctx, made.n.data(), made.n.size(), made.p.data(), made.p.size(), made.q.data(), made.q.size(),
                                    made.d.data(), made.d.size(), nullptr, 0) == 0;
        made.pk_code.resize(kCertCodeLength);
        CardRandom(made.pk_code.data(), made.pk_code.size());
        if (ok) {
            WipeKey(key);
            *key = std::move(made);
        } else {
            WipeKey(&made);
        }
    }
    mbedtls_rsa_free(&ctx);
    return ok;
}

bool RsaPrivate(const RsaKey& key, const BYTE* block, std::vector<BYTE>* out) {
    RsaContext rsa(key, true);
    if (!rsa.ok) return false;
    out->assign(key.n.size(), 0);
    return mbedtls_rsa_private(&rsa.ctx, RandomCallback, nullptr, block, out->data()) == 0;
}

bool RsaPublic(const RsaKey& key, const BYTE* block, std::vector<BYTE>* out) {
    RsaContext rsa(key, false);
    if (!rsa.ok) return false;
    out->assign(key.n.size(), 0);
    return mbedtls_rsa_public(&rsa.ctx, block, out->data()) == 0;
}

}  // namespace kelm::sim
