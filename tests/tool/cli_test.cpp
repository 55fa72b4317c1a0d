// kelm-tool's command-line conventions: --help everywhere, exit statuses 0/1/2, errors on
// stderr, the provider's texts in each language.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

Outcome RunTool(const std::string& arguments) {
    char err_path[] = "/tmp/kelm-tool-stderr-XXXXXX";
    int err_fd = mkstemp(err_path);
    Outcome outcome;
    if (err_fd < 0) return outcome;
    close(err_fd);
    std::string command = "'" + std::string(KELM_TOOL_PATH) + "' " + arguments + " 2>'" + err_path + "' </dev/null";
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[1024];
        while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) outcome.out.append(buffer, n);
        int status = pclose(pipe);
        outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (FILE* err = std::fopen(err_path, "r")) {
        char buffer[1024];
        while (size_t n = fread(buffer, 1, sizeof buffer, err)) outcome.err.append(buffer, n);
        std::fclose(err);
    }
    unlink(err_path);
    return outcome;
}

// The subcommands that the top-level help lists ("  name  summary" lines under "Commands:").
std::vector<std::string> ListedCommands(const std::string& help) {
    std::vector<std::string> commands;
    std::istringstream lines(help);
    bool in_list = false;
    for (std::string line; std::getline(lines, line);) {
        if (line == "Commands:") {
            in_list = true;
            continue;
        }
        if (!in_list) continue;
        if (line.empty()) break;
        size_t start = line.find_first_not_of(' ');
        size_t end = line.find("  ", start);
        if (start != std::string::npos) commands.push_back(line.substr(start, end - start));
    }
    return commands;
}

TEST(CliTest, HelpAndVersionSucceedOnStdout) {
    Outcome help = RunTool("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: kelm-tool"), std::string::npos);
    EXPECT_EQ(help.err, "");
    Outcome version = RunTool("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_NE(version.out.find("1.0.0.5"), std::string::npos);
}

TEST(CliTest, EverySubcommandHasItsOwnHelp) {
    std::vector<std::string> commands = ListedCommands(RunTool("--help").out);
    ASSERT_FALSE(commands.empty());
    for (const std::string& command : commands) {
        SCOPED_TRACE(command);
        Outcome outcome = RunTool(command + " --help");
        EXPECT_EQ(outcome.status, 0);
        EXPECT_FALSE(outcome.out.empty());
        EXPECT_EQ(outcome.err, "");
    }
}

TEST(CliTest, CommandLineMistakesExitTwoWithOneLineOnStderr) {
    for (const char* arguments : {"", "no-such-command", "--no-such-option strings", "strings --lang xx",
                                  "strings --lang", "strings extra"}) {
        SCOPED_TRACE(arguments);
        Outcome outcome = RunTool(arguments);
        EXPECT_EQ(outcome.status, 2);
        if (*arguments != '\0') {
            EXPECT_EQ(outcome.err.rfind("kelm-tool: ", 0), 0u) << outcome.err;
        }
    }
}

TEST(CliTest, StringsInEachLanguage) {
    Outcome english = RunTool("strings");
    EXPECT_EQ(english.status, 0);
    EXPECT_NE(english.out.find("Input the pin code"), std::string::npos);
    Outcome traditional = RunTool("strings --lang zh-TW");
    EXPECT_EQ(traditional.status, 0);
    EXPECT_NE(traditional.out.find("請正確插入晶片卡"), std::string::npos);
    Outcome simplified = RunTool("strings --lang=zh-CN");
    EXPECT_EQ(simplified.status, 0);
    EXPECT_NE(simplified.out.find("请正确插入芯片卡"), std::string::npos);
}

}  // namespace
