// Test seam for the clock, Sleep and the thread id, so that no unit test sleeps a real second
// and a 30-second window can be crossed in microseconds.
#pragma once

#include <functional>

#include "kelm/windows_types.h"
#include "platform/export.h"

namespace kelm::platform {

struct ClockSeam {
    std::function<DWORD()> tick_count;        // replaces GetTickCount
    std::function<void(DWORD)> sleep;         // replaces Sleep
    std::function<DWORD()> current_thread_id; // replaces GetCurrentThreadId
};

// Installs replacements; an empty member keeps the real function. nullptr restores all three.
KELM_PLATFORM_API void SetClockSeam(const ClockSeam* seam);

// A ready-made fake: a tick counter that Sleep advances, and a settable thread id.
struct FakeClock {
    DWORD now_ms = 1000;
    DWORD thread_id = 1;
    DWORD total_slept_ms = 0;
};
// Installs `clock` as the seam (nullptr restores the real clock).
KELM_PLATFORM_API void UseFakeClock(FakeClock* clock);

}  // namespace kelm::platform
