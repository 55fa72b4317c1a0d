// Runs a shell command line from a test and collects what it printed and how it ended.
#pragma once
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace kelm::test {

struct CommandRun {
    int status = -1;     // the exit status; -1 when the command could not start or did not exit
    std::string output;  // what it wrote to standard output (the command line decides about stderr)
};

inline CommandRun RunCommand(const std::string& command_line) {
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
