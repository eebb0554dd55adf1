// `korvalis emulate` with the test in the kernel's place: the emulator gets one
// end of a packet socket pair instead of /dev/uhid and the test speaks the
// uhid protocol on the other, as the kernel would for a hidraw writer.
#include <gtest/gtest.h>

#include <linux/uhid.h>
#include <png.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr uint8_t kReadCommand[] = {0x35, 0x0E, 0x00, 0x00, 0x00, 0x00, 0x40, 0x02, 0x00,
                                    0x00, 0x48, 0x49, 0x44, 0x43, 0x9D, 0x01, 0x00, 0x00};
constexpr uint8_t kWriteCommand[] = {0x5A, 0x0E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x18, 0x07,
                                     0x00, 0x48, 0x49, 0x44, 0x43, 0x9F, 0x01, 0x00, 0x00};
constexpr size_t kBundleSize = 464896;
constexpr int kTimeoutMs = 10000;

fs::path TempDir() {
    static const fs::path dir = [] {
        std::string pattern = (fs::temp_directory_path() / "korvalis-emulate-XXXXXX").string();
        return fs::path(::mkdtemp(pattern.data()));
    }();
    return dir;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The longest input and output report of a report descriptor, in bytes with
// the ID byte, as a host counts them; and whether reports carry IDs.
struct TReportLengths {
    size_t Input = 0, Output = 0;
    bool Numbered = false;
};

TReportLengths ParseDescriptor(const uint8_t* d, size_t n) {
    uint32_t size = 0, count = 0, id = 0;
    std::map<std::pair<int, uint32_t>, uint32_t> bits; // (main item, report ID) -> bits
    TReportLengths out;
    for (size_t i = 0; i < n;) {
        const uint8_t prefix = d[i];
        const size_t len = (prefix & 3) == 3 ? 4 : prefix & 3;
        uint32_t value = 0;
        for (size_t k = 0; k < len && i + 1 + k < n; ++k)
            value |= uint32_t(d[i + 1 + k]) << (8 * k);
        switch (prefix & 0xFC) {
        case 0x74:
            size = value;
            break;
        case 0x94:
            count = value;
            break;
        case 0x84:
            id = value;
            out.Numbered = true;
            break;
        case 0x80:
            bits[{0x80, id}] += size * count;
            break;
        case 0x90:
            bits[{0x90, id}] += size * count;
            break;
        default:
            break;
        }
        i += 1 + len;
    }
    for (const auto& [key, b] : bits) {
        size_t& slot = key.first == 0x80 ? out.Input : out.Output;
        slot = std::max<size_t>(slot, (b + 7) / 8 + 1);
    }
    return out;
}

// One emulator process with the test as its kernel.
class TEmulator {
  public:
    explicit TEmulator(std::vector<std::string> options) {
        int pair[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
        FFd = pair[0];
        FOutPath = TempDir() / ("out-" + std::to_string(++FCount) + ".txt");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pair[1], 3);
        posix_spawn_file_actions_addopen(&actions, 1, FOutPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::vector<std::string> args{KORVALIS_CLI, "emulate", "--uhid-fd", "3"};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        EXPECT_EQ(::posix_spawn(&FPid, KORVALIS_CLI, &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pair[1]);
    }
    ~TEmulator() {
        if (FPid > 0) {
            ::kill(FPid, SIGKILL);
            ::waitpid(FPid, nullptr, 0);
        }
        if (FFd >= 0)
            ::close(FFd);
    }

    // The next event from the emulator, or type ~0u after the timeout or when
    // the emulator closed its end.
    uhid_event Next(int timeoutMs = kTimeoutMs) {
        uhid_event ev{};
        ev.type = ~0u;
        pollfd p{FFd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) == 1 && ::read(FFd, &ev, sizeof ev) <= 0)
            ev.type = ~0u;
        return ev;
    }
    // False once the emulator has gone.
    bool Send(const uhid_event& ev) {
        return ::send(FFd, &ev, sizeof ev, MSG_NOSIGNAL) == ssize_t(sizeof ev);
    }
    void CloseKernelSide() {
        ::close(FFd);
        FFd = -1;
    }
    void Start() {
        uhid_event ev{};
        ev.type = UHID_START;
        Send(ev);
        ev.type = UHID_OPEN;
        Send(ev);
    }
    // An output report as hidraw hands it over: report ID 0, then the payload.
    bool Output(const uint8_t* payload, size_t n, size_t reportLength = 65) {
        uhid_event ev{};
        ev.type = UHID_OUTPUT;
        ev.u.output.rtype = UHID_OUTPUT_REPORT;
        ev.u.output.size = uint16_t(reportLength);
        std::memcpy(ev.u.output.data + 1, payload, std::min(n, reportLength - 1));
        return Send(ev);
    }
    // The input reports that answer within timeoutMs, their data concatenated.
    std::vector<std::vector<uint8_t>> Inputs(int timeoutMs = 1000) {
        std::vector<std::vector<uint8_t>> reports;
        for (;;) {
            const uhid_event ev = Next(timeoutMs);
            if (ev.type != UHID_INPUT2)
                return reports;
            // Through a pointer: a reference to a packed member would bind to a copy.
            const uint8_t* data = ev.u.input2.data;
            reports.emplace_back(data, data + ev.u.input2.size);
        }
    }
    // Waits for the emulator to end; answers its exit status, -1 on a hang.
    int Wait(int timeoutMs = kTimeoutMs) {
        for (int waited = 0; waited < timeoutMs; waited += 10) {
            int status = 0;
            if (::waitpid(FPid, &status, WNOHANG) == FPid) {
                FPid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            ::usleep(10'000);
        }
        return -1;
    }
    void Signal(int sig) { ::kill(FPid, sig); }
    std::string Output() const { return ReadFile(FOutPath); }

  private:
    static inline int FCount = 0;
    int FFd = -1;
    pid_t FPid = -1;
    fs::path FOutPath;
};

std::vector<uint8_t> RandomBundle() {
    std::vector<uint8_t> bundle(kBundleSize);
    std::mt19937 random(20190216);
    for (uint8_t& b : bundle)
        b = uint8_t(random());
    return bundle;
}

TEST(Emulate, CreatesA0416_5020DeviceWith65ByteReportsWithoutIDs) {
    TEmulator emu({});
    const uhid_event ev = emu.Next();
    ASSERT_EQ(ev.type, UHID_CREATE2);
    const uhid_create2_req& c = ev.u.create2;
    EXPECT_EQ(c.vendor, 0x0416u);
    EXPECT_EQ(c.product, 0x5020u);
    EXPECT_EQ(c.bus, 0x03); // USB
    EXPECT_STREQ(reinterpret_cast<const char*>(c.name), "Korvalis emulated device");
    ASSERT_GT(c.rd_size, 0);
    ASSERT_LE(c.rd_size, HID_MAX_DESCRIPTOR_SIZE);
    const TReportLengths lengths = ParseDescriptor(c.rd_data, c.rd_size);
    EXPECT_EQ(lengths.Input, 65u);
    EXPECT_EQ(lengths.Output, 65u);
    EXPECT_FALSE(lengths.Numbered);
    // The first item is a vendor-defined usage page.
    EXPECT_EQ(c.rd_data[0], 0x06);
    EXPECT_EQ(c.rd_data[2], 0xFF);
    emu.Signal(SIGTERM);
    EXPECT_EQ(emu.Next().type, UHID_DESTROY);
    EXPECT_EQ(emu.Wait(), 0);
}

struct TAnswerCase {
    std::string Name;
    std::vector<std::string> Options;
    std::array<uint8_t, 3> Firmware;
    uint8_t Marker;
    std::vector<size_t> Sizes; // input report data sizes in order
};
void PrintTo(const TAnswerCase& c, std::ostream* os) {
    *os << c.Name;
}

class EmulateAnswer : public ::testing::TestWithParam<TAnswerCase> {};

TEST_P(EmulateAnswer, AnswersTheReadCommandWithTheBlock) {
    const TAnswerCase& c = GetParam();
    TEmulator emu(c.Options);
    ASSERT_EQ(emu.Next().type, UHID_CREATE2);
    emu.Start();
    emu.Output(kReadCommand, sizeof kReadCommand);
    const auto reports = emu.Inputs();
    std::vector<size_t> sizes;
    std::vector<uint8_t> block;
    for (const auto& r : reports) {
        sizes.push_back(r.size());
        block.insert(block.end(), r.begin(), r.end());
    }
    EXPECT_EQ(sizes, c.Sizes);
    if (!c.Sizes.empty()) {
        ASSERT_GE(block.size(), 576u);
        EXPECT_EQ(block[12], c.Marker);
        EXPECT_EQ(block[516], c.Firmware[0]);
        EXPECT_EQ(block[517], c.Firmware[1]);
        EXPECT_EQ(block[518], c.Firmware[2]);
    }
    emu.Signal(SIGINT);
    EXPECT_EQ(emu.Next().type, UHID_DESTROY);
    EXPECT_EQ(emu.Wait(), 0);
}

std::vector<size_t> Repeat(std::vector<size_t> pattern, size_t total) {
    std::vector<size_t> sizes;
    for (size_t i = 0, sum = 0; sum < total; ++i) {
        const size_t n = std::min(pattern[i % pattern.size()], total - sum);
        sizes.push_back(n);
        sum += n;
    }
    return sizes;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EmulateAnswer,
    ::testing::Values(
        TAnswerCase{"Default", {}, {19, 2, 16}, 0xCF, std::vector<size_t>(9, 64)},
        TAnswerCase{
            "Firmware19_2_15", {"--fw", "19.2.15"}, {19, 2, 15}, 0xCF, std::vector<size_t>(9, 64)},
        TAnswerCase{"Firmware20_1_1MarkerCE",
                    {"--fw=20.1.1", "--marker", "0xCE"},
                    {20, 1, 1},
                    0xCE,
                    std::vector<size_t>(9, 64)},
        TAnswerCase{"DecimalMarker",
                    {"--marker=207", "--fw", "255.0.9"},
                    {255, 0, 9},
                    0xCF,
                    std::vector<size_t>(9, 64)},
        TAnswerCase{"SplitList", {"--split=20,64"}, {19, 2, 16}, 0xCF, Repeat({20, 64}, 576)},
        TAnswerCase{"SplitOdd", {"--split"}, {19, 2, 16}, 0xCF, Repeat({7, 64, 1, 0, 33, 64}, 576)},
        TAnswerCase{
            "ExtraBytes", {"--extra", "64"}, {19, 2, 16}, 0xCF, std::vector<size_t>(10, 64)},
        TAnswerCase{"Silent", {"--silent"}, {19, 2, 16}, 0xCF, {}}),
    [](const auto& info) { return info.param.Name; });

TEST(Emulate, IgnoresPacketsWithABadChecksumOrSignature) {
    TEmulator emu({});
    ASSERT_EQ(emu.Next().type, UHID_CREATE2);
    emu.Start();
    uint8_t bad[sizeof kReadCommand];
    std::memcpy(bad, kReadCommand, sizeof bad);
    bad[14] ^= 1; // checksum
    emu.Output(bad, sizeof bad);
    EXPECT_TRUE(emu.Inputs(300).empty());
    std::memcpy(bad, kReadCommand, sizeof bad);
    bad[10] = 'X'; // signature
    emu.Output(bad, sizeof bad);
    EXPECT_TRUE(emu.Inputs(300).empty());
    emu.Output(kReadCommand, sizeof kReadCommand);
    EXPECT_EQ(emu.Inputs().size(), 9u);
    emu.Signal(SIGTERM);
    EXPECT_EQ(emu.Next().type, UHID_DESTROY);
    EXPECT_EQ(emu.Wait(), 0);
    EXPECT_NE(emu.Output().find("2 packets rejected"), std::string::npos) << emu.Output();
}

TEST(Emulate, ReassemblesAnUploadAndSavesItsCaptureAndPictures) {
    // Captured through a symlink, which must stay one.
    const fs::path capture = TempDir() / "capture.bin", link = TempDir() / "capture-link.bin";
    fs::create_symlink(capture, link);
    const fs::path pictures = TempDir() / "pictures";
    TEmulator emu(
        {"--capture", link.string(), "--save-pictures", pictures.string(), "--exit-after-upload"});
    ASSERT_EQ(emu.Next().type, UHID_CREATE2);
    emu.Start();
    emu.Output(kReadCommand, sizeof kReadCommand);
    ASSERT_EQ(emu.Inputs().size(), 9u);
    emu.Output(kWriteCommand, sizeof kWriteCommand);
    const std::vector<uint8_t> bundle = RandomBundle();
    for (size_t at = 0; at < bundle.size(); at += 64)
        ASSERT_TRUE(emu.Output(bundle.data() + at, 64));
    EXPECT_EQ(emu.Next().type, UHID_DESTROY);
    EXPECT_EQ(emu.Wait(), 0) << emu.Output();
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(link)));
    const std::string got = ReadFile(capture);
    ASSERT_EQ(got.size(), bundle.size());
    EXPECT_TRUE(std::equal(bundle.begin(), bundle.end(), got.begin(),
                           [](uint8_t a, char b) { return a == uint8_t(b); }));
    // Each picture as libpng reads it: the slot's RGB565 words, little-endian,
    // rows top down, each channel scaled to 0..255 and rounded.
    const char* const names[] = {"splash.png", "logo.png", "screensaver.png"};
    const size_t offsets[] = {0x1000, 0x26800, 0x4C000};
    for (int i = 0; i < 3; ++i) {
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        const std::string path = (pictures / names[i]).string();
        ASSERT_TRUE(png_image_begin_read_from_file(&image, path.c_str())) << path;
        ASSERT_EQ(image.width, 240u);
        ASSERT_EQ(image.height, 320u);
        image.format = PNG_FORMAT_RGB;
        std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
        ASSERT_TRUE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) << path;
        size_t mismatches = 0;
        for (size_t p = 0; p < 240 * 320; ++p) {
            const unsigned w = bundle[offsets[i] + 2 * p] | bundle[offsets[i] + 2 * p + 1] << 8;
            const long expected[] = {std::lround((w >> 11) * 255.0 / 31),
                                     std::lround((w >> 5 & 63) * 255.0 / 63),
                                     std::lround((w & 31) * 255.0 / 31)};
            for (int c = 0; c < 3; ++c)
                mismatches += rgb[3 * p + c] != expected[c];
        }
        EXPECT_EQ(mismatches, 0u) << path;
    }
    EXPECT_NE(emu.Output().find("bundle complete: 464896 bytes in 7264 reports"), std::string::npos)
        << emu.Output();
}

struct TUnplugCase {
    long UnplugAt;    // output report counted from 0, commands included
    size_t Delivered; // bundle bytes the device kept
};
void PrintTo(const TUnplugCase& c, std::ostream* os) {
    *os << "at " << c.UnplugAt;
}

class EmulateUnplug : public ::testing::TestWithParam<TUnplugCase> {};

TEST_P(EmulateUnplug, DestroysTheDeviceAtTheReportAndKeepsWhatArrived) {
    const TUnplugCase& c = GetParam();
    const fs::path capture = TempDir() / ("partial-" + std::to_string(c.UnplugAt) + ".bin");
    TEmulator emu({"--unplug-at", std::to_string(c.UnplugAt), "--capture", capture.string()});
    ASSERT_EQ(emu.Next().type, UHID_CREATE2);
    emu.Start();
    emu.Output(kWriteCommand, sizeof kWriteCommand);
    const std::vector<uint8_t> bundle = RandomBundle();
    uhid_event ev{};
    size_t sent = 0;
    // Keep writing as a host would until the device is gone.
    for (; sent < bundle.size(); sent += 64) {
        if (!emu.Output(bundle.data() + sent, 64))
            break;
        ev = emu.Next(0);
        if (ev.type == UHID_DESTROY)
            break;
    }
    if (ev.type != UHID_DESTROY)
        ev = emu.Next();
    EXPECT_EQ(ev.type, UHID_DESTROY);
    EXPECT_EQ(emu.Wait(), 0) << emu.Output();
    const std::string got = ReadFile(capture);
    ASSERT_EQ(got.size(), c.Delivered) << emu.Output();
    EXPECT_TRUE(std::equal(got.begin(), got.end(), bundle.begin(),
                           [](char a, uint8_t b) { return uint8_t(a) == b; }));
    EXPECT_NE(emu.Output().find("unplugged at output report " + std::to_string(c.UnplugAt)),
              std::string::npos)
        << emu.Output();
    EXPECT_NE(emu.Output().find(" bytes; the device was removed"), std::string::npos)
        << emu.Output();
}

INSTANTIATE_TEST_SUITE_P(Cases, EmulateUnplug,
                         ::testing::Values(TUnplugCase{1, 0}, TUnplugCase{2, 64},
                                           TUnplugCase{3000, 2999 * 64},
                                           TUnplugCase{7264, 7263 * 64}),
                         [](const auto& info) {
                             return "At" + std::to_string(info.param.UnplugAt);
                         });

TEST(Emulate, RefusedReportsAreDroppedAndTheBundleStaysIncomplete) {
    const fs::path capture = TempDir() / "refused.bin";
    TEmulator emu({"--refuse-from", "101", "--capture", capture.string()});
    ASSERT_EQ(emu.Next().type, UHID_CREATE2);
    emu.Start();
    emu.Output(kWriteCommand, sizeof kWriteCommand);
    const std::vector<uint8_t> bundle = RandomBundle();
    for (size_t at = 0; at < 200 * 64; at += 64)
        emu.Output(bundle.data() + at, 64);
    emu.Output(kReadCommand, sizeof kReadCommand); // refused too: no answer
    EXPECT_TRUE(emu.Inputs(300).empty());
    emu.Signal(SIGTERM);
    EXPECT_EQ(emu.Next().type, UHID_DESTROY);
    EXPECT_EQ(emu.Wait(), 0);
    EXPECT_EQ(ReadFile(capture).size(), 100u * 64);
    EXPECT_NE(emu.Output().find("101 reports refused"), std::string::npos) << emu.Output();
    EXPECT_NE(emu.Output().find("bundle incomplete: 6400 of 464896 bytes; the device refused"),
              std::string::npos);
}

TEST(Emulate, AnswersReportRequestsWithAnError) {
    TEmulator emu({});
    ASSERT_EQ(emu.Next().type, UHID_CREATE2);
    emu.Start();
    uhid_event get{};
    get.type = UHID_GET_REPORT;
    get.u.get_report.id = 41;
    get.u.get_report.rtype = UHID_FEATURE_REPORT;
    ASSERT_TRUE(emu.Send(get));
    uhid_event ev = emu.Next();
    ASSERT_EQ(ev.type, UHID_GET_REPORT_REPLY);
    EXPECT_EQ(ev.u.get_report_reply.id, 41u);
    EXPECT_NE(ev.u.get_report_reply.err, 0);
    uhid_event set{};
    set.type = UHID_SET_REPORT;
    set.u.set_report.id = 42;
    set.u.set_report.rtype = UHID_OUTPUT_REPORT;
    set.u.set_report.size = 65;
    ASSERT_TRUE(emu.Send(set));
    ev = emu.Next();
    ASSERT_EQ(ev.type, UHID_SET_REPORT_REPLY);
    EXPECT_EQ(ev.u.set_report_reply.id, 42u);
    EXPECT_NE(ev.u.set_report_reply.err, 0);
    // A SET_REPORT never reaches the device model.
    EXPECT_TRUE(emu.Inputs(200).empty());
    emu.Signal(SIGTERM);
    EXPECT_EQ(emu.Next().type, UHID_DESTROY);
    EXPECT_EQ(emu.Wait(), 0);
}

TEST(Emulate, EndsWhenTheKernelSideCloses) {
    TEmulator emu({});
    ASSERT_EQ(emu.Next().type, UHID_CREATE2);
    emu.Start();
    emu.CloseKernelSide();
    EXPECT_EQ(emu.Wait(), 0) << emu.Output();
}

struct TUsageCase {
    std::vector<std::string> Args;
    std::string Message;
};
void PrintTo(const TUsageCase& c, std::ostream* os) {
    *os << c.Message;
}

class EmulateUsage : public ::testing::TestWithParam<TUsageCase> {};

TEST_P(EmulateUsage, RefusesBadOptionsWithUsage) {
    const TUsageCase& c = GetParam();
    const fs::path out = TempDir() / "usage.txt";
    std::string command = std::string(KORVALIS_CLI) + " emulate";
    for (const std::string& a : c.Args)
        command += " '" + a + "'";
    command += " >" + out.string() + " 2>&1";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
    const std::string text = ReadFile(out);
    EXPECT_NE(text.find(c.Message), std::string::npos) << text;
    EXPECT_NE(text.find("usage: korvalis emulate"), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EmulateUsage,
    ::testing::Values(
        TUsageCase{{"--fw", "19.2"}, "--fw wants"}, TUsageCase{{"--fw", "19.2.256"}, "--fw wants"},
        TUsageCase{{"--fw"}, "--fw wants"}, TUsageCase{{"--marker", "0x100"}, "--marker wants"},
        TUsageCase{{"--marker", "-1"}, "--marker wants"},
        TUsageCase{{"--split=0,0"}, "--split= wants"}, TUsageCase{{"--split=65"}, "--split= wants"},
        TUsageCase{{"--split=1,,2"}, "--split= wants"},
        TUsageCase{{"--unplug-at", "x"}, "--unplug-at wants"},
        TUsageCase{{"--refuse-from", "-3"}, "--refuse-from wants"},
        TUsageCase{{"--delay-us", "99999999"}, "--delay-us wants"},
        TUsageCase{{"--capture"}, "--capture wants"},
        TUsageCase{{"--silent=yes"}, "unknown option"}, TUsageCase{{"--what"}, "unknown option"}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST(Emulate, SaysWhenUhidIsMissing) {
    if (fs::exists("/dev/uhid"))
        GTEST_SKIP() << "this machine has /dev/uhid";
    const fs::path out = TempDir() / "missing.txt";
    const std::string command = std::string(KORVALIS_CLI) + " emulate >" + out.string() + " 2>&1";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(ReadFile(out), "korvalis: /dev/uhid is missing: this kernel offers no uhid (as "
                             "root: modprobe uhid)\n");
}

} // namespace
