#include "format/KeyList.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "format/Expiry.h"
#include "format/Serial.h"

namespace vt::format {
namespace {

constexpr char kStatementHeader[] = "vtlauncher statement\n";

std::optional<uint64_t> Number(std::string_view text) {
    const SerialReading reading = ReadSerial(text);
    if (reading.form != SerialForm::Number) {
        return std::nullopt;
    }
    return reading.value;
}

std::optional<P256Signature> ParseSignatureHex(std::string_view text) {
    // A signature has the shape of a key: 64 bytes as 128 hex digits.
    const std::optional<P256PublicKey> bytes = ParsePublicKeyHex(text);
    if (!bytes) {
        return std::nullopt;
    }
    P256Signature signature{};
    std::copy(bytes->begin(), bytes->end(), signature.begin());
    return signature;
}

bool Verifies(const P256PublicKey& key, std::string_view message, const P256Signature& signature) {
    return VerifyP256Signature(key, std::as_bytes(std::span(message.data(), message.size())),
                               std::as_bytes(std::span(signature)));
}

// "name=value" lines under one "[keys]" header, LF or CRLF, each name once. The body is signed
// as written, so its form is strict: there is one way to read it.
std::optional<std::map<std::string, std::string>> BodyFields(std::string_view body) {
    std::map<std::string, std::string> fields;
    bool header = false;
    while (!body.empty()) {
        const std::size_t end = body.find('\n');
        std::string_view line = body.substr(0, end);
        body = end == std::string_view::npos ? std::string_view() : body.substr(end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (!header) {
            if (line != "[keys]") {
                return std::nullopt;
            }
            header = true;
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos || equals == 0 ||
            !fields
                 .emplace(std::string(line.substr(0, equals)), std::string(line.substr(equals + 1)))
                 .second) {
            return std::nullopt;
        }
    }
    if (!header) {
        return std::nullopt;
    }
    return fields;
}

std::optional<DelegatedKey> ReadDelegated(std::string_view value) {
    const std::size_t blank = value.find(' ');
    if (blank == std::string_view::npos) {
        return std::nullopt;
    }
    const std::optional<P256PublicKey> key = ParsePublicKeyHex(value.substr(0, blank));
    const std::optional<int64_t> expires = ParseExpiry(value.substr(blank + 1));
    if (!key || !expires) {
        return std::nullopt;
    }
    return DelegatedKey{*key, *expires};
}

// The fields other than the numbered keys.
bool ReadHead(std::map<std::string, std::string>& fields, KeyList& list) {
    auto take = [&](const char* name) -> std::optional<std::string> {
        const auto found = fields.find(name);
        if (found == fields.end()) {
            return std::nullopt;
        }
        std::string value = found->second;
        fields.erase(found);
        return value;
    };
    const auto serial = take("serial"), expires = take("expires"), minSerial = take("min-serial"),
               root = take("root"), rotatedFrom = take("rotated-from"), chain = take("chain");
    if (!serial || !expires || !minSerial || !root) {
        return false;
    }
    const auto serialValue = Number(*serial), minValue = Number(*minSerial);
    const auto expiresValue = ParseExpiry(*expires);
    const auto rootKey = ParsePublicKeyHex(*root);
    if (!serialValue || !minValue || !expiresValue || !rootKey) {
        return false;
    }
    list.serial = *serialValue;
    list.minSerial = *minValue;
    list.expires = *expiresValue;
    list.root = *rootKey;
    if (rotatedFrom) {
        list.rotatedFrom = ParsePublicKeyHex(*rotatedFrom);
        if (!list.rotatedFrom) {
            return false;
        }
    }
    if (chain) {
        list.chain = ParseDigestHex(*chain);
        if (!list.chain) {
            return false;
        }
    }
    return true;
}

std::string ExpiryText(int64_t seconds) {
    // Civil date from days since 1970 (the inverse of the reader's arithmetic).
    const int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    const int64_t secondOfDay = seconds - days * 86400;
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char text[96];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
                  static_cast<long long>(year), static_cast<long long>(month),
                  static_cast<long long>(day), static_cast<long long>(secondOfDay / 3600),
                  static_cast<long long>(secondOfDay / 60 % 60),
                  static_cast<long long>(secondOfDay % 60));
    return text;
}

}  // namespace

std::string KeyListPath(const Sha256Digest& fileDigest) {
    return std::string(kKeysFolder) + "/" + DigestHex(fileDigest) + ".signed";
}

bool KeyList::Holds(const P256PublicKey& key, int64_t nowUtc) const {
    return std::any_of(keys.begin(), keys.end(), [&](const DelegatedKey& delegated) {
        return delegated.key == key && nowUtc < delegated.expires;
    });
}

std::optional<KeyListFile> SplitKeyList(std::span<const std::byte> file) {
    if (file.size() < kKeyListHeaderBytes || file.size() > kKeyListMostBytes) {
        return std::nullopt;
    }
    KeyListFile parts;
    const auto bytes = reinterpret_cast<const uint8_t*>(file.data());
    std::copy(bytes, bytes + 64, parts.rootSignature.begin());
    std::copy(bytes + 64, bytes + 128, parts.previousSignature.begin());
    parts.body.assign(reinterpret_cast<const char*>(bytes) + kKeyListHeaderBytes,
                      file.size() - kKeyListHeaderBytes);
    return parts;
}

std::string JoinKeyList(const KeyListFile& file) {
    std::string bytes(file.rootSignature.begin(), file.rootSignature.end());
    bytes.append(file.previousSignature.begin(), file.previousSignature.end());
    return bytes + file.body;
}

std::optional<KeyList> ReadKeyListBody(std::string_view body) {
    std::optional<std::map<std::string, std::string>> fields = BodyFields(body);
    KeyList list;
    if (!fields || !ReadHead(*fields, list)) {
        return std::nullopt;
    }
    // What is left is the numbered keys, 1 to n without a gap.
    for (int n = 1; n <= kMostPublishKeys; ++n) {
        const auto found = fields->find(std::to_string(n));
        if (found == fields->end()) {
            break;
        }
        const std::optional<DelegatedKey> key = ReadDelegated(found->second);
        if (!key) {
            return std::nullopt;
        }
        list.keys.push_back(*key);
        fields->erase(found);
    }
    if (!fields->empty()) {
        return std::nullopt;
    }
    return list;
}

std::string KeyListBodyText(const KeyList& list) {
    std::string text = "[keys]\r\n";
    auto line = [&](const std::string& name, const std::string& value) {
        text += name + "=" + value + "\r\n";
    };
    line("serial", std::to_string(list.serial));
    line("expires", ExpiryText(list.expires));
    line("min-serial", std::to_string(list.minSerial));
    line("root", LowerHex(list.root));
    if (list.rotatedFrom) {
        line("rotated-from", LowerHex(*list.rotatedFrom));
    }
    if (list.chain) {
        line("chain", DigestHex(*list.chain));
    }
    for (std::size_t i = 0; i < list.keys.size(); ++i) {
        line(std::to_string(i + 1),
             LowerHex(list.keys[i].key) + " " + ExpiryText(list.keys[i].expires));
    }
    return text;
}

bool KeyListSignaturesHold(const KeyList& list, const KeyListFile& file) {
    if (!Verifies(list.root, file.body, file.rootSignature)) {
        return false;
    }
    if (list.rotatedFrom) {
        return Verifies(*list.rotatedFrom, file.body, file.previousSignature);
    }
    return std::all_of(file.previousSignature.begin(), file.previousSignature.end(),
                       [](uint8_t b) { return b == 0; });
}

ProfileKeys ReadProfileKeys(const std::function<std::string(const std::string& key)>& value) {
    ProfileKeys keys;
    const std::string list = value("list"), signer = value("signer");
    if (!list.empty()) {
        keys.list = ParseDigestHex(list);
        keys.malformed |= !keys.list;
    }
    if (!signer.empty()) {
        keys.signer = ParsePublicKeyHex(signer);
        keys.malformed |= !keys.signer;
    }
    return keys;
}

std::string StatementText(const LauncherStatement& statement) {
    return std::string(kStatementHeader) + "game=" + statement.game +
           "\nsize=" + std::to_string(statement.size) + "\nsha256=" + DigestHex(statement.sha256) +
           "\nserial=" + std::to_string(statement.serial) + "\n";
}

StatementReading ReadStatement(const std::function<std::string(const std::string& key)>& value) {
    const std::string game = value("game"), size = value("size"), sha256 = value("sha256"),
                      serial = value("serial"), signature = value("signature");
    StatementReading reading;
    if (game.empty() && size.empty() && sha256.empty() && serial.empty() && signature.empty()) {
        return reading;
    }
    reading.form = StatementForm::Malformed;
    const auto sizeValue = Number(size), serialValue = Number(serial);
    const auto digest = ParseDigestHex(sha256);
    const auto signatureValue = ParseSignatureHex(signature);
    if (game.empty() || game.find('\n') != std::string::npos || !sizeValue || *sizeValue == 0 ||
        !serialValue || !digest || !signatureValue) {
        return reading;
    }
    reading.form = StatementForm::Present;
    reading.signedStatement = {{game, *sizeValue, *digest, *serialValue}, *signatureValue};
    return reading;
}

std::string StatementLines(const SignedStatement& signedStatement) {
    const LauncherStatement& statement = signedStatement.statement;
    return "game=" + statement.game + "\r\nsize=" + std::to_string(statement.size) +
           "\r\nsha256=" + DigestHex(statement.sha256) +
           "\r\nserial=" + std::to_string(statement.serial) +
           "\r\nsignature=" + LowerHex(signedStatement.signature) + "\r\n";
}

bool StatementSignedBy(const SignedStatement& signedStatement, const P256PublicKey& root) {
    return Verifies(root, StatementText(signedStatement.statement), signedStatement.signature);
}

}  // namespace vt::format
