#include "selfupdate/Statement.h"

namespace vt::selfupdate {

StatementVerdict JudgeStatement(
    const format::StatementReading& reading,
    const std::function<bool(const format::SignedStatement&)>& signedByRoot,
    const StatementFacts& facts) {
    switch (reading.form) {
        case format::StatementForm::Absent:
            return StatementVerdict::Absent;
        case format::StatementForm::Malformed:
            return StatementVerdict::Malformed;
        case format::StatementForm::Present:
            break;
    }
    const format::LauncherStatement& statement = reading.signedStatement.statement;
    // The signature first: nothing an unsigned statement says is worth reading.
    if (!signedByRoot(reading.signedStatement)) {
        return StatementVerdict::NotSigned;
    }
    if (statement.serial <= facts.ownSerial) {
        return StatementVerdict::NotNewer;
    }
    if (statement.game != facts.profileGame) {
        return StatementVerdict::OtherGame;
    }
    if (facts.pointer != nullptr && facts.pointer->Failed(statement.serial)) {
        return StatementVerdict::FailedBefore;
    }
    return StatementVerdict::Update;
}

const wchar_t* VerdictText(StatementVerdict verdict) {
    switch (verdict) {
        case StatementVerdict::Absent:
            return L"no launcher statement";
        case StatementVerdict::Malformed:
            return L"the launcher statement is malformed";
        case StatementVerdict::NotSigned:
            return L"the launcher statement is not signed by the root";
        case StatementVerdict::NotNewer:
            return L"the launcher statement is not newer than this launcher";
        case StatementVerdict::OtherGame:
            return L"the launcher statement is for another game version";
        case StatementVerdict::FailedBefore:
            return L"the stated launcher failed here before";
        case StatementVerdict::Update:
            return L"the launcher statement is valid";
    }
    return L"";
}

}  // namespace vt::selfupdate
