// Payloads are staged and put in place in one rename: the installed file is never lost to a
// failed, short, long or wrong body. With a pin the body must be exactly the pinned file, and
// a staged part is continued with a range request only on an exact continuation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/Crypto.h"
#include "base/EndProgram.h"
#include "base/FileSystem.h"
#include "patch/Fetch.h"
#include "patch/Texts.h"
#include "tests/support/Fakes.h"
#include "tests/support/RecordingLog.h"
#include "tests/support/ScriptedTransfer.h"
#include "tests/support/TestDir.h"
#include "transfer/Download.h"

namespace vt {
namespace {

std::string Body(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        s[i] = static_cast<char>((i * 7 + i / 300) & 0xff);
    }
    return s;
}

Pin PinOf(const std::string& bytes) {
    return {bytes.size(), Sha256Of(std::as_bytes(std::span(bytes.data(), bytes.size())))};
}

class StagedDownload : public ::testing::Test {
  protected:
    test::TestDir dir;
    test::ScriptedTransfer transfer;
    test::RecordingProgressView view;
    test::RecordingLog log;
    const std::string body = Body(5000);
    const std::wstring part = dir / L"temp\\stage.part";

    void SetUp() override {
        fs::CreateDir(dir / L"temp");
        dir.Write(L"f.bin", "installed");
    }
    // False when the program ended.
    bool Run(const std::optional<Pin>& pin) {
        test::ScriptedClock clock(10);
        try {
            FetchFileWithProgress(transfer, view, clock, L"h/autopatch/f.bin", dir.Path(), L"f.bin",
                                  L"", L"", {part, pin, L"resource\\f.bin", {}});
        } catch (const ProgramEnded&) {
            return false;
        }
        return true;
    }
    bool Damaged() const {
        return view.messages.size() == 1 &&
               view.messages[0].text == L"받은 파일이 손상되었습니다: resource\\f.bin" &&
               view.messages[0].title == kUpgradeFailedTitle &&
               log.With(L"refused: damaged file resource\\f.bin").size() == 1;
    }
    void Resume(const std::wstring& range, const std::string& rest) {
        transfer.head = L"HTTP/1.1 206 Partial Content";
        transfer.Body(rest, 1000);
        transfer.headers[L"Content-Range"] = range;
    }
};

TEST_F(StagedDownload, TheInstalledFileStaysUntilTheWholeBodyReplacesItInOneStep) {
    for (bool pinned : {false, true}) {
        SCOPED_TRACE(pinned);
        dir.Write(L"f.bin", "installed");
        transfer.Body(body, 1000);
        std::vector<std::string> seen;
        transfer.onPiece = [&](size_t) { seen.push_back(dir.Read(L"f.bin")); };
        ASSERT_TRUE(Run(pinned ? std::optional(PinOf(body)) : std::nullopt));
        EXPECT_EQ(seen, std::vector<std::string>(5, "installed"));
        EXPECT_EQ(dir.Read(L"f.bin"), body);
        EXPECT_FALSE(fs::Exists(part));
        EXPECT_TRUE(view.messages.empty());
    }
}

TEST_F(StagedDownload, FailuresLeaveTheInstalledFileByteIdenticalInBothModes) {
    struct Case {
        const char* name;
        std::function<void(test::ScriptedTransfer&, const std::string&)> script;
        bool damaged;  // with a pin
    };
    const std::vector<Case> cases = {
        {"404", [](auto& t, auto&) { t.head = L"HTTP/1.1 404 Not Found"; }, false},
        {"cut short",
         [](auto& t, auto& b) {
             t.Body(b.substr(0, 3000), 1000);
             t.contentLength = std::to_wstring(b.size());
             t.codeAfterBody = 12030;
         },
         false},
        {"longer than announced",
         [](auto& t, auto& b) {
             t.Body(b + "tail", 1000);
             t.contentLength = std::to_wstring(b.size());
         },
         true},
        {"same size, other bytes",
         [](auto& t, auto& b) {
             std::string other = b;
             other[4321] = static_cast<char>(other[4321] ^ 1);
             t.Body(other, 1000);
         },
         true},
    };
    for (bool pinned : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (pinned ? ", pinned" : ", unsigned"));
            test::ScriptedTransfer t;
            t.Body(body, 1000);
            c.script(t, body);
            transfer = t;
            view = {};
            log.lines.clear();
            const bool stored = Run(pinned ? std::optional(PinOf(body)) : std::nullopt);
            const bool wrongBytesTaken = !pinned && std::string(c.name) == "same size, other bytes";
            EXPECT_EQ(stored, wrongBytesTaken) << "unsigned mode cannot tell other bytes";
            if (!wrongBytesTaken) {
                EXPECT_EQ(dir.Read(L"f.bin"), "installed");
            }
            EXPECT_EQ(Damaged(), pinned && c.damaged);
            if (!(pinned && c.damaged)) {
                EXPECT_TRUE(view.messages.empty());
            }
            // Only a pinned part that may be continued stays; a damaged one goes.
            EXPECT_EQ(fs::Exists(part), pinned && std::string(c.name) == "cut short");
            fs::DeleteFile(part);
            dir.Write(L"f.bin", "installed");
        }
    }
}

TEST_F(StagedDownload, ALengthOtherThanThePinIsRefusedBeforeAByteIsWritten) {
    transfer.Body(body, 1000);
    transfer.contentLength = std::to_wstring(body.size() + 1);
    bool bodyRead = false;
    transfer.onPiece = [&](size_t) { bodyRead = true; };
    EXPECT_FALSE(Run(PinOf(body)));
    EXPECT_TRUE(Damaged());
    EXPECT_FALSE(bodyRead);
    EXPECT_FALSE(fs::Exists(part));
    EXPECT_EQ(dir.Read(L"f.bin"), "installed");
}

TEST_F(StagedDownload, NoRangeIsAskedWithoutAPinnedPart) {
    dir.Write(L"temp\\stage.part", body.substr(0, 100));
    transfer.Body(body, 1000);
    ASSERT_TRUE(Run(std::nullopt));
    EXPECT_EQ(transfer.requestHeaders, L"") << "an unsigned part is never continued";
    EXPECT_EQ(dir.Read(L"f.bin"), body);

    transfer.Body(body, 1000);
    ASSERT_TRUE(Run(PinOf(body)));
    EXPECT_EQ(transfer.requestHeaders, L"");
}

TEST_F(StagedDownload, AnExactContinuationOfAPinnedPartIsAppended) {
    dir.Write(L"temp\\stage.part", body.substr(0, 1800));
    Resume(L"bytes 1800-4999/5000", body.substr(1800));
    ASSERT_TRUE(Run(PinOf(body)));
    EXPECT_EQ(transfer.requestHeaders, L"Range: bytes=1800-\r\n");
    EXPECT_EQ(dir.Read(L"f.bin"), body);
    EXPECT_FALSE(fs::Exists(part));
    EXPECT_EQ(view.captions[ProgressLabel::LblFilePecent], L"100%");
}

TEST_F(StagedDownload, AContinuationAtAnotherOffsetOrOfAnotherSizeFailsAndStartsOverNextTime) {
    for (const wchar_t* range :
         {L"bytes 1799-4999/5000", L"bytes 1801-4999/5000", L"bytes 1800-5000/5001",
          L"bytes 1800-4998/4999", L"bytes 0-4999/5000", L"", L"bytes */5000"}) {
        SCOPED_TRACE(range);
        dir.Write(L"temp\\stage.part", body.substr(0, 1800));
        Resume(range, body.substr(1800));
        view = {};
        EXPECT_FALSE(Run(PinOf(body)));
        EXPECT_TRUE(view.messages.empty()) << "fails like a failed download";
        EXPECT_EQ(dir.Read(L"f.bin"), "installed");
        EXPECT_FALSE(fs::Exists(part));
    }
    // Right range, but a length that is not the rest of the file.
    dir.Write(L"temp\\stage.part", body.substr(0, 1800));
    Resume(L"bytes 1800-4999/5000", body.substr(1800));
    transfer.contentLength = L"3201";
    EXPECT_FALSE(Run(PinOf(body)));
    EXPECT_EQ(dir.Read(L"f.bin"), "installed");
}

TEST_F(StagedDownload, AWholeAnswerToARangeRequestRestartsThePartFromZero) {
    dir.Write(L"temp\\stage.part", std::string(1800, 'x'));  // wrong bytes: must not survive
    transfer.Body(body, 1000);
    ASSERT_TRUE(Run(PinOf(body)));
    EXPECT_EQ(transfer.requestHeaders, L"Range: bytes=1800-\r\n");
    EXPECT_EQ(dir.Read(L"f.bin"), body);
}

// A continued part that ends wrong may hold bytes that never were the file (a man in the
// middle's, left by an earlier run): it goes, and one fresh copy from byte 0 decides.
TEST_F(StagedDownload, AContinuedPartThatEndsWrongIsFetchedOnceMoreFromByteZero) {
    std::string spoiled = body.substr(0, 1800);
    spoiled[10] = static_cast<char>(spoiled[10] ^ 0x40);
    std::string wrongRest = body.substr(1800);
    wrongRest[5] = static_cast<char>(wrongRest[5] ^ 1);
    std::string wrongWhole = body;
    wrongWhole[4000] = static_cast<char>(wrongWhole[4000] ^ 1);
    struct Case {
        const char* what;
        std::string part, rest, fresh;  // the staged part, the 206's body, the 200's body
        bool stored;
    };
    const std::vector<Case> cases{
        {"a spoiled part, then a right copy", spoiled, body.substr(1800), body, true},
        {"a right part, a wrong rest, then a right copy", body.substr(0, 1800), wrongRest, body,
         true},
        {"a spoiled part, then a wrong copy", spoiled, body.substr(1800), wrongWhole, false},
        {"a spoiled part, then a copy cut short", spoiled, body.substr(1800), body.substr(0, 3000),
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        dir.Write(L"f.bin", "installed");
        dir.Write(L"temp\\stage.part", c.part);
        transfer = test::ScriptedTransfer();
        Resume(L"bytes 1800-4999/5000", c.rest);
        std::vector<std::wstring> asked;
        transfer.onExecute = [&] {
            asked.push_back(transfer.requestHeaders);
            if (asked.size() == 2) {
                transfer.head = L"HTTP/1.1 200 OK";
                transfer.headers.clear();
                transfer.Body(c.fresh, 1000);
                transfer.contentLength = std::to_wstring(body.size());
            }
        };
        view = {};
        log.lines.clear();
        EXPECT_EQ(Run(PinOf(body)), c.stored);
        EXPECT_EQ(asked, (std::vector<std::wstring>{L"Range: bytes=1800-\r\n", L""}));
        EXPECT_EQ(log.With(L"the continued part of resource\\f.bin is wrong").size(), 1u);
        EXPECT_EQ(dir.Read(L"f.bin"), c.stored ? body : "installed");
        EXPECT_EQ(Damaged(), c.fresh.size() == body.size() && !c.stored)
            << "damaged only when a whole fresh copy is wrong";
        // A fresh copy cut short stays to be continued: its bytes are the server's own.
        EXPECT_EQ(fs::Exists(part), c.fresh.size() < body.size());
        if (fs::Exists(part)) {
            EXPECT_EQ(dir.Read(L"temp\\stage.part"), c.fresh);
        }
    }
}

TEST_F(StagedDownload, AWrongFreshDownloadIsRefusedAtOnce) {
    std::string other = body;
    other[10] = static_cast<char>(other[10] ^ 0x40);
    transfer.Body(other, 1000);
    int requests = 0;
    transfer.onExecute = [&] { ++requests; };
    EXPECT_FALSE(Run(PinOf(body)));
    EXPECT_EQ(requests, 1) << "nothing staged to blame";
    EXPECT_TRUE(Damaged());
    EXPECT_FALSE(fs::Exists(part)) << "the next run starts clean";
    EXPECT_EQ(dir.Read(L"f.bin"), "installed");
}

TEST_F(StagedDownload, AStagedPartOfThePinnedSizeIsPlacedWhenItsHashMatches) {
    dir.Write(L"temp\\stage.part", body);
    ASSERT_TRUE(Run(PinOf(body)));
    EXPECT_TRUE(transfer.calls.empty()) << "nothing left to fetch";
    EXPECT_EQ(dir.Read(L"f.bin"), body);

    // Whole size but other bytes, or longer than the pin: fetched again from zero.
    for (const std::string& stale : {std::string(5000, 'x'), body + "x"}) {
        dir.Write(L"f.bin", "installed");
        dir.Write(L"temp\\stage.part", stale);
        test::ScriptedTransfer t;
        t.Body(body, 1000);
        transfer = t;
        ASSERT_TRUE(Run(PinOf(body)));
        EXPECT_EQ(transfer.requestHeaders, L"");
        EXPECT_EQ(dir.Read(L"f.bin"), body);
    }
}

// A folder at the staging name (empty, or holding files and folders) is removed and the file
// staged there as usual, in both modes; nothing else in the folder's parent is touched.
TEST_F(StagedDownload, AFolderAtTheStagingNameIsRemovedAndTheFileStillArrives) {
    for (bool pinned : {false, true}) {
        for (bool filled : {false, true}) {
            SCOPED_TRACE(::testing::Message() << "pinned " << pinned << ", filled " << filled);
            dir.Write(L"f.bin", "installed");
            dir.Write(L"temp\\other.txt", "other");
            ASSERT_TRUE(fs::CreateDir(part));
            if (filled) {
                ASSERT_TRUE(fs::CreateDir(part + L"\\sub"));
                dir.Write(L"temp\\stage.part\\sub\\x.bin", "x");
            }
            transfer.Body(body, 1000);
            ASSERT_TRUE(Run(pinned ? std::optional(PinOf(body)) : std::nullopt));
            EXPECT_EQ(dir.Read(L"f.bin"), body);
            EXPECT_FALSE(fs::Exists(part));
            EXPECT_EQ(dir.Read(L"temp\\other.txt"), "other");
            EXPECT_TRUE(view.messages.empty());
            EXPECT_EQ(log.With(L"removed a folder in place of the staging file").size(), 1u);
            log.lines.clear();
        }
    }
}

TEST(ContentRange, OnlyTheExactRestOfTheFileContinuesIt) {
    EXPECT_TRUE(ContinuesAt(L"bytes 10-99/100", 10, 100));
    EXPECT_FALSE(ContinuesAt(L"bytes 10-98/100", 10, 100));
    EXPECT_FALSE(ContinuesAt(L"bytes 11-99/100", 10, 100));
    EXPECT_FALSE(ContinuesAt(L"bytes 10-99/*", 10, 100));
    EXPECT_FALSE(ContinuesAt(L"bytes 10-99/100 ", 10, 100));
    EXPECT_FALSE(ContinuesAt(L"bytes=10-99/100", 10, 100));
    EXPECT_FALSE(ContinuesAt(L"bytes 010-99/100", 10, 100));
    EXPECT_FALSE(ContinuesAt(L"bytes 100-99/100", 100, 100));
}

}  // namespace
}  // namespace vt
