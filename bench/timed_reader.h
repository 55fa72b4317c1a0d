// The in-process reader with the time spent inside each command's transmission added up (the
// simulated card and its reader, its RSA above all), so that a benchmark can leave the host's
// share of a call: the call's time less the transmissions made during it.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "platform/pcsc/pcsc_backend.h"
#include "sim/inprocess_backend.h"

namespace kelm::bench {

// The monotonic clock (about 0.1 us a read); the thread's CPU clock would cost a system call of
// more than 1 us per read.
inline double Microseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

struct TimedReader : platform::PcscBackend {
    sim::InProcessBackend inner;
    double transmit_us = 0;
    LONG EstablishContext(DWORD scope, SCARDCONTEXT* context) override { return inner.EstablishContext(scope, context); }
    LONG ReleaseContext(SCARDCONTEXT context) override { return inner.ReleaseContext(context); }
    LONG ListReaders(SCARDCONTEXT context, std::vector<std::string>* readers) override {
        return inner.ListReaders(context, readers);
    }
    LONG Connect(SCARDCONTEXT context, const std::string& reader, DWORD share_mode, DWORD preferred_protocols,
                 SCARDHANDLE* card, DWORD* active_protocol) override {
        return inner.Connect(context, reader, share_mode, preferred_protocols, card, active_protocol);
    }
    LONG Disconnect(SCARDHANDLE card, DWORD disposition) override { return inner.Disconnect(card, disposition); }
    LONG Transmit(SCARDHANDLE card, DWORD protocol, const BYTE* command, DWORD command_length, BYTE* response,
                  DWORD* response_length) override {
        const double start = Microseconds();
        const LONG result = inner.Transmit(card, protocol, command, command_length, response, response_length);
        transmit_us += Microseconds() - start;
        return result;
    }
    LONG ReaderState(SCARDCONTEXT context, const std::string& reader, DWORD* state, std::vector<BYTE>* atr) override {
        return inner.ReaderState(context, reader, state, atr);
    }
};

}  // namespace kelm::bench
