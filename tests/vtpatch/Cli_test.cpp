// The command line scripts rely on: commands, options, help, version, exit status.
#include "vtpatch/Cli.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "base/Cp949.h"
#include "tests/vtpatch/VtpatchTesting.h"
#include "vtpatch/Failure.h"
#include "vtpatch/Http.h"
#include "vtpatch/Served.h"

namespace vt::vtpatch {
namespace {

using Outcome = test::CliOutcome;

Outcome Cli(const std::vector<std::string>& args) {
    return test::RunCliAtNow(args);
}

TEST(VtpatchCli, EveryCommandHasHelp) {
    for (const char* command : {"keygen", "publish", "lint", "verify", "gc", "delegate", "revoke",
                                "rotate-root", "sign-launcher"}) {
        Outcome r = Cli({command, "--help"});
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_TRUE(r.out.starts_with(std::string("usage: vtpatch ") + command)) << r.out;
    }
    Outcome top = Cli({"--help"});
    EXPECT_EQ(top.status, 0);
    EXPECT_NE(top.out.find("vtpatch verify INSTALLATION --against ROOT-or-URL [--repair]"),
              std::string::npos);
}

TEST(VtpatchCli, CommandLinesThatCannotBeUnderstoodExitWithTwo) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"sign"},
        {"keygen"},
        {"keygen", "a", "b"},
        {"publish", "tree", "root", "--game", "1"},  // no --key
        {"publish", "tree", "root", "--key", "k.pem", "--game"},
        {"lint", "root", "--pub"},
        {"lint", "root", "--public", "k.pub"},
        {"verify", "install"},
        {"verify", "install", "--against", "root", "--repair=yes"},
    };
    for (const auto& args : bad) {
        Outcome r = Cli(args);
        std::string line;
        for (const std::string& a : args) {
            line += a + " ";
        }
        EXPECT_EQ(r.status, 2) << line;
        EXPECT_TRUE(r.out.empty()) << line;
        EXPECT_NE(r.err.find("usage: vtpatch"), std::string::npos) << line;
    }
}

TEST(VtpatchCli, PublishLintVerifyRoundTrip) {
    TempDirectory keys;
    test::SampleTree tree;
    test::Served served;
    TempDirectory install;
    EXPECT_EQ(Cli({"keygen", keys.Path()}).status, 0);
    Outcome again = Cli({"keygen", keys.Path()});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("never overwritten"), std::string::npos) << again.err;

    const std::string pem = JoinPath(keys.Path(), "patch-key.pem");
    const std::string pub = JoinPath(keys.Path(), "patch-key.pub");
    Outcome published = Cli({"publish", tree.Path(), served.Path(), "--key=" + pem, "--game", "1",
                             "--expires", "2031-01-01T00:00:00Z"});
    ASSERT_EQ(published.status, 0) << published.err;
    EXPECT_NE(published.out.find("published serial " + std::to_string(test::kNow) + " "),
              std::string::npos)
        << published.out;

    Outcome lint = Cli({"lint", served.Path(), "--pub", pub});
    EXPECT_EQ(lint.status, 0) << lint.out;
    EXPECT_EQ(lint.out, "0 problems, 0 notes\n");

    test::FlipBit(served.At("resource/sound/click.wav"));
    Outcome broken = Cli({"lint", served.Path(), "--pub", pub});
    EXPECT_EQ(broken.status, 1);
    EXPECT_NE(broken.out.find("problem: resource/sound/click.wav"), std::string::npos)
        << broken.out;

    // An empty installation: everything is pending, nothing differs.
    Outcome verify = Cli({"verify", install.Path(), "--against", served.Path()});
    EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
    EXPECT_NE(verify.out.find("0 problems, 9 files pending"), std::string::npos) << verify.out;
}

// Launchers keep the client they have: dropping it takes --drop-client, when a profile signed
// by the key shows there was one.
TEST(VtpatchCli, DroppingTheClientTakesItsOption) {
    const struct {
        bool signedBefore;
        bool dropClient;
        int status;
    } rows[] = {{true, false, 1}, {true, true, 0}, {false, false, 0}};
    EXPECT_NE(Cli({"help", "publish"}).out.find("--drop-client"), std::string::npos);
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.signedBefore << row.dropClient);
        test::Keys keys;
        test::SampleTree tree;
        test::Served served;
        served.Publish(tree, keys);
        if (!row.signedBefore) {
            test::FlipBit(JoinPath(served.Path(), "autopatch/vtgame.ini.sig"));
        }
        const std::string profile = served.Profile();
        ASSERT_EQ(::unlink(JoinPath(tree.Path(), "vt.exe").c_str()), 0);
        std::vector<std::string> args = {"publish", tree.Path(), served.Path(), "--key", keys.Pem(),
                                         "--game",  "1"};
        if (row.dropClient) {
            args.push_back("--drop-client");
        }
        Outcome r = Cli(args);
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_EQ(served.Value("game", "vtgame") == "", row.status == 0);
        EXPECT_EQ(served.Profile() == profile, row.status != 0);
        EXPECT_EQ(r.err.find("--drop-client") != std::string::npos, row.status != 0) << r.err;
        EXPECT_EQ(r.out.find("note: vt.exe dropped") != std::string::npos, row.dropClient) << r.out;
    }
}

// The operator's pool size goes into the signed profile as launchers read it; anything else
// is a command line that cannot be understood, and nothing is written.
TEST(VtpatchCli, ConnectionsGoIntoTheProfileFromOneToSixteen) {
    const struct {
        const char* given;  // nullptr: no option
        int status;
        const char* written;  // [transfer] connections after it
    } rows[] = {{nullptr, 0, ""}, {"1", 0, "1"}, {"16", 0, "16"}, {"8", 0, "8"}, {" 4 ", 0, "4"},
                {"0", 2, ""},     {"17", 2, ""}, {"-1", 2, ""},   {"4x", 2, ""}, {"", 2, ""}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.given ? row.given : "(none)");
        test::Keys keys;
        test::SampleTree tree;
        test::Served served;
        std::vector<std::string> args = {"publish", tree.Path(), served.Path(), "--key", keys.Pem(),
                                         "--game",  "1"};
        if (row.given) {
            args.insert(args.end(), {"--connections", row.given});
        }
        Outcome r = Cli(args);
        EXPECT_EQ(r.status, row.status) << r.err;
        if (row.status == 0) {
            EXPECT_EQ(served.Value("transfer", "connections"), row.written);
            EXPECT_EQ(Cli({"lint", served.Path(), "--pub", keys.Pub()}).status, 0);
        } else {
            EXPECT_NE(r.err.find("--connections"), std::string::npos) << r.err;
            EXPECT_EQ(::access(JoinPath(served.Path(), "autopatch").c_str(), F_OK), -1);
        }
    }
}

// Mirrors go into the signed profile as 1= to 8=, each exactly as launchers will take it; a
// list launchers would not read whole is refused, and nothing is written.
TEST(VtpatchCli, MirrorsGoIntoTheProfileOnlyAsLaunchersTakeThem) {
    const std::string nine =
        "http://a/1/,http://a/2/,http://a/3/,http://a/4/,http://a/5/,"
        "http://a/6/,http://a/7/,http://a/8/,http://a/9/";
    const struct {
        std::string given;
        int status;
        std::vector<std::string> written;  // [mirrors] 1=, 2=, ...
    } rows[] = {
        {"http://127.0.0.2:18081/", 0, {"http://127.0.0.2:18081/"}},
        {"http://m1/p/,http://m2:8080/", 0, {"http://m1/p/", "http://m2:8080/"}},
        {nine.substr(0, nine.rfind(',')),
         0,
         {"http://a/1/", "http://a/2/", "http://a/3/", "http://a/4/", "http://a/5/", "http://a/6/",
          "http://a/7/", "http://a/8/"}},
        {nine, 2, {}},
        {"http://m1/,http://m1/", 2, {}},
        {"http://m1", 2, {}},
        {"https://m1/", 2, {}},
        {"http://m1/,", 2, {}},
        {"", 2, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.given);
        test::Keys keys;
        test::SampleTree tree;
        test::Served served;
        Outcome r = Cli({"publish", tree.Path(), served.Path(), "--key", keys.Pem(), "--game", "1",
                         "--mirrors", row.given});
        EXPECT_EQ(r.status, row.status) << r.err;
        if (row.status != 0) {
            EXPECT_NE(r.err.find("--mirrors"), std::string::npos) << r.err;
            EXPECT_EQ(::access(JoinPath(served.Path(), "autopatch").c_str(), F_OK), -1);
            continue;
        }
        for (std::size_t i = 0; i < 9; ++i) {
            EXPECT_EQ(served.Value("mirrors", std::to_string(i + 1)),
                      i < row.written.size() ? row.written[i] : "");
        }
        const Outcome lint = Cli({"lint", served.Path(), "--pub", keys.Pub()});
        EXPECT_EQ(lint.status, 0);
        EXPECT_EQ(lint.out.find("[mirrors]"), std::string::npos) << lint.out;
    }
}

// A private key that others on the machine can read is published with, and warned about.
TEST(VtpatchCli, PublishWarnsWhenTheKeyCanBeReadByOthers) {
    TempDirectory keys;
    test::SampleTree tree;
    ASSERT_EQ(Cli({"keygen", keys.Path()}).status, 0);
    const std::string pem = JoinPath(keys.Path(), "patch-key.pem");
    const struct {
        mode_t mode;
        const char* warned;  // nullptr: no warning
    } rows[] = {{0600, nullptr},
                {0400, nullptr},
                {0640, "(mode 0640)"},
                {0604, "(mode 0604)"},
                {0644, "(mode 0644)"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.mode);
        TempDirectory served;
        ASSERT_EQ(::chmod(pem.c_str(), row.mode), 0);
        Outcome published =
            Cli({"publish", tree.Path(), served.Path(), "--key", pem, "--game", "1"});
        EXPECT_EQ(published.status, 0) << published.err;
        if (row.warned == nullptr) {
            EXPECT_EQ(published.err.find("warning"), std::string::npos) << published.err;
        } else {
            EXPECT_NE(published.err.find("vtpatch publish: warning: " + pem +
                                         " can be read by group or others " + row.warned),
                      std::string::npos)
                << published.err;
        }
    }
}

TEST(VtpatchCli, RefusalsExitWithOneAndFailuresWithThreeAndSayWhy) {
    TempDirectory keys;
    ASSERT_EQ(Cli({"keygen", keys.Path()}).status, 0);
    test::SampleTree tree;
    tree.Set("resource/sound/empty.wav", "");
    test::Served served;
    Outcome refused = Cli({"publish", tree.Path(), served.Path(), "--key",
                           JoinPath(keys.Path(), "patch-key.pem"), "--game", "1"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("refused, nothing was written"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("resource/sound/empty.wav: zero bytes"), std::string::npos);

    Outcome noKey =
        Cli({"publish", tree.Path(), served.Path(), "--key", "/nonexistent/k.pem", "--game", "1"});
    EXPECT_EQ(noKey.status, 3);
    EXPECT_NE(noKey.err.find("cannot read the key"), std::string::npos) << noKey.err;

    Outcome badPub = Cli({"lint", served.Path(), "--pub", JoinPath(keys.Path(), "patch-key.pem")});
    EXPECT_EQ(badPub.status, 3);
    EXPECT_NE(badPub.err.find("holds no public key"), std::string::npos) << badPub.err;
}

// The environment variable that shortens the rule for slow answers, for tests: a number of
// seconds, or the command fails before it reads anything.
TEST(VtpatchCli, TheRuleForSlowAnswersCanBeShortenedThroughTheEnvironment) {
    test::Keys keys;
    test::SampleTree tree;
    test::Served served;
    served.Publish(tree, keys);
    test::FolderServer server(served.Path(), {.silent = "autopatch/vtgame.ini"});
    struct Row {
        const char* value;
        int status;
        const char* says;
    };
    for (const Row& row : {Row{"1", 1, "no answer within 1 s"},
                           Row{"0.5", 1, "no answer within 1 s"},  // whole seconds, rounded up
                           Row{"soon", 3, "VTPATCH_SLOW_ANSWER_SECONDS=soon is not a number"},
                           Row{"0", 3, "VTPATCH_SLOW_ANSWER_SECONDS=0 is not a number"}}) {
        SCOPED_TRACE(row.value);
        ASSERT_EQ(::setenv("VTPATCH_SLOW_ANSWER_SECONDS", row.value, 1), 0);
        Outcome o = Cli({"lint", server.Url()});
        ::unsetenv("VTPATCH_SLOW_ANSWER_SECONDS");
        EXPECT_EQ(o.status, row.status);
        EXPECT_NE((o.out + o.err).find(row.says), std::string::npos) << o.out << o.err;
    }
    EXPECT_NE(Cli({"lint", "--help"}).out.find("VTPATCH_SLOW_ANSWER_SECONDS"), std::string::npos);
}

std::string Joined(const std::vector<std::string>& args) {
    std::string line;
    for (const std::string& a : args) {
        line += a + " ";
    }
    return line;
}

// Command lines, their exit status and a piece of what they print (on stdout for 0, else on
// stderr).
TEST(VtpatchCli, CommandLineTable) {
    struct Row {
        std::vector<std::string> args;
        int status;
        std::string says;
    };
    const std::string version = "vtpatch " + ToUtf8(VT_VERSION) + ", writes patch format 1\n";
    const std::vector<Row> rows = {
        {{"--version"}, 0, version},
        {{"--version", "lint"}, 2, "vtpatch --version: expects no more arguments"},
        {{"sign"}, 2, "vtpatch: unknown command sign"},
        {{"--help", "lint"}, 0, "usage: vtpatch COMMAND"},
        {{"lint", "--version"}, 2, "unknown option --version"},
        {{"help"}, 0, "  vtpatch help [COMMAND]\n"},
        {{"help", "lint"}, 0, "usage: vtpatch lint ROOT-or-URL [--pub FILE] [--root FILE]\n"},
        {{"help", "sign"}, 2, "vtpatch help: unknown command sign"},
        {{"help", "lint", "verify"}, 2, "vtpatch help: expects no more arguments"},
        {{"lint", "root", "--pub", "a.pub", "--pub", "b.pub"}, 2, "--pub is given more than once"},
        {{"lint", "root", "--pub=a.pub", "--pub", "a.pub"}, 2, "--pub is given more than once"},
        {{"verify", "i", "--against", "r", "--repair", "--repair"},
         2,
         "--repair is given more than once"},
        {{"publish", "t", "r", "--key", "k", "--game", "1", "--key", "k"},
         2,
         "--key is given more than once"},
        {{"keygen", "--help", "--help"}, 2, "--help is given more than once"},
        {{"keygen", "/nonexistent/folder"},
         3,
         "vtpatch keygen: /nonexistent/folder is not a folder"},
        {{"lint", "/nonexistent/root"}, 3, "vtpatch lint: "},
        {{"lint", "r", "--root", "/nonexistent/root.pub"},
         3,
         "/nonexistent/root.pub holds no root key"},
    };
    for (const Row& row : rows) {
        Outcome r = Cli(row.args);
        EXPECT_EQ(r.status, row.status) << Joined(row.args) << r.err;
        const std::string& said = row.status == 0 ? r.out : r.err;
        EXPECT_NE(said.find(row.says), std::string::npos) << Joined(row.args) << said;
        EXPECT_TRUE((row.status == 0 ? r.err : r.out).empty()) << Joined(row.args);
    }
}

TEST(VtpatchCli, EveryRowOfTheTableIsListedAndHelpedTheSameWayTwice) {
    const std::string overview = Cli({"--help"}).out;
    for (const Command& c : Commands()) {
        Outcome viaHelp = Cli({"help", c.name});
        Outcome viaOption = Cli({c.name, "--help"});
        EXPECT_EQ(viaHelp.status, 0);
        EXPECT_EQ(viaHelp.out, viaOption.out) << c.name;
        EXPECT_EQ(viaHelp.out, c.help);
        const std::string usage = std::string(c.help).substr(7, std::string(c.help).find('\n') - 7);
        EXPECT_NE(overview.find("  " + usage + "\n"), std::string::npos) << usage;
    }
}

// The last catch: whatever a command throws ends in a message naming it and an exit status.
TEST(VtpatchCli, WhatACommandThrowsBecomesAMessageAndAStatus) {
    using Handler = int (*)(const CommandLine&, CliContext&);
    struct Row {
        Handler handler;
        int status;
        std::string says;
    };
    const std::vector<Row> rows = {
        {[](const CommandLine&, CliContext&) -> int { throw Refused({"not this one"}); }, 1,
         "vtpatch boom: not this one\n"},
        {[](const CommandLine&, CliContext&) -> int { throw Failure("cannot read x"); }, 3,
         "vtpatch boom: cannot read x\n"},
        {[](const CommandLine&, CliContext&) -> int { throw std::out_of_range("map::at"); }, 3,
         "vtpatch boom: unexpected error: map::at\n"},
        {[](const CommandLine&, CliContext&) -> int { throw 7; }, 3,
         "vtpatch boom: unexpected error\n"},
        {[](const CommandLine& line, CliContext& io) -> int {
             io.out << line.values.at("--x") << line.positional.at(0);
             return 0;
         },
         0, ""},
    };
    for (const Row& row : rows) {
        const std::vector<Command> table = {
            {"boom", "usage: vtpatch boom A --x V\n", 1, {"--x"}, {"--x"}, {}, row.handler}};
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(RunCli(table, {"boom", "a", "--x", "v"}, out, err, test::kNow), row.status);
        EXPECT_EQ(err.str(), row.says);
        EXPECT_EQ(out.str(), row.status == 0 ? "va" : "");
    }
}

TEST(VtpatchUrls, HttpUrlsOnly) {
    std::optional<HttpUrl> plain = ParseHttpUrl("http://127.0.0.1:8080/patch/");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->host, "127.0.0.1");
    EXPECT_EQ(plain->port, "8080");
    EXPECT_EQ(plain->path, "/patch/");
    std::optional<HttpUrl> bare = ParseHttpUrl("HTTP://localhost");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->port, "80");
    EXPECT_EQ(bare->path, "/");
    std::optional<HttpUrl> v6 = ParseHttpUrl("http://[::1]:81/");
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->host, "::1");
    EXPECT_EQ(v6->port, "81");
    for (const char* bad : {"https://127.0.0.1/", "http://", "http://:80/", "http://h:0/",
                            "http://h:x/", "http://u@h/", "ftp://h/"}) {
        EXPECT_FALSE(ParseHttpUrl(bad)) << bad;
    }
    EXPECT_EQ(PercentDecode("a%20b%C8%BF/%2e"), std::string("a b\xC8\xBF/."));
    EXPECT_FALSE(PercentDecode("a%2"));
    EXPECT_FALSE(PercentDecode("a%zz"));
}

}  // namespace
}  // namespace vt::vtpatch
