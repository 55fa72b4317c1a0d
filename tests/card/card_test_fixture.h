// Shared set-up of the card layer's tests: a fresh process-wide session, the scripted card as
// the PC/SC backend and a fake clock (so cold resets and releases do not really sleep).
#pragma once

#include <gtest/gtest.h>

#include "card/reader_session.h"
#include "kelm/winapi.h"
#include "platform/clock_seam.h"
#include "platform/pcsc_backend.h"
#include "scripted_card.h"

namespace kelm::card::testing {

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
    }
    void TearDown() override {
        ResetSession();
        platform::SetPcscBackend(nullptr);
        platform::UseFakeClock(nullptr);
    }

    // As if Init_PCSC_Object had connected a card of `card_type` on `protocol`.
    void Connected(DWORD protocol, DWORD card_type = 1) {
        CardSession& session = Session();
        session.Card = 0x4711;
        session.ActiveProtocol = protocol;
        session.SendPci = protocol == SCARD_PROTOCOL_T0 ? &g_rgSCardT0Pci : &g_rgSCardT1Pci;
        session.CardType = card_type;
        card.protocol = protocol;
    }

    ScriptedCard card;
    platform::FakeClock clock;
};

}  // namespace kelm::card::testing
