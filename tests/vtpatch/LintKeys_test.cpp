// lint follows the key lists a profile's [keys] names as a launcher does, from --root or, without
// it, as far as hashes, forms and links go.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "format/Digest.h"
#include "format/KeyList.h"
#include "tests/vtpatch/KeyListTesting.h"
#include "tests/vtpatch/VtpatchTesting.h"
#include "vtpatch/Lint.h"

namespace vt::vtpatch {
namespace {

using test::Put;
constexpr int64_t kYear = 365 * 86400;

class LintKeys : public ::testing::Test {
  protected:
    test::Keys publisher;  // the publish key the lists delegate to
    test::SampleTree tree;
    test::Served served;
    test::ServedLists lists;
    PrivateKey r0 = PrivateKey::Generate(), r1 = PrivateKey::Generate();

    std::string published;  // the profile as publish wrote it

    void SetUp() override {
        served.Publish(tree, publisher, "2030-01-02T00:00:00Z");
        published = served.Profile();
    }

    Sha256Digest List(const PrivateKey& root, std::optional<Sha256Digest> chain = std::nullopt,
                      int64_t expires = test::kNow + kYear, bool holds = true) {
        format::KeyList list = test::ListBody(root, 3, expires);
        list.chain = chain;
        if (holds) {
            list.keys = {{publisher.Public(), test::kNow + kYear}};
        }
        return lists.Add(list, root);
    }
    // The served profile naming `list` and the publish key, re-signed; `serve` of the lists.
    void Name(const Sha256Digest& list, const std::vector<Sha256Digest>& serve) {
        test::ServeProfile(served, publisher,
                           published + "[keys]\r\nlist=" + DigestHex(list) +
                               "\r\nsigner=" + LowerHex(publisher.Public()) + "\r\n");
        for (const Sha256Digest& hash : serve) {
            Put(served.At(format::KeyListPath(hash)), lists.served[hash]);
        }
    }
    Findings Check(std::optional<P256PublicKey> root) {
        std::unique_ptr<ServedTree> t = OpenServedTree(served.Path());
        LintOptions options{publisher.Public(), test::kNow};
        options.root = root;
        return Lint(*t, options);
    }
};

TEST_F(LintKeys, ProblemsOfTheListsAreFoundWhereTheLauncherWouldRefuse) {
    const Sha256Digest rotation = lists.Rotation(r0, r1, std::nullopt, 1);
    const Sha256Digest good = List(r0), rotated = List(r1, rotation);
    const Sha256Digest gap = List(r1, Sha256OfText("never served"));
    const Sha256Digest expired = List(r0, std::nullopt, test::kNow);
    const Sha256Digest notHolding = List(r0, std::nullopt, test::kNow + kYear, false);
    const struct {
        const char* what;
        Sha256Digest named;
        std::vector<Sha256Digest> serve;
        const PrivateKey* root;  // --root; nullptr: none
        Sha256Digest where;      // the list the problem is about
        std::string problem;     // part of its text; empty: none
    } cases[] = {
        {"a good list", good, {good}, &r0, good, ""},
        {"a rotation followed", rotated, {rotated, rotation}, &r0, rotated, ""},
        {"without a root, forms and links", rotated, {rotated, rotation}, nullptr, rotated, ""},
        {"missing", good, {}, &r0, good, "served by no source"},
        {"missing, without a root", good, {}, nullptr, good, "served by no source"},
        {"a gap", gap, {gap}, nullptr, Sha256OfText("never served"), "a gap in the chain"},
        {"expired", expired, {expired}, nullptr, expired, "has expired"},
        {"another root", good, {good}, &r1, good, "leads to no trusted root"},
        {"not holding the signer", notHolding, {notHolding}, &r0, notHolding, "does not hold"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Name(c.named, c.serve);
        const Findings findings = Check(c.root ? std::optional(c.root->Public()) : std::nullopt);
        const size_t problems = test::ProblemsAt(findings, format::KeyListPath(c.where));
        EXPECT_EQ(problems, c.problem.empty() ? 0u : 1u) << test::Describe(findings);
        if (!c.problem.empty()) {
            EXPECT_NE(test::Describe(findings).find(c.problem), std::string::npos)
                << test::Describe(findings);
        }
        EXPECT_EQ(findings.Problems(), problems) << test::Describe(findings);
        const bool noted = test::Describe(findings).find("no --root") != std::string::npos;
        EXPECT_EQ(noted, !c.root && c.problem.empty()) << test::Describe(findings);
        for (const auto& [hash, bytes] : lists.served) {
            std::remove(served.At(format::KeyListPath(hash)).c_str());
        }
    }
}

// Tampered bytes under a list's name, and the profile signed by a key the list allows checked
// against it.
TEST_F(LintKeys, AListWithOtherBytesThanItsNameIsAProblem) {
    const Sha256Digest good = List(r0);
    Name(good, {good});
    test::FlipBit(served.At(format::KeyListPath(good)), 300);
    const Findings findings = Check(r0.Public());
    EXPECT_EQ(test::ProblemsAt(findings, format::KeyListPath(good)), 1u)
        << test::Describe(findings);
    EXPECT_NE(test::Describe(findings).find("other bytes"), std::string::npos);
}

}  // namespace
}  // namespace vt::vtpatch
