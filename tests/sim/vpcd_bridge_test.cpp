// The vpcd bridge against a scripted card: framing, controls, a peer that vanishes mid-message,
// the stop signal, and reconnection after the driver's side goes away.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/vpcd_bridge.h"

namespace kelm::sim {
namespace {

struct ScriptedCard : VpcdCard {
    std::mutex mutex;
    std::vector<std::string> events;

    void Note(const std::string& event) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(event);
    }
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
    std::vector<BYTE> Atr() override { return {0x3B, 0x80, 0x80, 0x01, 0x01}; }
    void PowerOn() override { Note("on"); }
    void PowerOff() override { Note("off"); }
    void Reset() override { Note("reset"); }
    std::vector<BYTE> Exchange(const BYTE* apdu, size_t length) override {
        Note("apdu " + std::to_string(length));
        if (length > 1 && apdu[1] == 0xB0) return {0x01};  // a broken answer: no status word
        return {0x90, 0x00};
    }
};

std::vector<BYTE> Frame(const std::vector<BYTE>& payload) {
    std::vector<BYTE> frame(2 + payload.size());
    frame[0] = static_cast<BYTE>(payload.size() >> 8), frame[1] = static_cast<BYTE>(payload.size());
    std::copy(payload.begin(), payload.end(), frame.begin() + 2);
    return frame;
}

void SendAll(int fd, const std::vector<BYTE>& bytes) {
    ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

// Reads one framed answer, or returns false when none arrives within a second.
bool ReadFrame(int fd, std::vector<BYTE>* payload) {
    std::vector<BYTE> buffer;
    for (;;) {
        if (buffer.size() >= 2) {
            const size_t length = (static_cast<size_t>(buffer[0]) << 8) | buffer[1];
            if (buffer.size() >= 2 + length) {
                payload->assign(buffer.begin() + 2, buffer.begin() + 2 + static_cast<long>(length));
                return true;
            }
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) return false;
        BYTE chunk[512];
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        buffer.insert(buffer.end(), chunk, chunk + n);
    }
}

class VpcdBridge : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(OpenStopSignal(&stop, &error)) << error;
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    }
    void TearDown() override {
        if (fds[0] >= 0) close(fds[0]);
        if (fds[1] >= 0) close(fds[1]);
        CloseStopSignal(&stop);
    }
    StopSignal stop;
    int fds[2] = {-1, -1};  // [0] the bridge's end, [1] the driver's end
    ScriptedCard card;
};

TEST_F(VpcdBridge, FramesReachTheCardAndOnlyAtrRequestsAndCommandsAreAnswered) {
    std::thread bridge([&] { EXPECT_EQ(ServeVpcdConnection(fds[0], card, stop), VpcdEnd::kPeerClosed); });
    SendAll(fds[1], Frame({kVpcdPowerOn}));
    SendAll(fds[1], Frame({kVpcdReset}));
    SendAll(fds[1], Frame({0x07}));  // a control the card does not know
    pollfd nothing{fds[1], POLLIN, 0};
    EXPECT_EQ(poll(&nothing, 1, 100), 0) << "controls other than the ATR request are not answered";
    SendAll(fds[1], Frame({kVpcdAtrRequest}));
    std::vector<BYTE> answer;
    ASSERT_TRUE(ReadFrame(fds[1], &answer));
    EXPECT_EQ(answer, (std::vector<BYTE>{0x3B, 0x80, 0x80, 0x01, 0x01}));
    SendAll(fds[1], Frame({kVpcdPowerOff}));

    // A command APDU, sent in two pieces as TCP may deliver it.
    const std::vector<BYTE> frame = Frame({0x00, 0xA4, 0x04, 0x00, 0x02, 0xAA, 0xBB});
    SendAll(fds[1], std::vector<BYTE>(frame.begin(), frame.begin() + 3));
    SendAll(fds[1], std::vector<BYTE>(frame.begin() + 3, frame.end()));
    ASSERT_TRUE(ReadFrame(fds[1], &answer));
    EXPECT_EQ(answer, (std::vector<BYTE>{0x90, 0x00}));
    // An answer without a status word reaches the driver as a technical error.
    SendAll(fds[1], Frame({0x00, 0xB0, 0x00, 0x00}));
    ASSERT_TRUE(ReadFrame(fds[1], &answer));
    EXPECT_EQ(answer, (std::vector<BYTE>{0x6F, 0x00}));

    close(fds[1]);
    fds[1] = -1;
    bridge.join();
    EXPECT_EQ(card.Events(), (std::vector<std::string>{"on", "reset", "off", "apdu 7", "apdu 4"}));
}

TEST_F(VpcdBridge, APeerClosingMidMessageOrTheStopSignalEndsTheConnectionQuietly) {
    std::thread bridge([&] { EXPECT_EQ(ServeVpcdConnection(fds[0], card, stop), VpcdEnd::kPeerClosed); });
    SendAll(fds[1], {0x00, 0x0A, 0x00, 0xA4, 0x04});  // 10 bytes announced, 3 sent
    close(fds[1]);
    fds[1] = -1;
    bridge.join();
    EXPECT_TRUE(card.Events().empty());  // a half message never reaches the card

    close(fds[0]);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    std::thread waiting([&] { EXPECT_EQ(ServeVpcdConnection(fds[0], card, stop), VpcdEnd::kStopped); });
    RaiseStop(stop);
    waiting.join();
    EXPECT_TRUE(StopRaised(stop));
}

// A stand-in for the driver: a listening socket on a free local port.
struct Listener {
    int fd = -1;
    uint16_t port = 0;
    Listener() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(fd, 4);
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~Listener() { close(fd); }
    int Accept() {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) return -1;
        return accept(fd, nullptr, nullptr);
    }
};

TEST_F(VpcdBridge, TheSlotReconnectsWhenTheDriverGoesAwayAndStopsOnRequest) {
    Listener driver;
    std::mutex log_mutex;
    std::vector<std::string> log;
    VpcdSlot slot;
    slot.port = driver.port;
    slot.label = "card";
    std::thread runner([&] {
        RunVpcdSlot(slot, card, stop, [&](const std::string& line) {
            std::lock_guard<std::mutex> lock(log_mutex);
            log.push_back(line);
        }, VpcdBackoff{10, 50});
    });

    for (int round = 0; round < 2; ++round) {
        const int peer = driver.Accept();
        ASSERT_GE(peer, 0) << "round " << round;
        SendAll(peer, Frame({kVpcdAtrRequest}));
        std::vector<BYTE> answer;
        EXPECT_TRUE(ReadFrame(peer, &answer));
        EXPECT_EQ(answer.size(), 5u);
        close(peer);  // as when pcscd restarts
    }
    const int peer = driver.Accept();
    ASSERT_GE(peer, 0);
    SendAll(peer, Frame({kVpcdAtrRequest}));  // served: the bridge is past connecting
    std::vector<BYTE> answer;
    EXPECT_TRUE(ReadFrame(peer, &answer));
    RaiseStop(stop);
    runner.join();
    close(peer);

    std::lock_guard<std::mutex> lock(log_mutex);
    int connects = 0;
    for (const std::string& line : log) connects += line.find("connected to vpcd") != std::string::npos;
    EXPECT_EQ(connects, 3);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "card: stopping");
    // Losing the connection powers the card off, so no verified PIN survives a reconnection.
    int power_offs = 0;
    for (const std::string& event : card.Events()) power_offs += event == "off";
    EXPECT_GE(power_offs, 2);
}

}  // namespace
}  // namespace kelm::sim
