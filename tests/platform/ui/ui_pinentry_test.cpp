// The pinentry responder against small fake pinentry programs (shell scripts written here)
// that speak the Assuan protocol and log every request they get.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kelm/winapi.h"
#include "platform/ui/assuan_client.h"
#include "platform/ui/ui_responders.h"

namespace kelm::platform {
namespace {

class PinentryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kelm-pinentry-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::string command = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }

    // A pinentry that greets, logs each request, and answers GETPIN, CONFIRM and MESSAGE with
    // the given shell snippets; everything else with OK.
    std::string WriteFake(const std::string& getpin, const std::string& confirm = "echo OK",
                          const std::string& greeting = "echo 'OK Pleased to meet you'") {
        std::string path = dir_ + "/pinentry";
        std::ofstream script(path);
        script << "#!/bin/sh\n"
               << greeting << "\n"
               << "while IFS= read -r line; do\n"
               << "  printf '%s\\n' \"$line\" >> '" << dir_ << "/log'\n"
               << "  case \"$line\" in\n"
               << "    GETPIN) " << getpin << " ;;\n"
               << "    CONFIRM) " << confirm << " ;;\n"
               << "    BYE) echo OK; exit 0 ;;\n"
               << "    *) echo OK ;;\n"
               << "  esac\n"
               << "done\n";
        script.close();
        chmod(path.c_str(), 0700);
        return path;
    }

    std::vector<std::string> Log() const {
        std::ifstream in(dir_ + "/log");
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    static DialogShown PinDialog() {
        return DialogShown{102, "Input the pin code",
                           {{1017, ControlKind::Edit, "", true}, {IDOK, ControlKind::DefPushButton, "Confirm"},
                            {1023, ControlKind::Label, "Password(6-16)"}, {IDCANCEL, ControlKind::PushButton, "Cancel"}},
                           16, true, true};
    }

    std::string dir_;
};

TEST_F(PinentryTest, GetPinSetsTheDialogTextsAndDecodesTheAnswer) {
    PinentryResponder responder(WriteFake("echo 'D 12%2534 5'; echo OK"));
    std::optional<DialogAction> action = responder.Dialog(PinDialog());
    ASSERT_TRUE(action.has_value());
    EXPECT_EQ(action->command_id, IDOK);
    EXPECT_EQ(action->edit_text, "12%34 5");

    std::vector<std::string> log = Log();
    auto has = [&](const std::string& line) { return std::find(log.begin(), log.end(), line) != log.end(); };
    EXPECT_TRUE(has("SETTITLE Input the pin code"));
    EXPECT_TRUE(has("SETPROMPT Password(6-16)"));
    EXPECT_TRUE(has("SETOK Confirm"));
    EXPECT_TRUE(has("SETCANCEL Cancel"));
    EXPECT_TRUE(has("GETPIN"));
    EXPECT_EQ(log.back(), "BYE");
}

TEST_F(PinentryTest, CancelledOrVanishedPinentryCancelsTheDialog) {
    PinentryResponder cancelled(WriteFake("echo 'ERR 83886179 Operation cancelled <Pinentry>'"));
    std::optional<DialogAction> action = cancelled.Dialog(PinDialog());
    ASSERT_TRUE(action.has_value());
    EXPECT_EQ(action->command_id, IDCANCEL);
    EXPECT_EQ(action->edit_text, "");

    // Dies in the middle of GETPIN, after half an answer.
    PinentryResponder dying(WriteFake("echo 'D 1234'; exit 1"));
    EXPECT_FALSE(dying.Dialog(PinDialog()).has_value());

    // Not a pinentry at all: the greeting is wrong.
    PinentryResponder impostor(WriteFake("echo OK", "echo OK", "echo hello"));
    EXPECT_FALSE(impostor.Dialog(PinDialog()).has_value());

    PinentryResponder missing(dir_ + "/no-such-program");
    EXPECT_FALSE(missing.Dialog(PinDialog()).has_value());
    EXPECT_EQ(missing.MessageBox(MessageBoxShown{"c", "t", MB_YESNO}), IDNO);
}

TEST_F(PinentryTest, DialogWithoutEditBoxIsAConfirmWithItsThirdButtonAsNotOk) {
    DialogShown retry{131, "KELM CSP V5",
                      {{IDOK, ControlKind::DefPushButton, "Swap card"}, {IDCANCEL, ControlKind::PushButton, "Cancel"},
                       {1019, ControlKind::PushButton, "Retype PIN"}, {-1, ControlKind::Label, "Wrong card or PIN"},
                       {1020, ControlKind::Label, ""}},
                      0, false, true};
    std::optional<DialogAction> action =
        PinentryResponder(WriteFake("echo OK", "echo 'ERR 83886194 Not confirmed'")).Dialog(retry);
    ASSERT_TRUE(action.has_value());
    EXPECT_EQ(action->command_id, 1019);
    std::vector<std::string> log = Log();
    EXPECT_NE(std::find(log.begin(), log.end(), "SETNOTOK Retype PIN"), log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "SETDESC Wrong card or PIN"), log.end());
    EXPECT_EQ(std::find(log.begin(), log.end(), "GETPIN"), log.end());

    action = PinentryResponder(WriteFake("echo OK", "echo OK")).Dialog(retry);
    ASSERT_TRUE(action.has_value());
    EXPECT_EQ(action->command_id, IDOK);
}

TEST_F(PinentryTest, SilentPinentryTimesOutInsteadOfHanging) {
    PinentryResponder silent(WriteFake("exec sleep 30"), PinentryTimeouts{2000, 300});
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(silent.Dialog(PinDialog()).has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(PinentryTest, MessageBoxesMapTheirButtonsOntoConfirm) {
    std::string yes = WriteFake("echo OK", "echo OK");
    EXPECT_EQ(PinentryResponder(yes).MessageBox({"KELM CSP V5", "Retry?", MB_YESNO}), IDYES);
    std::string refused = WriteFake("echo OK", "echo 'ERR 83886179 cancelled'");
    EXPECT_EQ(PinentryResponder(refused).MessageBox({"c", "t", MB_YESNO}), IDNO);

    std::vector<std::string> log = Log();
    auto has = [&](const std::string& line) { return std::find(log.begin(), log.end(), line) != log.end(); };
    EXPECT_TRUE(has("SETOK Yes"));

    // A one-button box is a MESSAGE.
    std::string message = WriteFake("echo OK");
    EXPECT_EQ(PinentryResponder(message).MessageBox({"c", "t", MB_OK}), IDOK);
    EXPECT_EQ(Log().rbegin()[1], "MESSAGE");
}

TEST_F(PinentryTest, TextsArePercentEscapedAndKeptWithinTheLineLimit) {
    std::string fake = WriteFake("echo OK");
    std::string long_text(3000, 'x');
    PinentryResponder(fake).MessageBox({"100% sure\r", "first\nsecond " + long_text, MB_OK});
    std::vector<std::string> log = Log();
    bool title_seen = false;
    for (const std::string& line : log) {
        EXPECT_LE(line.size(), 1000u);
        if (line == "SETTITLE 100%25 sure%0D") title_seen = true;
        if (line.rfind("SETDESC ", 0) == 0) {
            EXPECT_EQ(line.rfind("SETDESC first%0Asecond xxx", 0), 0u);
        }
    }
    EXPECT_TRUE(title_seen);

    // A cut never splits a character.
    std::string wide;
    for (int i = 0; i < 600; ++i) wide += "\xE5\xAF\x86";
    std::string line = AssuanCommand("SETDESC", wide);
    EXPECT_LE(line.size(), 1000u);
    EXPECT_EQ((line.size() - 8) % 3, 0u);
}

}  // namespace
}  // namespace kelm::platform
