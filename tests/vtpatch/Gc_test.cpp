// gc: removes only objects no kept profile names (the last N, the served ones, those of the
// last D days), leaves everything else below ROOT and every link alone, and removes nothing
// when a kept profile cannot be read to its objects or a publish holds the lock.
#include "vtpatch/Gc.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "format/Digest.h"
#include "format/Objects.h"
#include "tests/vtpatch/VtpatchTesting.h"
#include "vtpatch/Cli.h"
#include "vtpatch/Failure.h"
#include "vtpatch/Lock.h"

namespace vt::vtpatch {
namespace {

using test::Get;
using test::Keys;
using test::Put;
using test::SampleTree;
using test::Served;

constexpr int64_t kDay = 86400;
constexpr int64_t kLater = test::kNow + 30 * kDay;  // gc's "now": every serial 30 days old
constexpr int kPublishes = 5;

// Five publishes, serials kNow to kNow+4; each has a click.wav and a sound manifest of its own
// (its unique objects), everything else is shared.
struct History {
    Keys keys;
    SampleTree tree;
    Served served;
    std::vector<std::string> unique[kPublishes];  // object paths below autopatch/
    // The objects of the empty sets' manifests: written by every publish, pinned by none (a
    // set without files has no pin), so named by no profile.
    std::vector<std::string> unpinned;

    History() {
        for (int i = 0; i < kPublishes; ++i) {
            const std::string click = "click " + std::to_string(i);
            tree.Set("resource/sound/click.wav", click);
            served.Publish(tree, keys);
            unique[i] = {
                format::ObjectPath(Sha256OfText(click)),
                format::ObjectPath(Sha256OfText(Get(served.At("resource/sound/vtsound.ini"))))};
        }
        for (const char* n : {"2", "4", "5"}) {
            const std::string manifest =
                std::string("resource/data/card") + n + "/vtcard" + n + ".ini";
            unpinned.push_back(format::ObjectPath(Sha256OfText(Get(served.At(manifest)))));
        }
    }
    std::string Archive(int i) const {
        return served.At(format::ArchivedProfilePath(test::kNow + static_cast<uint64_t>(i)));
    }
    void Touch(int i, int64_t when) const {
        const timespec times[2] = {{when, 0}, {when, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, Archive(i).c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
    }
};

// Files below `dir` with their bytes; links as "-> target".
std::map<std::string, std::string> Files(const std::string& dir) {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> out;
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir)) {
        const std::string relative = e.path().lexically_relative(dir).generic_string();
        if (e.is_symlink()) {
            out[relative] = "-> " + fs::read_symlink(e.path()).string();
        } else if (e.is_regular_file()) {
            out[relative] = Get(e.path().string());
        }
    }
    return out;
}

std::map<std::string, std::string> Outside(const std::map<std::string, std::string>& files) {
    std::map<std::string, std::string> out;
    for (const auto& [path, bytes] : files) {
        if (!path.starts_with("autopatch/objects/")) {
            out.emplace(path, bytes);
        }
    }
    return out;
}

TEST(Gc, RemovesWhatNoKeptProfileNamesAndNothingElse) {
    const struct {
        const char* what;
        size_t keep;
        int64_t days;
        std::function<void(History&)> arrange;
        std::set<int> survive;  // publishes whose unique objects stay
    } rows[] = {
        {"the last one", 1, 7, [](History&) {}, {4}},
        {"the last three", 3, 7, [](History&) {}, {2, 3, 4}},
        {"more than there are", 9, 7, [](History&) {}, {0, 1, 2, 3, 4}},
        {"an archive modified a day ago is recent",
         1,
         7,
         [](History& h) { h.Touch(1, kLater - kDay); },
         {1, 4}},
        {"an archive modified eight days ago is not",
         1,
         7,
         [](History& h) { h.Touch(1, kLater - 8 * kDay); },
         {4}},
        {"no days: only the last N", 1, 0, [](History& h) { h.Touch(1, kLater - kDay); }, {4}},
        {"serials within the days, whatever the files' times",
         1,
         31,
         [](History& h) {
             for (int i = 0; i < kPublishes; ++i) {
                 h.Touch(i, 0);
             }
         },
         {0, 1, 2, 3, 4}},
        {"a served vtgame.signed kept although its archive is gone",
         1,
         7,
         [](History& h) { std::filesystem::remove(h.Archive(4)); },
         {3, 4}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        History h;
        row.arrange(h);
        const auto before = Files(h.served.Path());
        const GcResult result = CollectGarbage({h.served.Path(), row.keep, row.days, kLater});
        const auto after = Files(h.served.Path());
        EXPECT_EQ(Outside(after), Outside(before)) << "gc touches objects/ only";
        uint64_t bytes = 0;
        size_t removed = 0;
        for (int i = 0; i < kPublishes; ++i) {
            for (const std::string& object : h.unique[i]) {
                const std::string key = "autopatch/" + object;
                ASSERT_TRUE(before.contains(key)) << object;
                EXPECT_EQ(after.contains(key), row.survive.contains(i)) << i << " " << object;
                if (!after.contains(key)) {
                    bytes += before.at(key).size();
                    ++removed;
                }
            }
        }
        for (const std::string& object : h.unpinned) {
            const std::string key = "autopatch/" + object;
            ASSERT_TRUE(before.contains(key)) << object;
            EXPECT_FALSE(after.contains(key)) << object;
            bytes += before.at(key).size();
            ++removed;
        }
        EXPECT_EQ(after.size() + removed, before.size()) << "shared objects stay";
        EXPECT_EQ(result.removed, removed);
        EXPECT_EQ(result.removedBytes, bytes);
        // A folder gc emptied is gone; no other folder is.
        for (const auto& entry : std::filesystem::recursive_directory_iterator(
                 JoinPath(h.served.Path(), "autopatch/objects"))) {
            EXPECT_FALSE(entry.is_directory() && std::filesystem::is_empty(entry.path()))
                << entry.path();
        }
    }
}

// A link in objects/, named like an object or standing for a folder of them, is neither
// followed nor removed, and what it points to stays.
TEST(Gc, LeavesLinksInObjectsAlone) {
    History h;
    TempDirectory outside;
    const std::string hex(64, 'e');
    Put(JoinPath(outside.Path(), "target"), "outside");
    Put(JoinPath(outside.Path(), "ff/" + std::string(64, 'f')), "outside too");
    const std::string objects = JoinPath(h.served.Path(), "autopatch/objects");
    std::filesystem::create_directories(JoinPath(objects, "ee"));
    std::filesystem::create_symlink(JoinPath(outside.Path(), "target"),
                                    JoinPath(objects, "ee/" + hex));
    std::filesystem::create_symlink(JoinPath(outside.Path(), "ff"), JoinPath(objects, "ff"));
    std::filesystem::create_symlink("/nonexistent", JoinPath(objects, "dd"));
    const auto outsideBefore = Files(outside.Path());

    const GcResult result = CollectGarbage({h.served.Path(), 1, 7, kLater});
    EXPECT_EQ(result.removed, 8u + h.unpinned.size());
    for (const char* link : {"ff", "dd"}) {
        EXPECT_TRUE(IsLink(JoinPath(objects, link))) << link;
    }
    EXPECT_TRUE(IsLink(JoinPath(objects, "ee/" + hex)));
    EXPECT_EQ(Files(outside.Path()), outsideBefore);
    size_t linkNotes = 0;
    for (const std::string& note : result.notes) {
        linkNotes += note.find("symbolic link") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(linkNotes, 3u);
}

// Refused, with every object still there, when a kept profile cannot be read to its objects.
TEST(Gc, RemovesNothingWhenAKeptProfileCannotBeKnown) {
    const struct {
        const char* what;
        std::function<void(History&)> spoil;
        const char* says;
    } rows[] = {
        {"a kept manifest's object missing",
         [](History& h) { std::filesystem::remove(h.served.At(h.unique[3][1])); },
         "(resource/sound/vtsound.ini)"},
        {"a kept manifest's object with other bytes",
         [](History& h) { test::FlipBit(h.served.At(h.unique[3][1]), 3); }, "does not match"},
        {"a kept archive cut short", [](History& h) { Put(h.Archive(3), "short"); }, "5 bytes"},
        {"a kept archive carrying another publish",
         [](History& h) { Put(h.Archive(3), Get(h.Archive(1))); }, "serial"},
        {"a kept archive that cannot be read",
         [](History& h) { ASSERT_EQ(::chmod(h.Archive(3).c_str(), 0), 0); }, "cannot be read"},
        {"a kept archive that is a link",
         [](History& h) {
             std::filesystem::remove(h.Archive(3));
             std::filesystem::create_symlink(h.Archive(1), h.Archive(3));
         },
         "symbolic link"},
        {"a recent archive beyond the last N unreadable",
         [](History& h) {
             Put(h.Archive(0), "short");
             h.Touch(0, kLater);
         },
         "5 bytes"},
        {"objects/ itself a link",
         [](History& h) {
             const std::string objects = h.served.At("objects");
             std::filesystem::rename(objects, objects + ".real");
             std::filesystem::create_symlink(objects + ".real", objects);
         },
         "symbolic link"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        if (::geteuid() == 0 && std::string(row.what).ends_with("cannot be read")) {
            continue;  // root reads any file
        }
        History h;
        row.spoil(h);
        const auto before = Files(h.served.Path());
        try {
            CollectGarbage({h.served.Path(), 2, 7, kLater});
            ADD_FAILURE() << "not refused";
        } catch (const Refused& refused) {
            EXPECT_NE(std::string(refused.what()).find(row.says), std::string::npos)
                << refused.what();
        }
        EXPECT_EQ(Files(h.served.Path()), before);
        ::chmod(h.Archive(3).c_str(), 0644);
    }
}

std::pair<int, std::string> GcCli(std::vector<std::string> args) {
    std::ostringstream out;
    std::ostringstream err;
    args.insert(args.begin(), "gc");
    const int status = RunCli(args, out, err, kLater);
    return {status, out.str() + err.str()};
}

// A publish holding ROOT's lock keeps gc out; the command line is checked before anything.
TEST(Gc, CommandLineAndTheLockOfARunningPublish) {
    History h;
    const std::string root = h.served.Path();
    const auto before = Files(root);
    const struct {
        std::vector<std::string> args;
        int status;
        const char* says;
    } rows[] = {
        {{root}, 2, "--keep is required"},
        {{root, "--keep", "0"}, 2, "--keep takes a number of profiles, 1 or more"},
        {{root, "--keep", "two"}, 2, "--keep takes"},
        {{root, "--keep", "2", "--days", "-1"}, 2, "--days takes"},
        {{root, "--keep", "2", "--days", "1.5"}, 2, "--days takes"},
        {{root, "--keep", "1", "--keep", "2"}, 2, "given more than once"},
        {{root, "--keep", "1", "--force"}, 2, "unknown option --force"},
        {{JoinPath(root, "nothing"), "--keep", "1"}, 3, "no served tree"},
    };
    for (const auto& row : rows) {
        const auto [status, said] = GcCli(row.args);
        EXPECT_EQ(status, row.status) << said;
        EXPECT_NE(said.find(row.says), std::string::npos) << said;
        if (row.status == 2) {
            EXPECT_NE(said.find("usage: vtpatch gc ROOT --keep N [--days D]"), std::string::npos);
        }
    }
    {
        RunLock publishing("publish", RootLockPath(root), O_RDWR | O_CREAT, "busy");
        EXPECT_THROW(CollectGarbage({root, 1, 7, kLater}), Busy);
        const auto [status, said] = GcCli({root, "--keep", "1"});
        EXPECT_EQ(status, 1) << said;
        EXPECT_NE(said.find("a publish into"), std::string::npos) << said;
    }
    EXPECT_EQ(Files(root), before);
    const auto [status, said] = GcCli({root, "--keep", "1"});
    EXPECT_EQ(status, 0) << said;
    EXPECT_NE(said.find("removed 11 objects"), std::string::npos) << said;
}

}  // namespace
}  // namespace vt::vtpatch
