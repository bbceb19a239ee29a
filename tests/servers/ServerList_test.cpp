#include "servers/ServerList.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/AppError.h"
#include "app/Cp949.h"

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
