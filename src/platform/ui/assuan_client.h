// The client side of the Assuan protocol, as pinentry programs speak it: the program runs as
// a child process with a socket on its standard input and output; each request is one line,
// each answer a run of "D <data>" / "S ..." / "# ..." lines closed by "OK" or "ERR <code>".
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace kelm::platform {

struct AssuanPeer {
    pid_t pid = -1;
    int fd = -1;
    std::string pending;  // bytes read past the last complete line
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

// Says BYE, closes the socket and reaps the program (killing it if it lingers).
void StopAssuanPeer(AssuanPeer* peer);

// "COMMAND <escaped argument>": '%', CR, LF and other control bytes are percent-escaped, and
// the argument is cut (at a character boundary) so that the line stays within the protocol's
// 1000 bytes.
std::string AssuanCommand(std::string_view command, std::string_view argument);

// Decodes %XX escapes into `*out`. False on a malformed escape.
bool AssuanUnescape(std::string_view text, std::string* out);

}  // namespace kelm::platform
