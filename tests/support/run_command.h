// Runs a shell command line from a test and collects what it printed and how it ended.
#pragma once
#include <string>

namespace kelm::test {

struct CommandRun {
    int status = -1;     // the exit status; -1 when the command could not start or did not exit
    std::string output;  // what it wrote to standard output (the command line decides about stderr)
};

CommandRun RunCommand(const std::string& command_line);

}  // namespace kelm::test
