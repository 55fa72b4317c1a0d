#include "support/run_command.h"

#include <sys/wait.h>

#include <cstdio>

namespace kelm::test {

CommandRun RunCommand(const std::string& command_line) {
    CommandRun run;
    FILE* pipe = popen(command_line.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[1024];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) run.output.append(buffer, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace kelm::test
