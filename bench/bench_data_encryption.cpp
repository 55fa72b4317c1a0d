// CPEncrypt and CPDecrypt with a session key through the entry points, next to the cipher object
// driven directly (reset, update, final) on the same buffers: the difference is what the entry
// points add (handle checks, the container check, the input copy). Each iteration is one whole
// message (one final call) of 1 KiB or 64 KiB, in DES-CBC and three-key triple-DES-CBC.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/context_records.h"
#include "core/handles.h"
#include "crypto/cipher_object.h"
#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "platform/pcsc/pcsc_backend.h"
#include "platform/registry/registry_store.h"
#include "sim/inprocess_backend.h"
#include "sim/sim_card.h"

namespace {

using kelm::core::KeyCTX;

std::vector<BYTE> Buffer(size_t size, unsigned seed) {
    std::vector<BYTE> data(size);
    std::mt19937 generator(seed);
    for (auto& b : data) b = static_cast<BYTE>(generator());
    return data;
}

// A verify context on a simulated card and one session key under it, made once per algorithm
// and kept for the whole run (a release ends the card session and waits a second).
struct Provider {
    kelm::sim::InProcessBackend backend;
    HCRYPTPROV prov = 0;
    HCRYPTKEY handle = 0;
    KeyCTX* key = nullptr;

    explicit Provider(ALG_ID algid) {
        kelm::platform::UseInMemoryRegistry();
        std::string error;
        backend.InsertCard("Bench Reader", kelm::sim::NewCardImage("", kelm::sim::NewCardOptions{}, &error));
        kelm::platform::SetPcscBackend(&backend);
        CPAcquireContext(&prov, nullptr, CRYPT_VERIFYCONTEXT, nullptr);
        key = kelm::core::Alloc_Init_KeyCTX(algid);
        const std::vector<BYTE> bytes = Buffer(key->KeyLen / 8, 1);
        std::memcpy(key->KeyData, bytes.data(), bytes.size());
        std::memset(key->ContainerName, ' ', kelm::core::kContainerNameMax);
        kelm::core::Alloc_Init_CryptoHandle(&handle, kelm::core::HANDLE_KEY_TYPE, key, prov);
    }
};

Provider& ProviderFor(ALG_ID algid) {
    static Provider* des = new Provider(CALG_DES);
    static Provider* tdes = new Provider(CALG_3DES);
    return algid == CALG_DES ? *des : *tdes;
}

void Report(benchmark::State& state, size_t size) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

void EntryPointEncrypt(benchmark::State& state, ALG_ID algid) {
    Provider& p = ProviderFor(algid);
    const size_t size = static_cast<size_t>(state.range(0));
    const std::vector<BYTE> plain = Buffer(size, 2);
    std::vector<BYTE> buffer(size + 8);
    for (auto _ : state) {
        std::memcpy(buffer.data(), plain.data(), size);
        DWORD length = static_cast<DWORD>(size);
        if (!CPEncrypt(p.prov, p.handle, 0, TRUE, 0, buffer.data(), &length, static_cast<DWORD>(buffer.size()))) {
            state.SkipWithError("CPEncrypt failed");
            break;
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    Report(state, size);
}

void CipherObjectEncrypt(benchmark::State& state, ALG_ID algid) {
    Provider& p = ProviderFor(algid);
    const size_t size = static_cast<size_t>(state.range(0));
    const std::vector<BYTE> plain = Buffer(size, 2);
    std::vector<BYTE> buffer(size + 8);
    using namespace kelm::crypto;
    for (auto _ : state) {
        DWORD length = static_cast<DWORD>(size);
        DWORD extra = 0;
        CiphObject_CiphReset(p.key, CIPH_ENCRYPT);
        CiphObject_CiphUpdate(p.key, CIPH_ENCRYPT, plain.data(), length, buffer.data(), &length);
        CiphObject_CiphFinal(p.key, CIPH_ENCRYPT, buffer.data() + length, &extra);
        benchmark::DoNotOptimize(buffer.data());
    }
    Report(state, size);
}

// Decryption of one padded message (the plaintext's size less one byte, so the padding is one
// byte); the ciphertext is restored before each call, outside nothing else.
std::vector<BYTE> Ciphertext(Provider& p, size_t size) {
    std::vector<BYTE> data = Buffer(size - 1, 3);
    data.resize(size);
    DWORD length = static_cast<DWORD>(size - 1);
    CPEncrypt(p.prov, p.handle, 0, TRUE, 0, data.data(), &length, static_cast<DWORD>(size));
    return data;
}

void EntryPointDecrypt(benchmark::State& state, ALG_ID algid) {
    Provider& p = ProviderFor(algid);
    const size_t size = static_cast<size_t>(state.range(0));
    const std::vector<BYTE> cipher = Ciphertext(p, size);
    std::vector<BYTE> buffer(size);
    for (auto _ : state) {
        std::memcpy(buffer.data(), cipher.data(), size);
        DWORD length = static_cast<DWORD>(size);
        if (!CPDecrypt(p.prov, p.handle, 0, TRUE, 0, buffer.data(), &length)) {
            state.SkipWithError("CPDecrypt failed");
            break;
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    Report(state, size);
}

void CipherObjectDecrypt(benchmark::State& state, ALG_ID algid) {
    Provider& p = ProviderFor(algid);
    const size_t size = static_cast<size_t>(state.range(0));
    const std::vector<BYTE> cipher = Ciphertext(p, size);
    std::vector<BYTE> buffer(size);
    using namespace kelm::crypto;
    for (auto _ : state) {
        DWORD length = static_cast<DWORD>(size);
        CiphObject_CiphReset(p.key, CIPH_DECRYPT);
        CiphObject_CiphUpdate(p.key, CIPH_DECRYPT, cipher.data(), length, buffer.data(), &length);
        CiphObject_CiphFinal(p.key, CIPH_DECRYPT, buffer.data() + length - 8, &length);
        benchmark::DoNotOptimize(buffer.data());
    }
    Report(state, size);
}

#define KELM_SIZES ->Arg(1024)->Arg(65536)

BENCHMARK_CAPTURE(EntryPointEncrypt, DES_CBC, CALG_DES) KELM_SIZES;
BENCHMARK_CAPTURE(CipherObjectEncrypt, DES_CBC, CALG_DES) KELM_SIZES;
BENCHMARK_CAPTURE(EntryPointDecrypt, DES_CBC, CALG_DES) KELM_SIZES;
BENCHMARK_CAPTURE(CipherObjectDecrypt, DES_CBC, CALG_DES) KELM_SIZES;
BENCHMARK_CAPTURE(EntryPointEncrypt, TDES3_CBC, CALG_3DES) KELM_SIZES;
BENCHMARK_CAPTURE(CipherObjectEncrypt, TDES3_CBC, CALG_3DES) KELM_SIZES;
BENCHMARK_CAPTURE(EntryPointDecrypt, TDES3_CBC, CALG_3DES) KELM_SIZES;
BENCHMARK_CAPTURE(CipherObjectDecrypt, TDES3_CBC, CALG_3DES) KELM_SIZES;

}  // namespace

BENCHMARK_MAIN();
