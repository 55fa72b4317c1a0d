// The progress bar: "encrypt  [#########           ]  45%  22.5 of 50.0 MB".
#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace kelm::tool {
namespace {

constexpr int kBarWidth = 30;
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

double Megabytes(unsigned long long bytes) { return static_cast<double>(bytes) / 1e6; }

}  // namespace

Progress::Progress(std::string label, unsigned long long total, bool quiet)
    : label_(std::move(label)), total_(total), shown_(!quiet && isatty(STDERR_FILENO) != 0) {}

Progress::~Progress() {
    if (drawn_) std::fprintf(stderr, "\r%*s\r", kBarWidth + static_cast<int>(label_.size()) + 40, "");
}

void Progress::Advance(unsigned long long amount) {
    done_ += amount;
    if (!shown_) return;
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - last_ < kRedrawEvery) return;
    last_ = now;
    Draw();
}

void Progress::Draw() {
    drawn_ = true;
    if (total_ == 0) {
        std::fprintf(stderr, "\r%s  %.1f MB", label_.c_str(), Megabytes(done_));
        return;
    }
    const unsigned long long done = done_ < total_ ? done_ : total_;
    const int filled = static_cast<int>(done * kBarWidth / total_);
    char bar[kBarWidth + 1];
    for (int i = 0; i < kBarWidth; ++i) bar[i] = i < filled ? '#' : ' ';
    bar[kBarWidth] = '\0';
    std::fprintf(stderr, "\r%s  [%s] %3d%%  %.1f of %.1f MB", label_.c_str(), bar, static_cast<int>(done * 100 / total_),
                 Megabytes(done), Megabytes(total_));
    std::fflush(stderr);
}

}  // namespace kelm::tool
