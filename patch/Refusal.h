#pragma once
// Refusals of a signed patch: a message box titled kUpgradeFailedTitle saying what failed, one
// log line naming the reason ("refused: signature", "refused: expired", "refused: older patch",
// "refused: serial", "refused: same serial, other profile", "refused: damaged file <name>"),
// then the end of the program. Nothing is recorded after it.

#include <string>

#include "base/Ui.h"

namespace vt {

enum class Refusal { Signature, Expired, OlderPatch, BadSerial, Replaced, DamagedFile };

// `fileName` (installation-relative, e.g. resource\sound\a.wav) only for DamagedFile.
[[noreturn]] void Refuse(MessageSink& sink, Refusal why, const std::wstring& fileName = {});

}  // namespace vt
