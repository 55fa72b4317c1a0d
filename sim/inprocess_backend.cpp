#include "sim/inprocess_backend.h"

#include <algorithm>

namespace kelm::sim {

InProcessBackend::InProcessBackend() = default;
InProcessBackend::~InProcessBackend() = default;

InProcessBackend::Reader* InProcessBackend::FindReader(const std::string& name) {
    for (auto& reader : readers_) {
        if (reader.name == name) return &reader;
    }
    return nullptr;
}

void InProcessBackend::AddReader(const std::string& name) {
    std::lock_guard<std::mutex> guard(lock_);
    if (FindReader(name)) return;
    readers_.push_back(Reader{});
    readers_.back().name = name;
}

void InProcessBackend::InsertCard(const std::string& reader_name, SimCardPtr card) {
    std::lock_guard<std::mutex> guard(lock_);
    Reader* reader = FindReader(reader_name);
    if (!reader) {
        readers_.push_back(Reader{});
        reader = &readers_.back();
        reader->name = reader_name;
    }
    reader->card = std::move(card);
    if (reader->card) CardPowerOff(*reader->card);
    ++reader->insertion;
}

SimCardPtr InProcessBackend::RemoveCard(const std::string& reader_name) {
    std::lock_guard<std::mutex> guard(lock_);
    Reader* reader = FindReader(reader_name);
    if (!reader || !reader->card) return SimCardPtr(nullptr, FreeSimCard);
    ++reader->insertion;
    CardPowerOff(*reader->card);
    return std::move(reader->card);
}

SimCard* InProcessBackend::CardIn(const std::string& reader_name) {
    std::lock_guard<std::mutex> guard(lock_);
    Reader* reader = FindReader(reader_name);
    return reader ? reader->card.get() : nullptr;
}

void InProcessBackend::SetServiceRunning(bool running) {
    std::lock_guard<std::mutex> guard(lock_);
    service_running_ = running;
}

void InProcessBackend::ForceNextStatus(const std::string& reader_name, WORD status) {
    std::lock_guard<std::mutex> guard(lock_);
    if (Reader* reader = FindReader(reader_name)) {
        reader->has_forced = true;
        reader->forced = status;
    }
}

void InProcessBackend::TruncateNextAnswer(const std::string& reader_name, size_t length) {
    std::lock_guard<std::mutex> guard(lock_);
    if (Reader* reader = FindReader(reader_name)) {
        reader->truncate = true;
        reader->truncate_to = length;
    }
}

void InProcessBackend::SetMute(const std::string& reader_name, bool mute) {
    std::lock_guard<std::mutex> guard(lock_);
    if (Reader* reader = FindReader(reader_name)) reader->mute = mute;
}

void InProcessBackend::PullCardAfter(const std::string& reader_name, BYTE ins) {
    std::lock_guard<std::mutex> guard(lock_);
    if (Reader* reader = FindReader(reader_name)) {
        reader->pull_armed = true;
        reader->pull_after = ins;
    }
}

SimCardPtr InProcessBackend::TakePulledCard(const std::string& reader_name) {
    std::lock_guard<std::mutex> guard(lock_);
    Reader* reader = FindReader(reader_name);
    return reader ? std::move(reader->pulled) : SimCardPtr(nullptr, FreeSimCard);
}

std::vector<Exchange> InProcessBackend::Log() const {
    std::lock_guard<std::mutex> guard(lock_);
    return std::vector<Exchange>(log_.begin(), log_.end());
}

void InProcessBackend::Record(Exchange entry) {
    if (log_.size() >= kLogLimit) log_.pop_front();
    log_.push_back(std::move(entry));
}

void InProcessBackend::ClearLog() {
    std::lock_guard<std::mutex> guard(lock_);
    log_.clear();
}

size_t InProcessBackend::OpenHandles() const {
    std::lock_guard<std::mutex> guard(lock_);
    return handles_.size();
}

LONG InProcessBackend::EstablishContext(DWORD scope, SCARDCONTEXT* context) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!context) return SCARD_E_INVALID_PARAMETER;
    if (scope != SCARD_SCOPE_USER && scope != SCARD_SCOPE_SYSTEM) return SCARD_E_INVALID_VALUE;
    if (!service_running_) return SCARD_E_NO_SERVICE;
    *context = next_id_++;
    contexts_[*context] = true;
    return SCARD_S_SUCCESS;
}

LONG InProcessBackend::ReleaseContext(SCARDCONTEXT context) {
    std::lock_guard<std::mutex> guard(lock_);
    if (contexts_.erase(context) == 0) return SCARD_E_INVALID_HANDLE;
    // Handles of a released context are closed, leaving their cards as they are.
    for (auto it = handles_.begin(); it != handles_.end();) {
        it = it->second.context == context ? handles_.erase(it) : std::next(it);
    }
    return SCARD_S_SUCCESS;
}

LONG InProcessBackend::ListReaders(SCARDCONTEXT context, std::vector<std::string>* readers) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!contexts_.count(context)) return SCARD_E_INVALID_HANDLE;
    if (!service_running_) return SCARD_E_NO_SERVICE;
    if (!readers) return SCARD_E_INVALID_PARAMETER;
    if (readers_.empty()) return SCARD_E_NO_READERS_AVAILABLE;
    readers->clear();
    for (const auto& reader : readers_) readers->push_back(reader.name);
    return SCARD_S_SUCCESS;
}

LONG InProcessBackend::Connect(SCARDCONTEXT context, const std::string& reader_name, DWORD share_mode, DWORD preferred_protocols,
                               SCARDHANDLE* card, DWORD* active_protocol) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!contexts_.count(context)) return SCARD_E_INVALID_HANDLE;
    if (!card || !active_protocol) return SCARD_E_INVALID_PARAMETER;
    if (share_mode != SCARD_SHARE_EXCLUSIVE && share_mode != SCARD_SHARE_SHARED && share_mode != SCARD_SHARE_DIRECT)
        return SCARD_E_INVALID_VALUE;
    Reader* reader = FindReader(reader_name);
    if (!reader) return SCARD_E_UNKNOWN_READER;
    if (!reader->card && share_mode != SCARD_SHARE_DIRECT) return SCARD_E_NO_SMARTCARD;
    for (const auto& [id, handle] : handles_) {
        if (handle.reader != reader_name || handle.insertion != reader->insertion) continue;
        if (share_mode == SCARD_SHARE_EXCLUSIVE || handle.share_mode == SCARD_SHARE_EXCLUSIVE) return SCARD_E_SHARING_VIOLATION;
    }
    DWORD protocol = SCARD_PROTOCOL_UNDEFINED;
    if (share_mode != SCARD_SHARE_DIRECT && reader->mute) return SCARD_W_UNRESPONSIVE_CARD;  // no ATR
    if (share_mode != SCARD_SHARE_DIRECT) {
        protocol = CardPcscProtocol(*reader->card);
        if ((preferred_protocols & protocol) == 0) return SCARD_E_PROTO_MISMATCH;
        CardPowerOn(*reader->card);
    }
    SCARDHANDLE id = next_id_++;
    handles_[id] = Handle{context, reader_name, share_mode, protocol, reader->insertion, reader->reset};
    *card = id;
    *active_protocol = protocol;
    return SCARD_S_SUCCESS;
}

LONG InProcessBackend::Disconnect(SCARDHANDLE card, DWORD disposition) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = handles_.find(card);
    if (it == handles_.end()) return SCARD_E_INVALID_HANDLE;
    if (disposition > SCARD_EJECT_CARD) return SCARD_E_INVALID_VALUE;
    Handle handle = it->second;
    handles_.erase(it);
    Reader* reader = FindReader(handle.reader);
    if (!reader || !reader->card || handle.insertion != reader->insertion) return SCARD_S_SUCCESS;
    if (disposition == SCARD_RESET_CARD) {
        CardReset(*reader->card);
        ++reader->reset;
    } else if (disposition == SCARD_UNPOWER_CARD || disposition == SCARD_EJECT_CARD) {
        CardPowerOff(*reader->card);
        ++reader->reset;
    }
    return SCARD_S_SUCCESS;
}

LONG InProcessBackend::ReaderState(SCARDCONTEXT context, const std::string& reader_name, DWORD* state, std::vector<BYTE>* atr) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!contexts_.count(context)) return SCARD_E_INVALID_HANDLE;
    if (!state) return SCARD_E_INVALID_PARAMETER;
    Reader* reader = FindReader(reader_name);
    if (!reader) return SCARD_E_UNKNOWN_READER;
    if (atr) atr->clear();
    if (!reader->card) {
        *state = SCARD_STATE_EMPTY;
        return SCARD_S_SUCCESS;
    }
    *state = SCARD_STATE_PRESENT;
    if (reader->mute) *state |= SCARD_STATE_MUTE;
    for (const auto& [id, handle] : handles_) {
        if (handle.reader != reader_name || handle.insertion != reader->insertion) continue;
        *state |= handle.share_mode == SCARD_SHARE_EXCLUSIVE ? SCARD_STATE_EXCLUSIVE : SCARD_STATE_INUSE;
    }
    if (atr) *atr = CardAtr(*reader->card);
    return SCARD_S_SUCCESS;
}

LONG InProcessBackend::Transmit(SCARDHANDLE card, DWORD protocol, const BYTE* command, DWORD command_length, BYTE* response,
                                DWORD* response_length) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = handles_.find(card);
    if (it == handles_.end()) return SCARD_E_INVALID_HANDLE;
    Handle& handle = it->second;
    Reader* reader = FindReader(handle.reader);
    Exchange entry{handle.reader, std::vector<BYTE>(command, command ? command + command_length : command), {}};
    auto fail = [&](LONG code) {
        Record(std::move(entry));
        return code;
    };
    if (!command || command_length == 0 || !response_length) return fail(SCARD_E_INVALID_PARAMETER);
    if (!reader || !reader->card || handle.insertion != reader->insertion) return fail(SCARD_W_REMOVED_CARD);
    if (handle.reset != reader->reset) return fail(SCARD_W_RESET_CARD);
    if (handle.protocol == SCARD_PROTOCOL_UNDEFINED || protocol != handle.protocol) return fail(SCARD_E_PROTO_MISMATCH);
    if (reader->mute) return fail(SCARD_E_TIMEOUT);

    std::vector<BYTE> answer;
    if (reader->has_forced) {
        reader->has_forced = false;
        answer = {static_cast<BYTE>(reader->forced >> 8), static_cast<BYTE>(reader->forced)};
    } else {
        answer = CardExchange(*reader->card, command, command_length);
    }
    if (reader->truncate) {
        reader->truncate = false;
        answer.resize(std::min(answer.size(), reader->truncate_to));
    }
    entry.response = answer;
    Record(std::move(entry));
    if (reader->pull_armed && command_length > 1 && command[1] == reader->pull_after) {
        reader->pull_armed = false;
        ++reader->insertion;
        CardPowerOff(*reader->card);
        reader->pulled = std::move(reader->card);
    }
    if (!response || *response_length < answer.size()) {
        *response_length = static_cast<DWORD>(answer.size());
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    std::copy(answer.begin(), answer.end(), response);
    *response_length = static_cast<DWORD>(answer.size());
    return SCARD_S_SUCCESS;
}

}  // namespace kelm::sim
