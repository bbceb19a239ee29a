// publish --dry-run: what players at the last archived serials would download of a publish,
// counted as the launcher fetches (a file whose pin differs or that is new, manifests
// included), with nothing written anywhere.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "format/Objects.h"
#include "tests/vtpatch/VtpatchTesting.h"
#include "vtpatch/Cli.h"
#include "vtpatch/PublishState.h"

namespace vt::vtpatch {
namespace {

using test::Get;
using test::Keys;
using test::SampleTree;
using test::Served;

// Every entry below `dir` (folders too) with its bytes: what "nothing written" compares.
std::map<std::string, std::string> Snapshot(const std::string& dir) {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> out;
    if (!fs::exists(fs::symlink_status(dir))) {
        return out;
    }
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir)) {
        const std::string relative = e.path().lexically_relative(dir).generic_string();
        out[relative] = e.is_directory() ? std::string("<folder>") : Get(e.path().string());
    }
    return out;
}

PublishOptions DryRunOf(const SampleTree& tree, const std::string& root, const Keys& keys) {
    PublishOptions options;
    options.tree = tree.Path();
    options.root = root;
    options.keyPath = keys.Pem();
    options.game = "1";
    options.now = test::kNow;
    options.dryRun = true;
    return options;
}

// Seven publishes (serials kNow to kNow+6), each changing what its row says; the archive of
// kNow+3 is lost. The dry run changes ui/frame.bmp of the last one.
TEST(PublishDryRun, CountsWhatPlayersAtTheLastFiveArchivedSerialsWouldDownload) {
    Keys keys;
    SampleTree tree;
    Served served;
    const std::vector<std::function<void()>> history = {
        [] {},
        [&] { tree.Set("resource/sound/click.wav", "click 2"); },
        [&] { tree.Set("resource/sound/new.wav", "new"); },
        [&] { tree.Set("vt.exe", "MZ client 2"); },
        [&] { tree.Set("resource/data/card3/joker.dat", "joker 2"); },
        [] {},  // the same content again
        [&] { tree.Set("resource/data/card1/ace.dat", "ace 2"); },
    };
    for (const auto& change : history) {
        change();
        served.Publish(tree, keys);
    }
    std::filesystem::remove(served.At(format::ArchivedProfilePath(test::kNow + 3)));
    tree.Set("resource/data/ui/frame.bmp", "frame 2");

    const std::map<std::string, std::string> before = Snapshot(served.Path());
    const std::string stateBefore = Get(StatePath(keys.Pem()));
    const PublishResult dry = Publish(DryRunOf(tree, served.Path(), keys));
    EXPECT_EQ(Snapshot(served.Path()), before) << "a dry run writes nothing, lock file included";
    EXPECT_EQ(Get(StatePath(keys.Pem())), stateBefore) << "nor takes a serial";
    EXPECT_EQ(dry.objectsWritten + dry.written, 0u);

    // Published for real, the same tree gives the sizes the launcher would fetch.
    const PublishResult real = served.Publish(tree, keys);
    EXPECT_EQ(real.serial, dry.serial);
    const std::set<std::string> atLast = {"resource/data/graphics.ini",
                                          "resource/data/ui/frame.bmp"};
    std::set<std::string> atFour = atLast;
    atFour.insert({"resource/data/card1/vtcard1.ini", "resource/data/card1/ace.dat"});
    std::set<std::string> atTwo = atFour;
    atTwo.insert({"vt.exe", "resource/data/card3/vtcard3.ini", "resource/data/card3/joker.dat"});
    std::set<std::string> atOne = atTwo;
    atOne.insert({"resource/sound/vtsound.ini", "resource/sound/new.wav"});
    const struct {
        uint64_t serial;
        std::set<std::string> fetched;
    } rows[] = {
        {test::kNow + 1, atOne},  {test::kNow + 2, atTwo},  {test::kNow + 4, atFour},
        {test::kNow + 5, atFour}, {test::kNow + 6, atLast},
    };
    ASSERT_EQ(dry.downloads.size(), std::size(rows)) << "kNow is past the five, kNow+3 is lost";
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].serial);
        uint64_t bytes = 0;
        for (const std::string& path : rows[i].fetched) {
            bytes += Get(served.At(path)).size();
        }
        EXPECT_EQ(dry.downloads[i].serial, rows[i].serial);
        EXPECT_EQ(dry.downloads[i].files, rows[i].fetched.size());
        EXPECT_EQ(dry.downloads[i].bytes, bytes);
    }
}

// Into a fresh ROOT nothing is made, not even ROOT; a refusal is the publish's own.
TEST(PublishDryRun, WritesNothingAndRefusesWhatAPublishRefuses) {
    Keys keys;
    SampleTree tree;
    TempDirectory parent;
    const std::string root = JoinPath(parent.Path(), "fresh");
    const PublishResult dry = Publish(DryRunOf(tree, root, keys));
    EXPECT_EQ(dry.serial, static_cast<uint64_t>(test::kNow));
    EXPECT_TRUE(dry.downloads.empty());
    EXPECT_EQ(Snapshot(parent.Path()), (std::map<std::string, std::string>{}));
    EXPECT_FALSE(Exists(StatePath(keys.Pem())));

    tree.Set("resource/sound/empty.wav", "");
    EXPECT_THROW(Publish(DryRunOf(tree, root, keys)), Refused);
    EXPECT_EQ(Snapshot(parent.Path()), (std::map<std::string, std::string>{}));
}

// The command prints one line a serial: the serial, then files and bytes.
TEST(PublishDryRun, PrintsOneLineASerial) {
    Keys keys;
    SampleTree tree;
    Served served;
    served.Publish(tree, keys);
    tree.Set("resource/sound/click.wav", "click 2");
    served.Publish(tree, keys);
    tree.Set("resource/sound/click.wav", "click 3");
    std::ostringstream out;
    std::ostringstream err;
    const int status = RunCli(
        {"publish", tree.Path(), served.Path(), "--key", keys.Pem(), "--game", "1", "--dry-run"},
        out, err, test::kNow);
    ASSERT_EQ(status, 0) << err.str();
    const std::string manifest = Get(served.At("resource/sound/vtsound.ini"));
    std::istringstream lines(out.str());
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::vector<std::string> row{std::istream_iterator<std::string>(words), {}};
        if (row.size() == 3 && row[0].starts_with("18")) {
            rows.push_back(row);
        }
    }
    // click.wav (7 bytes) and a sound manifest the size of the served one (same lengths).
    const std::string bytes = std::to_string(7 + manifest.size());
    const std::vector<std::vector<std::string>> expected = {
        {std::to_string(test::kNow), "2", bytes}, {std::to_string(test::kNow + 1), "2", bytes}};
    EXPECT_EQ(rows, expected) << out.str();
    EXPECT_NE(out.str().find("would publish serial " + std::to_string(test::kNow + 2)),
              std::string::npos)
        << out.str();
}

}  // namespace
}  // namespace vt::vtpatch
