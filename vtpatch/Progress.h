#pragma once
// A one-line counter on stderr for long operations, drawn only when stderr is a terminal.

#include <chrono>
#include <cstddef>
#include <string>

namespace vt::vtpatch {

class Progress {
  public:
    // `total` 0 shows the count alone.
    Progress(std::string label, size_t total);
    ~Progress();  // ends the line
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void Advance(size_t steps = 1);

  private:
    void Draw();

    std::string label_;
    size_t total_;
    size_t done_ = 0;
    bool shown_ = false;
    bool terminal_;
    std::chrono::steady_clock::time_point lastDraw_;
};

}  // namespace vt::vtpatch
