// The dialog emulator: a dialog procedure written as for Windows is driven through
// WM_INITDIALOG and WM_COMMAND, and DialogBoxParamA returns what it gave EndDialog.
#include <gtest/gtest.h>

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
constexpr int kOtherButtonId = 1019;
constexpr int kPinDialog = 7102;

const DialogControl kPinControls[] = {
    {kEditId, ControlKind::Edit, "", 7, 40, 90, 14, kEditPassword},
    {IDOK, ControlKind::DefPushButton, "OK", 106, 17, 50, 14, 0},
    {kLabelId, ControlKind::Label, "template label", 31, 20, 65, 8, 0},
    {IDCANCEL, ControlKind::PushButton, "Cancel", 106, 40, 50, 14, 0},
};
const DialogTemplate kDialogs[] = {
    {kPinDialog, "template title", "font", 10, 163, 93, kPinControls, 4},
};
const ModuleResources kResources{nullptr, 0, kDialogs, 1, nullptr, 0};
int g_module_anchor;
HMODULE TestModule() { return reinterpret_cast<HMODULE>(&g_module_anchor); }

// What the procedure saw, for the assertions.
struct ProcLog {
    std::vector<UINT> messages;
    LPARAM init_param = 0;
    std::string typed;       // the edit box as read on IDOK
    HWND foreground = nullptr;
    int limit = 16;
    bool ignore_commands = false;  // never calls EndDialog from WM_COMMAND
    int end_in_init = 0;           // nonzero: EndDialog(this) during WM_INITDIALOG
};
ProcLog* g_log = nullptr;

// Written the way a Windows dialog procedure is: texts and limit at WM_INITDIALOG, the edit
// box read on OK, EndDialog with the button.
INT_PTR CALLBACK PinProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    g_log->messages.push_back(message);
    switch (message) {
        case WM_INITDIALOG:
            g_log->init_param = lparam;
            if (g_log->end_in_init != 0) {
                EndDialog(dialog, g_log->end_in_init);
                return TRUE;
            }
            SetWindowTextA(dialog, "Enter the PIN");
            SetDlgItemTextA(dialog, kLabelId, "PIN (6-16)");
            SetDlgItemTextA(dialog, IDOK, "Confirm");
            SendMessageA(GetDlgItem(dialog, kEditId), EM_LIMITTEXT, static_cast<WPARAM>(g_log->limit), 0);
            ShowWindow(dialog, SW_SHOW);
            SetWindowPos(dialog, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_SHOWWINDOW);
            return TRUE;
        case WM_SHOWWINDOW:
        case WM_PAINT:
            SetWindowPos(dialog, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_SHOWWINDOW);
            SetFocus(dialog);
            return FALSE;
        case WM_COMMAND: {
            g_log->foreground = GetForegroundWindow();
            if (g_log->ignore_commands) return TRUE;
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
        default:
            return FALSE;
    }
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
    INT_PTR Run(int id, DLGPROC procedure = PinProc, LPARAM param = 0) {
        return DialogBoxParamA(TestModule(), MAKEINTRESOURCEA(id), nullptr, procedure, param);
    }
    ScriptedResponder responder;
    ProcLog log;
};

TEST_F(DialogTest, DrivesProcedureThroughInitAndCommandAndReturnsEndDialogValue) {
    responder.QueueDialogAction({IDOK, "123456"});
    EXPECT_EQ(Run(kPinDialog, PinProc, 0x5EED), 1);
    EXPECT_EQ(log.init_param, 0x5EED);
    EXPECT_EQ(log.typed, "123456");
    ASSERT_FALSE(log.messages.empty());
    EXPECT_EQ(log.messages.front(), static_cast<UINT>(WM_INITDIALOG));
    EXPECT_EQ(log.messages.back(), static_cast<UINT>(WM_COMMAND));
    // While the procedure runs, the dialog is the foreground window; once it ends, nothing is.
    EXPECT_NE(log.foreground, nullptr);
    EXPECT_EQ(GetForegroundWindow(), nullptr);

    // The responder saw the dialog as the procedure left it after WM_INITDIALOG.
    ASSERT_EQ(responder.DialogCount(), 1u);
    const DialogShown& shown = responder.events()[0].dialog;
    EXPECT_EQ(shown.template_id, kPinDialog);
    EXPECT_EQ(shown.title, "Enter the PIN");
    EXPECT_EQ(shown.edit_limit, 16);
    EXPECT_TRUE(shown.topmost);
    EXPECT_TRUE(shown.visible);
    std::vector<std::string> texts;
    for (const auto& control : shown.controls) texts.push_back(control.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"", "Confirm", "PIN (6-16)", "Cancel"}));
    EXPECT_TRUE(shown.controls[0].hidden);
}

TEST_F(DialogTest, TypedTextIsCutToTheEditLimitAtACharacterBoundary) {
    responder.QueueDialogAction({IDOK, "12345678901234567890"});
    EXPECT_EQ(Run(kPinDialog), 1);
    EXPECT_EQ(log.typed, "1234567890123456");

    // "ab" + a three-byte character + "c": a limit of 4 bytes keeps only "ab".
    log = ProcLog{};
    log.limit = 4;
    responder.QueueDialogAction({IDOK, "ab\xE5\xAF\x86" "c"});
    EXPECT_EQ(Run(kPinDialog), 1);
    EXPECT_EQ(log.typed, "ab");

    log = ProcLog{};
    log.limit = 5;
    responder.QueueDialogAction({IDOK, "ab\xE5\xAF\x86" "c"});
    EXPECT_EQ(Run(kPinDialog), 1);
    EXPECT_EQ(log.typed, "ab\xE5\xAF\x86");
}

TEST_F(DialogTest, CancelAndVanishedResponderBothEndWithCancel) {
    responder.QueueDialogAction({IDCANCEL, "typed then cancelled"});
    EXPECT_EQ(Run(kPinDialog), 2);
    EXPECT_EQ(log.typed, "");

    log = ProcLog{};
    responder.QueueDialogGone();
    EXPECT_EQ(Run(kPinDialog), 2);
    EXPECT_EQ(log.messages.back(), static_cast<UINT>(WM_COMMAND));

    // An empty queue: the scripted user cancels.
    log = ProcLog{};
    EXPECT_EQ(Run(kPinDialog), 2);
}

TEST_F(DialogTest, AsksAgainUntilTheProcedureEndsTheDialog) {
    // The PIN procedure ignores a button it does not know; the user is asked again, and a
    // password box shows only as many '*' as were typed.
    responder.QueueDialogAction({kOtherButtonId, "abc"});
    responder.QueueDialogAction({IDOK, "654321"});
    EXPECT_EQ(Run(kPinDialog), 1);
    EXPECT_EQ(log.typed, "654321");
    ASSERT_EQ(responder.DialogCount(), 2u);
    EXPECT_EQ(responder.events()[1].dialog.controls[0].text, "***");
}

TEST_F(DialogTest, ProcedureThatNeverEndsIsGivenUpWithoutHanging) {
    log.ignore_commands = true;
    for (int i = 0; i < 100; ++i) responder.QueueDialogAction({IDOK, "1"});
    SetLastError(0);
    EXPECT_EQ(Run(kPinDialog), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANCELLED));
    EXPECT_LT(responder.DialogCount(), 100u);

    // A vanished user is not asked again at all.
    responder.Clear();
    responder.QueueDialogGone();
    EXPECT_EQ(Run(kPinDialog), -1);
    EXPECT_EQ(responder.DialogCount(), 1u);
}

TEST_F(DialogTest, EndDialogDuringInitReturnsWithoutAskingTheUser) {
    log.end_in_init = 42;
    EXPECT_EQ(Run(kPinDialog), 42);
    EXPECT_EQ(responder.DialogCount(), 0u);
}

TEST_F(DialogTest, RefusesWhatCannotBeShown) {
    SetLastError(0);
    EXPECT_EQ(Run(9999), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(DialogBoxParamA(TestModule(), MAKEINTRESOURCEA(kPinDialog), nullptr, nullptr, 0), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    HWND bogus = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x1234));
    EXPECT_EQ(DialogBoxParamA(TestModule(), MAKEINTRESOURCEA(kPinDialog), bogus, PinProc, 0), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    // The "#n" form names the same template.
    responder.QueueDialogAction({IDCANCEL, ""});
    EXPECT_EQ(DialogBoxParamA(TestModule(), "#7102", nullptr, PinProc, 0), 2);
    EXPECT_EQ(responder.DialogCount(), 1u);
}

// Window functions called on handles of dialogs that are not (or no longer) there.
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

TEST_F(DialogTest, HandlesAreCheckedAndCopiesBounded) {
    EXPECT_EQ(Run(kPinDialog, KeepingProc), 3);
    EXPECT_EQ(g_short_copy, 3u);
    EXPECT_STREQ(g_short_buffer, "abc");
    ASSERT_NE(g_kept_edit, nullptr);
    EXPECT_NE(g_kept_edit, g_kept_dialog);

    SetLastError(0);
    EXPECT_EQ(GetDlgItem(g_kept_dialog, kEditId), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    char buffer[8] = "stale";
    EXPECT_EQ(GetDlgItemTextA(g_kept_dialog, kEditId, buffer, sizeof buffer), 0u);
    EXPECT_STREQ(buffer, "");
    EXPECT_FALSE(SetWindowTextA(g_kept_edit, "x"));
    EXPECT_FALSE(EndDialog(g_kept_dialog, 1));
    EXPECT_FALSE(ShowWindow(g_kept_dialog, SW_SHOW));
    EXPECT_EQ(SendMessageA(g_kept_edit, EM_LIMITTEXT, 4, 0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

}  // namespace
}  // namespace kelm::platform
