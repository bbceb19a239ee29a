#include "selfupdate/Swap.h"

#include <gtest/gtest.h>

#include "tests/support/FakeSwapFs.h"

namespace vt::selfupdate {
namespace {

using test::FakeSwapFs;

const std::wstring kInstall = L"C:\\game\\";
const std::wstring kTemp = L"C:\\game\\temp\\";
const std::wstring kFolder = L"C:\\game\\launcher\\";
const std::wstring kPointer = kFolder + L"current.ini";
const std::wstring kStarter = L"C:\\game\\vtlauncher.exe";

LauncherRef RefOf(uint64_t serial, const std::string& bytes, const std::string& game) {
    return {serial, {bytes.size(), Sha256Of(std::as_bytes(std::span(bytes)))}, game};
}

const std::string kNewBytes = "MZ launcher two";
const LauncherRef kNew = RefOf(2, kNewBytes, "1.02");

class SwapTest : public ::testing::Test {
  protected:
    SwapTest() {
        fs.Put(kStarter, "MZ starter");
        fs.files[kStarter].running = true;
    }
    Swap Launcher(uint64_t serial) { return Swap(fs, kInstall, kTemp, serial); }
    // Stores `bytes` where it is asked to, as the payload downloader does.
    std::function<bool(const std::wstring&)> Serving(const std::string& bytes) {
        return [this, bytes](const std::wstring& staged) {
            ++fetches;
            return fs.Write(staged, bytes);
        };
    }
    std::optional<Pointer> PointerNow() {
        const std::string* text = fs.Bytes(kPointer);
        return text ? ReadPointer(*text) : std::nullopt;
    }
    std::optional<uint64_t> Chosen(uint64_t own) {
        std::wstring why;
        const auto choice = Launcher(own).Choose(why);
        return choice ? std::optional(choice->launcher.serial) : std::nullopt;
    }

    FakeSwapFs fs;
    int fetches = 0;
};

TEST_F(SwapTest, InstallMovesTheCheckedLauncherInAndPointsAtIt) {
    Swap swap = Launcher(1);
    ASSERT_EQ(swap.Install(kNew, Serving(kNewBytes)), SwapStep::Done);
    EXPECT_EQ(*fs.Bytes(kFolder + L"vtlauncher-2.exe"), kNewBytes);
    EXPECT_FALSE(fs.Exists(kTemp + L"vtlauncher-2.exe"));
    EXPECT_FALSE(fs.Exists(kPointer + L".new"));
    const auto pointer = PointerNow();
    ASSERT_TRUE(pointer);
    EXPECT_EQ(pointer->current, kNew);
    EXPECT_TRUE(pointer->previous.IsStarter());
    EXPECT_EQ(*fs.Bytes(kStarter), "MZ starter");  // the starter is never replaced
    EXPECT_EQ(Chosen(1), 2u);
    EXPECT_EQ(Chosen(2), std::nullopt);  // the new one runs itself
}

// Each step failing leaves the pointer and the starter as they were, and the next start runs
// the launcher that ran before.
TEST_F(SwapTest, EveryStepFailingLeavesThePointerAsItWas) {
    const struct {
        const char* name;
        std::string served;
        bool fetched;
        std::set<std::string> failing;
        SwapStep failedAt;
        bool movedIn;
    } rows[] = {
        {"fetch fails", kNewBytes, false, {}, SwapStep::Fetch, false},
        {"other bytes served", "MZ launcher tw0", true, {}, SwapStep::Check, false},
        {"shorter bytes served", "MZ", true, {}, SwapStep::Check, false},
        {"move in fails", kNewBytes, true, {"movenew"}, SwapStep::MoveIn, false},
        {"folder cannot be made", kNewBytes, true, {"makedir"}, SwapStep::MoveIn, false},
        {"pointer rename fails", kNewBytes, true, {"moveover"}, SwapStep::WritePointer, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fs = FakeSwapFs();
        fs.Put(kStarter, "MZ starter");
        fs.failing = row.failing;
        const auto fetch = [&](const std::wstring& staged) {
            return row.fetched && fs.Write(staged, row.served);
        };
        EXPECT_EQ(Launcher(1).Install(kNew, fetch), row.failedAt);
        EXPECT_FALSE(fs.Exists(kPointer));
        EXPECT_FALSE(fs.Exists(kPointer + L".new"));
        EXPECT_EQ(fs.Exists(kFolder + L"vtlauncher-2.exe"), row.movedIn);
        EXPECT_EQ(*fs.Bytes(kStarter), "MZ starter");
        fs.Restart();
        EXPECT_EQ(Chosen(1), std::nullopt);
    }
}

TEST_F(SwapTest, AWriteOfThePointerThatFailsKeepsTheOldPointer) {
    ASSERT_EQ(Launcher(1).Install(kNew, Serving(kNewBytes)), SwapStep::Done);
    const std::string before = *fs.Bytes(kPointer);
    fs.failing = {"write"};
    const LauncherRef three = RefOf(3, "MZ three", "1.03");
    EXPECT_EQ(Launcher(2).Install(three, Serving("MZ three")), SwapStep::Fetch);
    fs.failing = {"moveover"};
    EXPECT_EQ(Launcher(2).Install(three, Serving("MZ three")), SwapStep::WritePointer);
    EXPECT_EQ(*fs.Bytes(kPointer), before);
}

// A kill after any change of the install leaves a state from which the next start runs a
// launcher that is whole (old or new), and the run after that ends on the new one.
TEST_F(SwapTest, AKillAfterAnyChangeLeavesARunnableLauncherAndTheNextRunEndsOnTheNewOne) {
    FakeSwapFs whole;
    whole.Put(kStarter, "MZ starter");
    ASSERT_EQ(Swap(whole, kInstall, kTemp, 1)
                  .Install(kNew, [&](const std::wstring& p) { return whole.Write(p, kNewBytes); }),
              SwapStep::Done);
    const std::size_t total = whole.changes;
    ASSERT_GE(total, 3u);
    for (std::size_t kill = 1; kill <= total; ++kill) {
        SCOPED_TRACE(kill);
        fs = FakeSwapFs();
        fs.Put(kStarter, "MZ starter");
        fs.crashAfter = kill;
        EXPECT_THROW(Launcher(1).Install(kNew, Serving(kNewBytes)), FakeSwapFs::Crash);
        fs.Restart();
        const auto chosen = Chosen(1);
        if (chosen) {
            EXPECT_EQ(*fs.Bytes(kFolder + L"vtlauncher-2.exe"), kNewBytes);
        }
        EXPECT_TRUE(!fs.Exists(kPointer) || PointerNow());  // never a torn pointer
        ASSERT_EQ(Launcher(1).Install(kNew, Serving(kNewBytes)), SwapStep::Done);
        EXPECT_EQ(Chosen(1), 2u);
    }
}

// The states between the steps, laid out directly: what a start chooses and whether the next
// install fetches again.
TEST_F(SwapTest, EachStateBetweenTheStepsChoosesAWholeLauncher) {
    const std::string pointerTwo = PointerText({kNew, RefOf(1, "", ""), {}});
    const struct {
        const char* name;
        std::map<std::wstring, std::string> files;
        std::optional<uint64_t> chosen;
        int fetchesToFinish;
    } rows[] = {
        {"nothing yet", {}, std::nullopt, 1},
        {"staged in temp only", {{kTemp + L"vtlauncher-2.exe", kNewBytes}}, std::nullopt, 1},
        {"half staged", {{kTemp + L"vtlauncher-2.exe", "MZ laun"}}, std::nullopt, 1},
        {"moved in, no pointer", {{kFolder + L"vtlauncher-2.exe", kNewBytes}}, std::nullopt, 0},
        {"new pointer written beside the old",
         {{kFolder + L"vtlauncher-2.exe", kNewBytes}, {kPointer + L".new", pointerTwo}},
         std::nullopt,
         0},
        {"torn new pointer beside",
         {{kFolder + L"vtlauncher-2.exe", kNewBytes},
          {kPointer + L".new", pointerTwo.substr(0, 30)}},
         std::nullopt,
         0},
        {"pointer names it",
         {{kFolder + L"vtlauncher-2.exe", kNewBytes}, {kPointer, pointerTwo}},
         2,
         0},
        {"pointer names it, file damaged",
         {{kFolder + L"vtlauncher-2.exe", "MZ launcher tw0"}, {kPointer, pointerTwo}},
         std::nullopt,
         1},
        {"pointer names it, file gone", {{kPointer, pointerTwo}}, std::nullopt, 1},
        {"pointer torn",
         {{kFolder + L"vtlauncher-2.exe", kNewBytes}, {kPointer, "[launcher]\r\nseri"}},
         std::nullopt,
         0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fs = FakeSwapFs();
        fs.Put(kStarter, "MZ starter");
        for (const auto& [path, bytes] : row.files) {
            fs.Put(path, bytes);
        }
        EXPECT_EQ(Chosen(1), row.chosen);
        fetches = 0;
        ASSERT_EQ(Launcher(1).Install(kNew, Serving(kNewBytes)), SwapStep::Done);
        EXPECT_EQ(fetches, row.fetchesToFinish);
        EXPECT_EQ(Chosen(1), 2u);
    }
}

TEST_F(SwapTest, AFileHeldForAWhileIsMovedOnceLetGoAndOneHeldLongerFailsTheStep) {
    fs.holdAfterWrite = kHeldTries - 1;
    ASSERT_EQ(Launcher(1).Install(kNew, Serving(kNewBytes)), SwapStep::Done);
    EXPECT_GE(fs.pauses, kHeldTries - 1);
    EXPECT_EQ(Chosen(1), 2u);

    fs = FakeSwapFs();
    fs.holdAfterWrite = kHeldTries;  // still held at the last try
    EXPECT_EQ(Launcher(1).Install(kNew, Serving(kNewBytes)), SwapStep::MoveIn);
    EXPECT_FALSE(fs.Exists(kPointer));
}

TEST_F(SwapTest, PutBackPointsAtThePreviousAndNeverChoosesTheFailedSerialAgain) {
    ASSERT_EQ(Launcher(1).Install(kNew, Serving(kNewBytes)), SwapStep::Done);
    ASSERT_TRUE(Launcher(1).PutBack(2));
    const auto pointer = PointerNow();
    ASSERT_TRUE(pointer);
    EXPECT_TRUE(pointer->current.IsStarter());
    EXPECT_EQ(pointer->failed, std::vector<uint64_t>{2});
    EXPECT_EQ(Chosen(1), std::nullopt);
    // A later launcher (3) installed by the starter keeps the failed list.
    const LauncherRef three = RefOf(3, "MZ three", "1.03");
    ASSERT_EQ(Launcher(1).Install(three, Serving("MZ three")), SwapStep::Done);
    EXPECT_EQ(PointerNow()->failed, std::vector<uint64_t>{2});
    EXPECT_EQ(Chosen(1), 3u);
}

TEST_F(SwapTest, AVersionedLauncherInstallingTheNextIsItsPrevious) {
    ASSERT_EQ(Launcher(1).Install(kNew, Serving(kNewBytes)), SwapStep::Done);
    fs.files[kFolder + L"vtlauncher-2.exe"].running = true;
    const LauncherRef three = RefOf(3, "MZ three", "1.03");
    ASSERT_EQ(Launcher(2).Install(three, Serving("MZ three")), SwapStep::Done);
    EXPECT_EQ(PointerNow()->previous, kNew);
    ASSERT_TRUE(Launcher(2).PutBack(3));
    EXPECT_EQ(PointerNow()->current, kNew);
    EXPECT_EQ(Chosen(1), 2u);  // the starter goes on to 2, not to the failed 3
}

TEST_F(SwapTest, StaleLaunchersGoOnlyWhenNotRunningAndNotNamed) {
    for (uint64_t serial : {2, 3, 4}) {
        const std::string bytes = "MZ " + std::to_string(serial);
        ASSERT_EQ(Launcher(serial - 1).Install(RefOf(serial, bytes, "g"), Serving(bytes)),
                  SwapStep::Done);
    }
    fs.Put(kFolder + L"notes.txt", "kept");
    fs.files[kFolder + L"vtlauncher-2.exe"].running = true;  // still ending
    Launcher(4).RemoveStale();
    EXPECT_TRUE(fs.Exists(kFolder + L"vtlauncher-2.exe"));  // running: cannot go yet
    EXPECT_TRUE(fs.Exists(kFolder + L"vtlauncher-3.exe"));  // previous
    EXPECT_TRUE(fs.Exists(kFolder + L"vtlauncher-4.exe"));  // current
    EXPECT_TRUE(fs.Exists(kFolder + L"notes.txt"));
    fs.Restart();
    Launcher(4).RemoveStale();
    EXPECT_FALSE(fs.Exists(kFolder + L"vtlauncher-2.exe"));
    EXPECT_TRUE(fs.Exists(kFolder + L"vtlauncher-3.exe"));
}

TEST_F(SwapTest, ARunningFileUnderTheNewNameIsNeverOverwritten) {
    fs.Put(kFolder + L"vtlauncher-2.exe", "MZ someone else's");
    fs.files[kFolder + L"vtlauncher-2.exe"].running = true;
    EXPECT_EQ(Launcher(1).Install(kNew, Serving(kNewBytes)), SwapStep::MoveIn);
    EXPECT_EQ(*fs.Bytes(kFolder + L"vtlauncher-2.exe"), "MZ someone else's");
    EXPECT_FALSE(fs.Exists(kPointer));
}

TEST(SwapNames, VersionedNamesAndTheInstallationOfALauncher) {
    const struct {
        std::wstring name;
        std::optional<uint64_t> serial;
    } names[] = {
        {L"vtlauncher-2.exe", 2},      {L"VTLAUNCHER-17.EXE", 17},
        {L"vtlauncher-.exe", {}},      {L"vtlauncher-02.exe", {}},
        {L"vtlauncher-2.exe.new", {}}, {L"vtlauncher.exe", {}},
        {L"vtlauncher-2x.exe", {}},    {L"vtlauncher-99999999999999999999.exe", {}},
    };
    for (const auto& row : names) {
        EXPECT_EQ(SerialOfName(row.name), row.serial)
            << std::string(row.name.begin(), row.name.end());
    }
    EXPECT_EQ(InstallationOf(L"C:\\game\\vtlauncher.exe"), L"C:\\game");
    EXPECT_EQ(InstallationOf(L"C:\\game\\launcher\\vtlauncher-2.exe"), L"C:\\game");
    EXPECT_EQ(InstallationOf(L"C:\\game\\Launcher\\vtlauncher-2.exe"), L"C:\\game");
    EXPECT_EQ(InstallationOf(L"C:\\game\\launcher\\other.exe"), L"C:\\game\\launcher");
    EXPECT_EQ(InstallationOf(L"C:\\game\\bin\\vtlauncher-2.exe"), L"C:\\game\\bin");
}

}  // namespace
}  // namespace vt::selfupdate
