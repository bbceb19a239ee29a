#pragma once
// What the vtpatch tests share: byte-path file helpers, a key pair, a publisher's sample tree
// and a loopback HTTP server that serves a folder the way nginx does (percent-decoded bytes).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "vtpatch/Crypto.h"
#include "vtpatch/Files.h"
#include "vtpatch/Listing.h"
#include "vtpatch/Publish.h"

namespace vt::vtpatch::test {

// Seconds since 1970 the tests use as "now": 2030-01-01T00:00:00Z.
inline constexpr int64_t kNow = 1893456000;

void Put(const std::string& path, const std::string& bytes);  // parent folders made
std::string Get(const std::string& path);                     // empty when absent
void FlipBit(const std::string& path, size_t byte = 0);
std::string Utf8ToCp949(const std::string& utf8);

// A folder with patch-key.pem and patch-key.pub.
struct Keys {
    TempDirectory dir;
    Keys();
    std::string Pem() const { return JoinPath(dir.Path(), "patch-key.pem"); }
    std::string Pub() const { return JoinPath(dir.Path(), "patch-key.pub"); }
    P256PublicKey Public() const;
};

// A publisher's tree with every kind of file: Korean names, subfolders, card sets, and the
// installation's own files that are never published.
struct SampleTree {
    TempDirectory dir;
    SampleTree();
    std::string Path() const { return dir.Path(); }
    void Set(const std::string& relative, const std::string& bytes) const {
        Put(JoinPath(dir.Path(), relative), bytes);
    }
};

// A served root and what publishing into it takes.
struct Served {
    TempDirectory root;
    std::string Path() const { return root.Path(); }
    std::string At(const std::string& relativeUtf8) const;  // autopatch/<name in CP949>
    PublishResult Publish(const SampleTree& tree, const Keys& keys,
                          std::optional<std::string> expires = std::nullopt) const;
    std::string Profile() const { return Get(JoinPath(Path(), "autopatch/vtgame.ini")); }
    // A value of the served vtgame.ini.
    std::string Value(const std::string& section, const std::string& key) const;
};

// As publish serves them, for tests that serve files of their own: `profile` signed with
// `keys` as vtgame.ini, vtgame.ini.sig and vtgame.signed; `bytes` under objects/ by SHA-256.
void ServeProfile(const Served& served, const Keys& keys, const std::string& profile);
void ServeObject(const Served& served, const std::string& bytes);

// Points TMPDIR at /dev/shm, when there is one, until destroyed: for tests of tens of
// thousands of files, which a disk that discards freed blocks takes minutes to remove.
class TempInMemory {
  public:
    TempInMemory();
    ~TempInMemory();
    TempInMemory(const TempInMemory&) = delete;
    TempInMemory& operator=(const TempInMemory&) = delete;

  private:
    std::optional<std::string> saved_;
    bool changed_ = false;
};

// Findings whose `where` contains `where`.
size_t ProblemsAt(const Findings& findings, const std::string& where);
std::string Describe(const Findings& findings);  // for failure messages

struct ServerOptions {
    bool sendLength = true;
    bool keepAlive = true;
    // Requests whose path ends so are answered as a man in the middle would: `inflated` with
    // a Content-Length of a gigabyte and the file's real bytes, then nothing more; `silent`
    // with nothing at all; `trickled` a byte every trickleGap. Each holds the connection until
    // the client closes it.
    std::string inflated = "\n";
    std::string silent = "\n";
    std::string trickled = "\n";
    std::chrono::milliseconds trickleGap{100};
};

// Serves `root` on 127.0.0.1 (a port of its own) until destroyed.
class FolderServer {
  public:
    explicit FolderServer(std::string root, ServerOptions options = {});
    ~FolderServer();
    FolderServer(const FolderServer&) = delete;
    FolderServer& operator=(const FolderServer&) = delete;
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
    int Requests() const { return requests_.load(); }
    int Connections() const { return connections_.load(); }
    // Connections the client closed while the server held them.
    int ClosedByClient() const { return closedByClient_.load(); }
    // Body bytes of the held answers the server handed to the network.
    int64_t HeldBytesSent() const { return heldBytesSent_.load(); }

  private:
    void Run();
    void Serve(int fd);
    bool Send(int fd, std::string_view bytes);
    // Holds a held answer's connection until the client closes it (true) or the server stops.
    bool WaitForClose(int fd, std::chrono::milliseconds most);
    void Hold(int fd, const std::string& path, const std::string& body);

    std::string root_;
    ServerOptions options_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::atomic<int> connections_{0};
    std::atomic<int> closedByClient_{0};
    std::atomic<int64_t> heldBytesSent_{0};
    std::thread thread_;
};

// What the command line `args` (without the program's name) does at kNow: exit status and output.
struct CliOutcome {
    int status = -1;
    std::string out;
    std::string err;
};
CliOutcome RunCliAtNow(const std::vector<std::string>& args);

}  // namespace vt::vtpatch::test
