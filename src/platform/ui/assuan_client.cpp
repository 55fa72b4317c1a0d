// Assuan client over libassuan: the program is started here and handed to libassuan as a
// connected socket; libassuan's system hooks give every read a deadline and every write
// MSG_NOSIGNAL.
#include "platform/ui/assuan_client.h"

#include <assuan.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace kelm::platform {
namespace {

constexpr size_t kMaxLine = 1000;  // the protocol's line limit, newline excluded
constexpr int kReapGraceMs = 500;
// The source libassuan puts on its own errors, so that they are told apart from a peer's ERR.
constexpr gpg_err_source_t kOwnErrors = GPG_ERR_SOURCE_USER_4;

long long NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void PauseUs(long us) {
    timespec wait{us / 1000000, (us % 1000000) * 1000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

// Reads what has come by the peer's deadline; a timeout or end of input marks it broken.
ssize_t ReadBeforeDeadline(assuan_context_t context, assuan_fd_t fd, void* buffer, size_t size) {
    auto* peer = static_cast<AssuanPeer*>(assuan_get_pointer(context));
    for (;;) {
        const long long left = peer->deadline_ms - NowMs();
        pollfd waiting{fd, POLLIN, 0};
        const int ready = left > 0 ? poll(&waiting, 1, static_cast<int>(left)) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            peer->broken = true;
            errno = ETIMEDOUT;
            return -1;
        }
        const ssize_t n = read(fd, buffer, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) peer->broken = true;
        return n;
    }
}

// libassuan takes the whole table; what a connected socket does not need is refused.
assuan_system_hooks MakeHooks() {
    assuan_system_hooks hooks{};
    hooks.version = ASSUAN_SYSTEM_HOOKS_VERSION;
    hooks.usleep = [](assuan_context_t, unsigned int us) { PauseUs(us); };
    hooks.pipe = [](assuan_context_t, assuan_fd_t*, int) { return errno = ENOSYS, -1; };
    hooks.close = [](assuan_context_t, assuan_fd_t fd) { return close(fd); };
    hooks.read = ReadBeforeDeadline;
    hooks.write = [](assuan_context_t, assuan_fd_t fd, const void* buffer, size_t size) {
        return send(fd, buffer, size, MSG_NOSIGNAL);
    };
    hooks.recvmsg = [](assuan_context_t, assuan_fd_t fd, assuan_msghdr_t message, int flags) {
        return static_cast<int>(recvmsg(fd, message, flags));
    };
    hooks.sendmsg = [](assuan_context_t, assuan_fd_t fd, const assuan_msghdr_t message, int flags) {
        return static_cast<int>(sendmsg(fd, message, flags | MSG_NOSIGNAL));
    };
    // The program is started and reaped here, not by libassuan.
    hooks.spawn = [](assuan_context_t, pid_t*, const char*, const char**, assuan_fd_t, assuan_fd_t, assuan_fd_t*,
                     void (*)(void*, int), void*, unsigned int) { return errno = ENOSYS, -1; };
    hooks.waitpid = [](assuan_context_t, pid_t, int, int*, int) -> pid_t { return 0; };
    hooks.socketpair = [](assuan_context_t, int, int, int, assuan_fd_t*) { return errno = ENOSYS, -1; };
    hooks.socket = [](assuan_context_t, int, int, int) { return errno = ENOSYS, -1; };
    hooks.connect = [](assuan_context_t, int, sockaddr*, socklen_t) { return errno = ENOSYS, -1; };
    return hooks;
}

gpg_error_t AppendData(void* data, const void* buffer, size_t length) {
    if (data != nullptr) static_cast<std::string*>(data)->append(static_cast<const char*>(buffer), length);
    return 0;
}

void Kill(AssuanPeer* peer) {
    if (peer->context != nullptr) assuan_release(peer->context);
    peer->context = nullptr;
    if (peer->pid > 0) {
        kill(peer->pid, SIGKILL);
        while (waitpid(peer->pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    peer->pid = -1;
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
    const int failed = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(sockets[1]);
    if (failed == 0) peer->pid = pid;
    if (failed != 0 || assuan_new_ext(&peer->context, kOwnErrors, assuan_get_malloc_hooks(), nullptr, nullptr) != 0) {
        close(sockets[0]);
        Kill(peer);
        return false;
    }
    static assuan_system_hooks hooks = MakeHooks();
    assuan_ctx_set_system_hooks(peer->context, &hooks);
    assuan_set_pointer(peer->context, peer);
    peer->broken = false;
    peer->deadline_ms = NowMs() + timeout_ms;
    // From here the socket is libassuan's; it reads the greeting.
    if (assuan_socket_connect_fd(peer->context, sockets[0], 0) != 0) {
        Kill(peer);
        return false;
    }
    return true;
}

AssuanReply AssuanTransact(AssuanPeer* peer, const std::string& command, int timeout_ms, std::string* data,
                           unsigned long* error) {
    if (peer->context == nullptr) return AssuanReply::Gone;
    peer->deadline_ms = NowMs() + timeout_ms;
    const gpg_error_t rc =
        assuan_transact(peer->context, command.c_str(), AppendData, data, nullptr, nullptr, nullptr, nullptr);
    if (rc == 0) return AssuanReply::Ok;
    if (peer->broken || gpg_err_source(rc) == kOwnErrors) {
        Kill(peer);
        return AssuanReply::Gone;
    }
    if (error != nullptr) *error = rc;
    return AssuanReply::Err;
}

void StopAssuanPeer(AssuanPeer* peer) {
    if (peer->context != nullptr) {
        peer->deadline_ms = NowMs() + kReapGraceMs;
        assuan_release(peer->context);  // says BYE and closes the socket
        peer->context = nullptr;
    }
    for (const long long end = NowMs() + kReapGraceMs; peer->pid > 0 && NowMs() < end; PauseUs(5000)) {
        const pid_t done = waitpid(peer->pid, nullptr, WNOHANG);
        if (done == peer->pid || (done < 0 && errno != EINTR)) peer->pid = -1;
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

}  // namespace kelm::platform
