#pragma once
// Two kinds of key. The root (the key launchers are built with) is kept offline; it signs key
// lists, which delegate publishing to publish keys for a time, and launcher statements. A
// publish key signs profiles. A profile names, in [keys], the list it relies on (by the SHA-256
// of the list's file) and the key that signed it; a profile without [keys] is signed by the root.
//
// A key list's file, served as autopatch/keys/<sha256 of the file>.signed, is 64 bytes of the
// root's signature, 64 bytes of the previous root's signature (zeros unless the list rotates the
// root), then the body, a profile text:
//
//   [keys]
//   serial=3                        only goes up; launchers refuse a lower one than they kept
//   expires=2028-01-01T00:00:00Z    launchers refuse the list from then on
//   min-serial=1765000000           a kept profile serial of a key this list does not hold is
//                                   lowered to this (the last genuine publish)
//   root=<128 hex>                  the root that signs the list
//   rotated-from=<128 hex>          only when the list hands over from that root to `root`
//   chain=<64 hex>                  the list that introduced the older root (rotated-from's, or
//                                   root's when the list does not rotate); absent for the first
//   1=<128 hex> 2027-12-31T00:00:00Z   publish keys with their expiry, 1 to 16
//
// Both signatures are over the body's exact bytes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/Crypto.h"

namespace vt::format {

using P256Signature = std::array<uint8_t, 64>;

inline constexpr char kKeysSection[] = "keys";
inline constexpr char kKeysFolder[] = "keys";  // below autopatch/
inline constexpr std::size_t kKeyListHeaderBytes = 128;
inline constexpr std::size_t kKeyListMostBytes = 8192;
inline constexpr int kMostPublishKeys = 16;

// "keys/<64 hex>.signed".
std::string KeyListPath(const Sha256Digest& fileDigest);

struct DelegatedKey {
    P256PublicKey key{};
    int64_t expires = 0;  // seconds since 1970 (UTC)
};

struct KeyList {
    uint64_t serial = 0;
    int64_t expires = 0;
    uint64_t minSerial = 0;
    P256PublicKey root{};
    std::optional<P256PublicKey> rotatedFrom;
    std::optional<Sha256Digest> chain;
    std::vector<DelegatedKey> keys;

    bool Holds(const P256PublicKey& key, int64_t nowUtc) const;
};

// A list's file in its three parts; nothing when shorter than the header or longer than
// kKeyListMostBytes.
struct KeyListFile {
    P256Signature rootSignature{};
    P256Signature previousSignature{};
    std::string body;
};
std::optional<KeyListFile> SplitKeyList(std::span<const std::byte> file);
std::string JoinKeyList(const KeyListFile& file);

// The body's fields; nothing when any is missing or malformed, a serial is past 2^53, a key is
// given twice, or a key is neither 1 to 16 nor a field above. The body's text is what the
// signatures cover, so reading it is safe before they are checked.
std::optional<KeyList> ReadKeyListBody(std::string_view body);
// The body in the form above, as vtpatch writes it (keys numbered from 1 in the given order).
std::string KeyListBodyText(const KeyList& list);

// Whether the file's signatures hold for what its body says: the root's always, the previous
// root's when the list rotates (and zeros otherwise).
bool KeyListSignaturesHold(const KeyList& list, const KeyListFile& file);

// What a profile says in [keys]: the list it relies on and the key that signed it. Absent
// values read as nothing; `malformed` when a value is present but not of its form.
struct ProfileKeys {
    std::optional<Sha256Digest> list;
    std::optional<P256PublicKey> signer;
    bool malformed = false;
};
ProfileKeys ReadProfileKeys(const std::function<std::string(const std::string& key)>& value);

// A launcher statement, signed by the root: the launcher whose `game` it is, by size and
// SHA-256, with a launcher serial that only goes up. A profile carries it in [launcher] as
// game=, size=, sha256=, serial= and signature= (128 hex digits over StatementText).
inline constexpr char kLauncherSection[] = "launcher";

struct LauncherStatement {
    std::string game;  // bytes of the profile's [game] game
    uint64_t size = 0;
    Sha256Digest sha256{};
    uint64_t serial = 0;
};

struct SignedStatement {
    LauncherStatement statement;
    P256Signature signature{};
};

// The exact bytes the root signs.
std::string StatementText(const LauncherStatement& statement);

enum class StatementForm { Absent, Malformed, Present };
struct StatementReading {
    StatementForm form = StatementForm::Absent;
    SignedStatement signedStatement;  // only when Present
};
// The [launcher] keys through `value` (a profile's value of a key of the section, empty when
// absent): Absent when none is given, Malformed when any is missing or not of its form.
StatementReading ReadStatement(const std::function<std::string(const std::string& key)>& value);
// The [launcher] section's lines ("game=...\r\n" ...), as a statement file and a profile hold it.
std::string StatementLines(const SignedStatement& signedStatement);

bool StatementSignedBy(const SignedStatement& signedStatement, const P256PublicKey& root);

}  // namespace vt::format
