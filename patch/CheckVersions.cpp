#include "patch/CheckVersions.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <utility>

#include "base/AppError.h"
#include "base/Cp949.h"
#include "base/Crypto.h"
#include "base/EndProgram.h"
#include "base/FileSystem.h"
#include "base/Log.h"
#include "base/ModGame.h"
#include "base/Profile.h"
#include "format/Bounds.h"
#include "format/Digest.h"
#include "format/KeyChain.h"
#include "format/KeyList.h"
#include "format/Objects.h"
#include "format/Pins.h"
#include "format/Serial.h"
#include "format/Sets.h"
#include "patch/Mirrors.h"
#include "patch/Refusal.h"
#include "patch/SignedProfile.h"
#include "patch/Texts.h"
#include "selfupdate/Statement.h"
#include "selfupdate/Swap.h"
#include "sets/SetSync.h"

namespace vt {
namespace {

constexpr wchar_t kSection[] = L"game";
constexpr wchar_t kProfileName[] = L"vtgame.ini";
constexpr wchar_t kPublishSection[] = L"publish";
constexpr wchar_t kHashKey[] = L"sha256";    // of the accepted profile, beside its serial
constexpr wchar_t kSignerKey[] = L"signer";  // the delegated key that signed it; empty: a root
constexpr wchar_t kKeysSection[] = L"keys";
constexpr wchar_t kKeysFolder[] = L"keys\\";  // below AppDir: the lists checked, by hash

// Runs `update` when the server's and the local value of `key` differ, then records the
// server's value (a signed profile without the key records it empty, and updates nothing). Values
// are opaque bytes: any difference, an older one included, is an update, and the record reads back
// as exactly the server's bytes (quoted when blanks or quotes would otherwise be lost), so the next
// start finds both equal.
// A set whose key is current runs too when a file it records is missing (`missing`, for sets).
void CheckKey(PatchHost& host, const std::wstring& key, const std::function<void()>& update,
              const std::function<bool()>& missing = {}) {
    const std::string server = ReadProfileBytes(kSection, key, TempDir + kProfileName);
    const std::string local = ReadProfileBytes(kSection, key, AppDir + kProfileName);
    if (server == local) {
        if (!server.empty() && missing && missing()) {
            update();
        }
        return;
    }
    if (server.empty() && host.Keyed()) {
        // A signed profile without the key dropped the set: there is no manifest to trust, so
        // its files stay as they are and only the record says it is no longer published.
        host.BeforeChange();
        WriteProfileBytes(kSection, key, "", AppDir + kProfileName);
        LogLine(L"set dropped: " + key);
        return;
    }
    if (!ProfileCanRecord(server)) {
        // Checked first: an update whose version cannot be kept would run on every start.
        throw AppError(ErrorNumber::InvalidArgument,
                       std::wstring(kProfileName) + L" [" + kSection + L"] " + key +
                           L" 값을 기록할 수 없습니다: " + FromCp949(server));
    }
    update();
    host.BeforeChange();
    WriteProfileBytes(kSection, key, server, AppDir + kProfileName);
}

// Keeps what must be kept before vt.exe replaces the installed client.
class ClientPlacement final : public BatchListener {
  public:
    explicit ClientPlacement(PatchHost& host) : host_(host) {}
    void BeforeFirstPlace() override { host_.BeforeChange(); }
    void Placed(std::size_t) override { host_.DoEvents(); }

  private:
    PatchHost& host_;
};

void UpdateClient(PatchHost& host) {
    std::optional<Pin> pin;
    if (host.Keyed()) {
        pin = PublishedPin(L"vt.exe");
        if (!pin) {
            Refuse(host, Refusal::DamagedFile, L"vt.exe");
        }
    }
    const std::wstring staging =
        TempDir + (pin ? FromUtf8(DigestHex(pin->sha256)) + L".part" : L"vtgame.part");
    const BatchFile client{pin ? ObjectUrl(*pin) : PatchBaseUrl + L"vt.exe",
                           AppDir,
                           L"vt.exe",
                           L"vt.exe",
                           staging,
                           pin};
    ClientPlacement listener(host);
    host.FetchPayloads(std::span(&client, 1), listener);
}

// A keyed launcher the profile's [game] game does not take: true when it goes on with the
// other keys, without recording game (its statement's launcher failed here, now or before).
bool GoesOnWithoutGame(PatchHost& host, const std::string& serverGame) {
    const std::optional<P256PublicKey> root = host.StatementRoot();
    if (!root) {
        return false;
    }
    const std::wstring staged = TempDir + kProfileName;
    const format::StatementReading reading = format::ReadStatement([&](const std::string& key) {
        return ReadProfileBytes(FromUtf8(format::kLauncherSection), FromUtf8(key), staged);
    });
    selfupdate::DiskSwapFs disk;
    const std::optional<selfupdate::Pointer> pointer =
        selfupdate::Swap(disk, AppDir, TempDir, host.LauncherSerial()).ReadPointer();
    const selfupdate::StatementVerdict verdict = selfupdate::JudgeStatement(
        reading,
        [&](const format::SignedStatement& s) { return format::StatementSignedBy(s, *root); },
        {host.LauncherSerial(), serverGame, pointer ? &*pointer : nullptr});
    LogLine(std::wstring(selfupdate::VerdictText(verdict)) +
            (reading.form == format::StatementForm::Present
                 ? L" (launcher " + std::to_wstring(reading.signedStatement.statement.serial) +
                       L", this one " + std::to_wstring(host.LauncherSerial()) + L")"
                 : L""));
    switch (verdict) {
        case selfupdate::StatementVerdict::Update:
            return host.UpdateLauncher(reading.signedStatement.statement);
        case selfupdate::StatementVerdict::FailedBefore:
            LogLine(L"patching the rest without the new launcher");
            return true;
        default:
            return false;
    }
}

}  // namespace

void CheckVersions(PatchHost& host) {
    host.SetState(RunState::CheckingVersions);

    const std::string serverGame = ReadProfileBytes(kSection, L"game", TempDir + kProfileName);
    const std::string localGame = ReadProfileBytes(kSection, L"game", AppDir + kProfileName);
    if (serverGame != localGame && !GoesOnWithoutGame(host, serverGame)) {
        LogLine(L"refused: launcher version " + FromCp949(localGame) + L" here, " +
                FromCp949(serverGame) + L" on the patch server");
        host.ShowMessage(
            L"자동 패치 프로그램을 사용할 수 없습니다.\r\n"
            L"새로운 버전을 홈페이지에서 다운로드 받으신후 설치 해주십시오.",
            kUpgradeFailedTitle, MessageStyle::Exclamation);
        EndProgram();
    }

    CheckKey(host, L"vtgame", [&] { UpdateClient(host); });
    for (const format::PatchSet& set : format::PatchSets()) {
        const SetParameters parameters = ParametersOf(set);
        CheckKey(
            host, set.key, [&] { SyncSet(host, parameters); },
            [&] { return RecordedFileMissing(parameters); });
    }
}

namespace {

// What this installation accepted last. A kept serial that cannot be read (another tool's
// text, a negative or huge number) is forgotten rather than refusing every patch for good.
LastAccepted ReadLastAccepted(const std::wstring& local) {
    const std::string text = ReadProfileBytes(kPublishSection, L"serial", local);
    const format::SerialReading serial = format::ReadSerial(text);
    if (serial.form == format::SerialForm::Absent) {
        return {};
    }
    if (serial.form != format::SerialForm::Number) {
        LogLine(L"forgot the kept serial " + FromCp949(text) + L": not a serial");
        return {};
    }
    return {serial.value, ParseDigestHex(ReadProfileBytes(kPublishSection, kHashKey, local))};
}

}  // namespace

namespace {

bool WriteStaged(const std::wstring& path, std::string_view bytes) {
    const std::unique_ptr<fs::OutputFile> file = fs::CreateOutputFile(path);
    return file && file->Write(std::as_bytes(std::span(bytes.data(), bytes.size())));
}

}  // namespace

void StageSignedProfile() {
    const std::wstring staged = TempDir + FromUtf8(format::kSignedProfileName);
    const std::string bytes = fs::ReadWholeFile(staged).value_or(std::string());
    // Shorter than a signature: staged as it is, for the signature check to refuse.
    const std::size_t split = std::min<std::size_t>(bytes.size(), format::kSignatureBytes);
    const std::string_view all(bytes);
    if (!WriteStaged(TempDir + kProfileName + L".sig", all.substr(0, split)) ||
        !WriteStaged(TempDir + kProfileName, all.substr(split))) {
        throw AppError(ErrorNumber::PathFileAccess, L"임시 파일을 쓸 수 없습니다: " + TempDir);
    }
    fs::DeleteFile(staged);
}

namespace {

std::wstring KeptListPath(const Sha256Digest& hash) {
    return AppDir + kKeysFolder + FromUtf8(DigestHex(hash)) + L".signed";
}

// A list kept by an earlier run, else from the sources. A kept copy that is not what its name
// hashes (a write cut short) is passed over.
format::FetchKeyList KeptFirst(const format::FetchKeyList& fetch) {
    return [fetch](const Sha256Digest& hash) -> std::optional<std::string> {
        std::optional<std::string> kept = fs::ReadWholeFile(KeptListPath(hash));
        if (kept && Sha256OfText(*kept) == hash) {
            return kept;
        }
        return fetch ? fetch(hash) : std::nullopt;
    };
}

KeptKeys ReadKeptKeys(const std::wstring& local) {
    KeptKeys kept;
    const format::SerialReading serial =
        format::ReadSerial(ReadProfileBytes(kKeysSection, L"serial", local));
    kept.listSerial = serial.form == format::SerialForm::Number ? serial.value : 0;
    const std::string signer = ReadProfileBytes(kPublishSection, kSignerKey, local);
    if (!signer.empty()) {
        // A signer that cannot be read is no key a list names: a revoking list lowers its serial.
        kept.signer = ParsePublicKeyHex(signer).value_or(P256PublicKey{});
    }
    return kept;
}

struct Staged {
    std::string bytes;
    std::string signature;
    std::string expires;  // "\n" when absent
    std::string serial;
    format::ProfileKeys keys;
};

Staged ReadStaged() {
    const std::wstring staged = TempDir + kProfileName;
    Staged read;
    read.bytes = fs::ReadWholeFile(staged).value_or(std::string());
    read.signature = fs::ReadWholeFile(staged + L".sig").value_or(std::string());
    // A line break never reads back as a value: it tells an absent key from an empty one.
    profile::GetString("publish", "expires", "\n", read.expires, kProfileBufferSize, staged);
    read.serial = ReadProfileBytes(kPublishSection, L"serial", staged);
    read.keys = format::ReadProfileKeys([&](const std::string& key) {
        return ReadProfileBytes(kKeysSection, FromUtf8(key), staged);
    });
    return read;
}

// What KeepAccepted keeps of the keys the profile was judged with.
void TakeKeys(const JudgedKeys& judged, const PatchPublicKey& builtIn, AcceptedProfile& accepted) {
    accepted.root = judged.root;
    accepted.signer = judged.signer ? LowerHex(*judged.signer) : std::string();
    if (!judged.named) {
        return;
    }
    accepted.listSerial = std::to_string(judged.chain.list.serial);
    accepted.lists = judged.chain.checked;
    if (judged.root != builtIn ||
        !ReadProfileBytes(kKeysSection, L"root", AppDir + kProfileName).empty()) {
        accepted.keptRoot = LowerHex(judged.root);
    }
}

// Reads the staged profile and its signature and judges them, with the keys its [keys] names.
std::pair<JudgedKeys, AcceptedProfile> JudgeStaged(const PatchPublicKey& builtIn, int64_t nowUtc,
                                                   const format::FetchKeyList& fetchList) {
    const Staged read = ReadStaged();
    const auto profileBytes = std::as_bytes(std::span(read.bytes.data(), read.bytes.size()));
    const SignedProfile profile{
        profileBytes, std::as_bytes(std::span(read.signature.data(), read.signature.size())),
        read.expires == "\n" ? std::nullopt : std::optional<std::string_view>(read.expires),
        read.serial};
    const std::wstring local = AppDir + kProfileName;
    const JudgedKeys judged =
        JudgeKeyedProfile(profile, read.keys, TrustedRoot(builtIn), KeptFirst(fetchList), nowUtc,
                          ReadLastAccepted(local), ReadKeptKeys(local));
    if (judged.verdict != ProfileVerdict::Accepted) {
        // What was refused is not kept in temp\: it may be an attacker's bytes.
        fs::DeleteFile(TempDir + kProfileName);
        fs::DeleteFile(TempDir + kProfileName + L".sig");
    }
    AcceptedProfile accepted;
    accepted.serial = std::to_string(SerialOf(read.serial));
    accepted.sha256 = DigestHex(Sha256Of(profileBytes));
    accepted.mirrors = ServedMirrorValues();
    TakeKeys(judged, builtIn, accepted);
    return {judged, accepted};
}

// A refusal the staged profile may owe to a cache: a stale or split copy.
bool MayBeStale(ProfileVerdict verdict) {
    return verdict == ProfileVerdict::BadSignature || verdict == ProfileVerdict::Older ||
           verdict == ProfileVerdict::KeyList || verdict == ProfileVerdict::SignerNotHeld;
}

[[noreturn]] void RefuseKeys(PatchHost& host, const JudgedKeys& judged) {
    const format::ChainResult& chain = judged.chain;
    const std::wstring list = FromUtf8(DigestHex(chain.at));
    switch (chain.verdict) {
        case format::ChainVerdict::Missing:
            Refuse(host, Refusal::KeyListMissing, list);
        case format::ChainVerdict::Expired:
            Refuse(host, Refusal::KeyListExpired, list);
        case format::ChainVerdict::Older:
            Refuse(host, Refusal::OlderKeyList, list);
        default:
            Refuse(host, Refusal::KeyList,
                   list + L" " + FromUtf8(format::ChainReason(chain.verdict)));
    }
}

[[noreturn]] void RefuseJudged(PatchHost& host, const JudgedKeys& judged) {
    switch (judged.verdict) {
        case ProfileVerdict::BadSignature:
            Refuse(host, Refusal::Signature);
        case ProfileVerdict::Expired:
            Refuse(host, Refusal::Expired);
        case ProfileVerdict::Older:
            Refuse(host, Refusal::OlderPatch);
        case ProfileVerdict::BadSerial:
            Refuse(host, Refusal::BadSerial);
        case ProfileVerdict::Replaced:
            Refuse(host, Refusal::Replaced);
        case ProfileVerdict::KeysMalformed:
            Refuse(host, Refusal::KeyList, L"[keys] of the profile: malformed or no list");
        case ProfileVerdict::KeyList:
            RefuseKeys(host, judged);
        case ProfileVerdict::SignerNotHeld:
        case ProfileVerdict::Accepted:
            break;
    }
    Refuse(host, Refusal::SignerNotHeld,
           judged.signer ? FromUtf8(LowerHex(*judged.signer)) : std::wstring());
}

void LogKeys(const JudgedKeys& judged) {
    if (judged.lowered) {
        LogLine(L"lowered the kept serial " + std::to_wstring(judged.lowered->first) + L" to " +
                std::to_wstring(judged.lowered->second) + L": key list " +
                FromUtf8(DigestHex(judged.chain.at)) + L" no longer names the key that signed it");
    }
    if (judged.named) {
        LogLine(L"key list " + FromUtf8(DigestHex(judged.chain.at)) + L", serial " +
                std::to_wstring(judged.chain.list.serial) + L", signed by root " +
                FromUtf8(LowerHex(judged.root).substr(0, 16)) + L"...");
    }
}

}  // namespace

PatchPublicKey TrustedRoot(const PatchPublicKey& builtIn) {
    const std::string kept = ReadProfileBytes(kKeysSection, L"root", AppDir + kProfileName);
    if (kept.empty()) {
        return builtIn;
    }
    const std::optional<P256PublicKey> root = ParsePublicKeyHex(kept);
    if (!root) {
        LogLine(L"the kept root " + FromCp949(kept) + L" is no key; trusting the built-in one");
        return builtIn;
    }
    return *root;
}

AcceptedProfile AcceptSignedProfile(PatchHost& host, const PatchPublicKey& key, int64_t nowUtc,
                                    const std::function<void()>& again,
                                    const format::FetchKeyList& fetchList) {
    auto [judged, accepted] = JudgeStaged(key, nowUtc, fetchList);
    if (again && MayBeStale(judged.verdict)) {
        LogLine(std::wstring(L"the signed profile ") +
                (judged.verdict == ProfileVerdict::Older          ? L"is older"
                 : judged.verdict == ProfileVerdict::BadSignature ? L"does not verify"
                                                                  : L"names keys refused") +
                L"; asking once more past every cache");
        again();
        std::tie(judged, accepted) = JudgeStaged(key, nowUtc, fetchList);
    }
    if (judged.verdict != ProfileVerdict::Accepted) {
        RefuseJudged(host, judged);
    }
    LogKeys(judged);
    LogLine(L"accepted the signed patch profile, serial " + FromCp949(accepted.serial));
    return accepted;
}

namespace {

// Each list checked, by its hash, for the next run. Only a cache: a list that cannot be kept is
// fetched again then.
void KeepLists(const std::vector<format::CheckedList>& lists) {
    const std::wstring folder = AppDir + kKeysFolder;
    for (const format::CheckedList& list : lists) {
        const std::wstring path = KeptListPath(list.hash);
        if (fs::ReadWholeFile(path) == list.bytes) {
            continue;
        }
        const std::wstring part = path + L".part";
        if ((!fs::IsDirectory(folder) && !fs::CreateDir(folder.substr(0, folder.size() - 1))) ||
            !WriteStaged(part, list.bytes) || !fs::ReplaceFile(part, path)) {
            fs::DeleteFile(part);
            LogLine(L"could not keep the key list " + path);
        }
    }
}

void KeepValue(const std::wstring& section, const std::wstring& key, const std::string& value) {
    const std::wstring local = AppDir + kProfileName;
    if (value != ReadProfileBytes(section, key, local)) {
        WriteProfileBytes(section, key, value, local);
    }
}

}  // namespace

void KeepAccepted(const AcceptedProfile& accepted) {
    KeepLists(accepted.lists);
    KeepValue(kPublishSection, L"serial", accepted.serial);
    KeepValue(kPublishSection, kHashKey, accepted.sha256);
    KeepValue(kPublishSection, kSignerKey, accepted.signer);
    if (!accepted.listSerial.empty()) {
        KeepValue(kKeysSection, L"serial", accepted.listSerial);
    }
    if (!accepted.keptRoot.empty()) {
        KeepValue(kKeysSection, L"root", accepted.keptRoot);
    }
    KeepMirrors(accepted.mirrors);
}

}  // namespace vt
