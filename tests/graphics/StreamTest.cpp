#include "graphics/Stream.h"
#include "graphics/Exceptions.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace korvalis {
namespace {

std::filesystem::path TempFile(const std::string& content) {
    auto path = std::filesystem::temp_directory_path() /
                ("korvalis-stream-" + std::to_string(::getpid()) + ".bin");
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

// The same checks for every stream kind, so they behave alike.
void CheckReadsAndSeeks(TStream& s) {
    ASSERT_EQ(s.Size(), 10);
    char buf[16] = {};
    EXPECT_EQ(s.Read(buf, 4), 4u);
    EXPECT_EQ(std::string(buf, 4), "0123");
    EXPECT_EQ(s.Position(), 4);
    EXPECT_EQ(s.Remaining(), 6);
    EXPECT_EQ(s.Seek(3, TSeekOrigin::soCurrent), 7);
    EXPECT_EQ(s.Read(buf, 16), 3u); // short read only at the end
    EXPECT_EQ(std::string(buf, 3), "789");
    EXPECT_EQ(s.Read(buf, 1), 0u);
    EXPECT_EQ(s.Seek(-2, TSeekOrigin::soEnd), 8);
    EXPECT_THROW(s.ReadBuffer(buf, 3), EReadError);
    EXPECT_EQ(s.Seek(-100, TSeekOrigin::soCurrent), 0); // never below 0
    EXPECT_EQ(s.Seek(100, TSeekOrigin::soBeginning), 100);
    EXPECT_EQ(s.Remaining(), 0);
    EXPECT_EQ(s.Read(buf, 1), 0u);
    s.SetPosition(0);
    EXPECT_NO_THROW(s.ReadBuffer(buf, 10));
    try {
        s.ReadBuffer(buf, 1);
        FAIL();
    } catch (const EReadError& e) {
        EXPECT_STREQ(e.what(), "Stream read error");
    }
}

TEST(Stream, BytesStream) {
    const std::string text = "0123456789";
    TBytesStream s({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
    CheckReadsAndSeeks(s);
}

TEST(Stream, MemoryAndFileStreams) {
    const auto path = TempFile("0123456789");
    {
        TFileStream f(path.string());
        CheckReadsAndSeeks(f);
    }
    TMemoryStream m;
    m.LoadFromFile(path.string());
    CheckReadsAndSeeks(m);
    std::filesystem::remove(path);
}

TEST(Stream, OpenFailuresRaiseEFOpenError) {
    EXPECT_THROW(TFileStream("/nonexistent/korvalis.png"), EFOpenError);
    EXPECT_THROW(TFileStream(std::filesystem::temp_directory_path().string()), EFOpenError);
}

TEST(Stream, LoadFromStreamTakesTheRest) {
    const std::string text = "abcdef";
    TBytesStream src({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
    src.SetPosition(2);
    TMemoryStream m;
    m.LoadFromStream(src);
    EXPECT_EQ(m.Size(), 4);
    EXPECT_EQ(m.Position(), 0);
    EXPECT_EQ(m.Data()[0], 'c');
}

} // namespace
} // namespace korvalis
