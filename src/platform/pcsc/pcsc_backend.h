// The PC/SC seam: the Windows-named SCard* functions dispatch to a backend chosen at run time.
// The process's default is named by KELM_PCSC when PC/SC is first used: pcsc-lite (loaded from
// libpcsclite.so.1) unless it says "sim:IMAGE"; tests and tools may plug in another backend,
// such as the in-process card simulator.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "kelm/windows_types.h"
#include "platform/export.h"

namespace kelm::platform {

// A backend speaks Windows semantics with 32-bit DWORDs. Handles are its own opaque values.
class PcscBackend {
public:
    virtual ~PcscBackend() = default;
    virtual LONG EstablishContext(DWORD scope, SCARDCONTEXT* context) = 0;
    virtual LONG ReleaseContext(SCARDCONTEXT context) = 0;
    // Reader names, in order. An error code when the service is unavailable or has no readers.
    virtual LONG ListReaders(SCARDCONTEXT context, std::vector<std::string>* readers) = 0;
    virtual LONG Connect(SCARDCONTEXT context, const std::string& reader, DWORD share_mode,
                         DWORD preferred_protocols, SCARDHANDLE* card, DWORD* active_protocol) = 0;
    virtual LONG Disconnect(SCARDHANDLE card, DWORD disposition) = 0;
    // `protocol` is the send PCI's dwProtocol. On entry *response_length is the buffer size.
    virtual LONG Transmit(SCARDHANDLE card, DWORD protocol, const BYTE* command, DWORD command_length,
                          BYTE* response, DWORD* response_length) = 0;
    // The reader's current state as SCARD_STATE_* bits (at least SCARD_STATE_PRESENT or
    // SCARD_STATE_EMPTY) and the card's ATR when one is present. The default implementation
    // probes with a shared connection, for backends that have no cheaper way to tell.
    virtual LONG ReaderState(SCARDCONTEXT context, const std::string& reader, DWORD* state,
                             std::vector<BYTE>* atr);
};

// Selects the backend for the whole process; nullptr selects the default. Not owned.
KELM_PLATFORM_API void SetPcscBackend(PcscBackend* backend);
KELM_PLATFORM_API PcscBackend* CurrentPcscBackend();

// The process's default backend, chosen once from the environment variable KELM_PCSC:
//   unset, empty or "pcsc-lite"  the system's pcscd through pcsc-lite;
//   "sim:IMAGE"                  the simulated card stored in the file IMAGE, in a reader named
//                                "KELM Simulated Reader", served in-process by the card
//                                simulator's plug-in (libkelmsim.so beside this library).
// Any other value, or an image that cannot be opened, is reported once on stderr, and every
// PC/SC call then answers SCARD_E_NO_SERVICE.
KELM_PLATFORM_API PcscBackend* DefaultPcscBackend();

// What the simulator's plug-in exports: a backend serving the simulated card stored in
// `image`, or null with a message (NUL-terminated, cut to `error_size`) in `error`.
using SimPcscBackendFactory = PcscBackend* (*)(const char* image, char* error, size_t error_size);
constexpr const char* kSimPcscPlugin = "libkelmsim.so";
constexpr const char* kSimPcscFactory = "KelmSimPcscBackend";
constexpr const char* kSimulatedReaderName = "KELM Simulated Reader";
// The pcsc-lite backend (one per process). Without the library or pcscd every call answers
// SCARD_E_NO_SERVICE.
KELM_PLATFORM_API PcscBackend* PcscLiteBackend();

// A short name for a PC/SC or Win32 error code ("SCARD_E_NO_SERVICE"), or "" when unknown.
KELM_PLATFORM_API const char* PcscErrorName(LONG code);

}  // namespace kelm::platform
