#pragma once
// What a keyed launcher makes of the profile's [launcher] statement when the profile's [game]
// game is not its own.

#include <cstdint>
#include <functional>
#include <string_view>

#include "format/KeyList.h"
#include "selfupdate/Pointer.h"

namespace vt::selfupdate {

enum class StatementVerdict {
    Absent,        // no statement: the launcher is refused as before
    Malformed,     // a key missing or not of its form
    NotSigned,     // not the trusted root's signature (a publish key's, or damaged)
    NotNewer,      // serial not above this launcher's own
    OtherGame,     // for another [game] game than the profile's
    FailedBefore,  // valid, but that launcher failed here before: patch the rest without it
    Update,        // valid: update the launcher
};

struct StatementFacts {
    uint64_t ownSerial = 0;
    std::string_view profileGame;      // the profile's [game] game, bytes
    const Pointer* pointer = nullptr;  // nothing when there is none
};

StatementVerdict JudgeStatement(
    const format::StatementReading& reading,
    const std::function<bool(const format::SignedStatement&)>& signedByRoot,
    const StatementFacts& facts);

// For the run log.
const wchar_t* VerdictText(StatementVerdict verdict);

}  // namespace vt::selfupdate
