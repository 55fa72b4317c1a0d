// The card simulator as a plug-in of the platform's PC/SC (libkelmsim.so): with
// KELM_PCSC=sim:IMAGE, any program that loads the provider talks to the card stored in IMAGE,
// in one reader, with no pcscd.
#include <cstdio>
#include <string>

#include "platform/pcsc/pcsc_backend.h"
#include "sim/inprocess_backend.h"

extern "C" __attribute__((visibility("default"))) kelm::platform::PcscBackend* KelmSimPcscBackend(
    const char* image, char* error, size_t error_size) {
    std::string problem;
    kelm::sim::SimCardPtr card = kelm::sim::OpenCardImage(image != nullptr ? image : "", &problem);
    if (!card) {
        if (error != nullptr && error_size > 0) std::snprintf(error, error_size, "%s", problem.c_str());
        return nullptr;
    }
    // Serves for the rest of the process: the platform keeps using it until the end.
    auto* backend = new kelm::sim::InProcessBackend;
    backend->AddReader(kelm::platform::kSimulatedReaderName);
    backend->InsertCard(kelm::platform::kSimulatedReaderName, std::move(card));
    return backend;
}
