// Sleep, GetTickCount and GetCurrentThreadId, each replaceable through the clock seam so that
// tests can cross long waits and change threads without waiting or spawning anything.
#include "platform/process/clock_seam.h"

#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <mutex>

#include "kelm/winapi.h"

namespace kelm::platform {
namespace {

std::mutex g_seam_mutex;
ClockSeam g_seam;

// Copies the member under the lock, so a seam may be replaced while another thread calls it.
template <typename Member>
Member CopyMember(Member ClockSeam::*member) {
    std::lock_guard<std::mutex> lock(g_seam_mutex);
    return g_seam.*member;
}

}  // namespace

void SetClockSeam(const ClockSeam* seam) {
    std::lock_guard<std::mutex> lock(g_seam_mutex);
    g_seam = seam != nullptr ? *seam : ClockSeam{};
}

void UseFakeClock(FakeClock* clock) {
    if (clock == nullptr) {
        SetClockSeam(nullptr);
        return;
    }
    ClockSeam seam;
    seam.tick_count = [clock] { return clock->now_ms; };
    seam.sleep = [clock](DWORD ms) {
        clock->now_ms += ms;  // wraps like the real 32-bit tick count
        clock->total_slept_ms += ms;
    };
    seam.current_thread_id = [clock] { return clock->thread_id; };
    SetClockSeam(&seam);
}

}  // namespace kelm::platform

using kelm::platform::ClockSeam;

KELM_WINAPI_EXPORT void WINAPI Sleep(DWORD dwMilliseconds) {
    if (auto fake = kelm::platform::CopyMember(&ClockSeam::sleep)) {
        fake(dwMilliseconds);
        return;
    }
    timespec wait{static_cast<time_t>(dwMilliseconds / 1000), static_cast<long>(dwMilliseconds % 1000) * 1000000L};
    timespec left{};
    while (nanosleep(&wait, &left) != 0 && errno == EINTR) wait = left;
}

// Milliseconds since boot (suspend included, as on Windows), wrapping every 49.7 days.
KELM_WINAPI_EXPORT DWORD WINAPI GetTickCount(void) {
    if (auto fake = kelm::platform::CopyMember(&ClockSeam::tick_count)) return fake();
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<DWORD>(ms);
}

// The kernel's thread id: unique among live threads of the system and never zero.
KELM_WINAPI_EXPORT DWORD WINAPI GetCurrentThreadId(void) {
    if (auto fake = kelm::platform::CopyMember(&ClockSeam::current_thread_id)) return fake();
    return static_cast<DWORD>(gettid());
}
