// Throughput of the software cryptography next to OpenSSL's libcrypto on the same buffers.
// Each pair runs as Ours/<algorithm>/<bytes> and OpenSSL/<algorithm>/<bytes>; MbedTlsSha256 is
// SHA-256's portable path on its own. Our cipher calls include the key schedule (computed once
// per call); OpenSSL's context is keyed once outside the loop, which is the most favourable
// case for it.
#include <benchmark/benchmark.h>
#include <mbedtls/sha256.h>

#include <cstring>
#include <random>
#include <vector>

#include "crypto/des_modes.h"
#include "crypto/hash_engine.h"
#include "kelm/windows_types.h"

#ifdef KELM_HAVE_OPENSSL
#include <openssl/evp.h>
#include <openssl/provider.h>
#endif

namespace {

using kelm::crypto::DES_EncryptData;

std::vector<BYTE> Buffer(size_t size) {
    std::vector<BYTE> data(size);
    std::mt19937 generator(7);
    for (auto& b : data) {
        b = static_cast<BYTE>(generator());
    }
    return data;
}

void OursCipher(benchmark::State& state, DWORD mode, DWORD keyLen) {
    const size_t size = static_cast<size_t>(state.range(0));
    const std::vector<BYTE> in = Buffer(size);
    std::vector<BYTE> out(size + 8);
    const std::vector<BYTE> key = Buffer(24);
    BYTE chain[16] = {1, 2, 3, 4, 5, 6, 7, 8};
    BYTE pending[8];
    DWORD position = 0;
    for (auto _ : state) {
        DWORD length = static_cast<DWORD>(size);
        DES_EncryptData(mode, keyLen, &position, key.data(), chain, in.data(), static_cast<DWORD>(size), out.data(),
                        &length, pending);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

void OursDigest(benchmark::State& state, ALG_ID algid) {
    const size_t size = static_cast<size_t>(state.range(0));
    const std::vector<BYTE> in = Buffer(size);
    BYTE out[32];
    for (auto _ : state) {
        kelm::crypto::HASH_STATE hash{};
        kelm::crypto::Hash_Init(&hash, algid, nullptr);
        kelm::crypto::Hash_Update(&hash, in.data(), static_cast<DWORD>(size), nullptr, 0);
        kelm::crypto::Hash_Final(&hash, out, nullptr);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

// SHA-256's portable path, for processors without the SHA instructions.
void MbedTlsSha256(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    const std::vector<BYTE> in = Buffer(size);
    BYTE out[32];
    for (auto _ : state) {
        mbedtls_sha256_ret(in.data(), size, out, 0);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

#ifdef KELM_HAVE_OPENSSL

void LoadProviders() {
    static const bool loaded = [] {
        OSSL_PROVIDER_load(nullptr, "default");
        OSSL_PROVIDER_load(nullptr, "legacy");
        return true;
    }();
    (void)loaded;
}

void OpenSslCipher(benchmark::State& state, const char* name) {
    LoadProviders();
    const size_t size = static_cast<size_t>(state.range(0));
    const std::vector<BYTE> in = Buffer(size);
    std::vector<BYTE> out(size + 8);
    const std::vector<BYTE> key = Buffer(24);
    const BYTE iv[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
    if (cipher == nullptr) {
        state.SkipWithError("cipher unavailable in this OpenSSL");
        return;
    }
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, cipher, nullptr, key.data(), iv);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    for (auto _ : state) {
        int length = 0;
        EVP_EncryptUpdate(ctx, out.data(), &length, in.data(), static_cast<int>(size));
        benchmark::DoNotOptimize(out.data());
    }
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

void OpenSslDigest(benchmark::State& state, const char* name) {
    LoadProviders();
    const size_t size = static_cast<size_t>(state.range(0));
    const std::vector<BYTE> in = Buffer(size);
    EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
    if (md == nullptr) {
        state.SkipWithError("digest unavailable in this OpenSSL");
        return;
    }
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    BYTE out[EVP_MAX_MD_SIZE];
    for (auto _ : state) {
        unsigned int length = 0;
        EVP_DigestInit_ex(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, in.data(), size);
        EVP_DigestFinal_ex(ctx, out, &length);
        benchmark::DoNotOptimize(out);
    }
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(md);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

#endif

#define KELM_SIZES ->Arg(1024)->Arg(65536)

BENCHMARK_CAPTURE(OursCipher, DES_CBC, CRYPT_MODE_CBC, 64) KELM_SIZES;
BENCHMARK_CAPTURE(OursCipher, TDES3_CBC, CRYPT_MODE_CBC, 192) KELM_SIZES;
BENCHMARK_CAPTURE(OursCipher, DES_OFB, CRYPT_MODE_OFB, 64) KELM_SIZES;
BENCHMARK_CAPTURE(OursDigest, MD5, CALG_MD5) KELM_SIZES;
BENCHMARK_CAPTURE(OursDigest, SHA1, CALG_SHA1) KELM_SIZES;
BENCHMARK_CAPTURE(OursDigest, SHA256, CALG_SHA_256) KELM_SIZES;
BENCHMARK_CAPTURE(OursDigest, MD2, CALG_MD2) KELM_SIZES;
BENCHMARK(MbedTlsSha256) KELM_SIZES;
#ifdef KELM_HAVE_OPENSSL
BENCHMARK_CAPTURE(OpenSslCipher, DES_CBC, "DES-CBC") KELM_SIZES;
BENCHMARK_CAPTURE(OpenSslCipher, TDES3_CBC, "DES-EDE3-CBC") KELM_SIZES;
BENCHMARK_CAPTURE(OpenSslCipher, DES_OFB, "DES-OFB") KELM_SIZES;
BENCHMARK_CAPTURE(OpenSslDigest, MD5, "MD5") KELM_SIZES;
BENCHMARK_CAPTURE(OpenSslDigest, SHA1, "SHA1") KELM_SIZES;
BENCHMARK_CAPTURE(OpenSslDigest, SHA256, "SHA256") KELM_SIZES;
BENCHMARK_CAPTURE(OpenSslDigest, MD2, "MD2") KELM_SIZES;
#endif

}  // namespace

BENCHMARK_MAIN();
