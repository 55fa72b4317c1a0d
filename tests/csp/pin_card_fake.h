// A card that knows only what PIN verification and a verify context need: the application
// select that fixes its type, file selects, GET CHALLENGE, an empty container list, and VERIFY
// in both forms, counting wrong PINs until it locks. Every command is recorded so that tests can read the exact bytes sent.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "kelm/windows_types.h"
#include "platform/pcsc_backend.h"

namespace kelm::test {

class PinCardFake : public platform::PcscBackend {
public:
    DWORD card_type = 1;
    std::string pin = "123456";
    int tries_left = 3;
    DWORD pinpad_status = 0x9000;  // answer to the PIN-pad VERIFY (80 20)
    bool removed = false;          // every exchange fails as if the card had been pulled
    std::vector<std::vector<BYTE>> commands;

    std::vector<std::vector<BYTE>> Verifies() const {
        std::vector<std::vector<BYTE>> out;
        for (const auto& c : commands) {
            if (c.size() >= 4 && c[1] == 0x20) out.push_back(c);
        }
        return out;
    }

    LONG EstablishContext(DWORD, SCARDCONTEXT* context) override {
        *context = 0x1001;
        return SCARD_S_SUCCESS;
    }
    LONG ReleaseContext(SCARDCONTEXT) override { return SCARD_S_SUCCESS; }
    LONG ListReaders(SCARDCONTEXT, std::vector<std::string>* readers) override {
        *readers = {"Fake PIN Reader 0"};
        return SCARD_S_SUCCESS;
    }
    LONG Connect(SCARDCONTEXT, const std::string&, DWORD, DWORD, SCARDHANDLE* card, DWORD* protocol) override {
        *card = ++next_handle_;
        *protocol = SCARD_PROTOCOL_T1;
        return SCARD_S_SUCCESS;
    }
    LONG Disconnect(SCARDHANDLE, DWORD) override { return SCARD_S_SUCCESS; }

    LONG Transmit(SCARDHANDLE, DWORD, const BYTE* command, DWORD length, BYTE* response,
                  DWORD* response_length) override {
        if (removed) return SCARD_W_REMOVED_CARD;
        commands.emplace_back(command, command + length);
        std::vector<BYTE> answer = Answer(command, length);
        if (answer.size() > *response_length) return SCARD_E_INSUFFICIENT_BUFFER;
        std::memcpy(response, answer.data(), answer.size());
        *response_length = static_cast<DWORD>(answer.size());
        return SCARD_S_SUCCESS;
    }

private:
    SCARDHANDLE next_handle_ = 0x2000;
    BYTE challenges_ = 0;

    static std::vector<BYTE> Status(DWORD sw) { return {static_cast<BYTE>(sw >> 8), static_cast<BYTE>(sw)}; }

    BYTE AidTypeByte() const {
        switch (card_type) {
        case 3: return 0x03;
        case 5: return 0x01;  // ... 95 00 01
        case 6: return 0x05;
        case 7: return 0x06;
        default: return 0x01;
        }
    }

    std::vector<BYTE> Answer(const BYTE* c, DWORD length) {
        if (length < 4) return Status(0x6700);
        const BYTE ins = c[1];
        if (ins == 0xA4 && c[2] == 0x04) {
            if (length < 13) return Status(0x6700);
            const bool type5_aid = c[11] == 0x00;
            const bool matches = card_type == 5 ? (type5_aid && c[12] == 0x01) : (!type5_aid && c[12] == AidTypeByte());
            return Status(matches ? 0x9000 : 0x6A82);
        }
        if (ins == 0xA4) return Status(0x9000);
        if (ins == 0x86) {
            std::vector<BYTE> out(8, static_cast<BYTE>(++challenges_));
            out.push_back(0x90);
            out.push_back(0x00);
            return out;
        }
        if (ins == 0x74) return {0x00, 0x90, 0x00};  // no containers
        if (ins == 0x7E) return Status(0x6A82);
        if (ins == 0x20 && c[0] == 0x80) return Status(pinpad_status);
        if (ins == 0x20) {
            if (tries_left == 0) return Status(0x6620);
            if (length != 21 || c[4] != 0x10) return Status(0x6700);
            std::vector<BYTE> expected(16, card_type == 5 ? 0x20 : 0xFF);
            std::memcpy(expected.data(), pin.data(), pin.size() < 16 ? pin.size() : 16);
            if (std::memcmp(expected.data(), c + 5, 16) == 0) {
                tries_left = 3;
                return Status(0x9000);
            }
            --tries_left;
            return Status(tries_left == 0 ? 0x6620 : 0x63C0u + static_cast<DWORD>(tries_left));
        }
        return Status(0x9000);
    }
};

}  // namespace kelm::test
