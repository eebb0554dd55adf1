// korvalis info and upload, run as programs against the emulated device.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <sys/wait.h>

namespace {

struct TRun {
    int Code;
    std::string Output; // standard output and error together
};

TRun RunCli(const std::string& args) {
    const std::string command = std::string(KORVALIS_CLI) + " " + args + " 2>&1";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    std::string output;
    std::array<char, 4096> buffer;
    size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        output.append(buffer.data(), n);
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct TRow {
    const char* args;
    int code;
    const char* output; // a regular expression the whole output must match
};

class DeviceCommands : public ::testing::TestWithParam<TRow> {};

TEST_P(DeviceCommands, ExitCodeAndOutput) {
    const TRow& row = GetParam();
    const TRun run = RunCli(row.args);
    EXPECT_EQ(run.Code, row.code) << row.args << "\n" << run.Output;
    EXPECT_TRUE(std::regex_search(run.Output, std::regex(row.output))) << row.args << "\n"
                                                                       << run.Output;
}

INSTANTIATE_TEST_SUITE_P(
    Table, DeviceCommands,
    ::testing::Values(
        TRow{"info --simulate", 0,
             "^/sim/hidraw\\d+: firmware 19\\.2\\.16, marker 0xCF: compatible\n$"},
        TRow{"info --simulate --fw 19.2.15", 1, "firmware 19\\.2\\.15, marker 0xCF: incompatible"},
        TRow{"info --simulate --fw 20.1.1 --marker 0xCE", 1, "marker 0xCE: incompatible"},
        TRow{"info --simulate --silent --timeout 1", 1, "no answer to the firmware check"},
        TRow{"info --fw 19.2.15", 2, "need --simulate"},
        TRow{"info --simulate --capture x.bin", 2, "--capture belongs to upload"},
        TRow{"upload --simulate", 0,
             "^Disconnected\nChecking firmware\\.\\.\\.\nConnected\nUploading "
             "resources\\.\\.\\.\nUpload succeeded\n$"},
        TRow{"upload --simulate --fw 19.2.15", 1, "Incompatible firmware\n$"},
        TRow{"upload --simulate --unplug-at 2000", 1, "Upload failed\n$"},
        TRow{"upload --simulate --refuse-from 1", 1, "Upload failed\n$"}, // the write command
        TRow{"upload --simulate --silent --timeout 1", 1, "did not answer the firmware check"},
        TRow{"upload --simulate --logo /nonexistent/x.png", 1,
             "^korvalis: /nonexistent/x\\.png: Error loading image: "},
        TRow{"upload --simulate -o out.bin", 2, "unknown option '-o'"},
        TRow{"upload --simulate --fw 19.2", 2, "bad value '19\\.2' for --fw"},
        TRow{"upload --simulate --marker 0x1FF", 2, "bad value"}));

TEST(DeviceCommands, CapturedUploadEqualsTheBundle) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("korvalis-cli-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto capture = dir / "c.bin", bundle = dir / "b.bin";
    ASSERT_EQ(RunCli("upload --simulate --logo clear --capture " + capture.string()).Code, 0);
    ASSERT_EQ(RunCli("bundle --logo clear -o " + bundle.string()).Code, 0);
    const std::string captured = ReadFile(capture);
    EXPECT_EQ(captured.size(), 464896u);
    EXPECT_TRUE(captured == ReadFile(bundle));
    // A failed upload writes what arrived, never a whole bundle.
    EXPECT_EQ(RunCli("upload --simulate --unplug-at 100 --capture " + capture.string()).Code, 1);
    EXPECT_LT(ReadFile(capture).size(), 464896u);
    std::filesystem::remove_all(dir);
}

} // namespace
