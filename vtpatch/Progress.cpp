#include "vtpatch/Progress.h"

#include <unistd.h>

#include <cstdio>

namespace vt::vtpatch {
namespace {

// About ten redraws a second keep a terminal readable and cost nothing.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

}  // namespace

Progress::Progress(std::string label, size_t total)
    : label_(std::move(label)), total_(total), terminal_(::isatty(STDERR_FILENO) == 1) {}

Progress::~Progress() {
    if (terminal_ && shown_) {
        Draw();
        std::fputc('\n', stderr);
    }
}

void Progress::Advance(size_t steps) {
    done_ += steps;
    if (!terminal_) {
        return;
    }
    auto now = std::chrono::steady_clock::now();
    if (!shown_ || now - lastDraw_ >= kRedrawInterval || done_ == total_) {
        lastDraw_ = now;
        shown_ = true;
        Draw();
    }
}

void Progress::Draw() {
    if (total_ > 0) {
        std::fprintf(stderr, "\r%s: %zu/%zu", label_.c_str(), done_, total_);
    } else {
        std::fprintf(stderr, "\r%s: %zu", label_.c_str(), done_);
    }
    std::fflush(stderr);
}

}  // namespace vt::vtpatch
