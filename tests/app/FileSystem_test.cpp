#include "app/FileSystem.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/TestDir.h"

namespace vt {
namespace {

bool WriteAll(fs::OutputFile& out, const std::string& bytes) {
    return out.Write(std::as_bytes(std::span(bytes.data(), bytes.size())));
}

TEST(OutputFile, CreatesNewFilesAndTruncatesExistingOnes) {
    test::TestDir dir;
    {
        auto out = fs::CreateOutputFile(dir / L"new.bin");
        ASSERT_NE(out, nullptr);
        ASSERT_TRUE(WriteAll(*out, "first"));
        ASSERT_TRUE(WriteAll(*out, " second"));
    }
    EXPECT_EQ(dir.Read(L"new.bin"), "first second");

    dir.Write(L"old.bin", std::string(5000, 'o'));
    {
        auto out = fs::CreateOutputFile(dir / L"old.bin");
        ASSERT_NE(out, nullptr);
        ASSERT_TRUE(WriteAll(*out, "short"));
    }
    EXPECT_EQ(dir.Read(L"old.bin"), "short");

    {
        auto out = fs::CreateOutputFile(dir / L"old.bin");  // emptied even when nothing is written
        ASSERT_NE(out, nullptr);
    }
    EXPECT_TRUE(dir.Has(L"old.bin"));
    EXPECT_EQ(dir.Read(L"old.bin"), "");

    EXPECT_EQ(fs::CreateOutputFile(dir / L"missing\\x.bin"), nullptr);
}

}  // namespace
}  // namespace vt
