// The bridge between a simulated card and pcscd's vpcd virtual reader driver. vpcd listens on
// TCP (127.0.0.1:35963 for its first reader, the next port for its second); the simulator
// connects as a client. Each message either way is a two-byte big-endian length and a payload.
// A one-byte payload from vpcd is a control (power off, power on, reset, ATR request, the last
// answered with the ATR); any longer payload is a command APDU answered with the response APDU.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kelm/windows_types.h"

namespace kelm::sim {

constexpr BYTE kVpcdPowerOff = 0;
constexpr BYTE kVpcdPowerOn = 1;
constexpr BYTE kVpcdReset = 2;
constexpr BYTE kVpcdAtrRequest = 4;

constexpr uint16_t kVpcdDefaultPort = 35963;

// The card behind one vpcd reader slot.
class VpcdCard {
public:
    virtual ~VpcdCard() = default;
    virtual std::vector<BYTE> Atr() = 0;
    virtual void PowerOn() = 0;
    virtual void PowerOff() = 0;
    virtual void Reset() = 0;
    // The response APDU (data, SW1, SW2) to one command APDU.
    virtual std::vector<BYTE> Exchange(const BYTE* apdu, size_t length) = 0;
};

// A flag that wakes every bridge loop waiting on it: a pipe whose read end becomes readable
// once raised. Raising is async-signal-safe, so a signal handler may do it.
struct StopSignal {
    int read_fd = -1;
    int write_fd = -1;
};
bool OpenStopSignal(StopSignal* stop, std::string* error);
void RaiseStop(const StopSignal& stop);
bool StopRaised(const StopSignal& stop);
void CloseStopSignal(StopSignal* stop);

enum class VpcdEnd {
    kPeerClosed,  // vpcd closed the connection (also in the middle of a message)
    kStopped,     // the stop signal was raised
    kIoError,     // the socket failed, or a message stalled half-way
};

// Serves vpcd's messages on the connected socket `fd` until one of the ends above. The socket
// stays open; the caller closes it.
VpcdEnd ServeVpcdConnection(int fd, VpcdCard& card, const StopSignal& stop);

struct VpcdSlot {
    std::string host = "127.0.0.1";
    uint16_t port = kVpcdDefaultPort;
    std::string label;  // names the slot in log lines, e.g. the card image
};

struct VpcdBackoff {
    int first_ms = 100;  // wait after the first failed connection attempt
    int max_ms = 2000;   // the wait doubles up to this bound
};

// Connects to vpcd and serves the card, reconnecting whenever the connection ends (pcscd
// restarted, or not started yet) until the stop signal is raised. `log` receives one line per
// connection event.
void RunVpcdSlot(const VpcdSlot& slot, VpcdCard& card, const StopSignal& stop,
                 const std::function<void(const std::string&)>& log, const VpcdBackoff& backoff = {});

}  // namespace kelm::sim
