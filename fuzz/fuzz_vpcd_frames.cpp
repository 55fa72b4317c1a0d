// Arbitrary bytes from the vpcd side of the connection: the bridge must end cleanly at the
// end of the stream (even mid-message), hand the card only complete payloads, and send back
// only well-formed frames.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

#include "sim/vpcd_bridge.h"

namespace {

struct EchoCard : kelm::sim::VpcdCard {
    size_t payload_bytes = 0;
    std::vector<BYTE> Atr() override { return {0x3B, 0x00}; }
    void PowerOn() override {}
    void PowerOff() override {}
    void Reset() override {}
    std::vector<BYTE> Exchange(const BYTE* apdu, size_t length) override {
        payload_bytes += length;
        // Answer the first bytes back, so answers vary in length with the commands.
        std::vector<BYTE> answer(apdu, apdu + (length < 8 ? length : 8));
        if (length % 3 == 0) answer.clear();  // an answer with no status word at all
        return answer;
    }
};

// Random bytes seldom make a frame, so most inputs are read as a list of short frames (a length
// byte, then that many payload bytes, the last one possibly cut short); an input whose first
// byte is odd goes to the bridge as it is.
std::vector<uint8_t> Stream(const uint8_t* data, size_t size) {
    if (size == 0 || (data[0] & 1) != 0) return std::vector<uint8_t>(data + (size > 0 ? 1 : 0), data + size);
    std::vector<uint8_t> stream;
    for (size_t i = 1; i < size;) {
        const size_t length = data[i++] % 12;
        stream.push_back(0);
        stream.push_back(static_cast<uint8_t>(length));
        for (size_t k = 0; k < length && i < size; ++k) stream.push_back(data[i++]);
    }
    return stream;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Small enough that the whole stream goes into the socket in one write.
    if (size > 4096) return 0;
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
    kelm::sim::StopSignal stop;
    std::string error;
    if (!kelm::sim::OpenStopSignal(&stop, &error)) std::abort();
    const std::vector<uint8_t> stream = Stream(data, size);
    if (!stream.empty() && write(fds[1], stream.data(), stream.size()) != static_cast<ssize_t>(stream.size())) {
        std::abort();
    }
    shutdown(fds[1], SHUT_WR);

    // The bridge answers while the stream is still being read, so its answers are drained as
    // they come; it closes its sending side when it is done.
    EchoCard card;
    kelm::sim::VpcdEnd end = kelm::sim::VpcdEnd::kIoError;
    std::thread bridge([&] {
        end = kelm::sim::ServeVpcdConnection(fds[0], card, stop);
        shutdown(fds[0], SHUT_WR);
    });
    std::vector<uint8_t> out;
    uint8_t chunk[4096];
    for (ssize_t n; (n = recv(fds[1], chunk, sizeof chunk, 0)) > 0;) out.insert(out.end(), chunk, chunk + n);
    bridge.join();
    if (end != kelm::sim::VpcdEnd::kPeerClosed) std::abort();
    if (card.payload_bytes > stream.size()) std::abort();

    // Every frame sent back is complete and carries at least a status word or an ATR.
    const size_t got = out.size();
    for (size_t pos = 0; pos < got;) {
        if (got - pos < 2) std::abort();
        const size_t length = (static_cast<size_t>(out[pos]) << 8) | out[pos + 1];
        if (length < 2 || got - pos - 2 < length) std::abort();
        pos += 2 + length;
    }
    close(fds[0]);
    close(fds[1]);
    kelm::sim::CloseStopSignal(&stop);
    return 0;
}
