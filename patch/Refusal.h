#pragma once
// Refusals of a signed patch: a message box titled kUpgradeFailedTitle saying what failed, one
// log line naming the reason ("refused: signature", "refused: expired", "refused: older patch",
// "refused: serial", "refused: same serial, other profile", "refused: damaged file <name>",
// "refused: key list missing <hash>", "refused: key list expired <hash>", "refused: older key
// list <hash>", "refused: key list <hash> <why>", "refused: signer not in the key list <key>"),
// then the end of the program. Nothing is recorded after it.

#include <string>

#include "base/Ui.h"

namespace vt {

enum class Refusal {
    Signature,
    Expired,
    OlderPatch,
    BadSerial,
    Replaced,
    DamagedFile,
    KeyListMissing,
    KeyListExpired,
    OlderKeyList,
    KeyList,
    SignerNotHeld,
};

// `detail`: for DamagedFile the installation-relative name (e.g. resource\sound\a.wav); for the
// key lists' refusals what the log line names (the list's hash and why, or the signer).
[[noreturn]] void Refuse(MessageSink& sink, Refusal why, const std::wstring& detail = {});

}  // namespace vt
