// The card simulator's cost per command: the card model alone (CardExchange), the same through
// the in-process PC/SC backend and the Windows-named SCardTransmit, and the RSA private
// operation with 1024- and 2048-bit keys.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "kelm/winapi.h"
#include "platform/pcsc/pcsc_backend.h"
#include "sim/inprocess_backend.h"
#include "sim/sim_card.h"

namespace {

using kelm::sim::SimCardPtr;

SimCardPtr PreparedCard(int type) {
    kelm::sim::NewCardOptions options;
    options.type = type;
    std::string error;
    SimCardPtr card = kelm::sim::NewCardImage("", options, &error);
    kelm::sim::PutNewKey(*card, 0x8001, &error);
    kelm::sim::PutCertificate(*card, 0x8001, std::vector<BYTE>(1000, 0x30), &error);
    kelm::sim::AddContainer(*card, "bench", 0x8001, 0, &error);
    return card;
}

std::vector<BYTE> Exchange(kelm::sim::SimCard& card, const std::vector<BYTE>& apdu) {
    return kelm::sim::CardExchange(card, apdu.data(), apdu.size());
}

void CardModel(benchmark::State& state, std::vector<BYTE> apdu, std::vector<BYTE> before) {
    SimCardPtr card = PreparedCard(1);
    for (auto _ : state) {
        if (!before.empty()) Exchange(*card, before);
        benchmark::DoNotOptimize(Exchange(*card, apdu));
    }
}

const std::vector<BYTE> kSelectDirectory{0x00, 0xA4, 0x02, 0x00, 0x02, 0x80, 0x10};
const std::vector<BYTE> kSelectKeyFile{0x00, 0xA4, 0x02, 0x00, 0x02, 0x80, 0x01};

std::vector<BYTE> FindBench() {
    std::vector<BYTE> apdu{0x00, 0x7E, 0x00, 0x00, 0x24, 'b', 'e', 'n', 'c', 'h'};
    apdu.resize(5 + 36, 0);
    return apdu;
}

BENCHMARK_CAPTURE(CardModel, SelectFile, kSelectDirectory, std::vector<BYTE>{});
BENCHMARK_CAPTURE(CardModel, GetChallenge, std::vector<BYTE>{0x00, 0x86, 0x00, 0x00, 0x08}, std::vector<BYTE>{});
BENCHMARK_CAPTURE(CardModel, FindContainer, FindBench(), kSelectDirectory);
BENCHMARK_CAPTURE(CardModel, GetFileInfo, std::vector<BYTE>{0x00, 0x4C, 0x00, 0x00, 0x16}, kSelectKeyFile);
BENCHMARK_CAPTURE(CardModel, ReadFilePiece, std::vector<BYTE>{0x00, 0x44, 0x00, 0x01, 0xC9}, kSelectKeyFile);

// The same SELECT through SCardTransmit and the in-process backend.
void ThroughPcsc(benchmark::State& state) {
    kelm::sim::InProcessBackend backend;
    backend.InsertCard("Bench Reader", PreparedCard(1));
    kelm::platform::SetPcscBackend(&backend);
    SCARDCONTEXT context = 0;
    SCARDHANDLE handle = 0;
    DWORD protocol = 0;
    SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
    SCardConnectA(context, "Bench Reader", SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T1, &handle, &protocol);
    BYTE response[300];
    for (auto _ : state) {
        DWORD length = sizeof response;
        benchmark::DoNotOptimize(SCardTransmit(handle, &g_rgSCardT1Pci, kSelectDirectory.data(),
                                               static_cast<DWORD>(kSelectDirectory.size()), nullptr, response, &length));
    }
    SCardReleaseContext(context);
    kelm::platform::SetPcscBackend(nullptr);
}
BENCHMARK(ThroughPcsc);

// GET CHALLENGE on a card kept in an image file: the image's lock every command, and the file
// read again only when it changed. `changed` touches the file's time before every command, so
// each one reads and parses the image again, as every command did before the image was kept.
void ImageFile(benchmark::State& state, bool changed) {
    char directory[] = "/tmp/kelm-bench-XXXXXX";
    if (mkdtemp(directory) == nullptr) return state.SkipWithError("no temporary directory");
    const std::string path = std::string(directory) + "/card.json";
    kelm::sim::NewCardOptions options;
    std::string error;
    SimCardPtr card = kelm::sim::NewCardImage(path, options, &error);
    for (WORD id : {0x8001, 0x8002}) kelm::sim::PutNewKey(*card, id, &error);  // an image of a used card
    kelm::sim::AddContainer(*card, "bench", 0x8001, 0x8002, &error);
    const std::vector<BYTE> challenge{0x00, 0x86, 0x00, 0x00, 0x08};
    long tick = 0;
    for (auto _ : state) {
        if (changed) {
            const timespec times[2] = {{0, UTIME_OMIT}, {1000000 + ++tick, 0}};
            utimensat(AT_FDCWD, path.c_str(), times, 0);
        }
        benchmark::DoNotOptimize(Exchange(*card, challenge));
    }
    card.reset();
    std::filesystem::remove_all(directory);
}
BENCHMARK_CAPTURE(ImageFile, Unchanged, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(ImageFile, ChangedEveryCommand, true)->Unit(benchmark::kMicrosecond);

void RsaPrivate(benchmark::State& state) {
    int type = state.range(0) == 2048 ? 6 : 1;
    SimCardPtr card = PreparedCard(type);
    Exchange(*card, {0x00, 0x20, 0x01, 0x28, 0x10, '1', '2', '3', '4', '5', '6', '7', '8', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    Exchange(*card, kSelectKeyFile);
    std::vector<BYTE> first{0x00, 0x4E, 0x00, static_cast<BYTE>(type == 6 ? 0x01 : 0x00), 0x80};
    first.resize(5 + 128, 0x01);
    std::vector<BYTE> second{0x00, 0x4E, 0x00, 0x00, 0x80};
    second.resize(5 + 128, 0x02);
    for (auto _ : state) {
        auto answer = Exchange(*card, first);
        if (type == 6) answer = Exchange(*card, second);
        if (answer.size() != static_cast<size_t>(state.range(0) / 8 + 2)) state.SkipWithError("RSA operation failed");
        benchmark::DoNotOptimize(answer);
    }
}
BENCHMARK(RsaPrivate)->Arg(1024)->Arg(2048)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
