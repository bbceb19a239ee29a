#include "selfupdate/Statement.h"

#include <gtest/gtest.h>

namespace vt::selfupdate {
namespace {

format::StatementReading Present(uint64_t serial, std::string game, uint8_t signatureByte) {
    format::StatementReading reading;
    reading.form = format::StatementForm::Present;
    reading.signedStatement.statement = {std::move(game), 100, {}, serial};
    reading.signedStatement.signature.fill(signatureByte);
    return reading;
}

Pointer Failing(uint64_t serial) {
    Pointer pointer;
    pointer.current.serial = 1;
    pointer.failed = {serial};
    return pointer;
}

// Stands for the root's check: the root's signatures are the ones filled with 1.
bool ByRoot(const format::SignedStatement& s) {
    return s.signature[0] == 1;
}

TEST(Statement, VerdictTable) {
    format::StatementReading absent;
    format::StatementReading malformed;
    malformed.form = format::StatementForm::Malformed;
    const Pointer failedTwo = Failing(2);
    const Pointer failedThree = Failing(3);
    const struct {
        const char* name;
        format::StatementReading reading;
        uint64_t own;
        const Pointer* pointer;
        StatementVerdict verdict;
        const char* profileGame = "1.02";
    } rows[] = {
        {"absent", absent, 1, nullptr, StatementVerdict::Absent},
        {"malformed", malformed, 1, nullptr, StatementVerdict::Malformed},
        {"valid", Present(2, "1.02", 1), 1, nullptr, StatementVerdict::Update},
        {"publish key's signature", Present(2, "1.02", 2), 1, nullptr, StatementVerdict::NotSigned},
        {"same serial", Present(1, "1.02", 1), 1, nullptr, StatementVerdict::NotNewer},
        {"older serial", Present(2, "1.02", 1), 3, nullptr, StatementVerdict::NotNewer},
        {"other game", Present(2, "1.03", 1), 1, nullptr, StatementVerdict::OtherGame},
        {"game differs in case", Present(2, "1.02A", 1), 1, nullptr, StatementVerdict::OtherGame,
         "1.02a"},
        {"failed before", Present(2, "1.02", 1), 1, &failedTwo, StatementVerdict::FailedBefore},
        {"another serial failed", Present(2, "1.02", 1), 1, &failedThree, StatementVerdict::Update},
        {"unsigned and failed", Present(2, "1.02", 0), 1, &failedTwo, StatementVerdict::NotSigned},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(JudgeStatement(row.reading, ByRoot, {row.own, row.profileGame, row.pointer}),
                  row.verdict);
        EXPECT_NE(std::wstring(VerdictText(row.verdict)), L"");
    }
}

}  // namespace
}  // namespace vt::selfupdate
