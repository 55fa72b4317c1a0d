// The client side of the Assuan protocol, as pinentry programs speak it, through libassuan: the
// program runs as a child process with a socket on its standard input and output; each request
// is one line, each answer a run of "D <data>" / "S ..." / "# ..." lines closed by "OK" or
// "ERR <code>". What libassuan leaves to its caller is done here: starting the program, a
// deadline on every answer, and writes that cannot raise SIGPIPE in the host.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

struct assuan_context_s;

namespace kelm::platform {

struct AssuanPeer {
    pid_t pid = -1;
    assuan_context_s* context = nullptr;
    long long deadline_ms = 0;  // when the answer being read is overdue
    bool broken = false;        // the program went away, or did not answer in time
};

enum class AssuanReply { Ok, Err, Gone };

// Starts `program` (a path, or a name looked up in PATH) and reads its greeting.
// False when it cannot be started or does not greet within `timeout_ms`; the peer is stopped.
bool StartAssuanPeer(const std::string& program, int timeout_ms, AssuanPeer* peer);

// Sends `command` and reads the answer. The data lines are decoded and appended to `*data`
// (when given), `*error` gets the code of an ERR. Gone: the program died, broke the protocol
// or did not answer within `timeout_ms`; the peer is then stopped.
AssuanReply AssuanTransact(AssuanPeer* peer, const std::string& command, int timeout_ms, std::string* data,
                           unsigned long* error);

// Says BYE, closes the socket (libassuan wipes its line buffers) and reaps the program
// (killing it if it lingers).
void StopAssuanPeer(AssuanPeer* peer);

// "COMMAND <escaped argument>": '%', CR, LF and other control bytes are percent-escaped, and
// the argument is cut (at a character boundary) so that the line stays within the protocol's
// 1000 bytes.
std::string AssuanCommand(std::string_view command, std::string_view argument);

}  // namespace kelm::platform
