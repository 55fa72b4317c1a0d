// The process's default PC/SC backend, named by KELM_PCSC: pcsc-lite, or the simulated card of
// an image file served by the card simulator's plug-in, so that any program that loads the
// provider can use the simulated card without pcscd. The provider itself reads no environment:
// this is the platform's business, as choosing a reader driver is on Windows.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/pcsc/pcsc_backend.h"

namespace kelm::platform {
namespace {

constexpr const char* kVariable = "KELM_PCSC";
constexpr const char* kSimPrefix = "sim:";

// Stands in when the configured backend cannot be had: nothing is there, as with no service.
class NoService final : public PcscBackend {
public:
    LONG EstablishContext(DWORD, SCARDCONTEXT*) override { return SCARD_E_NO_SERVICE; }
    LONG ReleaseContext(SCARDCONTEXT) override { return SCARD_E_NO_SERVICE; }
    LONG ListReaders(SCARDCONTEXT, std::vector<std::string>*) override { return SCARD_E_NO_SERVICE; }
    LONG Connect(SCARDCONTEXT, const std::string&, DWORD, DWORD, SCARDHANDLE*, DWORD*) override {
        return SCARD_E_NO_SERVICE;
    }
    LONG Disconnect(SCARDHANDLE, DWORD) override { return SCARD_E_NO_SERVICE; }
    LONG Transmit(SCARDHANDLE, DWORD, const BYTE*, DWORD, BYTE*, DWORD*) override { return SCARD_E_NO_SERVICE; }
};

// The plug-in lives beside this library; failing that, wherever the loader finds it.
void* LoadSimPlugin(std::string* problem) {
    Dl_info self{};
    std::string path = kSimPcscPlugin;
    if (dladdr(reinterpret_cast<void*>(&DefaultPcscBackend), &self) != 0 && self.dli_fname != nullptr) {
        const std::string library = self.dli_fname;
        const size_t slash = library.rfind('/');
        if (slash != std::string::npos) path = library.substr(0, slash + 1) + kSimPcscPlugin;
    }
    void* plugin = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (plugin == nullptr && path != kSimPcscPlugin) plugin = dlopen(kSimPcscPlugin, RTLD_NOW | RTLD_LOCAL);
    if (plugin == nullptr) {
        const char* reason = dlerror();
        *problem = std::string("cannot load the card simulator (") + (reason != nullptr ? reason : path) + ")";
    }
    return plugin;
}

PcscBackend* SimulatedCard(const std::string& image, std::string* problem) {
    if (image.empty()) {
        *problem = "no card image named (sim:IMAGE)";
        return nullptr;
    }
    // Kept for the life of the process, as the backend it makes is.
    void* plugin = LoadSimPlugin(problem);
    if (plugin == nullptr) return nullptr;
    auto factory = reinterpret_cast<SimPcscBackendFactory>(dlsym(plugin, kSimPcscFactory));
    if (factory == nullptr) {
        *problem = std::string("the card simulator has no ") + kSimPcscFactory;
        return nullptr;
    }
    char error[512] = {};
    PcscBackend* backend = factory(image.c_str(), error, sizeof error);
    if (backend == nullptr) *problem = error;
    return backend;
}

PcscBackend* ChooseBackend() {
    const char* value = std::getenv(kVariable);
    const std::string chosen = value != nullptr ? value : "";
    if (chosen.empty() || chosen == "pcsc-lite") return PcscLiteBackend();
    std::string problem;
    PcscBackend* backend = nullptr;
    if (chosen.rfind(kSimPrefix, 0) == 0) {
        backend = SimulatedCard(chosen.substr(std::char_traits<char>::length(kSimPrefix)), &problem);
    } else {
        problem = "unknown value (use pcsc-lite or sim:IMAGE)";
    }
    if (backend != nullptr) return backend;
    std::fprintf(stderr, "kelm: %s=%s: %s; no smart-card service\n", kVariable, chosen.c_str(), problem.c_str());
    static NoService none;
    return &none;
}

}  // namespace

PcscBackend* DefaultPcscBackend() {
    static std::once_flag once;
    static PcscBackend* backend = nullptr;
    std::call_once(once, [] { backend = ChooseBackend(); });
    return backend;
}

}  // namespace kelm::platform
