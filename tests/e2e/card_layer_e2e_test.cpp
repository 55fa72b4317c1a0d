// The card layer through the real pcscd and kelm-cardsim (the card that scripts/services.sh
// serves): connect with the cold reset, create, list, find, open and delete a container, fetch
// random bytes, and end the session so that the reader is free again.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>

#include "card/card_files.h"
#include "card/reader_session.h"
#include "kelm/winapi.h"
#include "platform/pcsc_backend.h"
#include "platform/ui_responder.h"
#include "support/registry_fixture.h"

namespace {

using namespace kelm::card;

bool Listed(const std::string& wanted) {
    char names[8 * kNameEntrySize] = {};
    BYTE count = 0;
    EXPECT_EQ(0u, Card_ListContainers(names, &count, 8));
    for (BYTE i = 0; i < count; ++i) {
        if (wanted == names + i * kNameEntrySize) {
            return true;
        }
    }
    return false;
}

TEST(CardLayerThroughPcscd, ContainerLifecycleOnTheServedCard) {
    kelm::test::ScopedInMemoryRegistry registry;  // no preferred reader: the walk finds the card
    kelm::platform::ScriptedResponder ui;
    kelm::platform::SetUiResponder(&ui);
    kelm::platform::SetPcscBackend(nullptr);
    Session() = CardSession{};
    Session().ReaderType = READER_TYPE_PLAIN;

    ASSERT_EQ(1, Init_PCSC_Object(CRYPT_SILENT)) << "is scripts/services.sh running?";
    EXPECT_NE(CARD_TYPE_NONE, Card_GetCardType());
    EXPECT_EQ(1, Init_PCSC_Object(0));  // the probe of the live connection
    EXPECT_EQ(2, Session().ConnectionCount);

    const std::string name = "e2e-card-layer-" + std::to_string(getpid());
    BYTE answer[kContainerStatusBytes] = {};
    ASSERT_EQ(0u, Card_CreateContainer(name.c_str(), answer, sizeof answer));
    EXPECT_TRUE(Listed(name));

    BYTE record[kKeyFileRecordSize] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(0u, Card_FindContainer(name.c_str(), record));
    EXPECT_EQ(0, record[0] | record[1] | record[2] | record[3]);
    BYTE status[kContainerStatusBytes];
    EXPECT_EQ(0u, Card_OpenContainer(name.c_str(), status));

    BYTE random[20] = {};
    EXPECT_EQ(0u, Card_GetChallenge(sizeof random, random));

    EXPECT_EQ(0u, Card_DeleteContainer(name.c_str()));
    EXPECT_FALSE(Listed(name));

    End_CardSession();
    EXPECT_EQ(0u, Session().Card);
    // The reader is free: a fresh connection is made at once.
    ASSERT_EQ(1, Init_PCSC_Object(CRYPT_SILENT));
    EXPECT_EQ(1, Session().ConnectionCount);
    End_CardSession();
    EXPECT_TRUE(ui.events().empty());
    kelm::platform::SetUiResponder(nullptr);
}

}  // namespace
