#include "vtpatch/Lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "vtpatch/Failure.h"
#include "vtpatch/Files.h"

namespace vt::vtpatch {

std::string RootLockPath(const std::string& root) {
    return JoinPath(root, ".vtpatch.lock");
}

RunLock::RunLock(const std::string& command, const std::string& path, int flags,
                 const std::string& busy) {
    fd_ = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd_ < 0 && errno == ELOOP) {
        throw Refused({path + ": a symbolic link; " + command + " writes through none"});
    }
    if (fd_ < 0) {
        throw Failure("cannot open " + path + " to lock it");
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd_);
        throw Busy(busy);
    }
}

RunLock::~RunLock() {
    ::close(fd_);  // releases the lock; nothing was written through it
}

}  // namespace vt::vtpatch
