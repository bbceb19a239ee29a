// Mirror URLs: what a profile may name as a copy of the served tree, read the same by the
// launcher and the publisher's tool.
#include "format/Mirrors.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace vt::format {
namespace {

TEST(Mirrors, OnlyPlainHttpBasesOfSafeCharactersAreMirrors) {
    const struct {
        std::string value;
        bool mirror;
    } cases[] = {
        {"http://127.0.0.2:18081/", true},
        {"http://mirror.example/patch/", true},
        {"http://a-b.example:65535/x_y~z/%41%2f/", true},
        {"http://127.0.0.2:1/deep/er/", true},
        {"http://127.0.0.2:18081", false},      // no path
        {"http://127.0.0.2/patch", false},      // a file, not a folder
        {"https://127.0.0.2/", false},          // the launcher speaks plain HTTP
        {"HTTP://127.0.0.2/", false},           //
        {"ftp://127.0.0.2/", false},            //
        {"http:///", false},                    // no host
        {"http://user@127.0.0.2/", false},      // no credentials in a mirror
        {"http://127.0.0.2:0/", false},         //
        {"http://127.0.0.2:65536/", false},     //
        {"http://127.0.0.2:080/", false},       // one spelling per port
        {"http://127.0.0.2:/", false},          //
        {"http://127.0.0.2:8x/", false},        //
        {"http://[::1]/", false},               //
        {"http://.example/", false},            //
        {"http://a..b/", false},                //
        {"http://127.0.0.2/a/../", false},      // a path that leaves its folder
        {"http://127.0.0.2/./", false},         //
        {"http://127.0.0.2//", false},          //
        {"http://127.0.0.2/a b/", false},       //
        {"http://127.0.0.2/a?b/", false},       // a query would swallow every path after it
        {"http://127.0.0.2/a#b/", false},       //
        {"http://127.0.0.2/%4/", false},        // a broken escape
        {"http://127.0.0.2/%zz/", false},       //
        {"http://127.0.0.2/\xc7\xd1/", false},  // code page 949 bytes
        {"http://127.0.0.2/a\\b/", false},      //
        {" http://127.0.0.2/", false},          //
        {"http://h/" + std::string(190, 'a') + "/", true},   // 200 bytes
        {"http://h/" + std::string(191, 'a') + "/", false},  // 201
    };
    for (const auto& c : cases) {
        const std::optional<std::string> base = MirrorBase(c.value);
        EXPECT_EQ(base.has_value(), c.mirror) << c.value;
        if (base) {
            EXPECT_EQ(*base, c.value + "autopatch/");
        }
    }
}

TEST(Mirrors, AListKeepsKeyOrderDropsRepeatsAndCountsWhatIsNoMirror) {
    const struct {
        std::map<std::string, std::string> keys;
        std::vector<std::string> bases;
        int unusable;
    } cases[] = {
        {{}, {}, 0},
        {{{"2", "http://b/"}, {"1", "http://a/"}},
         {"http://a/autopatch/", "http://b/autopatch/"},
         0},
        {{{"1", "http://a/"}, {"3", "http://a/"}}, {"http://a/autopatch/"}, 0},
        {{{"1", "ftp://a/"}, {"2", "http://b/"}}, {"http://b/autopatch/"}, 1},
        {{{"8", "http://h/"}, {"9", "http://i/"}, {"0", "http://j/"}}, {"http://h/autopatch/"}, 0},
    };
    for (const auto& c : cases) {
        const MirrorList list = ReadMirrors([&](const std::string& key) {
            const auto it = c.keys.find(key);
            return it == c.keys.end() ? std::string() : it->second;
        });
        EXPECT_EQ(list.bases, c.bases);
        ASSERT_EQ(list.urls.size(), list.bases.size());
        for (std::size_t i = 0; i < list.urls.size(); ++i) {
            EXPECT_EQ(list.urls[i] + "autopatch/", list.bases[i]);
        }
        EXPECT_EQ(list.unusable, c.unusable);
    }
}

}  // namespace
}  // namespace vt::format
