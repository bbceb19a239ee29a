// Each way a server can fail a download comes back as its own outcome, and the download itself
// shows nothing and ends nothing: what the player sees is its caller's (patch/Fetch.*).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "base/Crypto.h"
#include "base/EndProgram.h"
#include "tests/support/Fakes.h"
#include "tests/support/ScriptedTransfer.h"
#include "tests/support/TestDir.h"
#include "transfer/Download.h"

namespace vt {
namespace {

using test::ScriptedTransfer;
using Script = std::function<void(ScriptedTransfer&, const std::string& body)>;

std::string Body(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        s[i] = static_cast<char>((i * 13 + i / 500) & 0xff);
    }
    return s;
}

Pin PinOf(const std::string& bytes) {
    return {bytes.size(), Sha256Of(std::as_bytes(std::span(bytes.data(), bytes.size())))};
}

struct Fault {
    const char* what;
    Script script;
    DownloadOutcome outcome;
    int32_t transferError = 0;
};

const std::vector<Fault>& CommonFaults() {
    static const std::vector<Fault> faults{
        {"whole", [](auto&, auto&) {}, DownloadOutcome::Stored},
        {"404", [](auto& t, auto&) { t.head = L"HTTP/1.1 404 Not Found"; },
         DownloadOutcome::HttpStatus},
        {"no response", [](auto& t, auto&) { t.head = L""; }, DownloadOutcome::HttpStatus},
        {"reset before the head",
         [](auto& t, auto&) {
             t.head = L"";
             t.codeBeforeBody = 12030;
         },
         DownloadOutcome::TransferError, 12030},
        {"missing length", [](auto& t, auto&) { t.contentLength.reset(); },
         DownloadOutcome::NoLength},
        {"zero length", [](auto& t, auto&) { t.contentLength = L"0"; }, DownloadOutcome::NoLength},
        {"error before the body", [](auto& t, auto&) { t.codeBeforeBody = 12152; },
         DownloadOutcome::TransferError, 12152},
        {"time-out before the body", [](auto& t, auto&) { t.codeBeforeBody = kTransferTimedOut; },
         DownloadOutcome::Stalled, kTransferTimedOut},
        {"cancelled before the body", [](auto& t, auto&) { t.codeBeforeBody = kTransferCancelled; },
         DownloadOutcome::Cancelled, kTransferCancelled},
        {"error during the body", [](auto& t, auto&) { t.codeAfterBody = 12030; },
         DownloadOutcome::Incomplete, 12030},
        {"time-out during the body", [](auto& t, auto&) { t.codeAfterBody = kTransferTimedOut; },
         DownloadOutcome::Stalled, kTransferTimedOut},
        {"cut short",
         [](auto& t, auto& b) {
             t.Body(b.substr(0, 3000), 1000);
             t.contentLength = std::to_wstring(b.size());
         },
         DownloadOutcome::Incomplete},
        {"longer than announced",
         [](auto& t, auto& b) {
             t.Body(b + "tail", 1000);
             t.contentLength = std::to_wstring(b.size());
         },
         DownloadOutcome::TooLarge},
        {"a length no disk holds", [](auto& t, auto&) { t.contentLength = L"1000000000000000"; },
         DownloadOutcome::NoRoom},
    };
    return faults;
}

// A pinned payload: faults only a signed patch can tell, and a staged part to continue.
const std::vector<Fault>& PinnedFaults() {
    static const std::vector<Fault> faults{
        {"another length than the pin", [](auto& t, auto& b) { t.Body(b.substr(0, 4000), 1000); },
         DownloadOutcome::Damaged},
        {"same length, other bytes",
         [](auto& t, auto& b) {
             std::string other = b;
             other[123] = static_cast<char>(other[123] ^ 1);
             t.Body(other, 1000);
         },
         DownloadOutcome::Damaged},
        {"a range elsewhere than the staged part's end",
         [](auto& t, auto& b) {
             t.head = L"HTTP/1.1 206 Partial Content";
             t.Body(b.substr(1000), 1000);
             t.headers[L"Content-Range"] = L"bytes 999-4999/5000";
         },
         DownloadOutcome::BadRange},
    };
    return faults;
}

class DownloadOutcomes : public ::testing::Test {
  protected:
    const std::string body = Body(5000);
    test::TestDir dir;
    test::RecordingProgressView view;

    // Runs one download of `body` with `fault`; the program's end is a failure of the test.
    DownloadResult Run(const Fault& fault, bool progress, bool pinned) {
        ScriptedTransfer t;
        t.Body(body, 1000);
        fault.script(t, body);
        dir.Write(L"f.bin", "installed");
        if (pinned) {
            dir.Write(L"f.part", body.substr(0, 1000));  // what a killed run left
        }
        view = {};
        test::ScriptedClock clock(10);
        try {
            if (!progress) {
                // Bounded far beyond any length here: the disk decides.
                return DownloadFile(t, view, clock, L"h/f.bin", dir.Path(), L"f.bin", L"", L"",
                                    SizeBound::AtMost(std::numeric_limits<uint64_t>::max()));
            }
            Staging staging{dir / L"f.part", std::nullopt, L"f.bin", {}};
            if (pinned) {
                staging.pin = PinOf(body);
            }
            return DownloadFileWithProgress(t, view, clock, L"h/f.bin", dir.Path(), L"f.bin", L"",
                                            L"", staging);
        } catch (const ProgramEnded&) {
            ADD_FAILURE() << "the download ended the program itself";
        }
        return {DownloadOutcome::Stored};
    }

    void Check(const Fault& fault, bool progress, bool pinned) {
        SCOPED_TRACE(std::string(fault.what) +
                     (progress ? (pinned ? ", pinned" : ", payload") : ", plain"));
        const DownloadResult result = Run(fault, progress, pinned);
        EXPECT_EQ(result.outcome, fault.outcome);
        EXPECT_EQ(result.transferError, fault.transferError);
        EXPECT_TRUE(view.messages.empty()) << "the caller tells the player, not the download";
        EXPECT_EQ(view.captions.count(ProgressLabel::lblState), 0u);
        if (result.Stored()) {
            EXPECT_EQ(dir.Read(L"f.bin"), body);
        } else if (progress) {
            EXPECT_EQ(dir.Read(L"f.bin"), "installed") << "the installed file stays";
        } else {
            EXPECT_FALSE(dir.Has(L"f.bin")) << "a profile's copy goes, whole or not at all";
        }
        if (fault.outcome == DownloadOutcome::NoRoom) {
            EXPECT_EQ(result.roomNeeded, 1e15 + 1024 * 1024);
            EXPECT_LT(result.roomFree, uint64_t{1000000000000000});
        }
    }
};

TEST_F(DownloadOutcomes, EachServerFaultIsItsOwnOutcomeAndNothingIsShownOrEnded) {
    for (const Fault& fault : CommonFaults()) {
        Check(fault, false, false);
        Check(fault, true, false);
    }
    for (const Fault& fault : PinnedFaults()) {
        Check(fault, true, true);
    }
}

TEST_F(DownloadOutcomes, APinnedPayloadMeetsTheSameFaultsWithTheSameOutcomes) {
    // A range is asked for the staged part's 1000 bytes; the scripts answer 200, so the part
    // is written afresh and every common fault reads as without a pin, except that a length
    // other than the pin's is damage, found before the body.
    for (Fault fault : CommonFaults()) {
        if (std::string(fault.what) == "a length no disk holds") {
            fault.outcome = DownloadOutcome::Damaged;
        }
        Check(fault, true, true);
    }
}

TEST_F(DownloadOutcomes, ACutShortPinnedPartStaysForTheNextRunAndAnUnpinnedOneGoes) {
    const Fault& cut =
        *std::find_if(CommonFaults().begin(), CommonFaults().end(),
                      [](const Fault& f) { return f.what == std::string("cut short"); });
    EXPECT_EQ(Run(cut, true, true).outcome, DownloadOutcome::Incomplete);
    EXPECT_EQ(dir.Read(L"f.part"), body.substr(0, 3000)) << "the bytes that came, to continue";
    EXPECT_EQ(Run(cut, true, false).outcome, DownloadOutcome::Incomplete);
    EXPECT_FALSE(dir.Has(L"f.part"));
}

}  // namespace
}  // namespace vt
