// vpcd framing over a TCP client socket, and the reconnecting loop around it.
#include "sim/vpcd_bridge.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kelm::sim {
namespace {

// Once a message has begun, the rest must follow within this time; a peer that stalls half-way
// is treated as a broken connection rather than holding the slot forever.
constexpr int kMidMessageTimeoutMs = 5000;
constexpr int kConnectTimeoutMs = 5000;

// What a card must never exceed on the wire: the length field is two bytes.
constexpr size_t kMaxPayload = 0xFFFF;

// The answer to a command that the card could not answer at all (technical problem).
constexpr BYTE kNoPreciseDiagnosis[] = {0x6F, 0x00};

enum class Wait { kReady, kTimeout, kStopped, kError };

// Waits until `fd` is readable (or, with `fd` = -1, only for the stop signal or the timeout).
Wait WaitReadable(int fd, const StopSignal& stop, int timeout_ms, short events = POLLIN) {
    pollfd fds[2] = {{stop.read_fd, POLLIN, 0}, {fd, events, 0}};
    const nfds_t count = fd >= 0 ? 2 : 1;
    for (;;) {
        int n = poll(fds, count, timeout_ms);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Wait::kError;
        if (n == 0) return Wait::kTimeout;
        if (fds[0].revents != 0) return Wait::kStopped;
        return Wait::kReady;  // readable, or hung up: the read that follows tells which
    }
}

enum class Read { kOk, kClosed, kStopped, kError };

Read ReadExact(int fd, BYTE* buffer, size_t length, const StopSignal& stop, bool wait_forever_for_first) {
    size_t done = 0;
    while (done < length) {
        const int timeout = done == 0 && wait_forever_for_first ? -1 : kMidMessageTimeoutMs;
        switch (WaitReadable(fd, stop, timeout)) {
            case Wait::kStopped: return Read::kStopped;
            case Wait::kTimeout:
            case Wait::kError: return Read::kError;
            case Wait::kReady: break;
        }
        ssize_t n = recv(fd, buffer + done, length - done, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n < 0) return errno == ECONNRESET ? Read::kClosed : Read::kError;
        if (n == 0) return Read::kClosed;
        done += static_cast<size_t>(n);
    }
    return Read::kOk;
}

// Reads one message: kOk with the payload, or why there is none.
Read ReadMessage(int fd, std::vector<BYTE>* payload, const StopSignal& stop) {
    BYTE header[2];
    Read r = ReadExact(fd, header, sizeof header, stop, true);
    if (r != Read::kOk) return r;
    const size_t length = (static_cast<size_t>(header[0]) << 8) | header[1];
    payload->assign(length, 0);
    if (length == 0) return Read::kOk;
    return ReadExact(fd, payload->data(), length, stop, false);
}

// Sends one message (header and payload in one write, so vpcd never waits on half of it).
Read SendMessage(int fd, const BYTE* payload, size_t length) {
    if (length > kMaxPayload) {
        payload = kNoPreciseDiagnosis;
        length = sizeof kNoPreciseDiagnosis;
    }
    std::vector<BYTE> frame(length + 2);
    frame[0] = static_cast<BYTE>(length >> 8);
    frame[1] = static_cast<BYTE>(length & 0xFF);
    if (length > 0) std::memcpy(frame.data() + 2, payload, length);
    size_t done = 0;
    while (done < frame.size()) {
        ssize_t n = send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno == EPIPE || errno == ECONNRESET ? Read::kClosed : Read::kError;
        done += static_cast<size_t>(n);
    }
    return Read::kOk;
}

VpcdEnd EndOf(Read r) {
    switch (r) {
        case Read::kClosed: return VpcdEnd::kPeerClosed;
        case Read::kStopped: return VpcdEnd::kStopped;
        default: return VpcdEnd::kIoError;
    }
}

// Connects to host:port without blocking past the stop signal or the connect timeout.
// Returns the socket or -1 with a reason in *error.
int ConnectTo(const std::string& host, uint16_t port, const StopSignal& stop, std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    const std::string service = std::to_string(port);
    int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &addresses);
    if (rc != 0) {
        *error = std::string("cannot resolve ") + host + ": " + gai_strerror(rc);
        return -1;
    }
    int result = -1;
    for (addrinfo* a = addresses; a != nullptr && result < 0; a = a->ai_next) {
        int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) {
            *error = std::strerror(errno);
            continue;
        }
        if (connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
            *error = std::strerror(errno);
            close(fd);
            continue;
        }
        Wait w = WaitReadable(fd, stop, kConnectTimeoutMs, POLLOUT);
        int so_error = 0;
        socklen_t so_length = sizeof so_error;
        if (w == Wait::kReady && getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &so_length) == 0 && so_error == 0) {
            // Blocking from here on: every read is preceded by a poll that also watches the stop signal.
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            result = fd;
            break;
        }
        *error = w == Wait::kStopped   ? "stopped"
                 : w == Wait::kTimeout ? "timed out"
                 : so_error != 0       ? std::strerror(so_error)
                                       : "connection failed";
        close(fd);
    }
    freeaddrinfo(addresses);
    return result;
}

std::string Endpoint(const VpcdSlot& slot) { return slot.host + ":" + std::to_string(slot.port); }

std::string Prefix(const VpcdSlot& slot) {
    return slot.label.empty() ? "vpcd " + Endpoint(slot) + ": " : slot.label + ": ";
}

VpcdEnd Serve(int fd, VpcdCard& card, const StopSignal& stop, size_t* messages) {
    std::vector<BYTE> payload;
    for (;;) {
        Read r = ReadMessage(fd, &payload, stop);
        if (r != Read::kOk) return EndOf(r);
        ++*messages;
        if (payload.empty()) continue;  // nothing asked, nothing to answer
        if (payload.size() == 1) {
            switch (payload[0]) {
                case kVpcdPowerOff: card.PowerOff(); break;
                case kVpcdPowerOn: card.PowerOn(); break;
                case kVpcdReset: card.Reset(); break;
                case kVpcdAtrRequest: {
                    const std::vector<BYTE> atr = card.Atr();
                    r = SendMessage(fd, atr.data(), atr.size());
                    if (r != Read::kOk) return EndOf(r);
                    break;
                }
                default: break;  // a control this card does not know: vpcd expects no answer
            }
            continue;
        }
        std::vector<BYTE> response = card.Exchange(payload.data(), payload.size());
        if (response.size() < 2) response.assign(std::begin(kNoPreciseDiagnosis), std::end(kNoPreciseDiagnosis));
        r = SendMessage(fd, response.data(), response.size());
        if (r != Read::kOk) return EndOf(r);
    }
}

}  // namespace

bool OpenStopSignal(StopSignal* stop, std::string* error) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = std::string("cannot create the stop pipe: ") + std::strerror(errno);
        return false;
    }
    stop->read_fd = fds[0];
    stop->write_fd = fds[1];
    return true;
}

void RaiseStop(const StopSignal& stop) {
    const char byte = 1;
    // The pipe only has to become readable; a full pipe is already readable, so a failed write is fine.
    ssize_t ignored = write(stop.write_fd, &byte, 1);
    (void)ignored;
}

bool StopRaised(const StopSignal& stop) {
    pollfd p{stop.read_fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

void CloseStopSignal(StopSignal* stop) {
    if (stop->read_fd >= 0) close(stop->read_fd);
    if (stop->write_fd >= 0) close(stop->write_fd);
    stop->read_fd = stop->write_fd = -1;
}

VpcdEnd ServeVpcdConnection(int fd, VpcdCard& card, const StopSignal& stop) {
    size_t messages = 0;
    return Serve(fd, card, stop, &messages);
}

void RunVpcdSlot(const VpcdSlot& slot, VpcdCard& card, const StopSignal& stop,
                 const std::function<void(const std::string&)>& log, const VpcdBackoff& backoff) {
    int wait_ms = 0;
    bool waiting_reported = false;
    while (!StopRaised(stop)) {
        std::string error;
        int fd = ConnectTo(slot.host, slot.port, stop, &error);
        size_t messages = 0;
        if (fd >= 0) {
            waiting_reported = false;
            log(Prefix(slot) + "connected to vpcd at " + Endpoint(slot));
            VpcdEnd end = Serve(fd, card, stop, &messages);
            close(fd);
            // The reader lost its card with the connection: whatever was verified is gone.
            card.PowerOff();
            if (end == VpcdEnd::kStopped) {
                log(Prefix(slot) + "stopping");
                return;
            }
            log(Prefix(slot) + (end == VpcdEnd::kPeerClosed ? "vpcd closed the connection"
                                                             : "connection to vpcd failed"));
            if (messages > 0) {
                wait_ms = 0;  // a working session ended (pcscd restarted): try again at once
                continue;
            }
        } else if (StopRaised(stop)) {
            break;
        } else if (!waiting_reported) {
            log(Prefix(slot) + "waiting for vpcd at " + Endpoint(slot) + " (" + error + ")");
            waiting_reported = true;
        }
        wait_ms = wait_ms == 0 ? backoff.first_ms : std::min(wait_ms * 2, backoff.max_ms);
        if (WaitReadable(-1, stop, wait_ms) == Wait::kStopped) break;
    }
    log(Prefix(slot) + "stopping");
}

}  // namespace kelm::sim
