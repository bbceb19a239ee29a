// Our profile engine against the system's GetPrivateProfileStringA and
// WritePrivateProfileStringA on the same files.
//
// Where ours differs on purpose (each difference is asserted below, not skipped):
// - bytes that are not valid code page 949 are kept as they are; the system turns a lead byte
//   and its follower into '?' and writes that back on its next rewrite;
// - a value cut at the buffer size never ends in half a Hangul character (1022 whole bytes
//   instead of 1023 with the last one unwritten);
// - a write edits one line and keeps every other byte; the system rewrites the whole file in
//   its own layout and drops "[]" headers, moving their keys into the previous section;
// - blanks after a new section or key name are not written (both read the same);
// - writes that could not be read back as written are refused: a line break or NUL in section,
//   key or value, '=' in a key, a key starting with '[' on a line that holds a ']' (in key or
//   value: the system writes it and the line reads as a header, see
//   HeaderShapedLinesAreRefusedWhereTheSystemLosesTheKey), or a key starting with a UTF-8
//   byte-order mark as the file's first line;
// - a UTF-8 byte-order mark is skipped and kept; the text behind it is still code page 949;
// - a kill during a write leaves the old or the new file; the system truncates in place.
#include <windows.h>

#include <gtest/gtest.h>

#include <random>

#include "base/Cp949.h"
#include "base/Profile.h"
#include "tests/support/TestDir.h"

namespace vt::profile {
namespace {

using test::TestDir;

const std::string kHan = "\xC7\xD1\xB1\xDB";

// The buffer starts filled with '#': a byte the system did not write stays '#'.
std::string SystemRead(const std::string& section, const std::string& key, const std::string& def,
                       int32_t size, const std::wstring& path) {
    std::string buf(static_cast<size_t>(size) + 8, '#');
    DWORD n = GetPrivateProfileStringA(section.c_str(), key.c_str(), def.c_str(), buf.data(),
                                       static_cast<DWORD>(size), ToCp949(path).c_str());
    return buf.substr(0, n);
}

std::string OurRead(const std::string& section, const std::string& key, const std::string& def,
                    int32_t size, const std::wstring& path) {
    std::string out;
    int32_t n = GetString(section, key, def, out, size, path);
    EXPECT_EQ(static_cast<size_t>(n), out.size());
    return out;
}

std::string Show(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        char hex[8];
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out.size() > 300 ? out.substr(0, 300) + "...(" + std::to_string(s.size()) + ")" : out;
}

struct Tally {
    int same = 0;
    int halfCharacter = 0;  // the system counts a byte it did not write; we stop before it
};

void ExpectSameRead(const std::string& section, const std::string& key, const std::string& def,
                    int32_t size, const std::wstring& path, Tally& tally, const std::string& file) {
    std::string sys = SystemRead(section, key, def, size, path);
    std::string ours = OurRead(section, key, def, size, path);
    if (sys == ours) {
        ++tally.same;
        return;
    }
    if (sys == ours + "#") {
        ++tally.halfCharacter;
        return;
    }
    ADD_FAILURE() << "[" << Show(section) << "] " << Show(key) << " size " << size << " def '"
                  << Show(def) << "'\n system: '" << Show(sys) << "'\n ours:   '" << Show(ours)
                  << "'\n file: " << Show(file);
}

TEST(ProfileDiff, HandWrittenFiles) {
    TestDir dir;
    std::string long1023(1023, 'a');
    std::string hangul;
    for (int i = 0; i < 600; ++i) {
        hangul += kHan.substr(0, 2);
    }
    const std::vector<std::string> files = {
        "[Sound]\r\nKey=v1\r\nkey=v2\r\n  spaced key  =  spaced val  \r\nnoeq\r\nnoeq=later\r\n"
        ";c=1\r\nq1=\"quoted\"\r\nq2='single'\r\nq3=\"mix'\r\nq4=\"\r\nq5=\"\"\r\nq6= \" in \" \r\n"
        "q7=\"a\"b\"\r\nempty=\r\nblank=   "
        "\r\nvt=\x0bv\x0c\r\neq=a=b\r\n=nokey\r\nsub=\x1av\x1a\r\n"
        "[sound]\r\nother=o\r\n[ pad ]x\r\nk=p\r\n[z\r\nk=z\r\n",
        "pre=1\n[]\ne=2\n[s]\nk=lf\n\nk2 = v2 \n[t]\rk=cr\rj=cr2\r",
        "\xEF\xBB\xBF[s]\r\nk=bom\r\n",
        "[" + kHan + "]\r\n" + kHan +
            "=\xB0\xA1\r\nA\xA1\xA1=fw\r\nx=\xA1\xA1v\xA1\xA1\r\n"
            "\xB0\x41=lowA\r\n\xA3\xC1=wide\r\n",
        "[s]\r\na=" + long1023 + "\r\nb=" + long1023 + "b\r\nc=" + std::string(3000, 'c') +
            "\r\nh=" + hangul + "\r\nh2=x" + hangul + "\r\nq=\"" + long1023 + "\"\r\nq2=\"" +
            long1023.substr(1) + "\"\r\nq3=\"" + long1023 + "xx\"\r\nqh=\"" + hangul + "\"\r\n",
    };
    const std::vector<std::string> sections = {"sound", "SOUND", " sound ", "Sound", "pad",
                                               " pad ", "z",     "[z",      "",      "s",
                                               "t",     "S",     kHan,      "nosuch"};
    const std::vector<std::string> keys = {
        "key",      "KEY",      "other",    "spaced key", " spaced key ",
        "noeq",     ";c",       "q1",       "q2",         "q3",
        "q4",       "q5",       "q6",       "q7",         "empty",
        "blank",    "vt",       "eq",       "",           "sub",
        "k",        "k2",       "j",        "pre",        "e",
        "a",        "b",        "c",        "h",          "h2",
        "q",        "qh",       kHan,       "A",          "x",
        "\xB0\x41", "\xB0\x61", "\xA3\xE1", "nosuch"};
    const std::vector<int32_t> sizes = {1024, 1, 2, 3, 4, 6, 7, 8, 1023, 1025};
    const std::vector<std::string> defaults = {"", "dflt", "dflt  ", "\"dq\"", "  lead"};
    Tally tally;
    for (size_t f = 0; f < files.size(); ++f) {
        std::wstring name = L"h" + std::to_wstring(f) + L".ini";
        dir.Write(name, files[f]);
        for (const auto& s : sections) {
            for (const auto& k : keys) {
                for (int32_t size : sizes) {
                    ExpectSameRead(s, k, "", size, dir / name, tally, files[f]);
                }
            }
        }
        for (const auto& d : defaults) {
            for (int32_t size : sizes) {
                ExpectSameRead("nosuch", "k", d, size, dir / name, tally, files[f]);
            }
        }
    }
    for (const auto& d : defaults) {
        ExpectSameRead("s", "k", d, 1024, dir / L"missing.ini", tally, "(none)");
    }
    EXPECT_GT(tally.halfCharacter, 0) << "the Hangul values cut at 1023 bytes";
    std::printf("hand-written reads: %d equal, %d differ only by a half character\n", tally.same,
                tally.halfCharacter);
}

// Random files out of the pieces that matter, with a fixed seed.
class Generator {
  public:
    explicit Generator(uint32_t seed) : rng_(seed) {}

    int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    bool Chance(int percent) { return Pick(100) < percent; }

    std::string Blanks() {
        static const char* kBlanks[] = {"", "", "", " ", "  ", "\t", " \t "};
        return kBlanks[Pick(7)];
    }
    std::string Case(std::string name) {
        for (size_t i = 0; i < name.size(); ++i) {
            auto b = static_cast<unsigned char>(name[i]);
            if (b >= 0x81) {
                ++i;  // keep double-byte characters whole
            } else if (Chance(50)) {
                name[i] = static_cast<char>(std::toupper(b));
            }
        }
        return name;
    }
    std::string SectionName() {
        static const std::vector<std::string> kNames = {"sound", "card1", "Graphics",
                                                        kHan,    "",      "s" + kHan};
        return kNames[static_cast<size_t>(Pick(6))];
    }
    std::string KeyName() {
        static const std::vector<std::string> kNames = {
            "count", "1",        "2",        "10", "a.wav", kHan + ".wav",
            "Key",   "\xB0\x41", "\xB0\x61", ";x", "x y"};
        return kNames[static_cast<size_t>(Pick(11))];
    }
    std::string Hangul(int chars) {
        std::string out;
        for (int i = 0; i < chars; ++i) {
            out += static_cast<char>(0xB0 + Pick(0x17));
            out += static_cast<char>(0xA1 + Pick(0x5E));
        }
        return out;
    }
    std::string Value(bool forWrite) {
        std::string v;
        switch (Pick(forWrite ? 7 : 9)) {
            case 0:
                v = "";
                break;
            case 1:
                v = "name.wav:" + std::to_string(Pick(100));
                break;
            case 2:
                v = Hangul(1 + Pick(4)) + ":" + Hangul(Pick(3));
                break;
            case 3:
                v = std::string(1015 + Pick(15), 'v');
                break;
            case 4:
                v = std::string(static_cast<size_t>(Pick(2)), 'x') + Hangul(508 + Pick(6));
                break;
            case 5:
                v = "a=b:" + std::to_string(Pick(9));
                break;
            case 6:
                v = "x y:1.0";
                break;
            case 7:
                v = "\"" + Hangul(Pick(3)) + "\"";
                break;
            default:
                v = "'1.0'";
                break;
        }
        if (!forWrite && Chance(20)) {
            static const char* kQuotes[] = {"\"", "'"};
            const char* q = kQuotes[Pick(2)];
            v = q + v + (Chance(70) ? q : "");
        }
        return v;
    }
    std::string LineBreak() {
        static const char* kBreaks[] = {"\r\n", "\r\n", "\n", "\r", "\r\n\r\n", "\n\n"};
        return kBreaks[Pick(6)];
    }
    // With `emptyHeaders` false no header names the nameless section (see
    // EmptyHeaderIsDroppedByTheSystemRewrite).
    std::string File(bool emptyHeaders = true) {
        std::string f;
        int lines = 1 + Pick(25);
        for (int i = 0; i < lines; ++i) {
            int kind = Pick(10);
            if (kind < 2) {
                std::string name = SectionName();
                while (!emptyHeaders && name.empty()) {
                    name = SectionName();
                }
                f += Blanks() + "[" + Blanks() + Case(name) + Blanks() + "]";
            } else if (kind == 2) {
                f += Blanks() + Case(KeyName());  // no '='
            } else {
                f += Blanks() + Case(KeyName()) + Blanks() + "=" + Blanks() + Value(false) +
                     Blanks();
            }
            f += LineBreak();
        }
        return f;
    }

  private:
    std::mt19937 rng_;
};

TEST(ProfileDiff, RandomFilesReadTheSame) {
    TestDir dir;
    Generator gen(20261207);
    Tally tally;
    for (int f = 0; f < 150; ++f) {
        std::string file = gen.File();
        std::wstring name = L"r" + std::to_wstring(f) + L".ini";
        dir.Write(name, file);
        for (int q = 0; q < 40; ++q) {
            int32_t size = gen.Chance(80) ? 1024 : 1 + gen.Pick(12);
            ExpectSameRead(gen.Blanks() + gen.Case(gen.SectionName()),
                           gen.Case(gen.KeyName()) + gen.Blanks(), "", size, dir / name, tally,
                           file);
        }
    }
    std::printf("random reads: %d equal, %d differ only by a half character\n", tally.same,
                tally.halfCharacter);
}

// The system rewrites the whole file in its own layout; on a file already in that layout
// (CR LF, no blank lines, nothing trimmable) the two must agree byte for byte.
TEST(ProfileDiff, SameWritesGiveTheSameBytes) {
    TestDir dir;
    Generator gen(77);
    int compared = 0;
    for (int run = 0; run < 30; ++run) {
        std::wstring sys = dir / (L"sys" + std::to_wstring(run) + L".ini");
        std::wstring ours = dir / (L"ours" + std::to_wstring(run) + L".ini");
        if (run % 3 == 1) {
            dir.Write(L"sys" + std::to_wstring(run) + L".ini", "");
            dir.Write(L"ours" + std::to_wstring(run) + L".ini", "");
        } else if (run % 3 == 2) {
            std::string start = "top=1\r\n[sound]\r\ncount=2\r\n1=a:1\r\n[" + kHan + "]\r\n" +
                                kHan + "=" + kHan + "\r\n";
            dir.Write(L"sys" + std::to_wstring(run) + L".ini", start);
            dir.Write(L"ours" + std::to_wstring(run) + L".ini", start);
        }
        for (int w = 0; w < 25; ++w) {
            // Blanks after a new section's or key's name stay in the system's line until its
            // next rewrite; ours drops them at once. Both read the same.
            std::string section = gen.Blanks() + gen.Case(gen.SectionName());
            std::string key = gen.Blanks() + gen.Case(gen.KeyName());
            std::string value = (gen.Chance(20) ? gen.Blanks() : "") + gen.Value(true);
            BOOL sysOk = WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(),
                                                    ToCp949(sys).c_str());
            bool ourOk = WriteString(section, key, value, ours);
            ASSERT_TRUE(sysOk);
            ASSERT_TRUE(ourOk);
            std::string sysBytes = dir.Read(L"sys" + std::to_wstring(run) + L".ini");
            std::string ourBytes = dir.Read(L"ours" + std::to_wstring(run) + L".ini");
            ASSERT_EQ(Show(sysBytes), Show(ourBytes))
                << "after writing [" << Show(section) << "] " << Show(key) << "=" << Show(value);
            ++compared;
        }
    }
    std::printf("write sequences: %d files compared byte for byte\n", compared);
}

// On a file in any other layout the system rewrites everything and we change one line; what
// both files then read must still agree.
TEST(ProfileDiff, WritesOnFreeLayoutReadTheSame) {
    TestDir dir;
    Generator gen(4242);
    Tally tally;
    for (int run = 0; run < 40; ++run) {
        std::string start = gen.File(false);
        std::wstring sysName = L"fs" + std::to_wstring(run) + L".ini";
        std::wstring ourName = L"fo" + std::to_wstring(run) + L".ini";
        dir.Write(sysName, start);
        dir.Write(ourName, start);
        for (int w = 0; w < 5; ++w) {
            std::string section = gen.Case(gen.SectionName());
            std::string key = gen.Case(gen.KeyName());
            std::string value = gen.Value(true);
            ASSERT_TRUE(WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(),
                                                   ToCp949(dir / sysName).c_str()));
            ASSERT_TRUE(WriteString(section, key, value, dir / ourName));
        }
        for (int q = 0; q < 30; ++q) {
            std::string section = gen.Case(gen.SectionName());
            std::string key = gen.Case(gen.KeyName());
            std::string sys = SystemRead(section, key, "", 1024, dir / sysName);
            std::string ours = OurRead(section, key, "", 1024, dir / ourName);
            if (sys == ours) {
                ++tally.same;
            } else if (sys == ours + "#") {
                ++tally.halfCharacter;
            } else {
                ADD_FAILURE() << "[" << Show(section) << "] " << Show(key) << "\n system: '"
                              << Show(sys) << "'\n ours:   '" << Show(ours)
                              << "'\n start: " << Show(start)
                              << "\n system file: " << Show(dir.Read(sysName))
                              << "\n our file: " << Show(dir.Read(ourName));
            }
        }
    }
    std::printf("reads after writes: %d equal, %d differ only by a half character\n", tally.same,
                tally.halfCharacter);
}

// The system's rewrite leaves out headers with an empty name, so the keys under one move into
// the section before it. We keep the file as it was: those keys stay out of reach, as they
// were before the write.
TEST(ProfileDiff, EmptyHeaderIsDroppedByTheSystemRewrite) {
    TestDir dir;
    const std::string start = "[s]\r\nk=1\r\n[]\r\nj=2\r\n";
    dir.Write(L"sys.ini", start);
    dir.Write(L"ours.ini", start);
    EXPECT_EQ(SystemRead("s", "j", "", 1024, dir / L"sys.ini"), "");
    EXPECT_EQ(OurRead("s", "j", "", 1024, dir / L"ours.ini"), "");
    ASSERT_TRUE(WritePrivateProfileStringA("s", "k", "2", ToCp949(dir / L"sys.ini").c_str()));
    ASSERT_TRUE(WriteString("s", "k", "2", dir / L"ours.ini"));
    EXPECT_EQ(dir.Read(L"sys.ini"), "[s]\r\nk=2\r\nj=2\r\n");
    EXPECT_EQ(dir.Read(L"ours.ini"), "[s]\r\nk=2\r\n[]\r\nj=2\r\n");
}

// The system writes "[x=a]b" under [s]; read afresh, that line is a header and the key is gone,
// and the system's own next rewrite keeps it as one. Ours refuses the write.
TEST(ProfileDiff, HeaderShapedLinesAreRefusedWhereTheSystemLosesTheKey) {
    TestDir dir;
    const std::string start = "[s]\r\nk=1\r\n";
    dir.Write(L"sys.ini", start);
    dir.Write(L"ours.ini", start);
    const std::string sys = ToCp949(dir / L"sys.ini");
    ASSERT_TRUE(WritePrivateProfileStringA("s", "[x", "a]b", sys.c_str()));
    const std::string written = dir.Read(L"sys.ini");
    EXPECT_EQ(written, "[s]\r\nk=1\r\n[x=a]b\r\n");
    dir.Write(L"fresh.ini", written);  // a name the system has not cached
    EXPECT_EQ(SystemRead("s", "[x", "", 1024, dir / L"fresh.ini"), "");
    ASSERT_TRUE(WritePrivateProfileStringA("s", "j", "2", sys.c_str()));
    EXPECT_EQ(SystemRead("s", "[x", "", 1024, dir / L"sys.ini"), "");

    EXPECT_FALSE(WriteString("s", "[x", "a]b", dir / L"ours.ini"));
    EXPECT_EQ(dir.Read(L"ours.ini"), start);
}

TEST(ProfileDiff, BothRefuseAMissingDirectory) {
    TestDir dir;
    std::wstring path = dir / L"nodir\\x.ini";
    EXPECT_FALSE(WritePrivateProfileStringA("s", "k", "1", ToCp949(path).c_str()));
    EXPECT_FALSE(WriteString("s", "k", "1", path));
    EXPECT_FALSE(dir.Has(L"nodir"));
}

}  // namespace
}  // namespace vt::profile
