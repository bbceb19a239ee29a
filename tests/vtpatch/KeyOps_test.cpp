// The root's commands (keygen --root, delegate, revoke, rotate-root, sign-launcher) and what
// publish makes of their files: each list checked with the format's own signature checks.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "base/Cp949.h"
#include "format/Digest.h"
#include "format/KeyList.h"
#include "format/Objects.h"
#include "tests/vtpatch/VtpatchTesting.h"
#include "vtpatch/Cli.h"
#include "vtpatch/Format.h"
#include "vtpatch/KeyLists.h"

namespace vt::vtpatch {
namespace {

using test::Get;
using test::Put;

constexpr char kLater[] = "2031-01-01T00:00:00Z";  // after test::kNow
constexpr char kPast[] = "2029-01-01T00:00:00Z";   // before it

using Outcome = test::CliOutcome;

Outcome Cli(const std::vector<std::string>& args) {
    return test::RunCliAtNow(args);
}

// A folder with the root key and three publish keys, and a place for the files made.
struct Operator {
    TempDirectory dir;
    Operator() {
        for (const char* name : {"root-key", "old-root", "a", "b", "c"}) {
            WriteKeyPair(dir.Path(), name);
        }
    }
    std::string At(const std::string& name) const { return JoinPath(dir.Path(), name); }
    std::string Pem(const std::string& name) const { return At(name + ".pem"); }
    std::string Pub(const std::string& name) const { return At(name + ".pub"); }
    P256PublicKey Public(const std::string& name) const { return ReadPublicKeyFile(Pub(name)); }
    // delegate, the options given appended.
    Outcome Delegate(const std::string& out, const std::string& keys,
                     std::vector<std::string> more = {}) const {
        std::vector<std::string> args = {"delegate", "--root", Pem("root-key"), "--keys",
                                         keys,       "--out",  At(out)};
        if (std::ranges::find(more, "--expires") == more.end()) {
            more.insert(more.end(), {"--expires", kLater});
        }
        args.insert(args.end(), more.begin(), more.end());
        return Cli(args);
    }
};

// The list in a file, read and checked as a launcher checks it.
format::KeyList CheckedList(const std::string& path) {
    const std::string bytes = Get(path);
    const auto parts = format::SplitKeyList(std::as_bytes(std::span(bytes)));
    EXPECT_TRUE(parts) << path;
    const auto list = format::ReadKeyListBody(parts ? parts->body : "");
    EXPECT_TRUE(list && format::KeyListSignaturesHold(*list, *parts)) << path;
    return list.value_or(format::KeyList{});
}

std::string Launcher(const Operator& op, const std::string& bytes) {
    Put(op.At("vtlauncher.exe"), bytes);
    return op.At("vtlauncher.exe");
}

TEST(KeyOps, KeygenRootWritesTheRootPair) {
    TempDirectory dir;
    const Outcome made = Cli({"keygen", "--root", dir.Path()});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_NE(made.out.find("offline"), std::string::npos) << made.out;
    struct stat st {};
    ASSERT_EQ(::stat(JoinPath(dir.Path(), "root-key.pem").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NO_THROW(ReadPublicKeyFile(JoinPath(dir.Path(), "root-key.pub")));
    EXPECT_FALSE(Exists(JoinPath(dir.Path(), "patch-key.pem")));
    EXPECT_EQ(Cli({"keygen", "--root", dir.Path()}).status, 1);  // never overwritten
}

TEST(KeyOps, DelegateThenPublishServesTheListAndNamesIt) {
    Operator op;
    const Outcome made =
        op.Delegate("list1", op.Pub("a") + "," + op.Pub("b") + "=2030-06-01T00:00:00Z");
    ASSERT_EQ(made.status, 0) << made.err;
    const format::KeyList list = CheckedList(op.At("list1"));
    EXPECT_EQ(list.serial, 1u);
    EXPECT_EQ(list.minSerial, 0u);
    EXPECT_FALSE(list.chain);
    EXPECT_EQ(list.root, op.Public("root-key"));
    ASSERT_EQ(list.keys.size(), 2u);
    EXPECT_EQ(list.keys[0].expires, list.expires);  // a key without expiry: the list's
    EXPECT_EQ(FormatUtcTime(list.keys[1].expires), "2030-06-01T00:00:00Z");
    const std::string hash = DigestHex(Sha256OfText(Get(op.At("list1"))));
    EXPECT_NE(made.out.find("autopatch/keys/" + hash + ".signed"), std::string::npos) << made.out;

    test::SampleTree tree;
    test::Served served;
    const Outcome published = Cli({"publish", tree.Path(), served.Path(), "--key", op.Pem("a"),
                                   "--game", "1", "--key-list", op.At("list1")});
    ASSERT_EQ(published.status, 0) << published.err;
    EXPECT_EQ(Get(served.At("keys/" + hash + ".signed")), Get(op.At("list1")));
    EXPECT_NE(published.out.find("key list served as keys/" + hash), std::string::npos)
        << published.out;
    EXPECT_EQ(served.Value("keys", "list"), hash);
    EXPECT_EQ(served.Value("keys", "signer"), LowerHex(op.Public("a")));
    const std::string whole = Get(served.At(format::kSignedProfileName));
    Signature signature{};
    std::copy_n(whole.begin(), 64, signature.begin());
    EXPECT_TRUE(VerifySignature(op.Public("a"), whole.substr(64), signature));
    EXPECT_EQ(whole.substr(64), served.Profile());
    // Without --key-list: no [keys], as before.
    test::Served plain;
    ASSERT_EQ(
        Cli({"publish", tree.Path(), plain.Path(), "--key", op.Pem("root-key"), "--game", "1"})
            .status,
        0);
    EXPECT_EQ(plain.Profile().find("[keys]"), std::string::npos);
}

TEST(KeyOps, PublishRefusesAListThatDoesNotLetTheKeySign) {
    Operator op;
    ASSERT_EQ(op.Delegate("list", op.Pub("a") + "," + op.Pub("b") + "=2030-01-01T00:00:01Z").status,
              0);
    test::SampleTree tree;
    const struct {
        const char* key;
        std::string list;
        int64_t now;
        const char* why;
    } rows[] = {
        {"c", op.At("list"), test::kNow, "does not hold the key"},
        {"b", op.At("list"), test::kNow + 1, "does not hold the key"},  // b expired
        {"a", op.At("list"), 1924992000, "expired"},                    // the list expired
        {"a", op.Pub("a"), test::kNow, "not a key list"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        test::Served served;
        std::ostringstream out, err;
        const int status = RunCli({"publish", tree.Path(), served.Path(), "--key", op.Pem(row.key),
                                   "--game", "1", "--key-list", row.list},
                                  out, err, row.now);
        EXPECT_EQ(status, 1) << err.str();
        EXPECT_NE(err.str().find(row.why), std::string::npos) << err.str();
        EXPECT_FALSE(Exists(served.At("vtgame.ini")));
        EXPECT_FALSE(Exists(served.At("keys")));
    }
}

TEST(KeyOps, DelegateRefusesWhatLocksLaunchersOut) {
    Operator op;
    ASSERT_EQ(op.Delegate("first", op.Pub("a")).status, 0);
    // A list of another root, for --from.
    ASSERT_EQ(Cli({"delegate", "--root", op.Pem("old-root"), "--keys", op.Pub("a"), "--expires",
                   kLater, "--out", op.At("other")})
                  .status,
              0);
    std::string many;
    for (int i = 0; i < 17; ++i) {
        const std::string name = "k" + std::to_string(i);
        WriteKeyPair(op.dir.Path(), name);
        many += (i ? "," : "") + op.Pub(name);
    }
    const struct {
        std::string keys;
        std::vector<std::string> more;
        const char* why;
    } rows[] = {
        {op.Pub("a") + "=" + kPast, {}, "has passed"},
        {op.Pub("a"), {"--expires", kPast}, "has passed"},
        {op.Pub("root-key"), {}, "is the root"},
        {op.Pub("a") + "," + op.Pub("a"), {}, "given twice"},
        {many, {}, "at most 16"},
        {op.Pub("b"), {"--from", op.At("other")}, "rotate-root"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        const std::string out = "refused-" + std::to_string(&row - rows);
        const Outcome r = op.Delegate(out, row.keys, row.more);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find(row.why), std::string::npos) << r.err;
        EXPECT_FALSE(Exists(op.At(out)));
    }
    EXPECT_EQ(op.Delegate("first", op.Pub("a")).status, 1);  // FILE exists
}

TEST(KeyOps, ListsFollowTheServedOne) {
    Operator op;
    test::SampleTree tree;
    test::Served served;
    ASSERT_EQ(op.Delegate("l1", op.Pub("a")).status, 0);
    ASSERT_EQ(op.Delegate("l2", op.Pub("a"), {"--from", op.At("l1")}).status, 0);
    ASSERT_EQ(Cli({"publish", tree.Path(), served.Path(), "--key", op.Pem("a"), "--game", "1",
                   "--key-list", op.At("l2")})
                  .status,
              0);
    // l1's serial + 1 is 2, not above the served list's 2.
    const Outcome stale =
        op.Delegate("s", op.Pub("a"), {"--from", op.At("l1"), "--served", served.Path()});
    EXPECT_EQ(stale.status, 1);
    EXPECT_NE(stale.err.find("lower or equal"), std::string::npos) << stale.err;
    // l3 holds a and b; l4 from it keeps only b: drops a, which signed, with no new key.
    ASSERT_EQ(op.Delegate("l3", op.Pub("a") + "," + op.Pub("b"), {"--from", op.At("l2")}).status,
              0);
    const Outcome dropped =
        op.Delegate("l4", op.Pub("b"), {"--from", op.At("l3"), "--served", served.Path()});
    EXPECT_EQ(dropped.status, 1);
    EXPECT_NE(dropped.err.find("delegates no new key"), std::string::npos) << dropped.err;
    const Outcome replaced =
        op.Delegate("l5", op.Pub("c"), {"--from", op.At("l3"), "--served", served.Path()});
    EXPECT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_EQ(CheckedList(op.At("l5")).serial, 4u);
}

TEST(KeyOps, RevokeDropsTheKeyAndSetsTheMinSerial) {
    Operator op;
    ASSERT_EQ(op.Delegate("l1", op.Pub("a") + "," + op.Pub("b"), {"--min-serial", "5"}).status, 0);
    const struct {
        const char* key;
        std::vector<std::string> more;
        int status;
        uint64_t minSerial;
        const char* why;
    } rows[] = {
        {"a", {"--min-serial", "1893000000"}, 0, 1893000000, ""},
        {"c", {"--min-serial", "7"}, 1, 0, "nothing to revoke"},
        {"a", {}, 1, 0, "--min-serial N"},
        {"a", {"--min-serial", "7", "--expires", kPast}, 1, 0, "has passed"},
        {"a", {"--min-serial", "x"}, 2, 0, "--min-serial takes"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        const std::string out = op.At("r" + std::to_string(&row - rows));
        std::vector<std::string> args = {"revoke",        "--root",    op.Pem("root-key"),
                                         "--from",        op.At("l1"), "--key",
                                         op.Pub(row.key), "--out",     out};
        args.insert(args.end(), row.more.begin(), row.more.end());
        const Outcome r = Cli(args);
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_NE(r.err.find(row.why), std::string::npos) << r.err;
        if (row.status != 0) {
            EXPECT_FALSE(Exists(out));
            continue;
        }
        const format::KeyList list = CheckedList(out);
        EXPECT_EQ(list.serial, 2u);
        EXPECT_EQ(list.minSerial, row.minSerial);
        ASSERT_EQ(list.keys.size(), 1u);
        EXPECT_EQ(list.keys[0].key, op.Public("b"));
    }
    // The last key cannot go: the list would hold none.
    const Outcome last = Cli({"revoke", "--root", op.Pem("root-key"), "--from", op.At("r0"),
                              "--key", op.Pub("b"), "--min-serial", "1", "--out", op.At("none")});
    EXPECT_EQ(last.status, 1);
    EXPECT_NE(last.err.find("no publish key"), std::string::npos) << last.err;
}

TEST(KeyOps, RevokeTakesTheMinSerialFromAProfileAnotherKeySigned) {
    Operator op;
    test::SampleTree tree;
    ASSERT_EQ(op.Delegate("l1", op.Pub("a") + "," + op.Pub("b")).status, 0);
    for (const char* signer : {"a", "b"}) {
        SCOPED_TRACE(signer);
        test::Served served;
        ASSERT_EQ(Cli({"publish", tree.Path(), served.Path(), "--key", op.Pem(signer), "--game",
                       "1", "--key-list", op.At("l1")})
                      .status,
                  0);
        const std::string out = op.At(std::string("rev-") + signer);
        const Outcome r = Cli({"revoke", "--root", op.Pem("root-key"), "--from", op.At("l1"),
                               "--key", op.Pub("a"), "--served", served.Path(), "--out", out});
        if (std::string(signer) == "a") {
            EXPECT_EQ(r.status, 1);
            EXPECT_NE(r.err.find("signed by the key being revoked"), std::string::npos) << r.err;
        } else {
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(std::to_string(CheckedList(out).minSerial),
                      served.Value("publish", "serial"));
        }
    }
}

TEST(KeyOps, RotateRootChainsToTheListThatIntroducedTheOldRoot) {
    Operator op;
    // old-root's lists: l1, then l2 --from l1 (l2 carries l1's chain: none).
    ASSERT_EQ(Cli({"delegate", "--root", op.Pem("old-root"), "--keys", op.Pub("a"), "--expires",
                   kLater, "--out", op.At("l1")})
                  .status,
              0);
    ASSERT_EQ(Cli({"delegate", "--root", op.Pem("old-root"), "--keys", op.Pub("a"), "--expires",
                   kLater, "--out", op.At("l2"), "--from", op.At("l1"), "--min-serial", "9"})
                  .status,
              0);
    auto rotate = [&](const std::string& from, const std::string& oldRoot,
                      const std::string& newRoot, const std::string& out) {
        return Cli({"rotate-root", "--root", op.Pem(oldRoot), "--new-root", op.Pem(newRoot),
                    "--from", op.At(from), "--out", op.At(out)});
    };
    ASSERT_EQ(rotate("l2", "old-root", "root-key", "r1").status, 0);
    const format::KeyList r1 = CheckedList(op.At("r1"));  // both signatures checked
    EXPECT_EQ(r1.serial, 3u);
    EXPECT_EQ(r1.root, op.Public("root-key"));
    EXPECT_EQ(r1.rotatedFrom, op.Public("old-root"));
    EXPECT_FALSE(r1.chain);  // old-root was the first root
    EXPECT_EQ(r1.minSerial, 9u);
    ASSERT_EQ(r1.keys.size(), 1u);
    // After a rotation the new root's lists chain to it, and so does the next rotation.
    const Sha256Digest r1Hash = Sha256OfText(Get(op.At("r1")));
    ASSERT_EQ(op.Delegate("l3", op.Pub("b"), {"--from", op.At("r1")}).status, 0);
    EXPECT_EQ(CheckedList(op.At("l3")).chain, r1Hash);
    ASSERT_EQ(rotate("l3", "root-key", "c", "r2").status, 0);
    EXPECT_EQ(CheckedList(op.At("r2")).chain, r1Hash);
    ASSERT_EQ(rotate("r1", "root-key", "c", "r3").status, 0);
    EXPECT_EQ(CheckedList(op.At("r3")).chain, r1Hash);
    // A gap: l3's root is root-key, not old-root.
    const Outcome gap = rotate("l3", "old-root", "c", "gap");
    EXPECT_EQ(gap.status, 1);
    EXPECT_NE(gap.err.find("gap in the chain"), std::string::npos) << gap.err;
    EXPECT_FALSE(Exists(op.At("gap")));
    EXPECT_EQ(rotate("l3", "root-key", "root-key", "same").status, 1);
}

TEST(KeyOps, SignLauncherThenPublishWithAPublishKey) {
    Operator op;
    ASSERT_EQ(op.Delegate("l1", op.Pub("a")).status, 0);
    const std::string launcher = Launcher(op, "MZ launcher 2");
    const Outcome signedIt = Cli({"sign-launcher", launcher, "--root", op.Pem("root-key"), "--game",
                                  "2", "--serial", "4", "--out", op.At("stmt")});
    ASSERT_EQ(signedIt.status, 0) << signedIt.err;
    EXPECT_TRUE(Get(op.At("stmt")).starts_with("[launcher]\r\ngame=2\r\nsize=13\r\n"));

    test::SampleTree tree;
    test::Served served;
    const Outcome published =
        Cli({"publish", tree.Path(), served.Path(), "--key", op.Pem("a"), "--game", "2",
             "--key-list", op.At("l1"), "--launcher", launcher, "--statement", op.At("stmt")});
    ASSERT_EQ(published.status, 0) << published.err;
    EXPECT_EQ(Get(served.At(format::ObjectPath(Sha256OfText("MZ launcher 2")))), "MZ launcher 2");
    const std::string profile = served.Profile();
    EXPECT_NE(profile.find("[launcher]\r\n" + Get(op.At("stmt")).substr(12)), std::string::npos)
        << profile;
    const format::StatementReading reading = format::ReadStatement(
        [&](const std::string& key) { return served.Value("launcher", key); });
    ASSERT_EQ(reading.form, format::StatementForm::Present);
    EXPECT_TRUE(format::StatementSignedBy(reading.signedStatement, op.Public("root-key")));
    EXPECT_EQ(reading.signedStatement.statement.serial, 4u);
}

TEST(KeyOps, PublishRefusesAStatementThatDoesNotFit) {
    Operator op;
    ASSERT_EQ(op.Delegate("l1", op.Pub("a")).status, 0);
    const std::string launcher = Launcher(op, "MZ launcher 2");
    auto sign = [&](const std::string& key, const std::string& game, const std::string& out) {
        return Cli({"sign-launcher", launcher, "--root", op.Pem(key), "--game", game, "--serial",
                    "4", "--out", op.At(out)})
            .status;
    };
    ASSERT_EQ(sign("root-key", "2", "good"), 0);
    ASSERT_EQ(sign("root-key", "3", "game3"), 0);
    ASSERT_EQ(sign("a", "2", "by-a"), 0);
    Put(op.At("other.exe"), "MZ launcher 3");
    test::SampleTree tree;
    const struct {
        std::string launcher;
        std::vector<std::string> more;
        const char* key;
        int status;
        const char* why;
    } rows[] = {
        {op.At("other.exe"), {"--statement", op.At("good")}, "a", 1, "another launcher"},
        {launcher, {"--statement", op.At("game3")}, "a", 1, "for game 3"},
        {launcher, {"--statement", op.At("by-a")}, "a", 1, "not signed by the root"},
        {launcher, {}, "a", 1, "takes --statement"},
        {launcher, {"--launcher-serial", "5"}, "a", 1, "takes --statement"},
        {launcher, {"--statement", op.At("good"), "--launcher-serial", "5"}, "a", 2, "its own"},
        {launcher, {"--dry-run", "--statement", op.At("good")}, "a", 0, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        test::Served served;
        std::vector<std::string> args = {"publish",       tree.Path(),  served.Path(), "--key",
                                         op.Pem(row.key), "--game",     "2",           "--key-list",
                                         op.At("l1"),     "--launcher", row.launcher};
        args.insert(args.end(), row.more.begin(), row.more.end());
        const Outcome r = Cli(args);
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_NE(r.err.find(row.why), std::string::npos) << r.err;
        EXPECT_FALSE(Exists(served.At("vtgame.ini")));
        EXPECT_FALSE(Exists(served.At("objects")));
    }
}

TEST(KeyOps, PublishWithTheRootSignsTheStatementItself) {
    Operator op;
    const std::string launcher = Launcher(op, "MZ launcher 2");
    test::SampleTree tree;
    const struct {
        std::vector<std::string> more;
        int status;
    } rows[] = {
        {{"--launcher-serial", "6"}, 0},
        {{}, 1},                          // no serial
        {{"--launcher-serial", "0"}, 2},  // launchers start at 1
    };
    for (const auto& row : rows) {
        test::Served served;
        std::vector<std::string> args = {"publish", tree.Path(),        served.Path(),
                                         "--key",   op.Pem("root-key"), "--game",
                                         "2",       "--launcher",       launcher};
        args.insert(args.end(), row.more.begin(), row.more.end());
        const Outcome r = Cli(args);
        ASSERT_EQ(r.status, row.status) << r.err;
        if (row.status != 0) {
            continue;
        }
        EXPECT_EQ(served.Profile().find("[keys]"), std::string::npos);
        const format::StatementReading reading = format::ReadStatement(
            [&](const std::string& key) { return served.Value("launcher", key); });
        ASSERT_EQ(reading.form, format::StatementForm::Present);
        EXPECT_TRUE(format::StatementSignedBy(reading.signedStatement, op.Public("root-key")));
        EXPECT_EQ(reading.signedStatement.statement.game, "2");
        EXPECT_EQ(reading.signedStatement.statement.size, 13u);
        EXPECT_TRUE(Exists(served.At(format::ObjectPath(Sha256OfText("MZ launcher 2")))));
    }
}

// gc keeps the launcher program while a kept profile names it, and only then.
TEST(KeyOps, GcKeepsTheLauncherAKeptProfileNames) {
    Operator op;
    const std::string launcher = Launcher(op, "MZ launcher 2");
    const std::string object = format::ObjectPath(Sha256OfText("MZ launcher 2"));
    test::SampleTree tree;
    for (const auto& [keep, kept] : {std::pair{"2", true}, std::pair{"1", false}}) {
        SCOPED_TRACE(keep);
        test::Served served;
        ASSERT_EQ(Cli({"publish", tree.Path(), served.Path(), "--key", op.Pem("root-key"), "--game",
                       "2", "--launcher", launcher, "--launcher-serial", "2"})
                      .status,
                  0);
        ASSERT_EQ(
            Cli({"publish", tree.Path(), served.Path(), "--key", op.Pem("root-key"), "--game", "2"})
                .status,
            0);
        const Outcome gc = Cli({"gc", served.Path(), "--keep", keep, "--days", "0"});
        ASSERT_EQ(gc.status, 0) << gc.err;
        EXPECT_EQ(Exists(served.At(object)), kept);
    }
}

}  // namespace
}  // namespace vt::vtpatch
