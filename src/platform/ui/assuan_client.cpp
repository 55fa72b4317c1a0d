// Assuan client: spawning the peer, line exchange with timeouts, percent escaping.
#include "platform/ui/assuan_client.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/ui/ui_responders.h"

extern char** environ;

namespace kelm::platform {
namespace {

constexpr size_t kMaxLine = 1000;  // the protocol's line limit, newline excluded
constexpr int kReapGraceMs = 500;

long long NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void PauseMs(long ms) {
    timespec wait{0, ms * 1000000L};
    nanosleep(&wait, nullptr);
}

bool SendAll(AssuanPeer* peer, const std::string& line) {
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = send(peer->fd, line.data() + done, line.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads one line (without its newline) into `*line`. False on end of input, a read error, a
// line over the protocol's limit, or no complete line before `deadline`.
bool ReadLine(AssuanPeer* peer, long long deadline, std::string* line) {
    for (;;) {
        size_t newline = peer->pending.find('\n');
        if (newline != std::string::npos) {
            if (newline > kMaxLine) return false;
            WipeString(*line);
            line->assign(peer->pending, 0, newline);
            // Shift the rest down in place so that no copy of a PIN is left behind unwiped.
            std::string& pending = peer->pending;
            size_t rest = pending.size() - newline - 1;
            std::copy(pending.begin() + static_cast<long>(newline) + 1, pending.end(), pending.begin());
            std::fill(pending.begin() + static_cast<long>(rest), pending.end(), '\0');
            pending.resize(rest);
            return true;
        }
        if (peer->pending.size() > kMaxLine) return false;
        long long left = deadline - NowMs();
        if (left <= 0) return false;
        pollfd waiting{peer->fd, POLLIN, 0};
        int ready = poll(&waiting, 1, static_cast<int>(left > 60000 ? 60000 : left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return false;
        if (ready == 0) continue;
        char chunk[512];
        ssize_t n = recv(peer->fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (peer->pending.capacity() < 2 * kMaxLine) peer->pending.reserve(2 * kMaxLine + sizeof chunk);
        peer->pending.append(chunk, static_cast<size_t>(n));
        volatile char* scrub = chunk;
        for (size_t i = 0; i < sizeof chunk; ++i) scrub[i] = 0;
    }
}

void Kill(AssuanPeer* peer) {
    if (peer->fd >= 0) close(peer->fd);
    peer->fd = -1;
    if (peer->pid > 0) {
        kill(peer->pid, SIGKILL);
        while (waitpid(peer->pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    peer->pid = -1;
    WipeString(peer->pending);
}

}  // namespace

bool StartAssuanPeer(const std::string& program, int timeout_ms, AssuanPeer* peer) {
    int sockets[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // dup2 clears close-on-exec on the copies, so the child keeps exactly its stdin and stdout.
    posix_spawn_file_actions_adddup2(&actions, sockets[1], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, sockets[1], STDOUT_FILENO);
    // Nothing else of the host (card connections, registry locks) is handed to the program.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    pid_t pid = -1;
    int failed = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(sockets[1]);
    if (failed != 0) {
        close(sockets[0]);
        return false;
    }
    peer->pid = pid;
    peer->fd = sockets[0];
    std::string greeting;
    if (!ReadLine(peer, NowMs() + timeout_ms, &greeting) || greeting.rfind("OK", 0) != 0) {
        Kill(peer);
        return false;
    }
    return true;
}

AssuanReply AssuanTransact(AssuanPeer* peer, const std::string& command, int timeout_ms, std::string* data,
                           unsigned long* error) {
    if (peer->fd < 0 || !SendAll(peer, command + "\n")) {
        Kill(peer);
        return AssuanReply::Gone;
    }
    long long deadline = NowMs() + timeout_ms;
    std::string line;
    line.reserve(kMaxLine + 1);
    for (;;) {
        if (!ReadLine(peer, deadline, &line)) {
            WipeString(line);
            Kill(peer);
            return AssuanReply::Gone;
        }
        if (line == "OK" || line.rfind("OK ", 0) == 0) {
            WipeString(line);
            return AssuanReply::Ok;
        }
        if (line.rfind("ERR", 0) == 0) {
            if (error != nullptr) *error = std::strtoul(line.c_str() + 3, nullptr, 10);
            WipeString(line);
            return AssuanReply::Err;
        }
        if (line.rfind("D ", 0) == 0) {
            if (data != nullptr && !AssuanUnescape(std::string_view(line).substr(2), data)) {
                WipeString(line);
                Kill(peer);
                return AssuanReply::Gone;
            }
        } else if (line.rfind("INQUIRE", 0) == 0) {
            // Nothing is ever inquired of a pinentry's client; decline.
            if (!SendAll(peer, "CAN\n")) {
                Kill(peer);
                return AssuanReply::Gone;
            }
        }
        // "S ..." status lines and "#" comments carry nothing for us.
    }
}

void StopAssuanPeer(AssuanPeer* peer) {
    if (peer->pid <= 0) return;
    if (peer->fd >= 0) SendAll(peer, "BYE\n");
    if (peer->fd >= 0) close(peer->fd);
    peer->fd = -1;
    for (long long end = NowMs() + kReapGraceMs; NowMs() < end; PauseMs(5)) {
        pid_t done = waitpid(peer->pid, nullptr, WNOHANG);
        if (done == peer->pid || (done < 0 && errno != EINTR)) {
            peer->pid = -1;
            WipeString(peer->pending);
            return;
        }
    }
    Kill(peer);
}

std::string AssuanCommand(std::string_view command, std::string_view argument) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string line(command);
    if (argument.empty()) return line;
    line.push_back(' ');
    for (size_t i = 0; i < argument.size();) {
        // One character (a whole UTF-8 sequence) at a time, so a cut never splits one.
        size_t length = 1;
        while (i + length < argument.size() && (static_cast<unsigned char>(argument[i + length]) & 0xC0) == 0x80) {
            ++length;
        }
        std::string piece;
        for (size_t k = i; k < i + length; ++k) {
            auto byte = static_cast<unsigned char>(argument[k]);
            if (byte == '%' || byte < 0x20 || byte == 0x7F) {
                piece += '%';
                piece += kHex[byte >> 4];
                piece += kHex[byte & 0x0F];
            } else {
                piece += static_cast<char>(byte);
            }
        }
        if (line.size() + piece.size() > kMaxLine) break;
        line += piece;
        i += length;
    }
    return line;
}

bool AssuanUnescape(std::string_view text, std::string* out) {
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out->push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) return false;
        int high = digit(text[i + 1]);
        int low = digit(text[i + 2]);
        if (high < 0 || low < 0) return false;
        out->push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return true;
}

}  // namespace kelm::platform
