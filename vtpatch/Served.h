#pragma once
// A served tree as the launcher reaches it: by the relative URL it requests below
// "autopatch/", from a folder (the file a web server would map the request to: percent-decoded
// bytes, code page 949 for Korean names) or over HTTP.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "transfer/SlowAnswer.h"

namespace vt::vtpatch {

struct Fetched {
    enum class Outcome {
        Ok,       // the whole body arrived (it may be empty: the caller judges that)
        Missing,  // no such file, HTTP 404
        Refused,  // something the launcher would fail on; `why` says what
    };
    Outcome outcome = Outcome::Missing;
    int64_t size = 0;
    std::string why;
};

class ServedTree {
  public:
    virtual ~ServedTree() = default;
    // `path` is relative to autopatch/ and percent-encoded exactly as the launcher sends it.
    // A file of more than `most` bytes is Refused without a byte of it going to `sink`.
    virtual Fetched Fetch(const std::string& path,
                          const std::function<void(std::string_view)>& sink,
                          std::optional<uint64_t> most = std::nullopt) = 0;
    // Where `path` is, for messages.
    virtual std::string Where(const std::string& path) const = 0;

    // The whole body of at most `most` bytes, or nothing with `result` telling why.
    std::optional<std::string> FetchWhole(const std::string& path, Fetched& result, uint64_t most);

    // The files below `folder` (relative to autopatch/, ending in '/'), as paths relative to
    // it; nothing when the tree cannot be listed (over HTTP).
    virtual std::optional<std::vector<std::string>> ListFolder(const std::string& /*folder*/) {
        return std::nullopt;
    }
};

// A folder (the publish ROOT, or its autopatch folder itself) or an http:// URL of the root
// the launcher's host stands for, whose answers are held to `patience`. Throws Failure when it
// is neither.
std::unique_ptr<ServedTree> OpenServedTree(const std::string& rootOrUrl,
                                           SlowAnswerRule patience = {});

// Why a file of `size` bytes is refused when it may have `most`.
std::string BeyondBound(uint64_t size, uint64_t most);

// "%ED%9A%A8" -> bytes; nothing for a malformed escape.
std::optional<std::string> PercentDecode(std::string_view text);

}  // namespace vt::vtpatch
