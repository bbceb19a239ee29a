#pragma once
// The locks that keep vtpatch runs apart: ROOT/.vtpatch.lock, so that a publish and a gc (or
// two publishes) never write one served tree at once, and the key, so that two publishes never
// take one serial.

#include <string>

namespace vt::vtpatch {

// ROOT/.vtpatch.lock.
std::string RootLockPath(const std::string& root);

// Holds an exclusive lock on a file for its life. Throws Refused when the file is a symbolic
// link (`command` names the run in that message), Busy with `busy` when another run holds the
// lock, Failure when it cannot be opened.
class RunLock {
  public:
    RunLock(const std::string& command, const std::string& path, int flags,
            const std::string& busy);
    ~RunLock();
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;

  private:
    int fd_ = -1;
};

}  // namespace vt::vtpatch
