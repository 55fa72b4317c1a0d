// The dialog emulator and message boxes: a dialog procedure written as for Windows is driven
// through WM_INITDIALOG and WM_COMMAND, DialogBoxParamA returns what it gave EndDialog, and a
// box gets the scripted answer, or the unattended one when nobody is there.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kelm/winapi.h"
#include "platform/process/module_resources.h"
#include "platform/ui/ui_responder.h"

namespace kelm::platform {
namespace {

constexpr int kEditId = 1017;
constexpr int kLabelId = 1023;
constexpr int kPinDialog = 7102;

const DialogControl kPinControls[] = {
    {kEditId, ControlKind::Edit, "", 7, 40, 90, 14, kEditPassword},
    {IDOK, ControlKind::DefPushButton, "OK", 106, 17, 50, 14, 0},
    {kLabelId, ControlKind::Label, "template label", 31, 20, 65, 8, 0},
    {IDCANCEL, ControlKind::PushButton, "Cancel", 106, 40, 50, 14, 0},
};
const DialogTemplate kDialogs[] = {{kPinDialog, "template title", "font", 10, 163, 93, kPinControls, 4}};
const ModuleResources kResources{nullptr, 0, kDialogs, 1, nullptr, 0};
int g_module_anchor;
HMODULE TestModule() { return reinterpret_cast<HMODULE>(&g_module_anchor); }

// What the procedure saw, for the assertions.
struct ProcLog {
    std::vector<UINT> messages;
    LPARAM init_param = 0;
    std::string typed;  // the edit box as read on IDOK
    HWND foreground = nullptr;
    int limit = 16;
};
ProcLog* g_log = nullptr;

// Written the way a Windows dialog procedure is: texts and limit at WM_INITDIALOG, the edit
// box read on OK, EndDialog with the button; other buttons are ignored.
INT_PTR CALLBACK PinProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    g_log->messages.push_back(message);
    if (message == WM_INITDIALOG) {
        g_log->init_param = lparam;
        SetWindowTextA(dialog, "Enter the PIN");
        SetDlgItemTextA(dialog, kLabelId, "PIN (6-16)");
        SetDlgItemTextA(dialog, IDOK, "Confirm");
        SendMessageA(GetDlgItem(dialog, kEditId), EM_LIMITTEXT, static_cast<WPARAM>(g_log->limit), 0);
        ShowWindow(dialog, SW_SHOW);
        SetWindowPos(dialog, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_SHOWWINDOW);
        return TRUE;
    }
    if (message == WM_SHOWWINDOW || message == WM_PAINT) {  // as real procedures do, re-entering the emulator
        SetWindowPos(dialog, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_SHOWWINDOW);
        SetFocus(dialog);
    }
    if (message != WM_COMMAND) return FALSE;
    g_log->foreground = GetForegroundWindow();
    if (LOWORD(wparam) == IDOK) {
        char pin[17] = {};
        GetDlgItemTextA(dialog, kEditId, pin, sizeof pin);
        g_log->typed = pin;
        EndDialog(dialog, 1);
    } else if (LOWORD(wparam) == IDCANCEL) {
        EndDialog(dialog, 2);
    }
    return TRUE;
}

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterModuleResources(TestModule(), &kResources);
        SetUiResponder(&responder);
        g_log = &log;
    }
    void TearDown() override {
        SetUiResponder(nullptr);
        g_log = nullptr;
    }
    INT_PTR Run(DLGPROC procedure = PinProc, LPARAM param = 0) {
        return DialogBoxParamA(TestModule(), MAKEINTRESOURCEA(kPinDialog), nullptr, procedure, param);
    }
    ScriptedResponder responder;
    ProcLog log;
};

TEST_F(DialogTest, DrivesProcedureThroughInitAndCommandAndReturnsEndDialogValue) {
    responder.QueueDialogAction({1019, "abc"});  // a button the procedure ignores: asked again
    responder.QueueDialogAction({IDOK, "123456"});
    EXPECT_EQ(Run(PinProc, 0x5EED), 1);
    EXPECT_EQ(log.init_param, 0x5EED);
    EXPECT_EQ(log.typed, "123456");
    ASSERT_FALSE(log.messages.empty());
    EXPECT_EQ(log.messages.front(), static_cast<UINT>(WM_INITDIALOG));
    EXPECT_EQ(log.messages.back(), static_cast<UINT>(WM_COMMAND));
    // While the procedure runs, the dialog is the foreground window; once it ends, nothing is.
    EXPECT_NE(log.foreground, nullptr);
    EXPECT_EQ(GetForegroundWindow(), nullptr);

    // The responder saw the dialog as the procedure left it after WM_INITDIALOG; a password box
    // shows only as many '*' as were typed.
    ASSERT_EQ(responder.DialogCount(), 2u);
    const DialogShown& shown = responder.events()[0].dialog;
    EXPECT_EQ(shown.template_id, kPinDialog);
    EXPECT_EQ(shown.title, "Enter the PIN");
    EXPECT_EQ(shown.edit_limit, 16);
    EXPECT_TRUE(shown.topmost && shown.visible && shown.controls[0].hidden);
    std::vector<std::string> texts;
    for (const auto& control : shown.controls) texts.push_back(control.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"", "Confirm", "PIN (6-16)", "Cancel"}));
    EXPECT_EQ(responder.events()[1].dialog.controls[0].text, "***");
}

TEST_F(DialogTest, TypedTextIsCutToTheEditLimitAtACharacterBoundary) {
    // "ab" + a three-byte character + "c": a limit of 4 bytes keeps only "ab".
    const struct { int limit; const char* typed; const char* kept; } cases[] = {
        {16, "12345678901234567890", "1234567890123456"},
        {4, "ab\xE5\xAF\x86" "c", "ab"},
        {5, "ab\xE5\xAF\x86" "c", "ab\xE5\xAF\x86"},
    };
    for (const auto& c : cases) {
        log = ProcLog{};
        log.limit = c.limit;
        responder.QueueDialogAction({IDOK, c.typed});
        EXPECT_EQ(Run(), 1);
        EXPECT_EQ(log.typed, c.kept) << c.limit;
    }
}

// A copy of the edit box into a buffer shorter than its text.
HWND g_kept_dialog = nullptr;
HWND g_kept_edit = nullptr;
UINT g_short_copy = 0;
char g_short_buffer[4];

INT_PTR CALLBACK KeepingProc(HWND dialog, UINT message, WPARAM, LPARAM) {
    if (message == WM_INITDIALOG) {
        g_kept_dialog = dialog;
        g_kept_edit = GetDlgItem(dialog, kEditId);
        SetDlgItemTextA(dialog, kEditId, "abcdef");
        std::memset(g_short_buffer, 'x', sizeof g_short_buffer);
        g_short_copy = GetDlgItemTextA(dialog, kEditId, g_short_buffer, sizeof g_short_buffer);
        EndDialog(dialog, 3);
    }
    return TRUE;
}

TEST_F(DialogTest, CopiesAreBoundedByTheBuffer) {
    EXPECT_EQ(Run(KeepingProc), 3);
    EXPECT_EQ(g_short_copy, 3u);
    EXPECT_STREQ(g_short_buffer, "abc");
    ASSERT_NE(g_kept_edit, nullptr);
    EXPECT_NE(g_kept_edit, g_kept_dialog);

}

TEST_F(DialogTest, MessageBoxesAreRecordedAndAnsweredFromTheQueueWithinTheirButtons) {
    responder.QueueBoxAnswer(IDYES);
    responder.QueueBoxAnswer(IDRETRY);
    responder.QueueBoxAnswer(IDYES);     // an OK/Cancel box has no Yes
    responder.QueueBoxAnswer(IDCANCEL);  // nor has a Yes/No box a Cancel
    EXPECT_EQ(MessageBoxA(nullptr, "Password is incorrect", "KELM CSP V5", MB_YESNO | MB_ICONERROR), IDYES);
    EXPECT_EQ(MessageBoxA(nullptr, "Insert the card", nullptr, MB_RETRYCANCEL), IDRETRY);
    EXPECT_EQ(MessageBoxA(nullptr, "t", "c", MB_OKCANCEL), IDCANCEL);
    EXPECT_EQ(MessageBoxA(nullptr, "t", "c", MB_YESNO), IDNO);
    // The queue empty: the unattended answer, by the box's buttons.
    const std::pair<UINT, int> unattended[] = {{MB_OK, IDOK}, {MB_YESNO | MB_ICONQUESTION | 0x100, IDNO}, {MB_RETRYCANCEL, IDCANCEL}};
    for (const auto& [type, answer] : unattended) EXPECT_EQ(MessageBoxA(nullptr, nullptr, "Empty", type), answer) << type;

    ASSERT_EQ(responder.BoxCount(), 7u);
    EXPECT_EQ(responder.DialogCount(), 0u);
    const auto& events = responder.events();
    EXPECT_EQ(events[0].box.caption, "KELM CSP V5");
    EXPECT_EQ(events[0].box.text, "Password is incorrect");
    EXPECT_EQ(events[0].box.type, static_cast<UINT>(MB_YESNO | MB_ICONERROR));
    EXPECT_EQ(events[1].box.caption, "Error");  // a null caption, as Windows shows it
    EXPECT_EQ(events[4].box.text, "");

}

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
        RegisterModuleResources(TestModule(), &kResources);
        ProcLog child_log;
        g_log = &child_log;
        int failures = 0;
        failures += MessageBoxA(nullptr, "t", "c", MB_YESNO) != IDNO;
        failures += MessageBoxA(nullptr, "t", "c", MB_OKCANCEL) != IDCANCEL;
        failures += DialogBoxParamA(TestModule(), MAKEINTRESOURCEA(kPinDialog), nullptr, PinProc, 0) != 2;
        failures += child_log.messages.front() != WM_INITDIALOG;
        _exit(failures);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the unattended child was killed (it waited for input?)";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace kelm::platform
