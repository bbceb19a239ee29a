#include "format/KeyList.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace vt::format {
namespace {

P256PublicKey KeyOf(uint8_t fill) {
    P256PublicKey key;
    key.fill(fill);
    return key;
}

KeyList Sample() {
    KeyList list;
    list.serial = 7;
    list.expires = 1924992000;  // 2031-01-01T00:00:00Z
    list.minSerial = 1765000000;
    list.root = KeyOf(0x11);
    list.rotatedFrom = KeyOf(0x22);
    list.chain = Sha256Digest{};
    list.keys = {{KeyOf(0x33), 1893456000}, {KeyOf(0x44), 1924992000}};
    return list;
}

TEST(KeyList, BodyTextReadsBackAsWritten) {
    const KeyList list = Sample();
    const std::string text = KeyListBodyText(list);
    EXPECT_NE(text.find("expires=2031-01-01T00:00:00Z\r\n"), std::string::npos) << text;
    const std::optional<KeyList> back = ReadKeyListBody(text);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->serial, 7u);
    EXPECT_EQ(back->expires, list.expires);
    EXPECT_EQ(back->minSerial, list.minSerial);
    EXPECT_EQ(back->root, list.root);
    EXPECT_EQ(back->rotatedFrom, list.rotatedFrom);
    EXPECT_EQ(back->chain, list.chain);
    ASSERT_EQ(back->keys.size(), 2u);
    EXPECT_EQ(back->keys[0].expires, 1893456000);
    EXPECT_EQ(back->keys[1].key, KeyOf(0x44));
    EXPECT_EQ(KeyListBodyText(*back), text);
}

TEST(KeyList, RefusesBodiesThatCouldReadTwoWays) {
    const std::string good = KeyListBodyText(Sample());
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string text = good;
        const auto at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return text.replace(at, from.size(), to);
    };
    const std::map<std::string, std::string> cases = {
        {"no header", replaced("[keys]\r\n", "")},
        {"another section", replaced("[keys]", "[Keys]")},
        {"a key twice", good + "serial=8\r\n"},
        {"an unknown key", good + "note=x\r\n"},
        {"a gap in the keys", replaced("2=", "3=")},
        {"no serial", replaced("serial=7\r\n", "")},
        {"serial past 2^53", replaced("serial=7", "serial=9007199254740993")},
        {"blank before a value", replaced("serial=7", "serial= 7")},
        {"a key without expiry", replaced(" 2031-01-01T00:00:00Z\r\n", "\r\n")},
        {"bad expiry", replaced("expires=2031-01-01T00:00:00Z", "expires=2031-02-30T00:00:00Z")},
        {"short root", replaced("root=11", "root=1")},
        {"bad chain", replaced("chain=00", "chain=zz")},
        {"key 17", good + "3=" + std::string(128, 'a') + " 2031-01-01T00:00:00Z\r\n" +
                       [] {
                           std::string more;
                           for (int n = 4; n <= 17; ++n) {
                               more += std::to_string(n) + "=" + std::string(128, 'a') +
                                       " 2031-01-01T00:00:00Z\r\n";
                           }
                           return more;
                       }()},
    };
    for (const auto& [name, text] : cases) {
        EXPECT_FALSE(ReadKeyListBody(text)) << name;
    }
}

TEST(KeyList, HoldsOnlyListedKeysBeforeTheirExpiry) {
    const KeyList list = Sample();
    EXPECT_TRUE(list.Holds(KeyOf(0x33), 1893455999));
    EXPECT_FALSE(list.Holds(KeyOf(0x33), 1893456000));
    EXPECT_FALSE(list.Holds(KeyOf(0x11), 0));  // the root signs lists, it is not delegated
}

TEST(KeyList, FileSplitsIntoSignaturesAndBody) {
    const std::string small(127, 'x');
    EXPECT_FALSE(SplitKeyList(std::as_bytes(std::span(small))));
    const std::string big(kKeyListMostBytes + 1, 'x');
    EXPECT_FALSE(SplitKeyList(std::as_bytes(std::span(big))));
    KeyListFile file;
    file.rootSignature.fill(1);
    file.previousSignature.fill(2);
    file.body = "[keys]\r\n";
    const std::string joined = JoinKeyList(file);
    const auto split = SplitKeyList(std::as_bytes(std::span(joined)));
    ASSERT_TRUE(split);
    EXPECT_EQ(split->rootSignature, file.rootSignature);
    EXPECT_EQ(split->previousSignature, file.previousSignature);
    EXPECT_EQ(split->body, file.body);
}

TEST(KeyList, StatementReadsAbsentMalformedOrPresent) {
    const std::map<std::string, std::string> whole = {{"game", "2"},
                                                      {"size", "1024"},
                                                      {"sha256", std::string(64, 'a')},
                                                      {"serial", "5"},
                                                      {"signature", std::string(128, 'b')}};
    auto read = [](const std::map<std::string, std::string>& values) {
        return ReadStatement([&](const std::string& key) {
            const auto found = values.find(key);
            return found == values.end() ? std::string() : found->second;
        });
    };
    EXPECT_EQ(read({}).form, StatementForm::Absent);
    const StatementReading present = read(whole);
    ASSERT_EQ(present.form, StatementForm::Present);
    EXPECT_EQ(present.signedStatement.statement.serial, 5u);
    EXPECT_EQ(
        StatementText(present.signedStatement.statement),
        "vtlauncher statement\ngame=2\nsize=1024\nsha256=" + std::string(64, 'a') + "\nserial=5\n");
    for (const auto& [key, bad] :
         std::map<std::string, std::string>{{"game", ""},
                                            {"size", "0"},
                                            {"size", "-1"},
                                            {"sha256", "abc"},
                                            {"serial", "x"},
                                            {"signature", std::string(127, 'b')}}) {
        auto values = whole;
        values[key] = bad;
        EXPECT_EQ(read(values).form, StatementForm::Malformed) << key << "=" << bad;
    }
}

}  // namespace
}  // namespace vt::format
