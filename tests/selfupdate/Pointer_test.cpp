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
        {Ref(2, 1310720, 0xab, "1.02"), Ref(0, 0, 0, ""), {}},
        {Ref(3, 99, 0x01, "\xb0\xa1 \"q\" "), Ref(2, 5, 0x02, "1.02"), {4, 5}},
        {Ref(0, 0, 0, "1.01"), LauncherRef{}, {2}},
    };
    for (const Pointer& pointer : pointers) {
        const std::string text = PointerText(pointer);
        EXPECT_EQ(ReadPointer(text), pointer) << text;
    }
}

TEST(Pointer, TornOrForeignTextIsNoPointer) {
    const std::string whole = PointerText({Ref(2, 7, 0xcd, "g"), Ref(0, 0, 0, ""), {3}});
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
        EXPECT_FALSE(ReadPointer(whole.substr(0, cut))) << cut;
    }
    const std::string sha(64, 'a');
    const std::string bad[] = {
        "[current]\r\nserial=2\r\nsize=1\r\nsha256=\r\ngame=g\r\n[failed]\r\nserials=\r\n",
        "[current]\r\nserial=2\r\nsize=1\r\nsha256=zz\r\ngame=g\r\n[failed]\r\nserials=\r\n",
        "[current]\r\nserial=-2\r\nsize=1\r\nsha256=" + sha +
            "\r\ngame=g\r\n[failed]\r\nserials=\r\n",
        "[current]\r\nserial=2\r\nsize=0\r\nsha256=" + sha +
            "\r\ngame=g\r\n[failed]\r\nserials=\r\n",
        "[current]\r\nserial=\r\nsize=\r\nsha256=\r\ngame=g\r\n[failed]\r\nserials=1,2\r\n",
        "[current]\r\nserial=\r\nserial=\r\nsize=\r\nsha256=\r\ngame=g\r\n[failed]\r\nserials=\r\n",
        "serial=\r\n[current]\r\nsize=\r\nsha256=\r\ngame=g\r\n[failed]\r\nserials=\r\n",
        "[current]\r\nserial=\r\nsize=\r\nsha256=\r\ngame=g\r\n",  // no failed section
        "[current]\r\nserial=\r\nsize=\r\nsha256=\r\ngame=g\r\n[failed]\r\nserials=\r\n"
        "[previous]\r\nserial=1\r\n",
    };
    EXPECT_TRUE(ReadPointer("[current]\r\nserial=2\r\nsize=1\r\nsha256=" + sha +
                            "\r\ngame=g\r\n[failed]\r\nserials=\r\n"));

    for (const std::string& text : bad) {
        EXPECT_FALSE(ReadPointer(text)) << text;
    }
}

TEST(Pointer, FailedSerialsAreFound) {
    const Pointer pointer{Ref(0, 0, 0, ""), LauncherRef{}, {2, 4}};
    EXPECT_TRUE(pointer.Failed(2));
    EXPECT_TRUE(pointer.Failed(4));
    EXPECT_FALSE(pointer.Failed(3));
    EXPECT_FALSE(pointer.Failed(1));
}

}  // namespace
}  // namespace vt::selfupdate
