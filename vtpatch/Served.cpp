#include "vtpatch/Served.h"

#include <sys/stat.h>

#include "base/Cp949.h"
#include "base/NumberText.h"
#include "vtpatch/Failure.h"
#include "vtpatch/Files.h"
#include "vtpatch/Format.h"
#include "vtpatch/Http.h"

namespace vt::vtpatch {
namespace {

std::optional<uint64_t> FileSize(const std::string& path) {
    struct stat facts {};
    if (::stat(path.c_str(), &facts) != 0 || !S_ISREG(facts.st_mode)) {
        return std::nullopt;
    }
    return static_cast<uint64_t>(facts.st_size);
}

class FolderTree final : public ServedTree {
  public:
    explicit FolderTree(std::string root) : root_(std::move(root)) {}

    Fetched Fetch(const std::string& path, const std::function<void(std::string_view)>& sink,
                  std::optional<uint64_t> most) override {
        Fetched result;
        std::optional<std::string> relative = PercentDecode(path);
        if (!relative || !Contained(*relative)) {
            result.outcome = Fetched::Outcome::Refused;
            result.why = "a request no web server maps into the tree";
            return result;
        }
        const std::string file = JoinPath(root_, *relative);
        if (const std::optional<uint64_t> size = FileSize(file); size && most && *size > *most) {
            result.outcome = Fetched::Outcome::Refused;
            result.size = static_cast<int64_t>(*size);
            result.why = BeyondBound(*size, *most);
            return result;
        }
        std::optional<FileFacts> facts;
        try {
            facts = HashFileBelow(root_, *relative, sink);
        } catch (const SymbolicLink& link) {
            // What a web server makes of it depends on its settings; it points out of the tree.
            result.outcome = Fetched::Outcome::Refused;
            result.why = "a symbolic link (" + link.Path() + "), which vtpatch does not follow";
            return result;
        }
        if (!facts) {
            return result;
        }
        result.outcome = Fetched::Outcome::Ok;
        result.size = facts->size;
        return result;
    }

    std::string Where(const std::string& path) const override {
        return JoinPath(root_, PercentDecode(path).value_or(path));
    }

    std::optional<std::vector<std::string>> ListFolder(const std::string& folder) override {
        std::vector<std::string> out;
        const std::string path = JoinPath(root_, folder);
        if (IsDirectory(path)) {
            for (const TreeEntry& e : ListTree(path)) {
                out.push_back(e.relative);
            }
        }
        return out;
    }

  private:
    // No NUL, no empty, "." or ".." component: the request stays below the root.
    static bool Contained(std::string_view relative) {
        if (relative.empty() || relative.find('\0') != std::string_view::npos) {
            return false;
        }
        size_t start = 0;
        for (;;) {
            size_t end = relative.find('/', start);
            std::string_view part =
                relative.substr(start, end == std::string_view::npos ? end : end - start);
            if (part.empty() || part == "." || part == "..") {
                return false;
            }
            if (end == std::string_view::npos) {
                return true;
            }
            start = end + 1;
        }
    }

    std::string root_;
};

class HttpTree final : public ServedTree {
  public:
    HttpTree(HttpUrl base, SlowAnswerRule patience)
        : base_(base), patience_(patience), client_(std::move(base), patience) {}

    Fetched Fetch(const std::string& path, const std::function<void(std::string_view)>& sink,
                  std::optional<uint64_t> most) override {
        HttpResponse response = client_.Get(base_.path + path, sink, most);
        Fetched result;
        if (response.status == 404 && response.slow == SlowAnswer::None) {
            return result;
        }
        result.outcome = Fetched::Outcome::Refused;
        result.size = response.received;
        if (response.slow != SlowAnswer::None) {
            result.why = ToUtf8(DescribeSlowAnswer(response.slow, patience_)) +
                         "; the launcher abandons such an answer";
        } else if (response.status != 200) {
            result.why = "the server answers HTTP " + std::to_string(response.status);
        } else if (!response.contentLength) {
            result.why = "the answer has no Content-Length, which the launcher requires";
        } else if (response.beyondBound) {
            result.size = *response.contentLength;
            result.why = "announced as " + BeyondBound(*response.contentLength, *most);
        } else if (!response.complete) {
            result.why = "the body ended after " + std::to_string(response.received) + " of " +
                         std::to_string(*response.contentLength) + " bytes";
        } else {
            result.outcome = Fetched::Outcome::Ok;
        }
        return result;
    }

    std::string Where(const std::string& path) const override {
        std::string port = base_.port == "80" ? "" : ":" + base_.port;
        std::string host =
            base_.host.find(':') != std::string::npos ? "[" + base_.host + "]" : base_.host;
        return "http://" + host + port + base_.path + path;
    }

  private:
    HttpUrl base_;
    SlowAnswerRule patience_;
    HttpClient client_;
};

}  // namespace

std::string BeyondBound(uint64_t size, uint64_t most) {
    return std::to_string(size) + " bytes, more than the " + std::to_string(most) +
           " it may have; the launcher refuses it before reading it";
}

std::optional<std::string> ServedTree::FetchWhole(const std::string& path, Fetched& result,
                                                  uint64_t most) {
    std::string body;
    result = Fetch(
        path, [&body](std::string_view piece) { body.append(piece); }, most);
    if (result.outcome != Fetched::Outcome::Ok) {
        return std::nullopt;
    }
    return body;
}

std::unique_ptr<ServedTree> OpenServedTree(const std::string& rootOrUrl, SlowAnswerRule patience) {
    if (rootOrUrl.find("://") != std::string::npos) {
        std::optional<HttpUrl> url = ParseHttpUrl(rootOrUrl);
        if (!url) {
            throw Failure(rootOrUrl + " is not an http:// URL");
        }
        // The URL stands for the launcher's patch host; its autopatch/ folder is the tree.
        const std::string folder = std::string("/") + kServedFolder;
        if (url->path.ends_with(folder)) {
            url->path += "/";
        } else if (!url->path.ends_with(folder + "/")) {
            if (!url->path.ends_with("/")) {
                url->path += "/";
            }
            url->path += std::string(kServedFolder) + "/";
        }
        return std::make_unique<HttpTree>(std::move(*url), patience);
    }
    std::string root = JoinPath(rootOrUrl, kServedFolder);
    if (IsLink(root)) {
        throw SymbolicLink(root);
    }
    if (!IsDirectory(root)) {
        std::string trimmed = rootOrUrl;
        while (trimmed.size() > 1 && trimmed.back() == '/') {
            trimmed.pop_back();
        }
        if (trimmed.ends_with(kServedFolder) && IsDirectory(trimmed)) {
            root = trimmed;
        } else {
            throw Failure("no served tree at " + rootOrUrl + ": it holds no folder " +
                          kServedFolder);
        }
    }
    return std::make_unique<FolderTree>(root);
}

std::optional<std::string> PercentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) {
            return std::nullopt;
        }
        int high = HexValue(text[i + 1]);
        int low = HexValue(text[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        out.push_back(static_cast<char>(high << 4 | low));
        i += 2;
    }
    return out;
}

}  // namespace vt::vtpatch
