// Symbolic links: publish takes none from TREE and writes or deletes through none below ROOT;
// lint and verify read no file through one. TREE and ROOT themselves may be links.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "tests/vtpatch/VtpatchTesting.h"
#include "vtpatch/Failure.h"
#include "vtpatch/Lint.h"
#include "vtpatch/Publish.h"
#include "vtpatch/Served.h"
#include "vtpatch/Verify.h"

namespace vt::vtpatch {
namespace {

using test::Get;
using test::Put;

void Link(const std::string& target, const std::string& at) {
    ASSERT_EQ(::symlink(target.c_str(), at.c_str()), 0) << at;
}

// Every file below `folder` with its bytes.
std::map<std::string, std::string> Contents(const std::string& folder) {
    std::map<std::string, std::string> out;
    for (const TreeEntry& e : ListTree(folder)) {
        out[e.relative] = Get(JoinPath(folder, e.relative));
    }
    return out;
}

std::string Reasons(const Refused& e) {
    std::string all;
    for (const std::string& r : e.Reasons()) {
        all += r + "\n";
    }
    return all;
}

TEST(PublishLinks, ALinkInTheTreeIsRefusedWithItsPath) {
    const struct {
        const char* at;
        bool folder;  // points to a folder
    } rows[] = {
        {"resource/data/key.bmp", false},
        {"vt.exe", false},
        {"resource/sound/more", true},
        {"resource/data/card1/back.dat", false},
        {"notes.txt", false},  // even where nothing would be published
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.at);
        test::Keys keys;
        test::SampleTree tree;
        test::Served served;
        if (std::string(row.at) == "vt.exe") {
            ASSERT_EQ(::unlink(JoinPath(tree.Path(), "vt.exe").c_str()), 0);
        }
        Link(row.folder ? keys.dir.Path() : keys.Pem(), JoinPath(tree.Path(), row.at));
        try {
            served.Publish(tree, keys);
            ADD_FAILURE() << "published";
        } catch (const Refused& e) {
            EXPECT_NE(Reasons(e).find(std::string(row.at) + ": a symbolic link"), std::string::npos)
                << Reasons(e);
        }
        EXPECT_EQ(ListTree(served.Path()).size(), 0u);
    }
}

TEST(PublishLinks, TreeAndRootMayThemselvesBeLinks) {
    test::Keys keys;
    test::SampleTree tree;
    test::Served served;
    TempDirectory links;
    Link(tree.Path(), JoinPath(links.Path(), "tree"));
    Link(served.Path(), JoinPath(links.Path(), "root"));
    Publish({JoinPath(links.Path(), "tree"), JoinPath(links.Path(), "root"), keys.Pem(), "1",
             std::nullopt, test::kNow, false});
    EXPECT_EQ(Get(served.At("resource/sound/click.wav")), "click");
    std::unique_ptr<ServedTree> t = OpenServedTree(JoinPath(links.Path(), "root"));
    EXPECT_EQ(Lint(*t, LintOptions{keys.Public(), test::kNow}).Problems(), 0u);
}

// A link planted below ROOT after a first publish: the next publish refuses naming it (or, for
// a leftover temporary name, removes the link itself), and nothing outside ROOT is written or
// deleted.
TEST(PublishLinks, ALinkBelowRootNeverLeadsAPublishOutside) {
    const struct {
        const char* at;  // below ROOT, replacing what is there
        const char* to;  // below the folder outside
        bool refused;
    } rows[] = {
        {"autopatch", "", true},
        {"autopatch/resource", "", true},
        {"autopatch/resource/sound/click.wav", "victim", true},
        {"autopatch/elsewhere", "", true},  // holds a temporary name of ours
        {"autopatch/objects", "", true},
        {"autopatch/profiles", "", true},
        {"autopatch/vtgame.signed", "victim", true},
        {".vtpatch.lock", "made-by-the-lock", true},                     // dangling
        {"autopatch/resource/sound/.vtpatch-1-1.tmp", "victim", false},  // removed itself
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.at);
        test::Keys keys;
        test::SampleTree tree;
        test::Served served;
        TempDirectory outside;
        Put(JoinPath(outside.Path(), "victim"), "a file outside ROOT");
        Put(JoinPath(outside.Path(), ".vtpatch-7-7.tmp"), "not the publisher's");
        Put(JoinPath(outside.Path(), "sound/click.wav"), "outside");
        served.Publish(tree, keys);
        std::filesystem::remove_all(JoinPath(served.Path(), row.at));
        Link(JoinPath(outside.Path(), row.to), JoinPath(served.Path(), row.at));
        const auto before = Contents(outside.Path());
        tree.Set("resource/sound/click.wav", "click, louder");
        try {
            served.Publish(tree, keys);
            EXPECT_FALSE(row.refused) << "published";
            EXPECT_FALSE(Exists(JoinPath(served.Path(), row.at)));
        } catch (const Refused& e) {
            EXPECT_TRUE(row.refused) << Reasons(e);
            EXPECT_NE(Reasons(e).find(std::string(row.at) + ": a symbolic link"), std::string::npos)
                << Reasons(e);
        }
        EXPECT_EQ(Contents(outside.Path()), before);
    }
}

TEST(ReadingLinks, LintAndVerifyFollowNoLinkBelowTheirFolders) {
    test::Keys keys;
    test::SampleTree tree;
    test::Served served;
    TempDirectory outside;
    served.Publish(tree, keys);
    // The same bytes, through a link: a web server may or may not follow it.
    const std::string payload = served.At("resource/sound/click.wav");
    Put(JoinPath(outside.Path(), "click.wav"), Get(payload));
    ASSERT_EQ(::unlink(payload.c_str()), 0);
    Link(JoinPath(outside.Path(), "click.wav"), payload);
    std::unique_ptr<ServedTree> t = OpenServedTree(served.Path());
    Findings findings = Lint(*t, LintOptions{keys.Public(), test::kNow});
    EXPECT_EQ(findings.Problems(), 1u) << test::Describe(findings);
    EXPECT_EQ(test::ProblemsAt(findings, "resource/sound/click.wav"), 1u);

    // An installation whose vt.exe is a link to the right bytes.
    TempDirectory install;
    Put(JoinPath(outside.Path(), "vt.exe"), "MZ client 1");
    Link(JoinPath(outside.Path(), "vt.exe"), JoinPath(install.Path(), "vt.exe"));
    Put(JoinPath(install.Path(), "vtgame.ini"),
        "[game]\r\ngame=1\r\nvtgame=" + served.Value("game", "vtgame") + "\r\n");
    VerifyReport report = Verify(*t, VerifyOptions{install.Path(), false});
    EXPECT_EQ(test::ProblemsAt(report.findings, "vt.exe"), 1u) << test::Describe(report.findings);

    // A served folder that is a link is not read at all.
    test::Served linked;
    Link(JoinPath(served.Path(), "autopatch"), JoinPath(linked.Path(), "autopatch"));
    EXPECT_THROW(OpenServedTree(linked.Path()), SymbolicLink);
}

}  // namespace
}  // namespace vt::vtpatch
