// The PC/SC seam: the Windows-named SCard* functions dispatch to a backend chosen at run time.
// The default is pcsc-lite (loaded from libpcsclite.so.1); tests and tools may plug in another,
// such as the in-process card simulator.
#pragma once

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
};

// Selects the backend for the whole process; nullptr selects pcsc-lite. The backend is not owned.
KELM_PLATFORM_API void SetPcscBackend(PcscBackend* backend);
KELM_PLATFORM_API PcscBackend* CurrentPcscBackend();

// A short name for a PC/SC or Win32 error code ("SCARD_E_NO_SERVICE"), or "" when unknown.
KELM_PLATFORM_API const char* PcscErrorName(LONG code);

}  // namespace kelm::platform
