// Shared by the container tests: a simulated card connected as the process's card session, set
// up and inspected through the simulator's own model (never through the card layer under test),
// and plain reads of a container's registry record.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "card/card_files.h"
#include "card/reader_session.h"
#include "core/container_registry.h"
#include "kelm/winapi.h"
#include "support/sim_fixture.h"

namespace kelm::test {

struct RegistryValue {
    DWORD type;
    std::vector<BYTE> bytes;
};

// The value of the container's "MorvaCSP-" subkey in the keyset's tree, if it is there.
inline std::optional<RegistryValue> ReadContainerValue(bool machine, const std::string& name, const char* value) {
    const std::string path =
        std::string(machine ? core::kMachineKeysPath : core::kUserKeysPath) + "\\MorvaCSP-" + name;
    HKEY key = nullptr;
    if (RegOpenKeyExA(machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    RegistryValue result{0, std::vector<BYTE>(64)};
    DWORD size = static_cast<DWORD>(result.bytes.size());
    const LONG status = value == nullptr ? ERROR_SUCCESS
                                         : RegQueryValueExA(key, value, nullptr, &result.type, result.bytes.data(), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return std::nullopt;
    result.bytes.resize(value == nullptr ? 0 : size);
    return result;
}

inline bool SubkeyExists(bool machine, const std::string& name) {
    return ReadContainerValue(machine, name, nullptr).has_value();
}

class ContainerCard {
public:
    void Start(int cardType = 1) {
        testing::SimCardSetup setup;
        setup.type = cardType;
        sim_ = std::make_unique<testing::ScopedSimCard>(setup);
        card::CardSession& session = card::Session();
        session = card::CardSession{};
        session.ReaderType = card::READER_TYPE_PLAIN;
        ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &session.Context), SCARD_S_SUCCESS);
        session.ContextValid = 1;
        ASSERT_EQ(SCardConnectA(session.Context, sim_->reader().c_str(), SCARD_SHARE_EXCLUSIVE,
                                SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &session.Card, &session.ActiveProtocol),
                  SCARD_S_SUCCESS);
        session.SendPci = session.ActiveProtocol == SCARD_PROTOCOL_T0 ? &g_rgSCardT0Pci : &g_rgSCardT1Pci;
        ASSERT_EQ(card::Card_SelectApplication(), 0u);
        ASSERT_EQ(static_cast<int>(card::Card_GetCardType()), cardType);
    }

    void Stop() {
        card::CardSession& session = card::Session();
        if (session.Card != 0) SCardDisconnect(session.Card, SCARD_LEAVE_CARD);
        if (session.ContextValid) SCardReleaseContext(session.Context);
        session = card::CardSession{};
        sim_.reset();
    }

    std::vector<std::string> Names() {
        std::vector<std::string> names;
        for (const sim::ContainerInfo& info : sim::ContainersOf(sim_->card())) names.push_back(info.name);
        return names;
    }
    bool Has(const std::string& name) {
        const std::vector<std::string> names = Names();
        return std::find(names.begin(), names.end(), name) != names.end();
    }

    // A container whose signature slot holds a key, put straight onto the card.
    void MakeContainerWithKey(const std::string& name) {
        const WORD file = static_cast<WORD>(0x8001 + keyFiles_++);
        std::string error;
        ASSERT_TRUE(sim::PutNewKey(sim_->card(), file, &error)) << error;
        ASSERT_TRUE(sim::AddContainer(sim_->card(), name, file, 0, &error)) << error;
    }

    // A container record without key files, which the card lets anyone delete.
    void MakeEmptyContainer(const std::string& name) {
        std::string error;
        ASSERT_TRUE(sim::AddContainer(sim_->card(), name, 0, 0, &error)) << error;
    }

    // The next command the card receives is answered with "security status not satisfied".
    void RefuseNextCommand() { sim_->backend().ForceNextStatus(sim_->reader(), 0x6982); }

private:
    std::unique_ptr<testing::ScopedSimCard> sim_;
    int keyFiles_ = 0;
};

}  // namespace kelm::test
