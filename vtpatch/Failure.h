#pragma once
// What the tool's operations throw: a message for the operator (UTF-8). Refused carries every
// reason a publish was refused for, so one run lists all of them.

#include <stdexcept>
#include <string>
#include <vector>

namespace vt::vtpatch {

class Failure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class Refused : public Failure {
  public:
    explicit Refused(std::vector<std::string> reasons)
        : Failure(reasons.empty() ? "refused" : reasons.front()), reasons_(std::move(reasons)) {}
    const std::vector<std::string>& Reasons() const { return reasons_; }

  private:
    std::vector<std::string> reasons_;
};

// Another run holds the lock this one needs; nothing was done.
class Busy : public Failure {
  public:
    using Failure::Failure;
};

}  // namespace vt::vtpatch
