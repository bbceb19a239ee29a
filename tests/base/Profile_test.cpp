#include "base/Profile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "base/AppError.h"
#include "base/Cp949.h"
#include "base/FileSystem.h"
#include "base/ModGame.h"
#include "tests/support/TestDir.h"

namespace vt::profile {
namespace {

using test::TestDir;

const std::string kHan = "\xC7\xD1\xB1\xDB";  // two Hangul syllables in code page 949

std::string Read(const std::wstring& path, std::string_view section, std::string_view key,
                 int32_t size = 1024, std::string_view def = "") {
    std::string out;
    int32_t n = GetString(section, key, def, out, size, path);
    EXPECT_EQ(static_cast<size_t>(n), out.size());
    return out;
}

std::vector<std::string> Names(const TestDir& dir) {
    std::wstring p = dir.Path();
    p.pop_back();
#ifdef _WIN32
    std::filesystem::path root(p);
#else
    std::string s = ToUtf8(p);
    std::replace(s.begin(), s.end(), '\\', '/');
    std::filesystem::path root(s);
#endif
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(root)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Replaces a file the way the download does: delete, then write anew through the file layer.
void Rewrite(const std::wstring& path, const std::string& bytes) {
    fs::DeleteFile(path);
    auto out = fs::CreateOutputFile(path);
    ASSERT_NE(out, nullptr);
    ASSERT_TRUE(out->Write(std::as_bytes(std::span(bytes.data(), bytes.size()))));
}

// Reads until `expected` comes or a deadline far beyond the trust interval has passed; the
// last value read.
std::string ReadUntil(const std::function<std::string()>& read, const std::string& expected) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string got = read();
    while (got != expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        got = read();
    }
    return got;
}

class ProfileTest : public ::testing::Test {
  protected:
    void SetUp() override { ClearCache(); }
    void TearDown() override { ClearCache(); }
    TestDir dir_;
};

TEST_F(ProfileTest, NamesMatchWithoutCaseAndMissingPartsReadAsDefault) {
    dir_.Write(L"a.ini", "[Sound]\r\nCount=3\r\n1=a.wav:1\r\n");
    std::wstring a = dir_ / L"a.ini";
    EXPECT_EQ(Read(a, "sound", "count"), "3");
    EXPECT_EQ(Read(a, "SOUND", "COUNT"), "3");
    EXPECT_EQ(Read(a, " sound ", "\tcount "), "3") << "blanks around asked names are dropped";
    EXPECT_EQ(Read(a, "sound", "2"), "");
    EXPECT_EQ(Read(a, "graphics", "count"), "");
    EXPECT_EQ(Read(dir_ / L"none.ini", "sound", "count"), "");
    EXPECT_EQ(Read(dir_ / L"none.ini", "sound", "count", 1024, "dflt  "), "dflt");
}

TEST_F(ProfileTest, LayoutRulesOfTheLoader) {
    dir_.Write(L"a.ini",
               "top=0\n"
               "[s]\r\n"
               "dup=first\r\nDUP=second\r\n"
               "  spaced key  =  spaced value \t\r\n"
               "bare\r\nbare=later\r\n"
               ";c=comment\n"
               "eq=a=b\r"
               "empty=\r\n"
               "=nameless\r\n"
               "[ pad ]x\r\nk=padded\r\n"
               "[nobracket\r\nk2=still s\r\n"
               "[S]\r\nonly=in second\r\n");
    std::wstring a = dir_ / L"a.ini";
    EXPECT_EQ(Read(a, "", "top"), "0") << "keys before any header form the nameless section";
    EXPECT_EQ(Read(a, "s", "dup"), "first");
    EXPECT_EQ(Read(a, "s", "spaced key"), "spaced value");
    EXPECT_EQ(Read(a, "s", "bare"), "") << "a line without '=' hides later lines of its name";
    EXPECT_EQ(Read(a, "s", ";c"), "comment") << "';' starts no comment";
    EXPECT_EQ(Read(a, "s", "eq"), "a=b");
    EXPECT_EQ(Read(a, "s", "empty"), "");
    EXPECT_EQ(Read(a, "s", ""), "nameless");
    EXPECT_EQ(Read(a, "pad", "k"), "padded");
    EXPECT_EQ(Read(a, "pad", "k2"), "still s") << "a header without ']' is a key line";
    EXPECT_EQ(Read(a, "s", "only"), "") << "only the first section of a name is searched";
}

TEST_F(ProfileTest, OnePairOfEqualQuotesIsDropped) {
    dir_.Write(L"q.ini",
               "[s]\r\nd=\"dq\"\r\ns='sq'\r\nm=\"mixed'\r\none=\"\r\ntwo=\"\"\r\n"
               "in= \" keep \" \r\nmid=\"a\"b\"\r\n");
    std::wstring q = dir_ / L"q.ini";
    EXPECT_EQ(Read(q, "s", "d"), "dq");
    EXPECT_EQ(Read(q, "s", "s"), "sq");
    EXPECT_EQ(Read(q, "s", "m"), "\"mixed'");
    EXPECT_EQ(Read(q, "s", "one"), "\"");
    EXPECT_EQ(Read(q, "s", "two"), "");
    EXPECT_EQ(Read(q, "s", "in"), " keep ");
    EXPECT_EQ(Read(q, "s", "mid"), "a\"b");
    // The closing quote cut off by the size takes one more character with it.
    EXPECT_EQ(Read(q, "s", "d", 2), "d");
    EXPECT_EQ(Read(q, "s", "d", 3), "d");
    EXPECT_EQ(Read(q, "s", "d", 4), "dq");
}

TEST_F(ProfileTest, ReadsStopAtSizeMinusOneBytesAndWholeCharacters) {
    std::string hangul;
    for (int i = 0; i < 600; ++i) {
        hangul += kHan.substr(0, 2);
    }
    dir_.Write(L"l.ini", "[s]\r\na=" + std::string(1023, 'a') + "\r\nb=" + std::string(1024, 'b') +
                             "\r\nc=" + std::string(5000, 'c') + "\r\nh=" + hangul + "\r\nodd=x" +
                             hangul + "\r\nq=\"" + std::string(1023, 'q') + "\"\r\n");
    std::wstring l = dir_ / L"l.ini";
    EXPECT_EQ(Read(l, "s", "a"), std::string(1023, 'a'));
    EXPECT_EQ(Read(l, "s", "b"), std::string(1023, 'b'));
    EXPECT_EQ(Read(l, "s", "c"), std::string(1023, 'c'));
    EXPECT_EQ(Read(l, "s", "h"), hangul.substr(0, 1022)) << "no half character at the end";
    EXPECT_EQ(Read(l, "s", "odd"), "x" + hangul.substr(0, 1022));
    EXPECT_EQ(Read(l, "s", "q"), std::string(1022, 'q'));
    EXPECT_EQ(Read(l, "s", "a", 1), "");
    EXPECT_EQ(Read(l, "s", "a", 0), "");
    EXPECT_EQ(Read(l, "s", "h", 4), kHan.substr(0, 2));
}

TEST_F(ProfileTest, KoreanNamesFoldOnlyAsciiLetters) {
    // "\xB0\x41" and "\xB0\x61" are two different syllables whose second bytes are 'A' and 'a'.
    dir_.Write(L"k.ini", "[" + kHan + "]\r\n" + kHan + "=" + kHan + "\r\n\xB0\x41=upper\r\n" +
                             "\xA3\xC1=wide\r\nsp=\xA1\xA1v\xA1\xA1\r\n");
    std::wstring k = dir_ / L"k.ini";
    EXPECT_EQ(Read(k, kHan, kHan), kHan);
    EXPECT_EQ(Read(k, kHan, "\xB0\x41"), "upper");
    EXPECT_EQ(Read(k, kHan, "\xB0\x61"), "");
    EXPECT_EQ(Read(k, kHan, "\xA3\xE1"), "") << "wide letters are not folded";
    EXPECT_EQ(Read(k, kHan, "sp"), "\xA1\xA1v\xA1\xA1") << "the ideographic blank is kept";
    EXPECT_EQ(ReadProfileValue(L"한글", L"한글", k), L"한글");
}

TEST_F(ProfileTest, ByteOrderMarkIsSkippedAndKept) {
    dir_.Write(L"b.ini", "\xEF\xBB\xBF[s]\r\nk=1\r\n");
    std::wstring b = dir_ / L"b.ini";
    EXPECT_EQ(Read(b, "s", "k"), "1");
    ASSERT_TRUE(WriteString("s", "k", "2", b));
    EXPECT_EQ(dir_.Read(L"b.ini"), "\xEF\xBB\xBF[s]\r\nk=2\r\n");
}

TEST_F(ProfileTest, WritesBuildTheSameLayoutAsWindows) {
    std::wstring w = dir_ / L"w.ini";
    ASSERT_TRUE(WriteString("s", "k", "v", w));
    ASSERT_TRUE(WriteString("s", "K2", "  v2", w));
    ASSERT_TRUE(WriteString(" T ", " k ", "", w));
    ASSERT_TRUE(WriteString("S", "K", "new", w));
    ASSERT_TRUE(WriteString("", "top", "1", w));
    EXPECT_EQ(dir_.Read(L"w.ini"), "top=1\r\n[s]\r\nk=new\r\nK2=v2\r\n[T]\r\nk=\r\n");
    EXPECT_EQ(Read(w, "t", "K"), "");
    EXPECT_EQ(Read(w, "s", "k2"), "v2");
}

TEST_F(ProfileTest, WritesKeepTheRestOfTheFileByteForByte) {
    const std::string before =
        "; notes\n[s]\nk = old \n\n  other=1\n\n[t]\nx=\"1\"\nbare\nbad=\x81 \xFF\n[u]\nlast=1";
    dir_.Write(L"f.ini", before);
    std::wstring f = dir_ / L"f.ini";
    ASSERT_TRUE(WriteString("s", "k", "new", f));
    ASSERT_TRUE(WriteString("s", "added", "2", f));
    ASSERT_TRUE(WriteString("t", "bare", "3", f));
    ASSERT_TRUE(WriteString("u", "tail", "4", f));
    ASSERT_TRUE(WriteString("v", "k", "5", f));
    EXPECT_EQ(dir_.Read(L"f.ini"),
              "; notes\n[s]\nk = new \n\n  other=1\nadded=2\n\n[t]\nx=\"1\"\nbare=3\n"
              "bad=\x81 \xFF\n[u]\nlast=1\ntail=4\n[v]\nk=5\n");
    EXPECT_EQ(Read(f, "t", "bad"), "\x81 \xFF") << "bytes that are no characters survive";
}

// Writes bring the parsed copy along instead of parsing the file again; every later read and
// write must find exactly what a fresh parse of the file finds.
TEST_F(ProfileTest, ACopyBroughtAlongWithWritesMatchesAFreshParse) {
    dir_.Write(L"m.ini", "top=0\n[a]\nk1 = one \n\nbare\n[b]\nx=1\n[a]\nk1=hidden\n[c]\nlast=9");
    std::wstring m = dir_ / L"m.ini";
    const std::vector<std::tuple<std::string, std::string, std::string>> writes = {
        {"a", "k1", "longer value"}, {"b", "x", "2"},    {"a", "new", kHan},
        {"c", "added", "3"},         {"", "top", "7"},   {"a", "k1", "s"},
        {"b", "y", "\"q\""},         {"a", "bare", "5"}, {"d", "fresh", "6"},
        {"c", "last", "10"},         {"", "also", "8"},  {"a", "K1", "end"}};
    for (const auto& [section, key, value] : writes) {
        ASSERT_TRUE(WriteString(section, key, value, m)) << section << "/" << key;
    }
    const std::vector<std::pair<std::string, std::string>> keys = {
        {"", "top"}, {"", "also"}, {"a", "k1"},    {"a", "new"},  {"a", "bare"},
        {"b", "x"},  {"b", "y"},   {"c", "added"}, {"c", "last"}, {"d", "fresh"}};
    std::vector<std::string> cached;
    for (const auto& [section, key] : keys) {
        cached.push_back(Read(m, section, key, 1024, "-"));
    }
    ClearCache();
    for (size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(cached[i], Read(m, keys[i].first, keys[i].second, 1024, "-"))
            << keys[i].first << "/" << keys[i].second;
    }
    EXPECT_EQ(cached[2], "end");
    EXPECT_EQ(cached[3], kHan);
    EXPECT_EQ(cached[6], "q");
    EXPECT_EQ(dir_.Read(L"m.ini"),
              "top=7\nalso=8\n[a]\nk1 = end \n\nbare=5\nnew=" + kHan +
                  "\n[b]\nx=2\ny=\"q\"\n[a]\nk1=hidden\n[c]\nlast=10\nadded=3\n[d]\nfresh=6\n");
}

// Random files of every layout the loader knows and random writes into them: the copy each
// write brings along must behave as a fresh parse of the file. Each step is compared three ways:
// the bytes written against the same write into a file the engine has never seen (so it parses
// it afresh), the answer (written or refused) alike, and every read against a fresh parse.
TEST_F(ProfileTest, CopiesBroughtAlongWithWritesBehaveAsFreshParses) {
    std::mt19937 rng(20261208);
    auto pick = [&](const auto& options) { return options[rng() % options.size()]; };
    const std::vector<std::string> sections = {"", "a", "B", "c d", "a]x", kHan, "new"};
    const std::vector<std::string> keys = {"k",   "K",  " k2 ",          "[z", "bare", kHan,
                                           "x y", ";c", "\xEF\xBB\xBFk", "n1", "n2"};
    const std::vector<std::string> values = {
        "", "1", "  v", "v  ", "\"q\"", "x]y", "a=b", "long value with blanks", kHan, "'", " "};
    const std::vector<std::string> breaks = {"\r\n", "\n", "\r"};
    auto randomFile = [&] {
        std::string text = rng() % 4 == 0 ? "\xEF\xBB\xBF" : "";
        const std::string br = pick(breaks);
        const int lines = static_cast<int>(rng() % 9);
        for (int i = 0; i < lines; ++i) {
            switch (rng() % 6) {
                case 0:
                    text += "[" + pick(sections) + "]";
                    break;
                case 1:
                    text += pick(keys);
                    break;
                case 2:
                    text += "";
                    break;
                default:
                    text += pick(keys) + (rng() % 2 ? " = " : "=") + pick(values);
            }
            if (i + 1 < lines || rng() % 3 != 0) {
                text += br;
            }
        }
        return text;
    };
    auto readAll = [&](const std::wstring& path) {
        std::vector<std::string> out;
        for (const std::string& section : sections) {
            for (const std::string& key : keys) {
                out.push_back(Read(path, section, key, 1024, "<none>"));
            }
        }
        return out;
    };
    int fresh = 0;
    int written = 0;
    for (int round = 0; round < 30; ++round) {
        const std::wstring kept = dir_ / (L"kept" + std::to_wstring(round) + L".ini");
        const std::string start = randomFile();
        if (rng() % 8 != 0) {  // sometimes the file is not there at all
            dir_.Write(L"kept" + std::to_wstring(round) + L".ini", start);
        }
        for (int step = 0; step < 10; ++step) {
            const std::string section = pick(sections);
            const std::string key = pick(keys);
            const std::string value = pick(values);
            // The same write into a copy the engine has never parsed.
            const std::wstring name = L"fresh" + std::to_wstring(++fresh) + L".ini";
            const bool existed = fs::Exists(kept);
            if (existed) {
                dir_.Write(name, dir_.Read(kept.substr(dir_.Path().size())));
            }
            const bool freshAnswer = WriteString(section, key, value, dir_ / name);
            const bool keptAnswer = WriteString(section, key, value, kept);
            ASSERT_EQ(keptAnswer, freshAnswer) << round << "/" << step;
            written += keptAnswer;
            ASSERT_EQ(dir_.Read(kept.substr(dir_.Path().size())), dir_.Read(name))
                << "round " << round << " step " << step << ": [" << section << "] " << key << "="
                << value;
            // Every read of the copy brought along against a file parsed afresh.
            const std::wstring again = L"again" + std::to_wstring(fresh) + L".ini";
            dir_.Write(again, dir_.Read(name));
            ASSERT_EQ(readAll(kept), readAll(dir_ / again)) << round << "/" << step;
            fs::DeleteFile(dir_ / name);
            fs::DeleteFile(dir_ / again);
        }
        const std::vector<std::string> cached = readAll(kept);
        ClearCache();
        EXPECT_EQ(cached, readAll(kept)) << "after ClearCache, round " << round;
    }
    EXPECT_GT(written, 150) << "most writes are taken";
}

// WriteStrings puts many keys in one replacement of the file, all or nothing.
TEST_F(ProfileTest, ManyKeysGoInOneWriteOrNoneDo) {
    dir_.Write(L"b.ini", "x=0\n[s]\nk1 = old \nbare\n[t]\nz=1");
    std::wstring b = dir_ / L"b.ini";
    const std::vector<std::pair<std::string, std::string>> entries = {
        {"k1", "new"}, {"n1", "1"}, {"bare", "2"}, {"K1", "newer"}, {"n2", kHan}};
    ASSERT_TRUE(WriteStrings("s", entries, b));
    EXPECT_EQ(dir_.Read(L"b.ini"),
              "x=0\n[s]\nk1 = newer \nbare=2\nn1=1\nn2=" + kHan + "\n[t]\nz=1");
    ASSERT_TRUE(WriteStrings("t", std::vector<std::pair<std::string, std::string>>{{"y", "2"}}, b))
        << "after a last line without a line break";
    ASSERT_TRUE(WriteStrings("u", entries, b)) << "a new section";
    EXPECT_EQ(dir_.Read(L"b.ini"), "x=0\n[s]\nk1 = newer \nbare=2\nn1=1\nn2=" + kHan +
                                       "\n[t]\nz=1\ny=2\n[u]\nk1=newer\nn1=1\nbare=2\nn2=" + kHan +
                                       "\n");
    const std::string before = dir_.Read(L"b.ini");
    const std::vector<std::pair<std::string, std::string>> oneBad = {{"ok", "1"}, {"[x", "a]b"}};
    EXPECT_FALSE(WriteStrings("s", oneBad, b));
    EXPECT_EQ(dir_.Read(L"b.ini"), before);
    const std::vector<std::pair<std::string, std::string>> same = {{"n1", "1"}, {"z", "1"}};
    ASSERT_TRUE(WriteStrings("T", same, b));
    EXPECT_EQ(Read(b, "t", "n1"), "1");
    ClearCache();
    EXPECT_EQ(Read(b, "u", "n2"), kHan);
    EXPECT_EQ(Read(b, "t", "n1"), "1");
}

TEST_F(ProfileTest, WritingTheValueAlreadyThereLeavesTheFileAlone) {
    dir_.Write(L"s.ini", "[s]\nk = \"1\"  \n");
    std::wstring s = dir_ / L"s.ini";
    ASSERT_TRUE(WriteString("S", "K", "\"1\"", s));
    EXPECT_EQ(dir_.Read(L"s.ini"), "[s]\nk = \"1\"  \n");
    ASSERT_TRUE(WriteString("s", "k", "1", s)) << "the stored text differs, so this writes";
    EXPECT_EQ(dir_.Read(L"s.ini"), "[s]\nk = 1  \n");
}

TEST_F(ProfileTest, RefusesWhatWouldBreakTheFile) {
    dir_.Write(L"r.ini", "[s]\r\nk=1\r\n");
    std::wstring r = dir_ / L"r.ini";
    EXPECT_FALSE(WriteString("s", "k", "a\r\nb=c", r));
    EXPECT_FALSE(WriteString("s", "a=b", "1", r));
    EXPECT_FALSE(WriteString("s", "[x]", "1", r));
    EXPECT_FALSE(WriteString("s\n[t]", "k", "1", r));
    EXPECT_FALSE(WriteString("s", std::string_view("k\0x", 3), "1", r));
    EXPECT_EQ(dir_.Read(L"r.ini"), "[s]\r\nk=1\r\n");
    EXPECT_EQ(Names(dir_), std::vector<std::string>{"r.ini"});
}

TEST_F(ProfileTest, RefusesLinesThatWouldReadBackUnderAnotherNameOrSection) {
    const std::string before = "[s]\r\nk=1\r\n[a\r\nlater=2\r\n";
    dir_.Write(L"h.ini", before);
    std::wstring h = dir_ / L"h.ini";
    // "[x=a]b" reads as the header of a section "x=a": the key is lost and every later key of
    // [s] would move into that section.
    EXPECT_FALSE(WriteString("s", "[x", "a]b", h));
    EXPECT_FALSE(WriteString("s", " [x ", "]", h));
    EXPECT_FALSE(WriteString("s", "[a", "]", h)) << "a key line without '=' that is there";
    EXPECT_FALSE(WriteString("t", "[x", "1]", h)) << "in a section the write would add";
    EXPECT_EQ(dir_.Read(L"h.ini"), before);

    // Keys that only look special read back: ';' starts no comment, blanks go on both sides.
    ASSERT_TRUE(WriteString("s", "[x", "a)b", h));
    ASSERT_TRUE(WriteString("s", ";c", "]", h));
    ASSERT_TRUE(WriteString("s", "  padded\t", "v", h));
    EXPECT_EQ(Read(h, "s", "[x"), "a)b");
    EXPECT_EQ(Read(h, "s", ";c"), "]");
    EXPECT_EQ(Read(h, "s", " padded "), "v");
    EXPECT_EQ(Read(h, "s", "later"), "2");
    EXPECT_EQ(Read(h, "s", "k"), "1");

    // A byte-order mark opening the file is skipped, so it cannot start the first name.
    std::wstring b = dir_ / L"b.ini";
    EXPECT_FALSE(WriteString("", "\xEF\xBB\xBFk", "1", b));
    EXPECT_FALSE(fs::Exists(b));
    ASSERT_TRUE(WriteString("s", "\xEF\xBB\xBFk", "1", b)) << "below a header it is a name";
    EXPECT_EQ(Read(b, "s", "\xEF\xBB\xBFk"), "1");
}

TEST_F(ProfileTest, StoredFormsReadBackByteForByte) {
    std::wstring v = dir_ / L"v.ini";
    const std::vector<std::string> values = {"1.0",
                                             "",
                                             "\"v1\"",
                                             "'v1'",
                                             " v1",
                                             "v1 ",
                                             "\tv1\x1a",
                                             "\"",
                                             "\"v1'",
                                             "a\"b\"",
                                             "\"\"",
                                             " " + kHan + " ",
                                             "x\x81",
                                             "\x81 \xFF",
                                             "'\x81'",
                                             std::string(1023, 'a'),
                                             " " + std::string(1020, 'b') + " "};
    for (size_t i = 0; i < values.size(); ++i) {
        std::optional<std::string> stored = StoredForm(values[i], 1024);
        ASSERT_TRUE(stored.has_value()) << i;
        ASSERT_TRUE(WriteString("s", std::to_string(i), *stored, v));
        EXPECT_EQ(Read(v, "s", std::to_string(i)), values[i]) << i;
    }
    // The plain form wherever it reads back: what older launchers wrote stays as it is.
    EXPECT_EQ(StoredForm("1.0", 1024), "1.0");
    EXPECT_EQ(StoredForm("\"v1\"", 1024), "\"\"v1\"\"");
    EXPECT_EQ(StoredForm("v1 ", 1024), "\"v1 \"");

    EXPECT_EQ(StoredForm(" \x81", 1024), std::nullopt) << "the lead byte takes the closing quote";
    EXPECT_EQ(StoredForm("a\nb", 1024), std::nullopt);
    EXPECT_EQ(StoredForm(std::string_view("a\0b", 3), 1024), std::nullopt);
    EXPECT_EQ(StoredForm(std::string(1024, 'a'), 1024), std::nullopt);
    EXPECT_EQ(StoredForm(" " + std::string(1022, 'a'), 1024), std::nullopt)
        << "quoted, at most 1022 bytes read back";
}

TEST_F(ProfileTest, ByteValuesKeepWhatTheCodePageCannotHold) {
    std::wstring m = dir_ / L"m.ini";
    // The first two decode to the same text on every build ('?' or a replacement character).
    ASSERT_EQ(FromCp949("v\x81"), FromCp949("v\x82"));
    for (const std::string& value :
         {std::string("v\x81"), std::string("v\x82"), std::string("\x81:1"), std::string(" v\xFF "),
          std::string("\"v\x80\"")}) {
        WriteProfileBytes(L"s", L"k", value, m);
        EXPECT_EQ(ReadProfileBytes(L"s", L"k", m), value);
    }
    EXPECT_THROW(WriteProfileBytes(L"s", L"k", " \x81", m), AppError);
    EXPECT_EQ(dir_.Read(L"m.ini"), "[s]\r\nk=\"\"v\x80\"\"\r\n") << "the refused value left it";
    EXPECT_FALSE(ProfileCanRecord(" \x81"));
    EXPECT_TRUE(ProfileCanRecord(" \x81\x81"));

    // A plain value an older launcher wrote reads back as itself and is not rewritten.
    dir_.Write(L"old.ini", "[s]\nk = 1.0 \n");
    std::wstring old = dir_ / L"old.ini";
    EXPECT_EQ(ReadProfileBytes(L"s", L"k", old), "1.0");
    WriteProfileBytes(L"s", L"k", "1.0", old);
    EXPECT_EQ(dir_.Read(L"old.ini"), "[s]\nk = 1.0 \n");
}

TEST_F(ProfileTest, WriteIsAtomicAndCreatesNoDirectory) {
    std::wstring missing = dir_ / L"nodir\\x.ini";
    EXPECT_FALSE(WriteString("s", "k", "1", missing));
    EXPECT_FALSE(fs::Exists(dir_ / L"nodir"));
    EXPECT_THROW(WriteProfileValue(L"s", L"k", L"1", missing), AppError);

    std::wstring w = dir_ / L"w.ini";
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(WriteString("s", std::to_string(i), "v", w));
    }
    EXPECT_EQ(Names(dir_), std::vector<std::string>{"w.ini"}) << "no temporary file is left";

    // A target that cannot be replaced (a directory) fails and leaves nothing behind.
    ASSERT_TRUE(fs::CreateDir(dir_ / L"busy.ini"));
    EXPECT_FALSE(WriteString("s", "k", "1", dir_ / L"busy.ini"));
    EXPECT_TRUE(fs::IsDirectory(dir_ / L"busy.ini"));
    EXPECT_EQ(Names(dir_), (std::vector<std::string>{"busy.ini", "w.ini"}));
}

TEST_F(ProfileTest, TheNextWriteClearsTemporaryFilesAKilledWriterLeft) {
    std::wstring w = dir_ / L"w.ini";
    dir_.Write(L"w.ini", "[s]\r\nk=1\r\n");
    dir_.Write(L"w.ini.4242.7.tmp", "[s]\r\nk=");  // killed before its rename
    dir_.Write(L"w.ini.keep", "x");
    dir_.Write(L"other.ini.4242.8.tmp", "x");
    ASSERT_TRUE(WriteString("s", "k", "2", w));
    EXPECT_EQ(Names(dir_),
              (std::vector<std::string>{"other.ini.4242.8.tmp", "w.ini", "w.ini.keep"}));
    EXPECT_EQ(Read(w, "s", "k"), "2");
}

TEST_F(ProfileTest, NoticesFilesReplacedOrDeletedBehindItsBack) {
    std::wstring m = dir_ / L"m.ini";
    dir_.Write(L"m.ini", "[sound]\r\ncount=1\r\n");
    EXPECT_EQ(Read(m, "sound", "count"), "1");

    // Replaced through the file layer, as a download does: seen at the very next read.
    Rewrite(m, "[sound]\r\ncount=2\r\n");
    EXPECT_EQ(Read(m, "sound", "count"), "2");
    fs::DeleteFile(m);
    EXPECT_EQ(Read(m, "sound", "count"), "");
    Rewrite(m, "[sound]\r\ncount=3\r\n");
    EXPECT_EQ(Read(m, "sound", "count"), "3");

    // Changed by someone else entirely: seen once the short trust interval is over.
    dir_.Write(L"m.ini", "[sound]\r\ncount=40\r\n");
    EXPECT_EQ(ReadUntil([&] { return Read(m, "sound", "count"); }, "40"), "40");

    // A write through the engine reads back at once and keeps the other keys.
    WriteProfileValue(L"sound", L"가.wav", L"1.0", m);
    EXPECT_EQ(ReadProfileValue(L"SOUND", L"가.wav", m), L"1.0");
    EXPECT_EQ(Read(m, "sound", "count"), "40");
    EXPECT_EQ(dir_.Read(L"m.ini"), "[sound]\r\ncount=40\r\n\xB0\xA1.wav=1.0\r\n");
}

TEST_F(ProfileTest, ManyEntriesReadAndWriteBack) {
    std::string text = "[sound]\r\ncount=3000\r\n";
    for (int i = 1; i <= 3000; ++i) {
        text +=
            std::to_string(i) + "=f" + std::to_string(i) + ".wav:" + std::to_string(i % 7) + "\r\n";
    }
    dir_.Write(L"big.ini", text);
    std::wstring big = dir_ / L"big.ini";
    for (int i = 1; i <= 3000; i += 37) {
        std::string expected = "f";
        expected.append(std::to_string(i)).append(".wav:").append(std::to_string(i % 7));
        EXPECT_EQ(Read(big, "Sound", std::to_string(i)), expected);
    }
    ASSERT_TRUE(WriteString("sound", "1500", "changed", big));
    EXPECT_EQ(Read(big, "sound", "1500"), "changed");
    EXPECT_EQ(Read(big, "sound", "1501"), "f1501.wav:3");
    EXPECT_EQ(dir_.Read(L"big.ini").size(), text.size() - std::string("f1500.wav:2").size() + 7);
}

}  // namespace
}  // namespace vt::profile
