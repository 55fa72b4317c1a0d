// The PKCS #11 module on the simulated card in memory: host time per C_Sign, and the card
// commands of an object search.
//
// Sign/...: the module initialised, a session open and logged in and the private key found
// outside the timing; each iteration is C_SignInit and C_Sign of 1 KiB with CKM_SHA256_RSA_PKCS.
// As in bench_signing, the reader adds up the time spent in each transmission (the card's RSA
// above all); host_us is the rest of the two calls, the module's own work (hashing 1 KiB
// included). RsaPrivate1024 in bench_signing is the yardstick.
//
// Search/...: a card whose directory is full (6 containers, 7 on card type 7), every container
// with a signature key and a certificate. Each iteration starts the module afresh (connection
// and session outside the timing) and runs one search over all objects, logged in; apdus counts
// the search's commands, repeats those sent twice to the same selected file. A second search on
// the same connection sends none (the keys are read once per connection).
#include <benchmark/benchmark.h>

#include <set>
#include <string>
#include <vector>

#include "bench/timed_reader.h"
#include "pkcs11/cryptoki.h"
#include "platform/process/clock_seam.h"
#include "platform/registry/registry_store.h"
#include "sim/sim_card.h"

namespace {

const char kReader[] = "Bench Reader";
CK_UTF8CHAR kPin[] = "12345678";

struct Module {
    kelm::platform::FakeClock clock;
    kelm::bench::TimedReader reader;
    CK_FUNCTION_LIST* p11 = nullptr;
    CK_SESSION_HANDLE session = 0;
    explicit Module(kelm::sim::SimCardPtr card) {
        kelm::platform::UseInMemoryRegistry();
        kelm::platform::UseFakeClock(&clock);
        reader.inner.InsertCard(kReader, std::move(card));
        kelm::platform::SetPcscBackend(&reader);
        C_GetFunctionList(&p11);
    }
    bool Start() {
        CK_SLOT_ID slot = 0;
        CK_ULONG count = 1;
        return p11->C_Initialize(nullptr) == CKR_OK && p11->C_GetSlotList(CK_TRUE, &slot, &count) == CKR_OK &&
               p11->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session) == CKR_OK &&
               p11->C_Login(session, CKU_USER, kPin, 8) == CKR_OK;
    }
    ~Module() {
        p11->C_Finalize(nullptr);
        kelm::platform::SetPcscBackend(nullptr);
        kelm::platform::UseFakeClock(nullptr);
    }
};

// A card of `type` with `containers` containers "c1", "c2", ..., each with a signature key in a
// key file of its own and a certificate beside it.
kelm::sim::SimCardPtr MakeCard(int type, int containers) {
    kelm::sim::NewCardOptions options;
    options.type = type;
    std::string error;
    kelm::sim::SimCardPtr card = kelm::sim::NewCardImage("", options, &error);
    const std::vector<BYTE> certificate(600, 0x30);  // the search reads its length only
    for (int i = 1; i <= containers; ++i) {
        const WORD file = static_cast<WORD>(0x8000 + i);
        kelm::sim::PutNewKey(*card, file, &error);
        kelm::sim::PutCertificate(*card, file, certificate, &error);
        std::string name = "c";
        name += std::to_string(i);
        kelm::sim::AddContainer(*card, name, file, 0, &error);
    }
    return card;
}

void Sign(benchmark::State& state, int type) {
    kelm::sim::SimCardPtr card = MakeCard(type, 1);
    Module module(std::move(card));
    if (!module.Start()) state.SkipWithError("the module did not start");
    CK_OBJECT_CLASS private_key = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE search[] = {{CKA_CLASS, &private_key, sizeof private_key}};
    CK_OBJECT_HANDLE key = 0;
    CK_ULONG found = 0;
    module.p11->C_FindObjectsInit(module.session, search, 1);
    module.p11->C_FindObjects(module.session, &key, 1, &found);
    module.p11->C_FindObjectsFinal(module.session);
    std::vector<BYTE> document(1024, 0x5A);
    std::vector<BYTE> signature(256);
    CK_MECHANISM mechanism = {CKM_SHA256_RSA_PKCS, nullptr, 0};
    double host_us = 0;
    size_t apdus = 0;
    for (auto _ : state) {
        state.PauseTiming();
        module.reader.inner.ClearLog();
        const double card_before = module.reader.transmit_us;
        CK_ULONG length = signature.size();
        const double start = kelm::bench::Microseconds();
        state.ResumeTiming();

        CK_RV rv = module.p11->C_SignInit(module.session, &mechanism, key);
        if (rv == CKR_OK) rv = module.p11->C_Sign(module.session, document.data(), document.size(), signature.data(), &length);

        state.PauseTiming();
        host_us += kelm::bench::Microseconds() - start - (module.reader.transmit_us - card_before);
        if (rv != CKR_OK) state.SkipWithError("C_Sign failed");
        apdus = module.reader.inner.Log().size();
        state.ResumeTiming();
    }
    state.counters["apdus"] = static_cast<double>(apdus);
    state.counters["host_us"] = host_us / static_cast<double>(state.iterations());
}

void Search(benchmark::State& state, int type) {
    const int containers = type == 7 ? 7 : 6;
    Module module(MakeCard(type, containers));
    size_t apdus = 0;
    size_t repeats = 0;
    size_t objects = 0;
    for (auto _ : state) {
        state.PauseTiming();
        module.p11->C_Finalize(nullptr);
        if (!module.Start()) state.SkipWithError("the module did not start");
        module.reader.inner.ClearLog();
        state.ResumeTiming();

        CK_OBJECT_HANDLE found[64];
        CK_ULONG count = 0;
        module.p11->C_FindObjectsInit(module.session, nullptr, 0);
        module.p11->C_FindObjects(module.session, found, 64, &count);
        module.p11->C_FindObjectsFinal(module.session);

        state.PauseTiming();
        objects = count;
        const std::vector<kelm::sim::Exchange> log = module.reader.inner.Log();
        apdus = log.size();
        std::set<std::string> seen;
        std::string selected;
        repeats = 0;
        for (const kelm::sim::Exchange& exchange : log) {
            const std::string command(exchange.command.begin(), exchange.command.end());
            repeats += seen.insert(selected + '|' + command).second ? 0 : 1;
            if (command.size() >= 4 && exchange.command[1] == 0xA4 && exchange.command[2] == 0x02) {
                selected = command;
            }
        }
        state.ResumeTiming();
    }
    state.counters["containers"] = containers;
    state.counters["objects"] = static_cast<double>(objects);
    state.counters["apdus"] = static_cast<double>(apdus);
    state.counters["repeats"] = static_cast<double>(repeats);
}

BENCHMARK_CAPTURE(Sign, Type1, 1)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Sign, Type6Key2048, 6)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Search, Type1SixContainers, 1)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Search, Type7SevenContainers, 7)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
