// The terminal responder on a pseudo-terminal: a typist thread plays the user at the other
// end, answering each prompt when it appears and collecting everything the terminal shows.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kelm/winapi.h"
#include "platform/process/module_resources.h"
#include "platform/ui/ui_responders.h"

namespace kelm::platform {
namespace {

class TerminalTest : public ::testing::Test {
protected:
    void SetUp() override {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        device_ = ptsname(master_);
        // Kept open so that the terminal does not hang up between boxes.
        slave_ = open(device_.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave_, 0);
    }
    void TearDown() override {
        StopTypist();
        SetUiResponder(nullptr);
        close(slave_);
        close(master_);
    }

    // Each pair: when the terminal has shown the first text (after the previous answer), type
    // the second.
    void StartTypist(std::vector<std::pair<std::string, std::string>> script) {
        typist_ = std::thread([this, script = std::move(script)] {
            size_t next = 0;
            size_t searched = 0;
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!stop_) {
                if (next < script.size() && std::chrono::steady_clock::now() > deadline) {
                    // A prompt never came: end the input, so that the test fails instead of hanging.
                    stalled_ = true;
                    if (write(master_, "\x04", 1) < 0) return;
                    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
                }
                pollfd waiting{master_, POLLIN, 0};
                if (poll(&waiting, 1, 20) <= 0) continue;
                char chunk[256];
                ssize_t n = read(master_, chunk, sizeof chunk);
                if (n <= 0) continue;
                shown_.append(chunk, static_cast<size_t>(n));
                if (next < script.size()) {
                    size_t at = shown_.find(script[next].first, searched);
                    if (at != std::string::npos) {
                        searched = at + script[next].first.size();
                        const std::string& keys = script[next].second;
                        if (write(master_, keys.data(), keys.size()) < 0) return;
                        ++next;
                    }
                }
            }
        });
    }
    std::string StopTypist() {
        if (typist_.joinable()) {
            stop_ = true;
            typist_.join();
            char chunk[256];
            for (pollfd waiting{master_, POLLIN, 0}; poll(&waiting, 1, 50) > 0;) {
                ssize_t n = read(master_, chunk, sizeof chunk);
                if (n <= 0) break;
                shown_.append(chunk, static_cast<size_t>(n));
            }
        }
        EXPECT_FALSE(stalled_) << "a prompt did not appear; the terminal showed: " << shown_;
        return shown_;
    }

    int master_ = -1;
    int slave_ = -1;
    std::string device_;
    std::thread typist_;
    std::atomic<bool> stop_{false};
    bool stalled_ = false;
    std::string shown_;
};

TEST_F(TerminalTest, MessageBoxListsItsButtonsTakesANumberANameOrEnterAndShowsNoControlCharacters) {
    TerminalResponder terminal(device_);
    StartTypist({{"Choice", "2\n"}, {"Choice", "y\n"}, {"Choice", "maybe\n"}, {"Choice", "\n"}, {"Choice", "\x04"}});
    EXPECT_EQ(terminal.MessageBox({"KELM CSP V5", "Password is incorrect", MB_YESNO}), IDNO);
    EXPECT_EQ(terminal.MessageBox({"c", "t", MB_YESNO}), IDYES);
    // An answer that names no button is asked again; Enter then takes the default.
    EXPECT_EQ(terminal.MessageBox({"c", "t", MB_RETRYCANCEL}), IDRETRY);
    // The end of input gives the unattended answer.
    EXPECT_EQ(terminal.MessageBox({"c", "evil \x1b]0;title\x07 text", MB_OKCANCEL}), IDCANCEL);
    std::string shown = StopTypist();
    EXPECT_NE(shown.find("[KELM CSP V5]"), std::string::npos);
    EXPECT_NE(shown.find("Password is incorrect"), std::string::npos);
    EXPECT_NE(shown.find("1) Yes  2) No"), std::string::npos);
    EXPECT_EQ(shown.find('\x1b'), std::string::npos);
    EXPECT_NE(shown.find("evil ?]0;title? text"), std::string::npos);
}

constexpr int kEdit = 1017;
const DialogControl kControls[] = {
    {kEdit, ControlKind::Edit, "", 7, 40, 90, 14, kEditPassword},
    {IDOK, ControlKind::DefPushButton, "Confirm", 106, 17, 50, 14, 0},
    {1023, ControlKind::Label, "Password(6-16)", 31, 20, 65, 8, 0},
    {IDCANCEL, ControlKind::PushButton, "Cancel", 106, 40, 50, 14, 0},
};
const DialogTemplate kTemplate[] = {{102, "Input the pin code", "f", 10, 163, 93, kControls, 4}};
const ModuleResources kResources{nullptr, 0, kTemplate, 1, nullptr, 0};
int g_anchor;
std::string g_read_pin;

INT_PTR CALLBACK PinProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    if (message == WM_INITDIALOG) SendMessageA(GetDlgItem(dialog, kEdit), EM_LIMITTEXT, 16, 0);
    if (message != WM_COMMAND) return FALSE;
    char pin[17] = {};
    GetDlgItemTextA(dialog, kEdit, pin, sizeof pin);
    g_read_pin = pin;
    EndDialog(dialog, LOWORD(wparam));
    return TRUE;
}

TEST_F(TerminalTest, PinIsReadWithoutEchoEditedAndCtrlDOrCtrlCCancels) {
    TerminalResponder terminal(device_);
    SetUiResponder(&terminal);
    HMODULE module = reinterpret_cast<HMODULE>(&g_anchor);
    RegisterModuleResources(module, &kResources);
    termios before{};
    ASSERT_EQ(tcgetattr(slave_, &before), 0);
    // Backspace removes a whole character (here a three-byte one), Ctrl-U the whole line.
    StartTypist({{"Password(6-16)", "s3cr3t-PIN\xE5\xAF\x86\x7f\n"},
                 {"Password(6-16)", "wrong\x15" "123456\r"},
                 {"Password(6-16)", "12\x04"},
                 {"Password(6-16)", "12\x03"}});
    EXPECT_EQ(DialogBoxParamA(module, MAKEINTRESOURCEA(102), nullptr, PinProc, 0), IDOK);
    EXPECT_EQ(g_read_pin, "s3cr3t-PIN");
    EXPECT_EQ(DialogBoxParamA(module, MAKEINTRESOURCEA(102), nullptr, PinProc, 0), IDOK);
    EXPECT_EQ(g_read_pin, "123456");
    EXPECT_EQ(DialogBoxParamA(module, MAKEINTRESOURCEA(102), nullptr, PinProc, 0), IDCANCEL);
    EXPECT_EQ(DialogBoxParamA(module, MAKEINTRESOURCEA(102), nullptr, PinProc, 0), IDCANCEL);
    // The terminal is left as it was found.
    termios after{};
    ASSERT_EQ(tcgetattr(slave_, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    std::string shown = StopTypist();
    EXPECT_NE(shown.find("[Input the pin code]"), std::string::npos);
    EXPECT_EQ(shown.find("s3cr3t"), std::string::npos) << "the PIN was echoed";
}

TEST_F(TerminalTest, ASignalFromOutsideDuringThePinPromptRestoresTheTerminalBeforeTheProcessDies) {
    HMODULE module = reinterpret_cast<HMODULE>(&g_anchor);
    RegisterModuleResources(module, &kResources);
    termios before{};
    ASSERT_EQ(tcgetattr(slave_, &before), 0);
    for (int signal : {SIGINT, SIGTERM}) {
        const pid_t child = fork();
        if (child == 0) {
            TerminalResponder terminal(device_);
            SetUiResponder(&terminal);
            DialogBoxParamA(module, MAKEINTRESOURCEA(102), nullptr, PinProc, 0);
            _exit(0);
        }
        // The prompt appears once echo is off.
        std::string shown;
        for (int polls = 0; shown.find("Ctrl-D to cancel") == std::string::npos && polls < 1000; ++polls) {
            pollfd waiting{master_, POLLIN, 0};
            char chunk[256];
            const ssize_t n = poll(&waiting, 1, 20) > 0 ? read(master_, chunk, sizeof chunk) : 0;
            if (n > 0) shown.append(chunk, static_cast<size_t>(n));
        }
        kill(child, signal);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << "signal " << signal << ", status " << status;
        termios after{};
        ASSERT_EQ(tcgetattr(slave_, &after), 0);
        EXPECT_EQ(after.c_lflag, before.c_lflag) << "signal " << signal << " left the terminal changed";
    }
}

TEST_F(TerminalTest, NoTerminalMeansNobodyAnswers) {
    TerminalResponder nowhere("/nonexistent/tty");
    EXPECT_EQ(nowhere.MessageBox({"c", "t", MB_YESNO}), IDNO);
    EXPECT_FALSE(nowhere.Dialog(DialogShown{}).has_value());
}

}  // namespace
}  // namespace kelm::platform
