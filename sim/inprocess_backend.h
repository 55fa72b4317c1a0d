// A PC/SC backend that serves simulated cards from inside the process: named readers, each with
// or without a card, so the card layer runs in unit tests without pcscd.
//
// Behaviour follows the Windows smart-card service: an exclusive connection excludes every other
// one; SCARD_RESET_CARD, SCARD_UNPOWER_CARD and SCARD_EJECT_CARD at disconnect reset the card
// (its PIN-verified state ends) and every other handle on it then gets SCARD_W_RESET_CARD; a
// removed card gives SCARD_W_REMOVED_CARD to every handle that was connected to it.
//
// For tests: a forced status word or a truncated answer for the next command, a mute card, a
// card pulled in the middle of a sequence, and a log of every command and answer.
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/pcsc/pcsc_backend.h"
#include "sim/sim_card.h"

namespace kelm::sim {

struct Exchange {
    std::string reader;
    std::vector<BYTE> command;
    std::vector<BYTE> response;  // empty when the transmission failed
};

class InProcessBackend : public platform::PcscBackend {
public:
    InProcessBackend();
    ~InProcessBackend() override;
    InProcessBackend(const InProcessBackend&) = delete;
    InProcessBackend& operator=(const InProcessBackend&) = delete;

    // Readers are listed in the order they were added.
    void AddReader(const std::string& name);
    // Puts a card into a reader (replacing any card there); the card is owned by the backend.
    void InsertCard(const std::string& reader, SimCardPtr card);
    // Takes the card out; handles connected to it then fail with SCARD_W_REMOVED_CARD.
    SimCardPtr RemoveCard(const std::string& reader);
    // The card in a reader, or nullptr. Valid until the card is removed or replaced.
    SimCard* CardIn(const std::string& reader);
    // SCardEstablishContext fails with SCARD_E_NO_SERVICE while the service is "stopped".
    void SetServiceRunning(bool running);

    // Fault injection, each for the next command transmitted to that reader only.
    void ForceNextStatus(const std::string& reader, WORD status);  // the card is not asked
    void TruncateNextAnswer(const std::string& reader, size_t length);
    // A mute card: every transmission fails with SCARD_E_TIMEOUT and a new connection with
    // SCARD_W_UNRESPONSIVE_CARD until unmuted.
    void SetMute(const std::string& reader, bool mute);
    // The card is pulled right after it has carried out the next command with instruction `ins`
    // (its answer still reaches the host): later commands find no card. TakePulledCard hands the
    // card back, as it was when pulled, for inserting again.
    void PullCardAfter(const std::string& reader, BYTE ins);
    SimCardPtr TakePulledCard(const std::string& reader);

    // The most recent exchanges (at most kLogLimit), oldest first.
    static constexpr size_t kLogLimit = 100000;
    std::vector<Exchange> Log() const;
    void ClearLog();
    size_t OpenHandles() const;

    LONG EstablishContext(DWORD scope, SCARDCONTEXT* context) override;
    LONG ReleaseContext(SCARDCONTEXT context) override;
    LONG ListReaders(SCARDCONTEXT context, std::vector<std::string>* readers) override;
    LONG Connect(SCARDCONTEXT context, const std::string& reader, DWORD share_mode, DWORD preferred_protocols,
                 SCARDHANDLE* card, DWORD* active_protocol) override;
    LONG Disconnect(SCARDHANDLE card, DWORD disposition) override;
    LONG Transmit(SCARDHANDLE card, DWORD protocol, const BYTE* command, DWORD command_length, BYTE* response,
                  DWORD* response_length) override;
    LONG ReaderState(SCARDCONTEXT context, const std::string& reader, DWORD* state, std::vector<BYTE>* atr) override;

private:
    struct Reader {
        std::string name;
        SimCardPtr card{nullptr, FreeSimCard};
        unsigned insertion = 0;  // changes with every insertion and removal
        unsigned reset = 0;      // changes with every reset and power-off
        bool has_forced = false;
        WORD forced = 0;
        bool truncate = false;
        size_t truncate_to = 0;
        bool mute = false;
        bool pull_armed = false;
        BYTE pull_after = 0;
        SimCardPtr pulled{nullptr, FreeSimCard};
    };
    struct Handle {
        SCARDCONTEXT context;
        std::string reader;
        DWORD share_mode;
        DWORD protocol;
        unsigned insertion;
        unsigned reset;
    };
    Reader* FindReader(const std::string& name);

    mutable std::mutex lock_;
    bool service_running_ = true;
    std::vector<Reader> readers_;
    std::map<SCARDCONTEXT, bool> contexts_;
    std::map<SCARDHANDLE, Handle> handles_;
    ULONG_PTR next_id_ = 0x1000;
    std::deque<Exchange> log_;
    void Record(Exchange entry);
};

}  // namespace kelm::sim
