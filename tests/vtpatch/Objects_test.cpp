// What a cache or mirror may keep for ever: objects named by their SHA-256, never rewritten,
// written before any profile names them; vtgame.signed and the archive of signed profiles; and
// lint finding each way they can be wrong.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "format/Digest.h"
#include "format/Objects.h"
#include "format/Pin.h"
#include "tests/vtpatch/VtpatchTesting.h"
#include "vtpatch/Failure.h"
#include "vtpatch/Format.h"
#include "vtpatch/Lint.h"
#include "vtpatch/PublishState.h"
#include "vtpatch/Served.h"

namespace vt::vtpatch {
namespace {

using test::Get;
using test::Keys;
using test::Put;
using test::SampleTree;
using test::Served;

std::string Autopatch(const Served& served, const std::string& relative) {
    return JoinPath(served.Path(), "autopatch/" + relative);
}

// The object paths that `text`'s pins name and that are not served, following the pins of
// every object that is (a manifest's pins name its payloads).
std::set<std::string> Unserved(const Served& served, const std::string& text) {
    std::set<std::string> missing;
    std::set<std::string> seen;
    std::function<void(const std::string&)> follow = [&](const std::string& bytes) {
        size_t start = 0;
        while (start < bytes.size()) {
            const size_t end = std::min(bytes.find("\r\n", start), bytes.size());
            const std::string line = bytes.substr(start, end - start);
            start = end + 2;
            const size_t eq = line.rfind('=');
            const std::optional<Pin> pin =
                eq == std::string::npos ? std::nullopt : ParsePin(line.substr(eq + 1));
            if (!pin || !seen.insert(format::ObjectPath(pin->sha256)).second) {
                continue;
            }
            const std::optional<std::string> object =
                ReadFile(Autopatch(served, format::ObjectPath(pin->sha256)));
            if (!object) {
                missing.insert(format::ObjectPath(pin->sha256));
            } else {
                follow(*object);
            }
        }
    };
    follow(text);
    return missing;
}

// The profile vtgame.signed (or an archived one) carries, after its 64 signature bytes.
std::string Carried(const std::string& signedBytes) {
    return signedBytes.size() < 64 ? std::string() : signedBytes.substr(64);
}

bool Verifies(const Keys& keys, const std::string& signedBytes) {
    Signature signature{};
    if (signedBytes.size() < signature.size()) {
        return false;
    }
    std::copy_n(signedBytes.begin(), signature.size(), signature.begin());
    return VerifySignature(keys.Public(), Carried(signedBytes), signature);
}

struct Identity {
    ino_t inode = 0;
    int64_t mtimeNs = 0;
    bool operator==(const Identity&) const = default;
};

std::map<std::string, Identity> Objects(const Served& served) {
    std::map<std::string, Identity> out;
    const std::string folder = Autopatch(served, format::kObjectsFolder);
    for (const TreeEntry& e : ListTree(folder)) {
        struct stat st {};
        EXPECT_EQ(::stat(JoinPath(folder, e.relative).c_str(), &st), 0) << e.relative;
        out[e.relative] = {st.st_ino, st.st_mtim.tv_sec * 1'000'000'000LL + st.st_mtim.tv_nsec};
    }
    return out;
}

TEST(PublishObjects, EveryPayloadAndManifestIsServedOnceUnderItsHash) {
    Keys keys;
    SampleTree tree;
    Served served;
    PublishResult result = served.Publish(tree, keys);

    // vt.exe and 8 payloads, all different, and the 7 manifests (each names its own set).
    EXPECT_EQ(result.objectsWritten, 16u);
    const std::map<std::string, Identity> objects = Objects(served);
    EXPECT_EQ(objects.size(), 16u);
    for (const auto& [relative, identity] : objects) {
        const std::string bytes = Get(Autopatch(served, "objects/" + relative));
        const std::string hex = DigestHex(Sha256OfText(bytes));
        EXPECT_EQ(relative, hex.substr(0, 2) + "/" + hex);
    }
    // Every payload and manifest of the legacy tree, vt.exe included, has its object.
    for (const TreeEntry& e : ListTree(JoinPath(served.Path(), "autopatch"))) {
        if (!e.relative.starts_with("vtgame.") && !e.relative.starts_with("objects/") &&
            !e.relative.starts_with("profiles/")) {
            const std::string bytes = Get(Autopatch(served, e.relative));
            EXPECT_TRUE(objects.contains(format::ObjectPath(Sha256OfText(bytes)).substr(8)))
                << e.relative;
        }
    }
    EXPECT_EQ(Unserved(served, served.Profile()), std::set<std::string>{});
}

// A later publish writes only the objects it has not served; every object there keeps its
// inode and time.
TEST(PublishObjects, AnObjectIsNeverWrittenAgain) {
    const struct {
        const char* what;
        std::function<void(SampleTree&)> change;
        size_t written;
    } rows[] = {
        {"unchanged", [](SampleTree&) {}, 0},
        {"one file changed: it and its set's manifest",
         [](SampleTree& t) { t.Set("resource/sound/click.wav", "click, louder"); }, 2},
        {"a copy of a served file added: its set's manifest only",
         [](SampleTree& t) { t.Set("resource/sound/copy.wav", "click"); }, 1},
        {"a set emptied: its manifest of no entries, and no file",
         [](SampleTree& t) {
             ASSERT_EQ(::unlink(JoinPath(t.Path(), "resource/data/card3/joker.dat").c_str()), 0);
         },
         1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Keys keys;
        SampleTree tree;
        Served served;
        served.Publish(tree, keys);
        const std::map<std::string, Identity> before = Objects(served);
        row.change(tree);
        const PublishResult again = served.Publish(tree, keys);
        EXPECT_EQ(again.objectsWritten, row.written);
        const std::map<std::string, Identity> after = Objects(served);
        EXPECT_EQ(after.size(), before.size() + row.written);
        for (const auto& [relative, identity] : before) {
            ASSERT_TRUE(after.contains(relative)) << relative;
            EXPECT_EQ(after.at(relative), identity) << relative;
        }
        EXPECT_EQ(Unserved(served, served.Profile()), std::set<std::string>{});
    }
}

// A publish stopped at any step leaves every served profile (vtgame.ini, vtgame.signed and
// each archived one) naming only objects that are there.
TEST(PublishObjects, AStoppedPublishLeavesNoProfileNamingAMissingObject) {
    const struct {
        const char* what;
        std::function<void(const Served&)> block;
        bool refused;  // before anything is written
    } rows[] = {
        {"a folder where a new payload goes",
         [](const Served& s) { Put(s.At("resource/sound/zz-new.wav/blocker"), "x"); }, false},
        {"a folder where vtgame.signed goes",
         [](const Served& s) {
             ASSERT_EQ(::unlink(Autopatch(s, "vtgame.signed").c_str()), 0);
             Put(Autopatch(s, "vtgame.signed/blocker"), "x");
         },
         false},
        {"a file of another size under a new object's name",
         [](const Served& s) { Put(Autopatch(s, format::ObjectPath(Sha256OfText("new"))), "y"); },
         true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Keys keys;
        SampleTree tree;
        Served served;
        served.Publish(tree, keys);
        const std::string profile = served.Profile();
        tree.Set("resource/sound/zz-new.wav", "new");
        row.block(served);
        const std::map<std::string, Identity> objects = Objects(served);
        if (row.refused) {
            EXPECT_THROW(served.Publish(tree, keys), Refused);
            EXPECT_EQ(Objects(served), objects) << "nothing written";
        } else {
            EXPECT_THROW(served.Publish(tree, keys), Failure);
        }
        EXPECT_EQ(served.Profile(), profile);
        EXPECT_EQ(Unserved(served, profile), std::set<std::string>{});
        std::vector<std::string> signedProfiles = {"vtgame.signed"};
        for (const TreeEntry& e : ListTree(Autopatch(served, "profiles"))) {
            signedProfiles.push_back("profiles/" + e.relative);
        }
        for (const std::string& name : signedProfiles) {
            if (IsRegularFile(Autopatch(served, name))) {
                const std::string carried = Carried(Get(Autopatch(served, name)));
                EXPECT_EQ(Unserved(served, carried), std::set<std::string>{}) << name;
            }
        }
        // The object squatted on is left as it was.
        if (row.refused) {
            EXPECT_EQ(Get(Autopatch(served, format::ObjectPath(Sha256OfText("new")))), "y");
        }
    }
}

TEST(PublishSignedProfile, IsTheSignatureThenTheProfileAndEveryPublishIsKept) {
    Keys keys;
    SampleTree tree;
    Served served;
    std::map<uint64_t, std::string> kept;
    for (const char* click : {"click", "click 2", "click 3"}) {
        tree.Set("resource/sound/click.wav", click);
        const uint64_t serial = served.Publish(tree, keys).serial;
        const std::string whole = Get(Autopatch(served, "vtgame.signed"));
        EXPECT_EQ(whole, Get(Autopatch(served, "vtgame.ini.sig")) + served.Profile());
        EXPECT_TRUE(Verifies(keys, whole));
        EXPECT_EQ(Get(Autopatch(served, format::ArchivedProfilePath(serial))), whole);
        kept[serial] = whole;
    }
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(ListTree(Autopatch(served, "profiles")).size(), 3u);
    for (const auto& [serial, whole] : kept) {
        EXPECT_EQ(Get(Autopatch(served, format::ArchivedProfilePath(serial))), whole) << serial;
        EXPECT_NE(Carried(whole).find("serial=" + std::to_string(serial) + "\r\n"),
                  std::string::npos);
    }
    Keys other;
    EXPECT_FALSE(Verifies(other, Get(Autopatch(served, "vtgame.signed"))));
}

// The state lost and an older profile served: the next serial may be one archived already,
// which is passed over rather than replaced.
TEST(PublishSignedProfile, AnArchivedSerialIsNeverReplaced) {
    Keys keys;
    SampleTree tree;
    Served served;
    served.Publish(tree, keys);
    const std::string first = Get(Autopatch(served, "vtgame.signed"));
    const std::string firstSig = Get(Autopatch(served, "vtgame.ini.sig"));
    const std::string firstProfile = served.Profile();
    served.Publish(tree, keys);
    const std::string second = Get(Autopatch(served, format::ArchivedProfilePath(test::kNow + 1)));
    ASSERT_EQ(::unlink(StatePath(keys.Pem()).c_str()), 0);
    Put(Autopatch(served, "vtgame.ini"), firstProfile);
    Put(Autopatch(served, "vtgame.ini.sig"), firstSig);

    const PublishResult result = served.Publish(tree, keys);
    EXPECT_EQ(result.serial, test::kNow + 2u);
    EXPECT_NE(result.notes.back().find("archived"), std::string::npos) << result.notes.back();
    EXPECT_EQ(Get(Autopatch(served, format::ArchivedProfilePath(test::kNow))), first);
    EXPECT_EQ(Get(Autopatch(served, format::ArchivedProfilePath(test::kNow + 1))), second);
}

std::string ObjectOf(const Served& served, const std::string& bytes) {
    return Autopatch(served, format::ObjectPath(Sha256OfText(bytes)));
}

std::string SoundManifest(const Served& served) {
    return Get(Autopatch(served, "resource/sound/vtsound.ini"));
}

void Remove(const std::string& path) {
    std::error_code ignored;
    ASSERT_GT(std::filesystem::remove_all(path, ignored), 0u) << path;
}

TEST(LintObjects, FindsEveryObjectAndSignedProfileThatIsWrong) {
    const std::string clickObject = format::ObjectPath(Sha256OfText("click"));
    const struct {
        const char* what;
        size_t problems;
        size_t notes;
        std::string where;  // each finding's place holds this, or orWhere
        std::function<void(const Served&)> spoil;
        const char* orWhere = "none";
    } rows[] = {
        {"a payload's object missing", 1, 0, clickObject + " (resource/sound/click.wav",
         [](const Served& s) { Remove(ObjectOf(s, "click")); }},
        {"a payload's object with other bytes", 1, 0, clickObject,
         [](const Served& s) { test::FlipBit(ObjectOf(s, "click")); }},
        {"a payload's object cut short", 1, 0, clickObject,
         [](const Served& s) { Put(ObjectOf(s, "click"), "cli"); }},
        {"a manifest's object missing", 1, 0, "(resource/sound/vtsound.ini)",
         [](const Served& s) { Remove(ObjectOf(s, SoundManifest(s))); }},
        {"vtgame.signed carrying another profile, so its signature fails too", 2, 0,
         "vtgame.signed",
         [](const Served& s) {
             Put(Autopatch(s, "vtgame.signed"),
                 Get(Autopatch(s, "vtgame.ini.sig")) + s.Profile() + ";\r\n");
         }},
        {"vtgame.signed with another signature", 1, 0, "vtgame.signed",
         [](const Served& s) { test::FlipBit(Autopatch(s, "vtgame.signed"), 5); }},
        {"vtgame.signed shorter than a signature", 1, 0, "vtgame.signed",
         [](const Served& s) { Put(Autopatch(s, "vtgame.signed"), "short"); }},
        {"vtgame.signed absent", 0, 1, "vtgame.signed",
         [](const Served& s) { Remove(Autopatch(s, "vtgame.signed")); }},
        {"objects/ absent under a vtgame.signed: vt.exe, 4 manifests, 8 payloads", 13, 0,
         "objects/", [](const Served& s) { Remove(Autopatch(s, "objects")); }},
        {"a tree of an older vtpatch: no objects/, no vtgame.signed", 0, 2, "vtgame.signed",
         [](const Served& s) {
             for (const char* name : {"objects", "profiles", "vtgame.signed"}) {
                 Remove(Autopatch(s, name));
             }
         },
         "objects/"},
    };
    Keys keys;
    SampleTree tree;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Served served;
        served.Publish(tree, keys);
        row.spoil(served);
        std::unique_ptr<ServedTree> t = OpenServedTree(served.Path());
        const Findings findings = Lint(*t, LintOptions{keys.Public(), test::kNow});
        EXPECT_EQ(findings.Problems(), row.problems) << test::Describe(findings);
        EXPECT_EQ(findings.Notes(), row.notes) << test::Describe(findings);
        for (const Finding& f : findings.List()) {
            EXPECT_TRUE(f.where.find(row.where) != std::string::npos ||
                        f.where.find(row.orWhere) != std::string::npos)
                << f.where;
        }
    }
}

// Over HTTP objects are fetched as the launcher will fetch them, each held to its pin.
TEST(LintObjects, OverHttpAsALauncherFetchesByHash) {
    Keys keys;
    SampleTree tree;
    Served served;
    served.Publish(tree, keys);
    Put(ObjectOf(served, "click"), "click, and far more than its pin of 5 bytes");
    Remove(ObjectOf(served, SoundManifest(served)));
    test::FolderServer server(served.Path());
    std::unique_ptr<ServedTree> t = OpenServedTree(server.Url());
    const Findings findings = Lint(*t, LintOptions{keys.Public(), test::kNow});
    EXPECT_EQ(findings.Problems(), 2u) << test::Describe(findings);
    EXPECT_EQ(test::ProblemsAt(findings, format::ObjectPath(Sha256OfText("click"))), 1u);
    EXPECT_NE(test::Describe(findings).find("more than the 5 it may have"), std::string::npos)
        << test::Describe(findings);
    EXPECT_EQ(test::ProblemsAt(findings, "(resource/sound/vtsound.ini)"), 1u);
}

}  // namespace
}  // namespace vt::vtpatch
