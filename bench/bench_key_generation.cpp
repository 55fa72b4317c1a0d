// APDUs and time per CPGenKey on the simulated card, counted from the in-process reader's log: a
// session key, a first signature key (type 1 with and without a certified key to move to its
// companion, type 6 with a 2048-bit key), and type 7's staging with a certified staged key that
// replaces the older key of its subject. Each iteration starts from a fresh card, prepared and
// connected outside the timing, with the PIN verified; the card's key generation is part of the
// time. Also APDUs per CPExportKey: a PUBLICKEYBLOB, and a SIMPLEBLOB wrapped with the exchange key.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "card/reader_session.h"
#include "kelm/csp.h"
#include "kelm/winapi.h"
#include "platform/pcsc/pcsc_backend.h"
#include "platform/process/clock_seam.h"
#include "platform/registry/registry_store.h"
#include "sim/inprocess_backend.h"
#include "sim/sim_card.h"

namespace {

// A self-signed certificate for "Bench" (1024-bit RSA), made with the openssl tool.
const char kCertificateHex[] =
    "308201fc30820165a00302010202145da3e72f14312695d7bcad62ad93772296fff070300d06092a864886f70d01010b"
    "05003010310e300c06035504030c0542656e6368301e170d3236313230363037303135335a170d333631323033303730"
    "3135335a3010310e300c06035504030c0542656e636830819f300d06092a864886f70d010101050003818d0030818902"
    "818100dd6a860c82a549d32b65c92d636a958b09c927ee03a797e1e33d7f1467976d7ac3a9699668f941ea8d7f56deeb"
    "3710d82d91957d7d364f425d69430c87f160960b5486ebf2810782eb3cd56e1247518b49e3fa619f61e0e1f45885ac58"
    "24a2dd4618f4f8d503ed08ed79eb26348a68af34c2aea1cd89650de61b53e06bb564510203010001a3533051301d0603"
    "551d0e041604148688bb166b511c4b5b39d4d600ef69e4d16a7b5b301f0603551d230418301680148688bb166b511c4b"
    "5b39d4d600ef69e4d16a7b5b300f0603551d130101ff040530030101ff300d06092a864886f70d01010b050003818100"
    "bb853b88ba847368082f32060310028b921d9a12e6419a79ae473344f38fa0661650ed63aa3710132e45117db87bf6aa"
    "bf44dff2e055f8736a3611a2ab6d5972db959b2757486acfd27dd381c208ee425b85fd1227886eb31da44c66c3cae0af"
    "94efd98a217ebb47edc2a04fca640e0efe56bf0d84a2dc081615fb6f07b95bc5";

std::vector<BYTE> Certificate() {
    std::vector<BYTE> der;
    const std::string hex = kCertificateHex;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) der.push_back(static_cast<BYTE>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return der;
}

enum class Setup { Prepared, CertifiedKeyToMove, StagedKeyOfSameSubject };

// The card before the generation: "bench" without keys, and per setup the other key files.
kelm::sim::SimCardPtr MakeCard(int type, Setup setup) {
    kelm::sim::NewCardOptions options;
    options.type = type;
    std::string error;
    kelm::sim::SimCardPtr card = kelm::sim::NewCardImage("", options, &error);
    const int files = type == 7 ? 7 : 4;
    for (int i = 1; i <= files; ++i) kelm::sim::AddKeyFile(*card, static_cast<WORD>(0x8000 + i), static_cast<BYTE>(type == 7 || i > 2 ? 1 : 0), &error);
    if (setup == Setup::CertifiedKeyToMove) {
        kelm::sim::PutNewKey(*card, 0x8001, &error);
        kelm::sim::PutCertificate(*card, 0x8001, Certificate(), &error);
        kelm::sim::AddContainer(*card, "old", 0x8001, 0, &error);
    } else if (setup == Setup::StagedKeyOfSameSubject) {
        for (WORD file : {WORD{0x8001}, WORD{0x8007}}) {
            kelm::sim::PutNewKey(*card, file, &error);
            kelm::sim::PutCertificate(*card, file, Certificate(), &error);
        }
        kelm::sim::AddContainer(*card, "older", 0x8001, 0, &error);
        kelm::sim::AddContainer(*card, "old", 0x8007, 0, &error);
    }
    kelm::sim::AddContainer(*card, "bench", 0, 0, &error);
    return card;
}

void GenKey(benchmark::State& state, int type, ALG_ID algid, Setup setup) {
    kelm::platform::UseInMemoryRegistry();
    kelm::platform::FakeClock clock;
    kelm::platform::UseFakeClock(&clock);
    size_t apdus = 0;
    for (auto _ : state) {
        state.PauseTiming();
        kelm::sim::InProcessBackend backend;
        backend.InsertCard("Bench Reader", MakeCard(type, setup));
        kelm::platform::SetPcscBackend(&backend);
        HCRYPTPROV prov = 0;
        CPAcquireContext(&prov, "bench", CRYPT_SILENT, nullptr);
        std::vector<BYTE> verify = {0x00, 0x20, 0x01, 0x28, 0x10, '1', '2', '3', '4', '5', '6', '7', '8'};
        verify.resize(21, type == 5 ? 0x20 : 0xFF);
        kelm::sim::CardExchange(*backend.CardIn("Bench Reader"), verify.data(), verify.size());
        kelm::card::Session().PinVerified = 1;
        backend.ClearLog();
        state.ResumeTiming();

        HCRYPTKEY key = 0;
        const BOOL made = CPGenKey(prov, algid, 0, &key);

        state.PauseTiming();
        if (!made) state.SkipWithError("CPGenKey failed");
        apdus = backend.Log().size();
        CPReleaseContext(prov, 0);
        kelm::platform::SetPcscBackend(nullptr);
        state.ResumeTiming();
    }
    state.counters["apdus"] = static_cast<double>(apdus);
    kelm::platform::UseFakeClock(nullptr);
}

BENCHMARK_CAPTURE(GenKey, SessionKeyDes, 1, CALG_DES, Setup::Prepared)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK_CAPTURE(GenKey, Type1Signature, 1, AT_SIGNATURE, Setup::Prepared)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK_CAPTURE(GenKey, Type1SignatureMovingCertifiedKey, 1, AT_SIGNATURE, Setup::CertifiedKeyToMove)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK_CAPTURE(GenKey, Type6Signature2048, 6, AT_SIGNATURE, Setup::Prepared)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK_CAPTURE(GenKey, Type7SignatureReplacingSameSubject, 7, AT_SIGNATURE, Setup::StagedKeyOfSameSubject)->Unit(benchmark::kMillisecond)->Iterations(10);

// APDUs per CPExportKey of the container's exchange key (PUBLICKEYBLOB) and of a triple-DES
// session key wrapped with it (SIMPLEBLOB), on a card whose container "bench" holds both keys.
void Export(benchmark::State& state, int type, DWORD blob_type) {
    kelm::platform::UseInMemoryRegistry();
    kelm::sim::InProcessBackend backend;
    std::string error;
    kelm::sim::NewCardOptions options;
    options.type = type;
    kelm::sim::SimCardPtr card = kelm::sim::NewCardImage("", options, &error);
    kelm::sim::PutNewKey(*card, 0x8001, &error);
    kelm::sim::PutNewKey(*card, 0x8003, &error);
    kelm::sim::AddContainer(*card, "bench", 0x8001, 0x8003, &error);
    backend.InsertCard("Bench Reader", std::move(card));
    kelm::platform::SetPcscBackend(&backend);
    HCRYPTPROV prov = 0;
    HCRYPTKEY exchange = 0, session = 0;
    CPAcquireContext(&prov, "bench", CRYPT_SILENT, nullptr);
    std::vector<BYTE> verify = {0x00, 0x20, 0x01, 0x28, 0x10, '1', '2', '3', '4', '5', '6', '7', '8'};
    verify.resize(21, type == 5 ? 0x20 : 0xFF);
    kelm::sim::CardExchange(*backend.CardIn("Bench Reader"), verify.data(), verify.size());
    kelm::card::Session().PinVerified = 1;
    if (!CPGetUserKey(prov, AT_KEYEXCHANGE, &exchange) || !CPGenKey(prov, CALG_3DES, CRYPT_EXPORTABLE, &session)) {
        state.SkipWithError("no keys to export");
    }
    const HCRYPTKEY key = blob_type == SIMPLEBLOB ? session : exchange;
    const HCRYPTKEY wrapping = blob_type == SIMPLEBLOB ? exchange : 0;
    std::vector<BYTE> blob(300);
    size_t apdus = 0;
    for (auto _ : state) {
        backend.ClearLog();
        DWORD size = static_cast<DWORD>(blob.size());
        if (!CPExportKey(prov, key, wrapping, blob_type, 0, blob.data(), &size)) state.SkipWithError("CPExportKey failed");
        apdus = backend.Log().size();
    }
    state.counters["apdus"] = static_cast<double>(apdus);
    CPDestroyKey(prov, session);
    CPDestroyKey(prov, exchange);
    CPReleaseContext(prov, 0);
    kelm::platform::SetPcscBackend(nullptr);
}

BENCHMARK_CAPTURE(Export, Type1PublicKeyBlob, 1, PUBLICKEYBLOB)->Unit(benchmark::kMicrosecond)->Iterations(20);
BENCHMARK_CAPTURE(Export, Type6PublicKeyBlob2048, 6, PUBLICKEYBLOB)->Unit(benchmark::kMicrosecond)->Iterations(20);
BENCHMARK_CAPTURE(Export, Type1SimpleBlob3Des, 1, SIMPLEBLOB)->Unit(benchmark::kMicrosecond)->Iterations(20);

}  // namespace

BENCHMARK_MAIN();
