// A progress bar for long work, on stderr when stderr is a terminal (and not --quiet), redrawn at
// most ten times a second and cleared when the work ends; nothing at all otherwise.
#pragma once

#include <chrono>
#include <string>

namespace kelm::tool {

class Progress {
public:
    // `total` 0: the amount is not known beforehand (a pipe), so the bytes done are shown.
    Progress(std::string label, unsigned long long total, bool quiet);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    void Advance(unsigned long long amount);

private:
    void Draw();
    std::string label_;
    unsigned long long total_;
    unsigned long long done_ = 0;
    bool shown_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point last_{};
};

}  // namespace kelm::tool
