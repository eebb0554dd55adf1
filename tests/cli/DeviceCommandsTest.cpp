// korvalis info and upload, run as programs against the emulated device.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <pty.h>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct TRun {
    int Code;
    std::string Output; // standard output and error together
};

// Standard output and error together, or with errorOnly standard error alone.
TRun RunCli(const std::string& args, bool errorOnly = false) {
    const std::string command =
        std::string(KORVALIS_CLI) + " " + args + (errorOnly ? " 2>&1 >/dev/null" : " 2>&1");
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
        TRow{"info --simulate --fw 19.0.215", 1,
             "firmware 19\\.0\\.215, marker 0xCF: incompatible \\(needs A\\*10000 \\+ B\\*100 "
             "\\+ C of at least 190216, such as 19\\.2\\.16, and marker 0xCF\\)\n$"},
        TRow{"info --simulate --silent --timeout 1", 1, "no answer to the firmware check"},
        // A device this user may only query: said at once, not after the timeout.
        TRow{"info --simulate --read-only", 1,
             "^/sim/hidraw\\d+: the device is read-only for this user, so its firmware cannot be "
             "checked \\(see \"Permissions\" in the README\\)\n$"},
        TRow{"upload --simulate --read-only", 1,
             "^Disconnected\nChecking firmware\\.\\.\\.\nkorvalis: /sim/hidraw\\d+: the device is "
             "read-only for this user"},
        TRow{"info --help", 0, "^usage: korvalis info (?:(?!--capture)[^\n])*\n"},
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
        TRow{"upload --simulate --marker 0x1FF", 2, "bad value"},
        // Every device present, one after another, a line each.
        TRow{"upload --simulate --devices 3 --all", 0,
             "^/sim/hidraw(\\d+): Upload succeeded\n/sim/hidraw(?!\\1)(\\d+): Upload "
             "succeeded\n/sim/hidraw(?!\\1|\\2)\\d+: Upload succeeded\n$"},
        TRow{"upload --simulate --devices 2 --all --fw 19.2.15", 1,
             "^(/sim/hidraw\\d+: Incompatible firmware\n){2}$"},
        TRow{"upload --all --simulate --devices 2 --unplug-at 2000", 1,
             "^(/sim/hidraw\\d+: Upload failed\n){2}$"},
        TRow{"upload --simulate --devices 2 --device /sim/hidraw1", 0,
             "^Disconnected\nChecking firmware\\.\\.\\.\nConnected\nUploading "
             "resources\\.\\.\\.\nUpload succeeded\n$"},
        TRow{"upload --simulate --device=/sim/none", 1,
             "^Disconnected\nkorvalis: no Korvalis device \\(0416:5020\\) at /sim/none\n$"},
        TRow{"upload --simulate --all --device /sim/hidraw0", 2, "--all and --device exclude"},
        TRow{"upload --simulate --device", 2, "option --device needs a value"},
        TRow{"upload --simulate --devices 0", 2, "bad value '0' for --devices"}));

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

TEST(DeviceCommands, InfoWithoutADeviceSaysSoOnStandardError) {
    const TRun devices = RunCli("devices");
    if (devices.Output.find("<- Korvalis device") != std::string::npos)
        GTEST_SKIP() << "a Korvalis device is plugged into this machine";
    const TRun run = RunCli("info --timeout 1", /*errorOnly=*/true);
    EXPECT_EQ(run.Code, 1);
    if (run.Output.find("no HID device layer") != std::string::npos)
        GTEST_SKIP() << "this machine has no HID device layer";
    EXPECT_EQ(run.Output, "korvalis: no Korvalis device (0416:5020) found\n");
}

// /dev/null replaced, in a mount namespace of its own, by a socket that
// cannot be opened.
TEST(DeviceCommands, InfoRunsWhenDevNullCannotBeOpened) {
    if (::geteuid() != 0 || std::system("unshare -m true 2>/dev/null") != 0)
        GTEST_SKIP() << "needs root and unshare -m to hide /dev/null";
    const auto dir =
        std::filesystem::temp_directory_path() / ("korvalis-null-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string socket = (dir / "s").string(), out = (dir / "out").string();
    const std::string command =
        "python3 -c 'import socket,sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' " +
        socket + " && unshare -m sh -c 'mount --bind " + socket + " /dev/null && " + KORVALIS_CLI +
        " info --simulate >" + out + " 2>&1'";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status)) << ReadFile(out);
    EXPECT_EQ(WEXITSTATUS(status), 0) << ReadFile(out);
    EXPECT_TRUE(
        std::regex_search(ReadFile(out), std::regex("^/sim/hidraw\\d+: firmware 19\\.2\\.16")))
        << ReadFile(out);
    std::filesystem::remove_all(dir);
}

// On a terminal the bar ends full and each status has a line of its own.
TEST(DeviceCommands, UploadProgressBarOnATerminal) {
    const struct {
        const char* Args;
        const char* Ending; // what follows the last bar
    } rows[] = {
        {"--simulate", "\\[#{40}\\] 100%\r\nUpload succeeded\r\n$"},
        {"--simulate --unplug-at 2000", "\\[#+ +\\] +\\d+%\r\nUpload failed\r\n$"},
    };
    for (const auto& row : rows) {
        int master = -1;
        const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const std::string command = std::string(KORVALIS_CLI) + " upload " + row.Args;
            ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        std::string output;
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(master, buffer, sizeof buffer)) > 0) // EIO once the child is gone
            output.append(buffer, size_t(n));
        ::close(master);
        int status = 0;
        ::waitpid(pid, &status, 0);
        const size_t bar = output.rfind('[');
        const std::string last = bar == std::string::npos ? output : output.substr(bar);
        EXPECT_TRUE(std::regex_search(last, std::regex(std::string("^") + row.Ending)))
            << row.Args << ": " << last;
    }
}

} // namespace
