#include "graphics/Stream.h"
#include "graphics/Exceptions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>
#include <vector>
#ifdef _WIN32
#include <process.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

// Reads through the file stream's 64 KiB buffer: small reads, reads that end
// in it and go on past it, seeks back into it and past it, and large reads
// straight to memory, each checked against the file.
TEST(Stream, FileReadsAroundTheBufferGiveTheFileBytes) {
    std::string content(200000, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = char((i * 7 + i / 251) & 0xFF);
    const auto path = TempFile(content);
    TFileStream s(path.string());
    const struct {
        int64_t Seek; // -1: read on from where the last read ended
        size_t Count;
    } steps[] = {{0, 8},          {-1, 4},   {65530, 10},  {-1, 70000}, {65000, 3},
                 {131070, 8},     {-1, 1},   {10, 200000}, {199990, 8}, {199995, 64},
                 {131072, 65536}, {-1, 100}, {300000, 4}};
    std::vector<char> buf(200000);
    int64_t position = 0;
    for (const auto& step : steps) {
        if (step.Seek >= 0)
            position = s.Seek(step.Seek, TSeekOrigin::soBeginning);
        const int64_t available = std::max<int64_t>(0, int64_t(content.size()) - position);
        const size_t expected = size_t(std::min<int64_t>(available, int64_t(step.Count)));
        ASSERT_EQ(s.Read(buf.data(), step.Count), expected) << step.Seek << " " << step.Count;
        ASSERT_EQ(
            std::string(buf.data(), expected),
            content.substr(size_t(std::min<int64_t>(position, int64_t(content.size()))), expected))
            << step.Seek << " " << step.Count;
        position += int64_t(expected);
        ASSERT_EQ(s.Position(), position);
    }
    std::filesystem::remove(path);
}

TEST(Stream, OpenFailuresRaiseEFOpenError) {
    EXPECT_THROW(TFileStream("/nonexistent/korvalis.png"), EFOpenError);
    EXPECT_THROW(TFileStream(std::filesystem::temp_directory_path().string()), EFOpenError);
}

// A picture's name is UTF-8 whatever the system: on Windows it reaches the
// system as UTF-16, so names beyond the ANSI code page open too.
TEST(Stream, NonAsciiFileNamesOpen) {
    const std::string content = "0123456789";
    const std::string name =
        "korvalis-stream-" + std::to_string(::getpid()) + "-\u00e9\u03a9\u0416\u6f22\U0001f600.png";
    const auto path = std::filesystem::temp_directory_path() / std::filesystem::u8path(name);
    std::ofstream(path, std::ios::binary) << content;
    ASSERT_TRUE(std::filesystem::exists(path));
    const std::string utf8 = reinterpret_cast<const char*>(path.u8string().c_str());
    {
        TFileStream stream(utf8);
        EXPECT_EQ(stream.Size(), 10);
        char buf[10] = {};
        ASSERT_EQ(stream.Read(buf, 10), 10u);
        EXPECT_EQ(std::string(buf, 10), content);
    }
    std::filesystem::remove(path);
}

#ifdef _WIN32
// A device (NUL) or a folder is no picture; their refusals read as on Linux.
TEST(Stream, OnlyRegularFilesOpen) {
    const struct {
        std::string Path, Reason;
    } rows[] = {
        {"NUL", "Not a regular file"},
        {std::filesystem::temp_directory_path().string(), "Is a directory"},
    };
    for (const auto& row : rows) {
        std::string message;
        try {
            TFileStream stream(row.Path);
        } catch (const EFOpenError& e) {
            message = e.what();
        }
        EXPECT_EQ(message, "Cannot open file \"" + row.Path + "\". " + row.Reason);
    }
}
#else
// Pictures are read by position from a file of known size: a FIFO named like a
// picture must not wait for a writer, and a device is no picture either.
TEST(Stream, OnlyRegularFilesOpen) {
    const auto fifo = std::filesystem::temp_directory_path() /
                      ("korvalis-stream-" + std::to_string(::getpid()) + ".png");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string Path, Reason;
    } rows[] = {
        {fifo.string(), "Not a regular file"},
        {"/dev/null", "Not a regular file"},
        {std::filesystem::temp_directory_path().string(), "Is a directory"},
    };
    for (const auto& row : rows) {
        // Should the open wait for a writer after all, one comes after a while:
        // the test then fails instead of hanging.
        std::promise<void> returned;
        std::future<void> done = returned.get_future();
        bool waited = false;
        std::thread writer([&] {
            if (done.wait_for(std::chrono::seconds(3)) == std::future_status::ready)
                return;
            waited = true;
            const int fd = ::open(row.Path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            done.wait();
            if (fd >= 0)
                ::close(fd);
        });
        std::string message;
        try {
            TFileStream stream(row.Path);
        } catch (const EFOpenError& e) {
            message = e.what();
        }
        returned.set_value();
        writer.join();
        EXPECT_FALSE(waited) << row.Path;
        EXPECT_EQ(message, "Cannot open file \"" + row.Path + "\". " + row.Reason);
    }
    std::filesystem::remove(fifo);
}
#endif

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
