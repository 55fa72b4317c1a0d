// pcsc-lite, loaded at run time, behind fixed-width types. pcsc-lite's own headers define DWORD
// and LONG as 64-bit types that clash with the Windows ones, so they stay in pcsc_lite_calls.cpp;
// everything here speaks the Windows widths (codes and flags 32-bit, handles pointer-sized).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelm::platform::pcsclite {

// Each function answers a PC/SC code with the Windows value (SCARD_E_NO_SERVICE when
// libpcsclite.so.1 cannot be loaded).
int32_t EstablishContext(uint32_t scope, uintptr_t* context);
int32_t ReleaseContext(uintptr_t context);
int32_t ListReaders(uintptr_t context, std::vector<std::string>* readers);
int32_t Connect(uintptr_t context, const std::string& reader, uint32_t share_mode, uint32_t preferred_protocols,
                uintptr_t* card, uint32_t* active_protocol);
int32_t Disconnect(uintptr_t card, uint32_t disposition);
// On entry *response_length is the size of `response`; on success, the bytes received.
int32_t Transmit(uintptr_t card, uint32_t protocol, const uint8_t* command, uint32_t command_length,
                 uint8_t* response, uint32_t* response_length);
// The reader's SCARD_STATE_* bits (the same values on both sides) and the card's ATR, asked
// without waiting.
int32_t ReaderState(uintptr_t context, const std::string& reader, uint32_t* state, std::vector<uint8_t>* atr);

// Conversions at the boundary. pcsc-lite on LP64 Linux passes codes as a 64-bit long and flags
// as a 64-bit unsigned long; the Windows values are their low 32 bits. Protocol bits differ for
// the raw protocol only (Windows 0x10000, pcsc-lite 0x4).
int32_t WindowsCode(long lite_code);
unsigned long LiteProtocols(uint32_t windows_protocols);
uint32_t WindowsProtocols(unsigned long lite_protocols);

// Why the library could not be loaded ("" when it was), for diagnostics.
std::string LoadProblem();

}  // namespace kelm::platform::pcsclite
