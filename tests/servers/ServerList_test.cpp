#include "servers/ServerList.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/AppError.h"
#include "base/Cp949.h"

namespace vt {
namespace {

using Entries = std::vector<ServerListEntry>;

AppError ParseError(const std::string& bytes) {
    try {
        ParseServerList(bytes);
    } catch (const AppError& e) {
        return e;
    }
    ADD_FAILURE() << "no error for " << bytes.size() << " bytes";
    return AppError(ErrorNumber::InternalError, L"");
}

TEST(ServerListParse, FirstColonSplitsAndNothingIsTrimmed) {
    EXPECT_EQ(ParseServerList("192.0.2.10:Game:One\r\n 192.0.2.11 : Spaced \r\n:\r\n" +
                              ToCp949(L"192.0.2.12:한글 서버")),
              (Entries{{L"192.0.2.10", L"Game:One"},
                       {L" 192.0.2.11 ", L" Spaced "},
                       {L"", L""},
                       {L"192.0.2.12", L"한글 서버"}}));
    EXPECT_TRUE(ParseServerList("").empty());
}

TEST(ServerListParse, EmptyAndBlankLinesAreNoServers) {
    const Entries two{{L"127.0.0.41", L"a"}, {L"127.0.0.42", L"b"}};
    for (const char* text : {
             "127.0.0.41:a\r\n127.0.0.42:b\r\n\r\n",           // an editor's extra break
             "\r\n\r\n127.0.0.41:a\r\n\r\n127.0.0.42:b",       // gaps before and between
             "127.0.0.41:a\n\n\n127.0.0.42:b\n",               // line feeds alone
             "127.0.0.41:a\r\r127.0.0.42:b\r\r",               // carriage returns alone
             "127.0.0.41:a\r\n \r\n\t\r\n \t \n127.0.0.42:b",  // only blanks
             "127.0.0.41:a\n\r127.0.0.42:b\n\r",               // LF CR is two breaks
         }) {
        EXPECT_EQ(ParseServerList(text), two) << text;
    }
    EXPECT_TRUE(ParseServerList("\r\n \r\n\n").empty());
}

TEST(ServerListParse, ALineWithoutColonIsError5NamingItsLineInTheFile) {
    AppError e = ParseError("127.0.0.41:a\r\n\r\n\r\nno colon here\r\n127.0.0.42:b\r\n");
    EXPECT_EQ(e.Code(), ErrorNumber::InvalidArgument);
    EXPECT_NE(e.Description().find(L"SvrList.dat, 4)"), std::wstring::npos)
        << ToUtf8(e.Description());
    // A name that is only blanks still has its colon, and a blank before text is not a blank
    // line.
    EXPECT_EQ(ParseError(" x\r\n").Code(), ErrorNumber::InvalidArgument);
    EXPECT_EQ(ParseServerList("1.2.3.4: \r\n"), (Entries{{L"1.2.3.4", L" "}}));
}

// The file is read whole through code page 949, and a lead byte takes the byte after it, be it
// ':', CR or LF (tests/base/Cp949_test.cpp): the lines are those of the text, not of the bytes.
TEST(ServerListParse, ALeadByteTakesTheColonOrBreakAfterIt) {
    struct Row {
        const char* what;
        std::string bytes;
        Entries servers;
        size_t refusedLine;  // 0: accepted
    };
    const Row rows[] = {
        {"the colon", "\xB0:a\r\n192.0.2.1:b", {}, 1},
        {"the CR of CR LF",
         "192.0.2.1:a\xB0\r\n192.0.2.2:b",
         {{L"192.0.2.1", L"a?"}, {L"192.0.2.2", L"b"}},
         0},
        {"a lone LF, joining two lines",
         "192.0.2.1:a\xB0\n192.0.2.2:b",
         {{L"192.0.2.1", L"a?192.0.2.2:b"}},
         0},
        {"nothing at the end", "192.0.2.1:\xB0", {{L"192.0.2.1", L"?"}}, 0},
        {"an unassigned pair before CR", "192.0.2.1:a\r\n\xA2\xE8\r192.0.2.2:b", {}, 2},
        // Found by fuzz/server_list_fuzz.cpp: iconv lost the CR after A2 E8, so the native build
        // joined line 7 to the next and accepted the file that Windows refuses.
        {"the fuzzer's finding",
         std::string("\xAF"
                     "1:\x0D\xAE"
                     "1:\x0D"
                     "1:\x0D"
                     "1:\x0D\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x03"
                     "b:\xA6:\x0D:z:)\x00\x0D\xA2\xE8\x0D\x01\xD1"
                     "b:3\x0A:\x0A"
                     "1:\x0D"
                     "b:2\x0A:\x0A:\x0D\x01\xD1"
                     "b:2:2\x0A:\x0A:\x0D\x01\xD1"
                     "b:3",
                     72),
         {},
         7},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.refusedLine == 0) {
            EXPECT_EQ(ParseServerList(row.bytes), row.servers);
            continue;
        }
        const AppError e = ParseError(row.bytes);
        EXPECT_EQ(e.Code(), ErrorNumber::InvalidArgument);
        const std::wstring line = L"SvrList.dat, " + std::to_wstring(row.refusedLine) + L")";
        EXPECT_NE(e.Description().find(line), std::wstring::npos) << ToUtf8(e.Description());
    }
}

TEST(ServerListParse, At32767ServersTheListIsFullAndBlankLinesDoNotCount) {
    std::string text;
    for (int i = 1; i <= 32767; ++i) {
        text += "10.0.0.1:s" + std::to_string(i) + "\r\n\r\n";
    }
    const Entries full = ParseServerList(text);
    ASSERT_EQ(full.size(), 32767u);
    EXPECT_EQ(full.back().Name, L"s32767");
    EXPECT_EQ(ParseError(text + "10.0.0.1:last\r\n").Code(), ErrorNumber::Overflow);
}

}  // namespace
}  // namespace vt
