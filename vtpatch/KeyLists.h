#pragma once
// The operator's side of the two kinds of key (format/KeyList.h): key list files made from the
// current one (delegate, revoke, rotate-root) and launcher statements (sign-launcher). Each
// refuses what would leave launchers unable to follow: a list already expired or holding an
// expired key, a root that is not the current list's, a serial that does not go up.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "format/KeyList.h"
#include "vtpatch/Crypto.h"
#include "vtpatch/Files.h"

namespace vt::vtpatch {

inline constexpr char kRootKeyName[] = "root-key";  // keygen --root: root-key.pem, root-key.pub

// A key list file as read from disk: its bytes, its parts and body, and its SHA-256 (the
// name it is served under). Refused, naming the file, when it is not a list whose signatures
// hold; Failure when it cannot be read.
struct ListFile {
    std::string bytes;
    Sha256Digest digest{};
    format::KeyListFile parts;
    format::KeyList list;
};
ListFile ReadListFile(const std::string& path);

// A public key file (128 hex digits); Failure naming it otherwise.
P256PublicKey ReadPublicKeyFile(const std::string& path);

// `bytes` as a new file `path`, never over an existing one (Refused then).
void WriteNewFile(const std::string& path, std::string_view bytes, unsigned mode = 0644);

// What the served tree ROOT says about keys: who signed its profile and which list it names.
struct ServedKeys {
    uint64_t serial = 0;                  // [publish] serial (0 when absent)
    std::optional<P256PublicKey> signer;  // [keys] signer; nothing: the root signed it
    std::optional<format::KeyList> list;  // the list [keys] names, when served beside it
};
// Nothing when ROOT serves no profile. Refused when the served profile verifies with neither
// its signer nor one of `roots`.
std::optional<ServedKeys> ReadServedKeys(const std::string& root,
                                         const std::vector<P256PublicKey>& roots);

enum class ListChangeKind { Delegate, Revoke, RotateRoot };

struct ListChange {
    ListChangeKind kind = ListChangeKind::Delegate;
    std::string rootPem;                    // the root that signs (the old one for RotateRoot)
    std::optional<std::string> newRootPem;  // RotateRoot
    std::optional<std::string> from;        // the current list
    std::vector<std::pair<std::string, std::optional<int64_t>>> keys;  // Delegate: .pub, expiry
    std::optional<std::string> revoked;  // Revoke: the .pub of the key to drop
    std::optional<int64_t> expires;      // else the current list's (Revoke, RotateRoot)
    std::optional<uint64_t> minSerial;   // else carried over (Revoke: see MakeKeyList)
    std::optional<std::string> served;   // the served tree ROOT, to check against
    std::string out;
    int64_t now = 0;
};

struct ListMade {
    format::KeyList list;
    Sha256Digest digest{};
    std::vector<std::string> notes;
};

// Signs the new list and writes it as `change.out` (never over a file). Throws Refused with
// every reason it would lock launchers out or cannot be followed.
ListMade MakeKeyList(const ListChange& change);

// The statement the root signs for the launcher program at `path`: its size and SHA-256,
// `gameCp949` (the bytes of the profile's [game] game) and `serial`.
format::SignedStatement SignStatement(const PrivateKey& root, const std::string& path,
                                      const std::string& gameCp949, uint64_t serial);
// A statement file: "[launcher]" and the section's lines, as a profile holds them.
std::string StatementFileText(const format::SignedStatement& statement);
// Refused when the file holds no well-formed statement.
format::SignedStatement ReadStatementFile(const std::string& path);
// Why a profile for `gameCp949` serving the launcher `facts` must not carry `statement`,
// signed as it must be by `root`; empty when it may.
std::vector<std::string> StatementProblems(const format::SignedStatement& statement,
                                           const FileFacts& facts, const std::string& gameCp949,
                                           const P256PublicKey& root);

}  // namespace vt::vtpatch
