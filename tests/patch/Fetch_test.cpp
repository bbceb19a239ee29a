// What the player sees for each way a download can end: a profile or manifest that fails asks
// the player to connect again, a payload that fails ends silently, a damaged file of a signed
// patch (a pinned manifest of another length too) is refused by name, and a full disk is told
// by both. An answer too slow to wait for asks to connect again, for a payload too.
#include "patch/Fetch.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "base/Crypto.h"
#include "base/EndProgram.h"
#include "base/FileSystem.h"
#include "patch/Texts.h"
#include "tests/support/Fakes.h"
#include "tests/support/RecordingLog.h"
#include "tests/support/ScriptedTransfer.h"
#include "tests/support/TestDir.h"

namespace vt {
namespace {

using test::ScriptedTransfer;

enum class Seen { Nothing, Reconnect, NoRoom, Damaged };

struct Row {
    const char* what;
    std::function<void(ScriptedTransfer&)> script;
    Seen plain;        // a profile or manifest
    Seen payload;      // unsigned
    Seen pinned;       // a signed patch's payload
    Seen pinnedPlain;  // a signed patch's manifest: its pin's size is its bound
};

const std::string kBody(3000, 'b');
// The plain download's bound where it is not a pin: past the "no room" row's length.
constexpr uint64_t kPlainBound = 2'000'000'000'000'000;
constexpr double kStart = 10;  // the clock at the start

const std::vector<Row> kRows{
    {"404", [](auto& t) { t.head = L"HTTP/1.1 404 Not Found"; }, Seen::Reconnect, Seen::Nothing,
     Seen::Nothing, Seen::Reconnect},
    {"no length", [](auto& t) { t.contentLength.reset(); }, Seen::Reconnect, Seen::Nothing,
     Seen::Nothing, Seen::Reconnect},
    {"transfer error", [](auto& t) { t.codeBeforeBody = 12152; }, Seen::Reconnect, Seen::Nothing,
     Seen::Nothing, Seen::Reconnect},
    {"stalled", [](auto& t) { t.codeAfterBody = kTransferTimedOut; }, Seen::Reconnect,
     Seen::Nothing, Seen::Nothing, Seen::Reconnect},
    {"cancelled", [](auto& t) { t.codeBeforeBody = kTransferCancelled; }, Seen::Reconnect,
     Seen::Nothing, Seen::Nothing, Seen::Reconnect},
    {"cut short",
     [](auto& t) {
         t.Body(kBody.substr(0, 1000), 500);
         t.contentLength = std::to_wstring(kBody.size());
     },
     Seen::Reconnect, Seen::Nothing, Seen::Nothing, Seen::Reconnect},
    {"too large",
     [](auto& t) {
         t.Body(kBody + "x", 500);
         t.contentLength = std::to_wstring(kBody.size());
     },
     Seen::Reconnect, Seen::Nothing, Seen::Damaged, Seen::Damaged},
    {"other bytes", [](auto& t) { t.Body(std::string(kBody.size(), 'o'), 500); }, Seen::Nothing,
     Seen::Nothing, Seen::Damaged, Seen::Nothing},  // the manifest's hash is its reader's
    {"no room", [](auto& t) { t.contentLength = L"1000000000000000"; }, Seen::NoRoom, Seen::NoRoom,
     Seen::Damaged, Seen::Damaged},  // a length other than the pin's is damage first
    {"beyond its bound", [](auto& t) { t.contentLength = L"3000000000000000"; }, Seen::Reconnect,
     Seen::NoRoom, Seen::Damaged, Seen::Damaged},
    {"no head within the rule's time", [](auto& t) { t.headAt = kStart + 60; }, Seen::Reconnect,
     Seen::Reconnect, Seen::Reconnect, Seen::Reconnect},
    {"a trickle in the body",
     [](auto& t) {
         t.Body(kBody, 100);
         for (size_t i = 0; i < t.pieces.size(); ++i) {
             t.pieceAt.push_back(kStart + 4.0 * static_cast<double>(i));  // 25 bytes a second
         }
     },
     Seen::Reconnect, Seen::Reconnect, Seen::Reconnect, Seen::Reconnect},
};

class FetchDecisions : public ::testing::Test {
  protected:
    test::TestDir dir;
    test::RecordingProgressView view;
    test::RecordingLog log;

    // True when the run ended.
    bool Run(const Row& row, int mode) {
        ScriptedTransfer t;
        t.Body(kBody, 500);
        row.script(t);
        view = {};
        log.lines.clear();
        // A part kept by the row before would be continued, or placed when whole.
        fs::DeleteFile(dir / L"f.part");
        test::ManualClock clock(kStart);
        t.clock = &clock;
        try {
            if (mode == 0 || mode == 3) {
                FetchFile(t, view, clock, L"h/f.bin", dir.Path(), L"f.bin", L"", L"",
                          mode == 0 ? SizeBound::AtMost(kPlainBound)
                                    : SizeBound::Pinned(kBody.size(), L"res\\f.bin"));
            } else {
                Staging staging{dir / L"f.part", std::nullopt, L"res\\f.bin", {}};
                if (mode == 2) {
                    staging.pin = Pin{kBody.size(), Sha256Of(std::as_bytes(std::span(kBody)))};
                }
                FetchFileWithProgress(t, view, clock, L"h/f.bin", dir.Path(), L"f.bin", L"", L"",
                                      staging);
            }
        } catch (const ProgramEnded&) {
            return true;
        }
        return false;
    }

    Seen WhatWasSeen() const {
        if (view.messages.empty()) {
            return Seen::Nothing;
        }
        EXPECT_EQ(view.messages.size(), 1u);
        const test::RecordedMessage& m = view.messages[0];
        EXPECT_EQ(m.title, kUpgradeFailedTitle);
        if (m.text == kReconnectText) {
            return Seen::Reconnect;
        }
        if (m.text.starts_with(L"디스크 공간이 부족")) {
            return Seen::NoRoom;
        }
        const bool damaged = m.text == L"받은 파일이 손상되었습니다: res\\f.bin" &&
                             log.With(L"refused: damaged file res\\f.bin").size() == 1;
        EXPECT_TRUE(damaged) << "an unexpected message";
        return Seen::Damaged;
    }
};

TEST_F(FetchDecisions, EachFailureEndsTheRunWithWhatThePlayerWasToldBefore) {
    for (const Row& row : kRows) {
        const Seen expected[] = {row.plain, row.payload, row.pinned, row.pinnedPlain};
        for (int mode : {0, 1, 2, 3}) {
            SCOPED_TRACE(std::string(row.what) + " / " + std::to_string(mode));
            const bool ended = Run(row, mode);
            // Other bytes pass where the download has no hash to tell them by.
            EXPECT_EQ(ended, !(mode != 2 && std::string(row.what) == "other bytes"));
            EXPECT_EQ(WhatWasSeen(), expected[mode]);
            EXPECT_EQ(view.captions[ProgressLabel::lblState],
                      mode == 0 || mode == 3 ? std::wstring() : std::wstring(kDownloadingState));
        }
    }
}

}  // namespace
}  // namespace vt
