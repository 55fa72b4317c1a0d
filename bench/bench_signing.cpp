// APDUs and host CPU per CPSignHash on the simulated card, per card type. The card is in memory
// behind the in-process reader, the context open and the PIN verified outside the timing; each
// iteration signs a fresh SHA-256 hash of 1 KiB (made outside the timing) with the signature key.
//
// The simulated card runs in this process, so the time of CPSignHash includes the card's work,
// its RSA above all. To leave the host's share, the reader is wrapped in a backend that measures
// the time spent inside each command's transmission (the simulated card and its reader); host_us
// is the rest of CPSignHash in the same call, so a loaded machine's noise in the card's RSA does
// not land in it. The monotonic clock is read (about 0.1 us a read here, included in host_us);
// the thread's CPU clock would cost a system call of more than 1 us per read.
// RsaPrivate1024 is the card's 1024-bit private operation alone, the yardstick of host_us.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench/timed_reader.h"
#include "card/reader_session.h"
#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "platform/pcsc/pcsc_backend.h"
#include "platform/process/clock_seam.h"
#include "platform/registry/registry_store.h"
#include "sim/inprocess_backend.h"
#include "sim/sim_card.h"

namespace {

const char kReader[] = "Bench Reader";

using kelm::bench::Microseconds;
using kelm::bench::TimedReader;

// A card of `type` with the container "bench" and its signature key in 80 01; `large` makes
// that key 2048 bits where the type's default is 1024.
kelm::sim::SimCardPtr MakeCard(int type, bool large) {
    kelm::sim::NewCardOptions options;
    options.type = type;
    std::string error;
    kelm::sim::SimCardPtr card = kelm::sim::NewCardImage("", options, &error);
    if (large) {
        const BYTE create[] = {0x00, 0x42, 0x00, 0x00, 0x08, 0x80, 0x01, 0x00, 0x00, 0x04, 0x08, 0x00, 0x00};
        kelm::sim::CardExchange(*card, create, sizeof create);
    }
    kelm::sim::PutNewKey(*card, 0x8001, &error);
    kelm::sim::AddContainer(*card, "bench", 0x8001, 0, &error);
    return card;
}

void Sign(benchmark::State& state, int type, bool large) {
    kelm::platform::UseInMemoryRegistry();
    kelm::platform::FakeClock clock;
    kelm::platform::UseFakeClock(&clock);
    TimedReader reader;
    kelm::sim::InProcessBackend& backend = reader.inner;
    backend.InsertCard(kReader, MakeCard(type, large));
    kelm::platform::SetPcscBackend(&reader);
    HCRYPTPROV prov = 0;
    if (!CPAcquireContext(&prov, "bench", CRYPT_SILENT, nullptr)) state.SkipWithError("CPAcquireContext failed");
    std::vector<BYTE> verify = {0x00, 0x20, 0x01, 0x28, 0x10, '1', '2', '3', '4', '5', '6', '7', '8'};
    verify.resize(21, type == 5 ? 0x20 : 0xFF);
    kelm::sim::CardExchange(*backend.CardIn(kReader), verify.data(), verify.size());
    kelm::card::Session().PinVerified = 1;

    const std::vector<BYTE> document(1024, 0x5A);
    BYTE signature[256];
    double sign_us = 0;
    size_t apdus = 0;
    for (auto _ : state) {
        state.PauseTiming();
        HCRYPTHASH hash = 0;
        CPCreateHash(prov, CALG_SHA_256, 0, 0, &hash);
        CPHashData(prov, hash, document.data(), static_cast<DWORD>(document.size()), 0);
        backend.ClearLog();
        const double card_before = reader.transmit_us;
        const double start = Microseconds();
        state.ResumeTiming();

        DWORD length = sizeof signature;
        const BOOL signed_hash = CPSignHash(prov, hash, AT_SIGNATURE, nullptr, 0, signature, &length);

        state.PauseTiming();
        sign_us += Microseconds() - start - (reader.transmit_us - card_before);
        if (!signed_hash) state.SkipWithError("CPSignHash failed");
        apdus = backend.Log().size();
        CPDestroyHash(prov, hash);
        state.ResumeTiming();
    }
    state.counters["apdus"] = static_cast<double>(apdus);
    state.counters["host_us"] = sign_us / static_cast<double>(state.iterations());
    CPReleaseContext(prov, 0);
    kelm::platform::SetPcscBackend(nullptr);
    kelm::platform::UseFakeClock(nullptr);
}

// The card's 1024-bit private operation alone, the yardstick of host_us.
void RsaPrivate1024(benchmark::State& state) {
    kelm::sim::SimCardPtr card = MakeCard(1, false);
    std::vector<BYTE> verify = {0x00, 0x20, 0x01, 0x28, 0x10, '1', '2', '3', '4', '5', '6', '7', '8'};
    verify.resize(21, 0xFF);
    const std::vector<BYTE> select = {0x00, 0xA4, 0x02, 0x00, 0x02, 0x80, 0x01};
    std::vector<BYTE> operation = {0x00, 0x4E, 0x00, 0x00, 0x80};
    operation.resize(5 + 128, 0x01);
    for (const auto& command : {verify, select}) kelm::sim::CardExchange(*card, command.data(), command.size());
    for (auto _ : state) {
        const std::vector<BYTE> answer = kelm::sim::CardExchange(*card, operation.data(), operation.size());
        if (answer.size() != 130) state.SkipWithError("RSA operation failed");
        benchmark::DoNotOptimize(answer);
    }
}

BENCHMARK_CAPTURE(Sign, Type1, 1, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Sign, Type3, 3, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Sign, Type5, 5, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Sign, Type5Key2048, 5, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Sign, Type6Key2048, 6, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Sign, Type7, 7, false)->Unit(benchmark::kMicrosecond);
BENCHMARK(RsaPrivate1024)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
