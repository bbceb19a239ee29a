// lint of a mirror over HTTP: what it lacks and what it holds wrong, against its own profile
// and, with --against, against the publish its primary serves.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sstream>

#include "format/Digest.h"
#include "format/Objects.h"
#include "tests/vtpatch/VtpatchTesting.h"
#include "vtpatch/Cli.h"
#include "vtpatch/Failure.h"
#include "vtpatch/Lint.h"
#include "vtpatch/Served.h"

namespace vt::vtpatch {
namespace {

using test::Get;
using test::Keys;
using test::Put;
using test::SampleTree;
using test::Served;

// A primary and a mirror copied from it, each served over HTTP.
struct Mirrored {
    Keys keys;
    SampleTree tree;
    Served primary;
    TempDirectory mirror;

    Mirrored() {
        primary.Publish(tree, keys);
        Sync();
    }
    void Sync() const {
        std::filesystem::remove_all(JoinPath(mirror.Path(), "autopatch"));
        std::filesystem::copy(JoinPath(primary.Path(), "autopatch"),
                              JoinPath(mirror.Path(), "autopatch"),
                              std::filesystem::copy_options::recursive);
    }
    std::string Mirror(const std::string& relative) const {
        return JoinPath(mirror.Path(), "autopatch/" + relative);
    }
};

std::string ClickObject() {
    return format::ObjectPath(Sha256OfText("click"));
}

TEST(LintMirror, FindsWhatAMirrorLacksOrHoldsWrongOverHttp) {
    const struct {
        const char* what;
        std::function<void(Mirrored&)> spoil;
        std::vector<std::string> problemsAt;  // one problem at each, and no other
    } rows[] = {
        {"a faithful copy", [](Mirrored&) {}, {}},
        {"an object missing",
         [](Mirrored& m) { std::filesystem::remove(m.Mirror(ClickObject())); },
         {ClickObject() + " (resource/sound/click.wav"}},
        {"an object with other bytes",
         [](Mirrored& m) { test::FlipBit(m.Mirror(ClickObject())); },
         {ClickObject()}},
        {"an object of another size",
         [](Mirrored& m) { Put(m.Mirror(ClickObject()), "clicks"); },
         {ClickObject()}},
        {"a vtgame.signed that does not verify",
         [](Mirrored& m) { test::FlipBit(m.Mirror("vtgame.signed"), 10); },
         {"vtgame.signed"}},
        {"a publish behind its primary",
         [](Mirrored& m) {
             m.tree.Set("resource/sound/click.wav", "click 2");
             m.primary.Publish(m.tree, m.keys);
         },
         {"vtgame.ini"}},
        {"a publish ahead of its primary (the primary is being uploaded)",
         [](Mirrored& m) {
             m.tree.Set("resource/sound/click.wav", "click 2");
             m.primary.Publish(m.tree, m.keys);
             m.Sync();
             Put(JoinPath(m.primary.Path(), "autopatch/vtgame.signed"),
                 Get(m.primary.At(format::ArchivedProfilePath(test::kNow))));
         },
         {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Mirrored m;
        row.spoil(m);
        test::FolderServer mirror(m.mirror.Path());
        test::FolderServer primary(m.primary.Path());
        LintOptions options{m.keys.Public(), test::kNow};
        options.primarySerial = PrimarySerial(*OpenServedTree(primary.Url()), m.keys.Public());
        const Findings findings = Lint(*OpenServedTree(mirror.Url()), options);
        EXPECT_EQ(findings.Problems(), row.problemsAt.size()) << test::Describe(findings);
        for (const std::string& where : row.problemsAt) {
            EXPECT_EQ(test::ProblemsAt(findings, where), 1u) << where << test::Describe(findings);
        }
    }
}

// The primary's serial counts only when it can be read, and with --pub only when it verifies.
TEST(LintMirror, ThePrimarysSerialCountsOnlyWhenItCanBeTrusted) {
    Mirrored m;
    Keys other;
    EXPECT_EQ(PrimarySerial(*OpenServedTree(m.primary.Path()), m.keys.Public()),
              static_cast<uint64_t>(test::kNow));
    EXPECT_THROW(PrimarySerial(*OpenServedTree(m.primary.Path()), other.Public()), Failure);
    std::filesystem::remove(m.primary.At("vtgame.signed"));
    EXPECT_EQ(PrimarySerial(*OpenServedTree(m.primary.Path()), std::nullopt),
              static_cast<uint64_t>(test::kNow))
        << "a primary of an older vtpatch: vtgame.ini";
    EXPECT_THROW(PrimarySerial(*OpenServedTree(m.primary.Path()), m.keys.Public()), Failure);

    // Through the command: a mirror behind is a problem, exit 1.
    m.tree.Set("resource/sound/click.wav", "click 2");
    m.primary.Publish(m.tree, m.keys);
    test::FolderServer mirror(m.mirror.Path());
    std::ostringstream out;
    std::ostringstream err;
    const int status =
        RunCli({"lint", mirror.Url(), "--pub", m.keys.Pub(), "--against", m.primary.Path()}, out,
               err, test::kNow);
    EXPECT_EQ(status, 1) << out.str() << err.str();
    EXPECT_NE(out.str().find("older than the primary's " + std::to_string(test::kNow + 1)),
              std::string::npos)
        << out.str();
}

}  // namespace
}  // namespace vt::vtpatch
