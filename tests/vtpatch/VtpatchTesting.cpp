#include "tests/vtpatch/VtpatchTesting.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "base/Cp949.h"
#include "base/ModGame.h"
#include "base/Profile.h"
#include "format/Digest.h"
#include "format/Objects.h"
#include "vtpatch/Cli.h"
#include "vtpatch/Served.h"

namespace vt::vtpatch::test {

void Put(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string Get(const std::string& path) {
    return ReadFile(path).value_or(std::string());
}

void FlipBit(const std::string& path, size_t byte) {
    std::string bytes = Get(path);
    if (byte >= bytes.size()) {
        throw std::logic_error("no byte to flip in " + path);
    }
    bytes[byte] = static_cast<char>(bytes[byte] ^ 0x01);
    Put(path, bytes);
}

std::string Utf8ToCp949(const std::string& utf8) {
    return ToCp949(FromUtf8(utf8));
}

Keys::Keys() {
    WriteKeyPair(dir.Path());
}

P256PublicKey Keys::Public() const {
    P256PublicKey key{};
    if (!ParsePublicKey(Get(Pub()), key)) {
        throw std::logic_error("the test key does not parse");
    }
    return key;
}

SampleTree::SampleTree() {
    Set("vt.exe", "MZ client 1");
    Set("resource/sound/효과음.wav", "sound effect");
    Set("resource/sound/bgm/배경 음악.wav", "background music");
    Set("resource/sound/click.wav", "click");
    Set("resource/data/승리.bmp", "victory");
    Set("resource/data/ui/frame.bmp", "frame");
    Set("resource/data/card1/카드 뒷면.dat", "card back");
    Set("resource/data/card1/ace.dat", "ace");
    Set("resource/data/card3/joker.dat", "joker");
    // The installation's own files: never published.
    Set("vtgame.ini", "[game]\r\ngame=1\r\n");
    Set("vtlauncher.exe", "MZ launcher");
    Set("resource/sound/vtsound.ini", "[sound]\r\nclick.wav=old\r\n");
    Set("resource/data/SvrList.dat", "127.0.0.1:Local\r\n");
}

std::string Served::At(const std::string& relativeUtf8) const {
    return JoinPath(JoinPath(Path(), "autopatch"), Utf8ToCp949(relativeUtf8));
}

PublishResult Served::Publish(const SampleTree& tree, const Keys& keys,
                              std::optional<std::string> expires) const {
    PublishOptions options;
    options.tree = tree.Path();
    options.root = Path();
    options.keyPath = keys.Pem();
    options.game = "1";
    options.expires = std::move(expires);
    options.now = kNow;
    return vtpatch::Publish(options);
}

std::string Served::Value(const std::string& section, const std::string& key) const {
    profile::ClearCache();
    return ToUtf8(ReadProfileValue(FromUtf8(section), FromUtf8(key),
                                   FromUtf8(JoinPath(Path(), "autopatch/vtgame.ini"))));
}

void ServeProfile(const Served& served, const Keys& keys, const std::string& profile) {
    const Signature sig = PrivateKey::LoadPem(keys.Pem()).Sign(profile);
    const std::string sigBytes(sig.begin(), sig.end());
    Put(JoinPath(served.Path(), "autopatch/vtgame.ini"), profile);
    Put(JoinPath(served.Path(), "autopatch/vtgame.ini.sig"), sigBytes);
    Put(JoinPath(served.Path(), "autopatch/vtgame.signed"), sigBytes + profile);
}

void ServeObject(const Served& served, const std::string& bytes) {
    Put(JoinPath(served.Path(), "autopatch/" + format::ObjectPath(Sha256OfText(bytes))), bytes);
}

TempInMemory::TempInMemory() {
    if (::access("/dev/shm", W_OK) != 0 || !IsDirectory("/dev/shm")) {
        return;
    }
    if (const char* old = ::getenv("TMPDIR")) {
        saved_ = old;
    }
    changed_ = ::setenv("TMPDIR", "/dev/shm", 1) == 0;
}

TempInMemory::~TempInMemory() {
    if (!changed_) {
        return;
    }
    if (saved_) {
        ::setenv("TMPDIR", saved_->c_str(), 1);
    } else {
        ::unsetenv("TMPDIR");
    }
}

size_t ProblemsAt(const Findings& findings, const std::string& where) {
    size_t n = 0;
    for (const Finding& f : findings.List()) {
        n += f.problem && f.where.find(where) != std::string::npos ? 1 : 0;
    }
    return n;
}

std::string Describe(const Findings& findings) {
    std::string out;
    for (const Finding& f : findings.List()) {
        out += (f.problem ? "problem: " : "note: ") + f.where + ": " + f.what + "\n";
    }
    return out;
}

FolderServer::FolderServer(std::string root, ServerOptions options)
    : root_(std::move(root)), options_(options) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    // Listening already: a client may connect before the thread runs.
    thread_ = std::thread([this] { Run(); });
}

FolderServer::~FolderServer() {
    stop_ = true;
    thread_.join();
    ::close(listener_);
}

void FolderServer::Run() {
    while (!stop_) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) {
            continue;
        }
        int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            ++connections_;
            Serve(fd);
            ::close(fd);
        }
    }
}

void FolderServer::Serve(int fd) {
    std::string buffer;
    while (!stop_) {
        size_t end;
        while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
            pollfd p{fd, POLLIN, 0};
            if (stop_ || ::poll(&p, 1, 20) < 0) {
                return;
            }
            if (p.revents == 0) {
                continue;
            }
            char block[4096];
            ssize_t n = ::recv(fd, block, sizeof block, 0);
            if (n <= 0) {
                return;
            }
            buffer.append(block, static_cast<size_t>(n));
        }
        std::string head = buffer.substr(0, end);
        buffer.erase(0, end + 4);
        ++requests_;
        // "GET /path HTTP/1.1": the path percent-decoded into the file's bytes.
        size_t first = head.find(' ');
        size_t second = head.find(' ', first + 1);
        std::optional<std::string> path = PercentDecode(head.substr(first + 1, second - first - 1));
        std::optional<std::string> body;
        if (path && path->find("..") == std::string::npos) {
            body = ReadFile(root_ + *path);
        }
        if (body && path &&
            (path->ends_with(options_.inflated) || path->ends_with(options_.silent) ||
             path->ends_with(options_.trickled))) {
            return Hold(fd, *path, *body);
        }
        std::string answer = body ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.1 404 Not Found\r\n";
        if (!body) {
            body = "not here";
        }
        if (options_.sendLength) {
            answer += "Content-Length: " + std::to_string(body->size()) + "\r\n";
        }
        bool keep = options_.keepAlive && options_.sendLength;
        answer += keep ? "\r\n" : "Connection: close\r\n\r\n";
        answer += *body;
        if (!Send(fd, answer) || !keep) {
            return;
        }
    }
}

bool FolderServer::Send(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool FolderServer::WaitForClose(int fd, std::chrono::milliseconds most) {
    const auto end = std::chrono::steady_clock::now() + most;
    while (!stop_ && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) < 0) {
            return false;
        }
        char block[4096];
        if (p.revents != 0 && ::recv(fd, block, sizeof block, MSG_DONTWAIT) <= 0) {
            ++closedByClient_;
            return true;
        }
    }
    return false;
}

void FolderServer::Hold(int fd, const std::string& path, const std::string& body) {
    if (path.ends_with(options_.silent)) {
        WaitForClose(fd, std::chrono::hours(1));
        return;
    }
    const bool inflated = path.ends_with(options_.inflated);
    const std::string length = inflated ? "1073741824" : std::to_string(body.size());
    if (!Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + length + "\r\n\r\n")) {
        return;
    }
    if (inflated) {
        if (Send(fd, body)) {
            heldBytesSent_ += static_cast<int64_t>(body.size());
        }
        WaitForClose(fd, std::chrono::hours(1));
        return;
    }
    for (char c : body) {
        if (!Send(fd, std::string_view(&c, 1))) {
            return;
        }
        ++heldBytesSent_;
        if (WaitForClose(fd, options_.trickleGap)) {
            return;
        }
    }
}

CliOutcome RunCliAtNow(const std::vector<std::string>& args) {
    std::ostringstream out;
    std::ostringstream err;
    CliOutcome r;
    r.status = RunCli(args, out, err, kNow);
    r.out = out.str();
    r.err = err.str();
    return r;
}

}  // namespace vt::vtpatch::test
