// A PC/SC backend for the card layer's tests that answers from a script: each transmitted
// command takes the next scripted answer (optionally checking the command bytes first), and
// every call is logged. It can misbehave on purpose: short answers, endless 6Cxx, answers
// longer than a conforming card would send. CardLayerTest installs it with a fresh session and
// a fake clock, so cold resets and releases do not really sleep, a scripted user and an
// in-memory registry.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <initializer_list>
#include <string>
#include <vector>

#include "card/reader_session.h"
#include "kelm/winapi.h"
#include "platform/process/clock_seam.h"
#include "platform/pcsc/pcsc_backend.h"
#include "platform/ui/ui_responder.h"
#include "support/registry_fixture.h"
#include "support/sim_fixture.h"

namespace kelm::card::testing {

using Bytes = std::vector<BYTE>;
using kelm::testing::HexOf;
inline Bytes Hex(const std::string& text) { return kelm::testing::Bytes(text); }

class ScriptedCard : public platform::PcscBackend {
public:
    struct Answer {
        Bytes expect;  // empty: any command
        Bytes reply;
        LONG rc = SCARD_S_SUCCESS;
    };
    void Expect(const std::string& command, const std::string& reply) { answers.push_back({Hex(command), Hex(reply)}); }
    void Reply(const std::string& reply) { answers.push_back({{}, Hex(reply)}); }
    // Each step is a reply, or "command > reply" to check the command first.
    void Script(std::initializer_list<std::string> steps) {
        for (const std::string& step : steps) {
            const size_t arrow = step.find('>');
            arrow == std::string::npos ? Reply(step) : Expect(step.substr(0, arrow), step.substr(arrow + 1));
        }
    }
    void ReplyBytes(Bytes reply) { answers.push_back({{}, std::move(reply)}); }
    void Fail(LONG rc) { answers.push_back({{}, {}, rc}); }

    std::vector<std::string> readers{"Reader A"};
    LONG establish_rc = SCARD_S_SUCCESS, list_rc = SCARD_S_SUCCESS;
    std::string unreachable;  // a reader whose exclusive connection fails
    DWORD protocol = SCARD_PROTOCOL_T1;
    Bytes default_reply = Hex("6D 00");  // for commands beyond the script
    std::deque<Answer> answers;
    std::vector<Bytes> sent;
    std::vector<std::string> calls;

    LONG EstablishContext(DWORD, SCARDCONTEXT* context) override {
        calls.push_back("establish");
        if (establish_rc == SCARD_S_SUCCESS) *context = ++next_id_;
        return establish_rc;
    }
    LONG ReleaseContext(SCARDCONTEXT) override { return calls.push_back("release"), SCARD_S_SUCCESS; }
    LONG ListReaders(SCARDCONTEXT, std::vector<std::string>* list) override {
        calls.push_back("list");
        if (list_rc == SCARD_S_SUCCESS) *list = readers;
        return list_rc;
    }
    LONG Connect(SCARDCONTEXT, const std::string& reader, DWORD share_mode, DWORD, SCARDHANDLE* card,
                 DWORD* active_protocol) override {
        const bool exclusive = share_mode == SCARD_SHARE_EXCLUSIVE;
        calls.push_back(std::string(exclusive ? "connect exclusive " : "connect shared ") + reader);
        if (exclusive ? reader == unreachable : std::find(readers.begin(), readers.end(), reader) == readers.end()) {
            return SCARD_E_UNKNOWN_READER;
        }
        *card = ++next_id_;
        *active_protocol = protocol;
        return SCARD_S_SUCCESS;
    }
    LONG Disconnect(SCARDHANDLE, DWORD disposition) override {
        calls.push_back(disposition == SCARD_UNPOWER_CARD ? "disconnect unpower" : "disconnect leave");
        return SCARD_S_SUCCESS;
    }
    LONG Transmit(SCARDHANDLE, DWORD, const BYTE* command, DWORD command_length, BYTE* response,
                  DWORD* response_length) override {
        sent.emplace_back(command, command + command_length);
        Answer answer{{}, default_reply};
        if (!answers.empty()) {
            answer = answers.front();
            answers.pop_front();
        }
        if (!answer.expect.empty()) {
            EXPECT_EQ(HexOf(answer.expect), HexOf(sent.back()));
        }
        if (answer.rc != SCARD_S_SUCCESS) return answer.rc;
        if (answer.reply.size() > *response_length) return SCARD_E_INSUFFICIENT_BUFFER;
        std::copy(answer.reply.begin(), answer.reply.end(), response);
        *response_length = static_cast<DWORD>(answer.reply.size());
        return SCARD_S_SUCCESS;
    }
    std::vector<std::string> SentHex() const {
        std::vector<std::string> out;
        for (const Bytes& command : sent) out.push_back(HexOf(command));
        return out;
    }

private:
    ULONG_PTR next_id_ = 0x100;
};

inline void ResetSession() {
    Session() = CardSession{};
    Session().ReaderType = READER_TYPE_PLAIN;
}

class CardLayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetSession();
        platform::SetPcscBackend(&card);
        platform::UseFakeClock(&clock);
        platform::SetUiResponder(&ui);
    }
    void TearDown() override {
        ResetSession();
        platform::SetPcscBackend(nullptr);
        platform::UseFakeClock(nullptr);
        platform::SetUiResponder(nullptr);
    }
    // As if Init_PCSC_Object had connected a card of `card_type` on `protocol`.
    void Connected(DWORD protocol, DWORD card_type = 1) {
        Session().Card = 0x4711;
        Session().ActiveProtocol = card.protocol = protocol;
        Session().SendPci = protocol == SCARD_PROTOCOL_T0 ? &g_rgSCardT0Pci : &g_rgSCardT1Pci;
        Session().CardType = card_type;
        card.sent.clear();
    }

    // Sets a value under the provider's registry key.
    static void SetProviderValue(const char* name, DWORD type, const void* data, DWORD size) {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\VESK\\ROSMAC10", 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &key, nullptr));
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size));
        RegCloseKey(key);
    }

    ScriptedCard card;
    platform::FakeClock clock;
    platform::ScriptedResponder ui;
    test::ScopedInMemoryRegistry registry;
};

}  // namespace kelm::card::testing
