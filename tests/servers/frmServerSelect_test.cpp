#include "servers/frmServerSelect.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/AppError.h"
#include "base/Cp949.h"
#include "base/EndProgram.h"
#include "base/ErrorReport.h"
#include "base/FileSystem.h"
#include "base/ModGame.h"
#include "ping/ModPing.h"
#include "tests/support/RecordingServerView.h"
#include "tests/support/TestDir.h"

namespace vt {
namespace {

using test::RecordingServerView;
using test::RecordingShell;
using Row = RecordingServerView::Row;

// Answers from a table: address -> (result, round-trip time). An unknown address, like a host
// name, gives -1 and leaves the buffer alone, as the real probe does for what it cannot parse.
class FakePinger final : public Pinger {
  public:
    explicit FakePinger(std::vector<std::string>& log) : log_(log) {}

    bool SocketsInitialize() override {
        log_.push_back("init");
        return initOk;
    }
    int32_t PingHost(const std::wstring& address, const std::wstring& data,
                     EchoReplyBuffer& reply) override {
        log_.push_back("ping " + ToUtf8(address));
        payloads.push_back(data);
        auto it = answers.find(address);
        if (it == answers.end()) {
            return kPingUnparsable;
        }
        reply.SetReply(it->second.first, it->second.second);
        return static_cast<int32_t>(it->second.first);
    }
    void SocketsCleanup() override { log_.push_back("cleanup"); }

    bool initOk = true;
    std::map<std::wstring, std::pair<uint32_t, uint32_t>> answers;
    std::vector<std::wstring> payloads;

  private:
    std::vector<std::string>& log_;
};

constexpr uint32_t kTimedOut = 11010;

class ServerSelectTest : public ::testing::Test {
  protected:
    ServerSelectTest() : view(&log), pinger(log), form(view, pinger, shell) {
        std::wstring root = dir.Path();
        root.pop_back();
        SetPathStrings(root);
        fs::CreateDir(AppDir + L"resource");
        fs::CreateDir(AppDir + L"resource\\data");
    }

    void WriteList(const std::string& cp949Bytes) {
        dir.Write(L"resource\\data\\SvrList.dat", cp949Bytes);
    }

    // Runs a handler inside the general error report; true when the program ended.
    bool Ends(const std::function<void()>& handler) {
        try {
            RunHandler(view, handler);
        } catch (const ProgramEnded&) {
            return true;
        }
        return false;
    }

    ErrorNumber ReadError() {
        try {
            form.ReadSvrList();
        } catch (const AppError& e) {
            return e.Code();
        }
        ADD_FAILURE() << "ReadSvrList raised nothing";
        return ErrorNumber::InternalError;
    }

    std::vector<std::wstring> Addresses() const {
        std::vector<std::wstring> out;
        for (int i = 1; i <= form.ServerCount(); ++i) {
            out.push_back(form.Servers()[static_cast<size_t>(i)].Address);
        }
        return out;
    }

    test::TestDir dir;
    std::vector<std::string> log;
    RecordingServerView view;
    FakePinger pinger;
    RecordingShell shell;
    frmServerSelect form;
};

TEST_F(ServerSelectTest, LinesSplitAtTheFirstColonAndKeepBlanks) {
    WriteList(
        "192.0.2.10:Alpha\r\n"
        "192.0.2.11:Game:One\r\n"
        ":NoAddress\r\n"
        "192.0.2.12:\r\n"
        "192.0.2.13 : Spaced \r\n" +
        ToCp949(L"192.0.2.14:한글 서버") + "\r\n");
    form.ReadSvrList();

    ASSERT_EQ(form.ServerCount(), 6);
    ASSERT_EQ(form.Servers().size(), 7u) << "slot 0 plus one slot per server";
    EXPECT_EQ(form.Servers()[0].Name, L"");
    const std::vector<std::pair<std::wstring, std::wstring>> want = {
        {L"192.0.2.10", L"Alpha"}, {L"192.0.2.11", L"Game:One"},  {L"", L"NoAddress"},
        {L"192.0.2.12", L""},      {L"192.0.2.13 ", L" Spaced "}, {L"192.0.2.14", L"한글 서버"}};
    ASSERT_EQ(view.rows.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        const ServerEntry& e = form.Servers()[i + 1];
        EXPECT_EQ(e.Address, want[i].first) << i;
        EXPECT_EQ(e.Name, want[i].second) << i;
        EXPECT_EQ(e.State, L"");
        EXPECT_EQ(e.PingText, L"");
        EXPECT_EQ(view.rows[i].key, L"K" + std::to_wstring(i + 1));
        EXPECT_EQ(view.rows[i].text, want[i].second);
        EXPECT_EQ(view.rows[i].ping, L"0ms");
        EXPECT_EQ(view.rows[i].state, L"모름");
    }
}

TEST_F(ServerSelectTest, LineEndsOfEveryKindGiveTheSameServers) {
    const std::vector<std::wstring> three = {L"127.0.0.41", L"127.0.0.42", L"127.0.0.43"};
    for (const char* text : {
             "127.0.0.41:a\r\n127.0.0.42:b\r\n127.0.0.43:c\r\n",  // final break: no extra row
             "127.0.0.41:a\r\n127.0.0.42:b\r\n127.0.0.43:c",      // no final break
             "127.0.0.41:a\n127.0.0.42:b\n127.0.0.43:c\n",        // line feeds alone
             "127.0.0.41:a\r127.0.0.42:b\r127.0.0.43:c\r",        // carriage returns alone
             "127.0.0.41:a\n127.0.0.42:b\r\n127.0.0.43:c\r",      // mixed
         }) {
        RecordingServerView freshView;
        frmServerSelect freshForm(freshView, pinger, shell);
        WriteList(text);
        freshForm.ReadSvrList();
        std::vector<std::wstring> got;
        for (int i = 1; i <= freshForm.ServerCount(); ++i) {
            got.push_back(freshForm.Servers()[static_cast<size_t>(i)].Address);
            EXPECT_EQ(freshForm.Servers()[static_cast<size_t>(i)].Name.find_first_of(L"\r\n"),
                      std::wstring::npos);
        }
        EXPECT_EQ(got, three) << text;
        EXPECT_EQ(freshView.rows.size(), 3u) << text;
    }
}

TEST_F(ServerSelectTest, EmptyFileListsNothingAndStillRunsTheSocketLibrary) {
    WriteList("");
    form.Form_Load();
    EXPECT_EQ(form.ServerCount(), 0);
    EXPECT_TRUE(view.rows.empty());
    EXPECT_EQ(log, (std::vector<std::string>{"configure", "init", "cleanup"}));
}

TEST_F(ServerSelectTest, FaultsInTheListAreErrorsOfTheirOwnKind) {
    EXPECT_EQ(ReadError(), ErrorNumber::FileNotFound) << "no SvrList.dat";
    EXPECT_TRUE(view.rows.empty());

    WriteList("127.0.0.41:a\r\nno colon here\r\n127.0.0.42:b\r\n");
    EXPECT_EQ(ReadError(), ErrorNumber::InvalidArgument);
}

TEST_F(ServerSelectTest, EmptyAndBlankLinesAreSkippedAndRowsStillMapToTheirServers) {
    // Blank lines between entries and an editor's trailing breaks, as a player's list has them.
    WriteList("\r\n127.0.0.41:a\r\n\r\n  \t\r\n127.0.0.42:b\n\n127.0.0.43:c\r\n\r\n\r\n");
    EXPECT_TRUE(Ends([&] {
        form.Form_Load();
        view.selected = 2;
        form.cmdConnect_Click();
    }));
    EXPECT_TRUE(view.messages.empty()) << "no error report";
    EXPECT_EQ(form.ServerCount(), 3);
    EXPECT_EQ(Addresses(),
              (std::vector<std::wstring>{L"127.0.0.41", L"127.0.0.42", L"127.0.0.43"}));
    ASSERT_EQ(view.rows.size(), 3u);
    EXPECT_EQ(view.rows[2].text, L"c");
    ASSERT_EQ(shell.calls.size(), 1u);
    EXPECT_EQ(shell.calls[0].parameters, L"127.0.0.42 5000 qelvorin");
}

TEST_F(ServerSelectTest, DuplicateNamesAreTwoRowsAndConnectTakesTheSelectedOne) {
    WriteList("127.0.0.41:Same\r\n127.0.0.42:Other\r\n127.0.0.43:Same\r\n");
    pinger.answers[L"127.0.0.41"] = {0, 4};
    pinger.answers[L"127.0.0.43"] = {kTimedOut, 0};
    EXPECT_FALSE(Ends([&] { form.Form_Load(); }));
    EXPECT_TRUE(view.messages.empty());
    ASSERT_EQ(view.rows.size(), 3u);
    EXPECT_EQ(view.rows[0].text, L"Same");
    EXPECT_EQ(view.rows[2].text, L"Same");
    std::set<std::wstring> keys;
    for (const Row& r : view.rows) {
        keys.insert(r.key);
    }
    EXPECT_EQ(keys.size(), 3u) << "every row has a key of its own";
    // Each row keeps its own probe result.
    EXPECT_EQ(view.rows[0].state, L"정상");
    EXPECT_EQ(view.rows[2].state, L"오류");

    for (auto [row, address] : {std::pair{3, L"127.0.0.43"}, {1, L"127.0.0.41"}}) {
        shell.calls.clear();
        view.selected = row;
        EXPECT_TRUE(Ends([&] { form.cmdConnect_Click(); })) << row;
        ASSERT_EQ(shell.calls.size(), 1u);
        EXPECT_EQ(shell.calls[0].parameters, std::wstring(address) + L" 5000 qelvorin") << row;
    }
}

TEST_F(ServerSelectTest, At32767LinesTheListIsFullAndOneMoreOverflows) {
    std::string text;
    for (int i = 1; i <= 32767; ++i) {
        text += "10.0.0.1:s" + std::to_string(i) + "\r\n";
    }
    WriteList(text);
    form.ReadSvrList();
    EXPECT_EQ(form.ServerCount(), 32767);
    EXPECT_EQ(view.rows.size(), 32767u);

    RecordingServerView freshView;
    frmServerSelect freshForm(freshView, pinger, shell);
    WriteList(text + "10.0.0.1:last\r\n");
    try {
        freshForm.ReadSvrList();
        ADD_FAILURE() << "no overflow";
    } catch (const AppError& e) {
        EXPECT_EQ(e.Code(), ErrorNumber::Overflow);
    }
    EXPECT_EQ(freshForm.ServerCount(), 0) << "the count is stored only after the whole file";
}

TEST_F(ServerSelectTest, ListErrorsReachTheGeneralErrorReportAndEndTheProgram) {
    WriteList("127.0.0.41:a\r\nbroken\r\n");
    EXPECT_TRUE(Ends([&] { form.Form_Load(); }));
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_NE(view.messages[0].text.find(L"5"), std::wstring::npos);
    EXPECT_EQ(view.messages[0].title, L"");
    EXPECT_TRUE(std::find(log.begin(), log.end(), "init") == log.end())
        << "no probe run after a bad list";
}

TEST_F(ServerSelectTest, LoadConfiguresTheListAndShowsOnlyProbeResults) {
    WriteList(
        "127.0.0.41:Fast\r\n"
        "127.0.0.42:Quick\r\n"
        "127.0.0.49:Silent\r\n"
        "game.example.com:Named\r\n");
    pinger.answers[L"127.0.0.41"] = {0, 16};
    pinger.answers[L"127.0.0.42"] = {0, 0};
    pinger.answers[L"127.0.0.49"] = {kTimedOut, 0};
    form.Form_Load();

    EXPECT_EQ(view.configured, 1);
    ASSERT_EQ(view.columns.size(), 3u);
    EXPECT_EQ(view.columns[0].header, L"서버이름");
    EXPECT_EQ(view.columns[0].width, 120);
    EXPECT_EQ(view.columns[0].align, ColumnAlign::Left);
    EXPECT_EQ(view.columns[1].header, L"Ping");
    EXPECT_EQ(view.columns[1].width, 70);
    EXPECT_EQ(view.columns[1].align, ColumnAlign::Center);
    EXPECT_EQ(view.columns[2].header, L"상태");
    EXPECT_EQ(view.columns[2].width, 70);
    EXPECT_EQ(view.columns[2].align, ColumnAlign::Center);

    const std::vector<std::pair<std::wstring, std::wstring>> shown = {
        {L"16 ms", L"정상"}, {L"0 ms", L"정상"}, {L"0 ms", L"오류"}, {L"0 ms", L"오류"}};
    ASSERT_EQ(view.rows.size(), shown.size());
    for (size_t i = 0; i < shown.size(); ++i) {
        EXPECT_EQ(view.rows[i].ping, shown[i].first) << i;
        EXPECT_EQ(view.rows[i].state, shown[i].second) << i;
        EXPECT_EQ(form.Servers()[i + 1].PingText, shown[i].first);
        EXPECT_EQ(form.Servers()[i + 1].State, shown[i].second);
    }
    // Each probe carries its own address as payload; a pass of the message loop and a 50 ms
    // pause follow every server, the failed ones and the last one included.
    EXPECT_EQ(pinger.payloads, Addresses());
    EXPECT_EQ(log, (std::vector<std::string>{"configure", "init",                        //
                                             "ping 127.0.0.41", "doevents", "pause 50",  //
                                             "ping 127.0.0.42", "doevents", "pause 50",  //
                                             "ping 127.0.0.49", "doevents", "pause 50",  //
                                             "ping game.example.com", "doevents", "pause 50",
                                             "cleanup"}));
    // While the run goes on, the rows keep their previous texts: they change together after.
    for (const auto& seen : view.rowsSeenByDoEvents) {
        for (const Row& r : seen) {
            EXPECT_EQ(r.ping, L"0ms");
            EXPECT_EQ(r.state, L"모름");
        }
    }
}

TEST_F(ServerSelectTest, AFailureAfterASuccessIsNotReadFromTheOldReply) {
    // The silent server's probe leaves the buffer holding the previous server's success.
    WriteList("127.0.0.41:Up\r\nsilent.invalid:Down\r\n");
    pinger.answers[L"127.0.0.41"] = {0, 7};
    form.Form_Load();
    EXPECT_EQ(view.rows[0].ping, L"7 ms");
    EXPECT_EQ(view.rows[1].ping, L"0 ms");
    EXPECT_EQ(view.rows[1].state, L"오류");
}

TEST_F(ServerSelectTest, ARefreshShowsAServerThatStoppedAnswering) {
    WriteList("127.0.0.41:a\r\n127.0.0.42:b\r\n");
    pinger.answers[L"127.0.0.41"] = {0, 3};
    pinger.answers[L"127.0.0.42"] = {0, 4};
    form.Form_Load();
    EXPECT_EQ(view.rows[1].state, L"정상");

    pinger.answers[L"127.0.0.42"] = {kTimedOut, 0};
    form.cmdRefresh_Click();
    EXPECT_EQ(view.rows[0].ping, L"3 ms");
    EXPECT_EQ(view.rows[0].state, L"정상");
    EXPECT_EQ(view.rows[1].ping, L"0 ms");
    EXPECT_EQ(view.rows[1].state, L"오류");
}

TEST_F(ServerSelectTest, SocketFailureAtLoadEmptiesTheCellsAndLaterKeepsTheLastOutcome) {
    WriteList("127.0.0.41:a\r\n127.0.0.42:b\r\n");
    pinger.answers[L"127.0.0.41"] = {0, 5};
    pinger.initOk = false;
    form.Form_Load();

    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].text, L"윈도우 소켓 초기화 실패");
    EXPECT_EQ(view.messages[0].title, L"");
    EXPECT_EQ(view.messages[0].style, MessageStyle::Plain);
    EXPECT_EQ(log, (std::vector<std::string>{"configure", "init", "message"}))
        << "no probe and no clean-up after a failed start";
    for (const Row& r : view.rows) {
        EXPECT_EQ(r.ping, L"");
        EXPECT_EQ(r.state, L"");
    }

    pinger.initOk = true;
    form.cmdRefresh_Click();
    pinger.initOk = false;
    form.cmdRefresh_Click();
    EXPECT_EQ(view.rows[0].ping, L"5 ms");
    EXPECT_EQ(view.rows[0].state, L"정상");
    EXPECT_EQ(view.rows[1].state, L"오류");
    EXPECT_EQ(view.messages.size(), 2u);
}

TEST_F(ServerSelectTest, ARefreshDuringARunRunsCompletelyInside) {
    WriteList("127.0.0.41:a\r\n127.0.0.42:b\r\n");
    pinger.answers[L"127.0.0.41"] = {0, 1};
    pinger.answers[L"127.0.0.42"] = {0, 2};
    form.Form_Load();
    log.clear();

    bool nested = false;
    int rowUpdatesAfterInner = 0;
    view.onDoEvents = [&](int) {
        if (!nested) {
            nested = true;
            pinger.answers[L"127.0.0.42"] = {kTimedOut, 0};
            form.cmdRefresh_Click();
            EXPECT_EQ(view.rows[1].state, L"오류") << "the inner refresh updates the rows itself";
            rowUpdatesAfterInner = view.cellWrites;
            pinger.answers[L"127.0.0.42"] = {0, 9};
        }
    };
    form.cmdRefresh_Click();
    EXPECT_EQ(log, (std::vector<std::string>{
                       "init", "ping 127.0.0.41", "doevents",                 // outer
                       "init", "ping 127.0.0.41", "doevents", "pause 50",     // inner
                       "ping 127.0.0.42", "doevents", "pause 50", "cleanup",  // inner
                       "pause 50", "ping 127.0.0.42", "doevents", "pause 50", "cleanup"}));
    EXPECT_EQ(view.cellWrites, rowUpdatesAfterInner + 4) << "the outer run updates them again";
    EXPECT_EQ(view.rows[1].ping, L"9 ms");
    EXPECT_EQ(view.rows[1].state, L"정상");
}

TEST_F(ServerSelectTest, ConnectStartsTheClientWithTheAddressAsReadAndEnds) {
    WriteList("192.0.2.10:Alpha\r\ngame.example.com:Named\r\n 192.0.2.12 :Blanks\r\n");
    form.Form_Load();
    EXPECT_EQ(view.rows[1].state, L"오류");

    const std::wstring params[] = {L"192.0.2.10 5000 qelvorin", L"game.example.com 5000 qelvorin",
                                   L" 192.0.2.12  5000 qelvorin"};
    for (int row = 1; row <= 3; ++row) {
        shell.calls.clear();
        view.selected = row;
        EXPECT_TRUE(Ends([&] { form.cmdConnect_Click(); })) << row;
        ASSERT_EQ(shell.calls.size(), 1u);
        EXPECT_EQ(shell.calls[0].file, dir.Path() + L"vt.exe");
        EXPECT_EQ(shell.calls[0].parameters, params[row - 1]);
        EXPECT_EQ(shell.calls[0].directory, dir.Path());
        EXPECT_EQ(shell.calls[0].directory.back(), L'\\');
    }
    EXPECT_TRUE(view.messages.empty());
}

TEST_F(ServerSelectTest, DoubleClickAndEnterWithAnyModifiersConnect) {
    WriteList("192.0.2.10:Alpha\r\n192.0.2.11:Beta\r\n");
    form.Form_Load();
    view.selected = 2;

    EXPECT_TRUE(Ends([&] { form.lstvServer_DblClick(); }));
    for (int shift = 0; shift <= 7; ++shift) {  // Shift 1, Ctrl 2, Alt 4
        EXPECT_TRUE(Ends([&] { form.lstvServer_KeyDown(13, shift); })) << shift;
    }
    ASSERT_EQ(shell.calls.size(), 9u);
    for (const auto& call : shell.calls) {
        EXPECT_EQ(call.parameters, L"192.0.2.11 5000 qelvorin");
    }

    for (int keyCode : {10, 27, 32, 65, 0x70}) {
        EXPECT_FALSE(Ends([&] { form.lstvServer_KeyDown(keyCode, 0); })) << keyCode;
    }
    EXPECT_EQ(shell.calls.size(), 9u);
}

TEST_F(ServerSelectTest, ConnectWithoutASelectedRowStaysInTheWindow) {
    WriteList("");
    form.Form_Load();
    EXPECT_FALSE(Ends([&] { form.cmdConnect_Click(); })) << "empty list";
    EXPECT_FALSE(Ends([&] { form.lstvServer_KeyDown(13, 0); }));

    RecordingServerView listView;
    frmServerSelect listForm(listView, pinger, shell);
    WriteList("192.0.2.10:Alpha\r\n");
    listForm.Form_Load();
    listView.selected = 0;  // no click yet
    EXPECT_FALSE(Ends([&] { listForm.lstvServer_DblClick(); }));
    listView.selected = 5;  // a position past the list
    EXPECT_FALSE(Ends([&] { listForm.cmdConnect_Click(); }));

    EXPECT_TRUE(shell.calls.empty());
    EXPECT_TRUE(view.messages.empty());
    EXPECT_TRUE(listView.messages.empty());
}

TEST_F(ServerSelectTest, ConnectDuringARunAbandonsIt) {
    WriteList("127.0.0.41:a\r\n127.0.0.42:b\r\n127.0.0.43:c\r\n");
    form.ReadSvrList();
    view.onDoEvents = [&](int n) {
        if (n == 1) {
            view.selected = 3;
            form.cmdConnect_Click();
        }
    };
    EXPECT_TRUE(Ends([&] { form.cmdRefresh_Click(); }));
    ASSERT_EQ(shell.calls.size(), 1u);
    EXPECT_EQ(shell.calls[0].parameters, L"127.0.0.43 5000 qelvorin");
    EXPECT_EQ(log, (std::vector<std::string>{"init", "ping 127.0.0.41", "doevents"}))
        << "no further probe, no clean-up";
}

TEST_F(ServerSelectTest, CancelEndsAndTheBannerOpensTheHomepage) {
    WriteList("192.0.2.10:Alpha\r\n");
    form.Form_Load();
    view.selected = 1;

    EXPECT_FALSE(Ends([&] { form.Image1_Click(); }));
    ASSERT_EQ(shell.calls.size(), 1u);
    EXPECT_EQ(shell.calls[0].file, std::wstring(VT_HOMEPAGE_URL));
    EXPECT_EQ(shell.calls[0].parameters, L"");
    EXPECT_EQ(shell.calls[0].directory, L"");

    EXPECT_TRUE(Ends([&] { form.cmdCancel_Click(); }));
    EXPECT_EQ(shell.calls.size(), 1u) << "cancel starts no client";
}

}  // namespace
}  // namespace vt
