#include "transfer/HttpHead.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

namespace vt {
namespace {

const std::wstring kHead =
    L"HTTP/1.1 200 OK\r\n"
    L"Server: scripted\r\n"
    L"content-LENGTH:  2500 \r\n"
    L"Location: http://127.0.0.1:8080/a?b=c\r\n"
    L"X-Tabbed:\tleft\tright\t\r\n"
    L"X-Spaced-Name  : near\r\n"
    L"No colon on this line\r\n"
    L"X-Empty:\r\n"
    L"\r\n";

TEST(HeaderValue, NamesMatchWithoutRegardToCase) {
    EXPECT_EQ(HeaderValue(kHead, L"Content-Length"), L"2500");
    EXPECT_EQ(HeaderValue(kHead, L"CONTENT-LENGTH"), L"2500");
    EXPECT_EQ(HeaderValue(kHead, L"server"), L"scripted");
}

TEST(HeaderValue, OnlyWholeNamesMatch) {
    EXPECT_EQ(HeaderValue(kHead, L"Content"), L"");
    EXPECT_EQ(HeaderValue(kHead, L"Content-Length2"), L"");
    EXPECT_EQ(HeaderValue(kHead, L"No colon on this line"), L"");
    EXPECT_EQ(HeaderValue(kHead, L"X-Absent"), L"");
    EXPECT_EQ(HeaderValue(L"HTTP/1.1 200 OK\r\nContent-Length-Extra: 5\r\n", L"Content-Length"),
              L"");
}

TEST(HeaderValue, NamesAndValuesAreTrimmedOfSpacesAndTabs) {
    EXPECT_EQ(HeaderValue(kHead, L"X-Tabbed"), L"left\tright");
    EXPECT_EQ(HeaderValue(kHead, L"X-Spaced-Name"), L"near");
    EXPECT_EQ(HeaderValue(kHead, L"X-Empty"), L"");
}

// A stray CR inside a line (no LF after it) among blanks: once the value lost its leading CR
// to the end trim and kept the blank after it.
TEST(HeaderValue, BlanksAroundAStrayCrReadAsNothing) {
    const struct {
        const wchar_t* line;
        const wchar_t* value;
    } rows[] = {
        {L"Content-Length:       \r                 ", L""},
        {L"Content-Length:  \r \r\t", L""},
        {L"Content-Length: \r", L""},
        {L"Content-Length: 5\r ", L"5"},
        {L"Content-Length: \r5", L"\r5"},
    };
    for (const auto& row : rows) {
        const std::wstring head = std::wstring(L"HTTP/1.1 200 OK\r\n") + row.line + L"\r\n";
        EXPECT_EQ(HeaderValue(head, L"Content-Length"), row.value) << "line: " << row.line;
    }
}

TEST(HeaderValue, TheValueRunsFromTheFirstColonToTheLineEnd) {
    EXPECT_EQ(HeaderValue(kHead, L"Location"), L"http://127.0.0.1:8080/a?b=c");
    EXPECT_EQ(HeaderValue(kHead, L"http"), L"");
}

TEST(HeaderValue, TheFirstOfRepeatedHeadersWinsEvenWhenEmpty) {
    std::wstring head = L"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nCONTENT-LENGTH: 7\r\n";
    EXPECT_EQ(HeaderValue(head, L"Content-Length"), L"5");
    head = L"HTTP/1.1 200 OK\r\nX-Note:\r\nX-Note: later\r\n";
    EXPECT_EQ(HeaderValue(head, L"X-Note"), L"");
}

TEST(HeaderValue, AFoldedLineIsALineOfItsOwn) {
    std::wstring head =
        L"HTTP/1.1 200 OK\r\n"
        L"X-Note: first part\r\n"
        L" second part\r\n"
        L"\tContent-Length: 9\r\n";
    EXPECT_EQ(HeaderValue(head, L"X-Note"), L"first part");
    EXPECT_EQ(HeaderValue(head, L"Content-Length"), L"9");
}

TEST(HeaderValue, TheStatusLineIsNeverAHeader) {
    EXPECT_EQ(HeaderValue(L"Content-Length: 5\r\nServer: x\r\n", L"Content-Length"), L"");
    EXPECT_EQ(HeaderValue(L"Content-Length: 5", L"Content-Length"), L"");
    EXPECT_EQ(HeaderValue(L"HTTP/1.1 200 OK", L"HTTP/1.1 200 OK"), L"");
    EXPECT_EQ(HeaderValue(L"", L"Content-Length"), L"");
}

TEST(HeaderValue, LinesEndWithCrLfAndTheLastNeedsNoEnd) {
    EXPECT_EQ(HeaderValue(L"HTTP/1.1 200 OK\r\nContent-Length: 7", L"Content-Length"), L"7");
    EXPECT_EQ(HeaderValue(L"HTTP/1.1 200 OK\r\nA: 1\rB: 2\r\n", L"A"), L"1\rB: 2");
    // A bare LF ends no line, so here everything is the status line.
    EXPECT_EQ(HeaderValue(L"HTTP/1.1 200 OK\nContent-Length: 7\n", L"Content-Length"), L"");
}

TEST(StatusCodeText, ReadsTheThreeCharactersAfterTheVersion) {
    EXPECT_EQ(StatusCodeText(L"HTTP/1.1 200 OK\r\nServer: x\r\n"), L"200");
    EXPECT_EQ(StatusCodeText(L"HTTP/1.0 404 Not Found"), L"404");
    EXPECT_EQ(StatusCodeText(L"HTTP/1.1 200"), L"200");  // exactly long enough
}

TEST(StatusCodeText, ShortOrGarbledStatusLines) {
    EXPECT_EQ(StatusCodeText(L"HTTP/1.1 20"), L"");
    EXPECT_EQ(StatusCodeText(L""), L"");
    EXPECT_EQ(StatusCodeText(L"HTTP/1.1"), L"");
    // Read by position, so other versions and shifted codes do not read as 200.
    EXPECT_NE(StatusCodeText(L"HTTP/2 200 OK"), L"200");
    EXPECT_NE(StatusCodeText(L"HTTP/1.1  200 OK"), L"200");
    EXPECT_NE(StatusCodeText(L"HTTP/1.1\r\n200 OK"), L"200");
    EXPECT_EQ(StatusCodeText(L"HTTP/1.1 2000 OK"), L"200");
}

std::wstring HeadWithLength(const std::wstring& value) {
    return L"HTTP/1.1 200 OK\r\nContent-Length:" + value + L"\r\nServer: x\r\n";
}

TEST(PlainContentLength, PlainNumbers) {
    EXPECT_EQ(PlainContentLength(kHead), 2500);
    EXPECT_EQ(PlainContentLength(HeadWithLength(L"0")), 0);
    EXPECT_EQ(PlainContentLength(HeadWithLength(L"007")), 7);
    EXPECT_EQ(PlainContentLength(HeadWithLength(L" \t42 ")), 42);
    EXPECT_EQ(PlainContentLength(HeadWithLength(L"3000000")), 3000000);
}

TEST(PlainContentLength, AnythingButDigitsIsNoLength) {
    for (const wchar_t* value : {L"", L"  ", L"12abc", L"-5", L"+5", L"1 000", L"1,000", L"1.5",
                                 L"0x10", L"1e3", L"\xFF11\xFF12"}) {
        EXPECT_EQ(PlainContentLength(HeadWithLength(value)), -1)
            << std::string(value, value + std::wcslen(value));
    }
    EXPECT_EQ(PlainContentLength(L"HTTP/1.1 200 OK\r\nServer: x\r\n"), -1);
    EXPECT_EQ(PlainContentLength(L"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 9\r\n"),
              5);
}

TEST(PlainContentLength, AtMostEighteenDigits) {
    EXPECT_EQ(PlainContentLength(HeadWithLength(L"999999999999999999")), 999999999999999999LL);
    EXPECT_EQ(PlainContentLength(HeadWithLength(L"000000000000000001")), 1);
    // Nineteen digits are refused even where they would fit.
    EXPECT_EQ(PlainContentLength(HeadWithLength(L"1000000000000000000")), -1);
    EXPECT_EQ(PlainContentLength(HeadWithLength(L"0000000000000000001")), -1);
    EXPECT_EQ(PlainContentLength(HeadWithLength(L"99999999999999999999999")), -1);
}

}  // namespace
}  // namespace vt
