#include "selfupdate/Pointer.h"

#include <gtest/gtest.h>

namespace vt::selfupdate {
namespace {

LauncherRef Ref(uint64_t serial, uint64_t size, uint8_t fill, std::string game) {
    LauncherRef ref{serial, {size, {}}, std::move(game)};
    ref.identity.sha256.fill(size == 0 ? 0 : fill);
    return ref;
}

TEST(Pointer, ReadsBackWhatItWrites) {
    const Pointer pointers[] = {
        {Ref(2, 1310720, 0xab, "1.02"), Ref(1, 0, 0, ""), {}},
        {Ref(3, 99, 0x01, "\xb0\xa1 \"q\" "), Ref(2, 5, 0x02, "1.02"), {4, 5}},
        {Ref(1, 0, 0, "1.01"), LauncherRef{}, {2}},
    };
    for (const Pointer& pointer : pointers) {
        const std::string text = PointerText(pointer);
        EXPECT_EQ(ReadPointer(text), pointer) << text;
    }
}

TEST(Pointer, TornOrForeignTextIsNoPointer) {
    const std::string whole = PointerText({Ref(2, 7, 0xcd, "g"), Ref(1, 0, 0, ""), {3}});
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
        EXPECT_FALSE(ReadPointer(whole.substr(0, cut))) << cut;
    }
    const std::string sha(64, 'a');
    const char* bad[] = {
        "[launcher]\r\nserial=2\r\nsize=1\r\nsha256=\r\ngame=g\r\nfailed=\r\n",  // file, no hash
        "[launcher]\r\nserial=2\r\nsize=0\r\nsha256=zz\r\ngame=g\r\nfailed=\r\n",
        "[launcher]\r\nserial=-2\r\nsize=0\r\nsha256=\r\ngame=g\r\nfailed=\r\n",
        "[launcher]\r\nserial=2\r\nsize=0\r\nsha256=\r\ngame=g\r\nfailed=1,2\r\n",
        "[launcher]\r\nserial=2\r\nserial=3\r\nsize=0\r\nsha256=\r\ngame=g\r\nfailed=\r\n",
        "[other]\r\nserial=2\r\nsize=0\r\nsha256=\r\ngame=g\r\nfailed=\r\n",
        "[launcher]\r\nserial=2\r\nsize=0\r\nsha256=\r\ngame=g\r\n",  // no failed line
        "[launcher]\r\nserial=2\r\nsize=0\r\nsha256=\r\ngame=g\r\nfailed=\r\nprevious-serial=1\r\n",
    };
    for (const char* text : bad) {
        EXPECT_FALSE(ReadPointer(text)) << text;
    }
}

TEST(Pointer, FailedSerialsAreFound) {
    const Pointer pointer{Ref(1, 0, 0, ""), LauncherRef{}, {2, 4}};
    EXPECT_TRUE(pointer.Failed(2));
    EXPECT_TRUE(pointer.Failed(4));
    EXPECT_FALSE(pointer.Failed(3));
    EXPECT_FALSE(pointer.Failed(1));
}

}  // namespace
}  // namespace vt::selfupdate
