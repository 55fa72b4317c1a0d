// Signatures per second with 1, 2, 4 and 8 threads, each with a context of its own, on one
// in-process simulated card (type 1, 1024-bit key). The card is one device and each signature
// holds the card conversation for its SELECT and RSA OPERATION, so the total rate cannot grow
// with the threads; the figures show what the lock and the threads' waiting cost on top of it.
// Each iteration is a whole signature: CPCreateHash, CPHashData over 1 KiB, CPSignHash,
// CPDestroyHash. Contexts are opened and the PIN verified before the timing.
#include <benchmark/benchmark.h>

#include <mutex>
#include <string>
#include <vector>

#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "platform/pcsc/pcsc_backend.h"
#include "platform/process/clock_seam.h"
#include "platform/registry/registry_store.h"
#include "platform/ui/ui_responder.h"
#include "sim/inprocess_backend.h"
#include "sim/sim_card.h"

namespace {

// Types the PIN whenever asked, from any thread.
struct TypingUser : kelm::platform::UiResponder {
    int MessageBox(const kelm::platform::MessageBoxShown& box) override {
        return kelm::platform::UnattendedAnswer(box.type);
    }
    std::optional<kelm::platform::DialogAction> Dialog(const kelm::platform::DialogShown&) override {
        return kelm::platform::DialogAction{IDOK, "12345678"};
    }
};

// The card, its reader and the user, made once by whichever thread comes first and kept for the
// whole program; the release's settle time takes no time.
void SetUpOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        kelm::platform::UseInMemoryRegistry();
        static kelm::platform::ClockSeam seam;
        seam.sleep = [](DWORD) {};
        kelm::platform::SetClockSeam(&seam);
        static TypingUser user;
        kelm::platform::SetUiResponder(&user);
        static kelm::sim::InProcessBackend backend;
        kelm::sim::NewCardOptions options;
        std::string error;
        kelm::sim::SimCardPtr card = kelm::sim::NewCardImage("", options, &error);
        kelm::sim::PutNewKey(*card, 0x8001, &error);
        kelm::sim::AddContainer(*card, "bench", 0x8001, 0, &error);
        backend.InsertCard("Bench Reader", std::move(card));
        kelm::platform::SetPcscBackend(&backend);
    });
}

void SignConcurrently(benchmark::State& state) {
    SetUpOnce();
    HCRYPTPROV prov = 0;
    if (!CPAcquireContext(&prov, "bench", 0, nullptr)) state.SkipWithError("CPAcquireContext failed");
    const std::vector<BYTE> document(1024, 0x5A);
    BYTE signature[128];
    // The first signature asks for the PIN (one thread types it, the others wait for it).
    HCRYPTHASH hash = 0;
    DWORD length = sizeof signature;
    if (!CPCreateHash(prov, CALG_SHA_256, 0, 0, &hash) || !CPHashData(prov, hash, document.data(), 1024, 0) ||
        !CPSignHash(prov, hash, AT_SIGNATURE, nullptr, 0, signature, &length)) {
        state.SkipWithError("the first signature failed");
    }
    CPDestroyHash(prov, hash);
    for (auto _ : state) {
        length = sizeof signature;
        const bool made = CPCreateHash(prov, CALG_SHA_256, 0, 0, &hash) &&
                          CPHashData(prov, hash, document.data(), 1024, 0) &&
                          CPSignHash(prov, hash, AT_SIGNATURE, nullptr, 0, signature, &length);
        CPDestroyHash(prov, hash);
        if (!made) state.SkipWithError("CPSignHash failed");
    }
    state.SetItemsProcessed(state.iterations());
    // Released after the timing; the session ends for the threads still here, and their next
    // run starts by asking for the PIN again.
    CPReleaseContext(prov, 0);
}

BENCHMARK(SignConcurrently)->Threads(1)->Threads(2)->Threads(4)->Threads(8)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
