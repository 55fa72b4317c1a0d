// Message boxes: what the scripted responder records, which answers a box accepts, and what a
// box gets when nobody is there to answer.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "kelm/winapi.h"
#include "platform/ui/ui_responder.h"

namespace kelm::platform {
namespace {

constexpr UINT kDefButton2 = 0x00000100;

class MessageBoxTest : public ::testing::Test {
protected:
    void SetUp() override { SetUiResponder(&responder); }
    void TearDown() override { SetUiResponder(nullptr); }
    ScriptedResponder responder;
};

TEST_F(MessageBoxTest, RecordsEveryBoxAndAnswersFromTheQueue) {
    responder.QueueBoxAnswer(IDYES);
    responder.QueueBoxAnswer(IDRETRY);
    EXPECT_EQ(MessageBoxA(nullptr, "Password is incorrect", "KELM CSP V5", MB_YESNO | MB_ICONERROR), IDYES);
    EXPECT_EQ(MessageBoxA(nullptr, "Insert the card", nullptr, MB_RETRYCANCEL), IDRETRY);
    EXPECT_EQ(MessageBoxA(nullptr, nullptr, "Empty", MB_OK), IDOK);  // queue empty: unattended

    ASSERT_EQ(responder.BoxCount(), 3u);
    EXPECT_EQ(responder.DialogCount(), 0u);
    const auto& events = responder.events();
    EXPECT_EQ(events[0].box.caption, "KELM CSP V5");
    EXPECT_EQ(events[0].box.text, "Password is incorrect");
    EXPECT_EQ(events[0].box.type, static_cast<UINT>(MB_YESNO | MB_ICONERROR));
    EXPECT_EQ(events[1].box.caption, "Error");  // a null caption, as Windows shows it
    EXPECT_EQ(events[2].box.text, "");
}

TEST_F(MessageBoxTest, AnswerThatIsNotOneOfTheButtonsCountsAsDismissed) {
    responder.QueueBoxAnswer(IDYES);  // an OK/Cancel box has no Yes
    EXPECT_EQ(MessageBoxA(nullptr, "t", "c", MB_OKCANCEL), IDCANCEL);
    responder.QueueBoxAnswer(IDCANCEL);  // nor has a Yes/No box a Cancel
    EXPECT_EQ(MessageBoxA(nullptr, "t", "c", MB_YESNO), IDNO);
}

TEST_F(MessageBoxTest, RefusesUnknownTypesAndOwners) {
    SetLastError(0);
    EXPECT_EQ(MessageBoxA(nullptr, "t", "c", 0x0000000E), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(MessageBoxA(reinterpret_cast<HWND>(static_cast<uintptr_t>(0x42)), "t", "c", MB_OK), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(responder.BoxCount(), 0u);
}

TEST(UnattendedAnswerTest, CancelNoOrOkByTheBoxButtons) {
    EXPECT_EQ(UnattendedAnswer(MB_OK), IDOK);
    EXPECT_EQ(UnattendedAnswer(MB_OKCANCEL), IDCANCEL);
    EXPECT_EQ(UnattendedAnswer(MB_YESNO | MB_ICONQUESTION | kDefButton2), IDNO);
    EXPECT_EQ(UnattendedAnswer(MB_YESNOCANCEL), IDCANCEL);
    EXPECT_EQ(UnattendedAnswer(MB_RETRYCANCEL), IDCANCEL);
    EXPECT_EQ(UnattendedAnswer(MB_ABORTRETRYIGNORE), IDABORT);
}

int g_init_count = 0;
INT_PTR CALLBACK EndOnCommand(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    if (message == WM_INITDIALOG) ++g_init_count;
    if (message == WM_COMMAND) EndDialog(dialog, LOWORD(wparam) == IDCANCEL ? 77 : 1);
    return TRUE;
}

const DialogControl kControls[] = {{IDOK, ControlKind::DefPushButton, "OK", 0, 0, 1, 1, 0}};
const DialogTemplate kTemplate[] = {{55, "t", "f", 10, 1, 1, kControls, 1}};
const ModuleResources kResources{nullptr, 0, kTemplate, 1, nullptr, 0};
int g_anchor;

// In a process without a controlling terminal and without KELM_PINENTRY, no responder
// installed: boxes get Cancel, No or OK at once and the dialog is cancelled. The child is
// killed by an alarm if anything waits for input.
TEST(UnattendedDefaultTest, NoTerminalNoResponderNothingWaits) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(20);
        setsid();  // leaves the controlling terminal behind: /dev/tty no longer opens
        unsetenv("KELM_PINENTRY");
        SetUiResponder(nullptr);
        HMODULE module = reinterpret_cast<HMODULE>(&g_anchor);
        RegisterModuleResources(module, &kResources);
        int failures = 0;
        failures += MessageBoxA(nullptr, "t", "c", MB_YESNO) != IDNO;
        failures += MessageBoxA(nullptr, "t", "c", MB_OKCANCEL) != IDCANCEL;
        failures += MessageBoxA(nullptr, "t", "c", MB_OK) != IDOK;
        failures += DialogBoxParamA(module, MAKEINTRESOURCEA(55), nullptr, EndOnCommand, 0) != 77;
        failures += g_init_count != 1;
        _exit(failures);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the unattended child was killed (it waited for input?)";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace kelm::platform
