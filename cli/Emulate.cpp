// korvalis emulate: a Korvalis device made of software, through the kernel's
// uhid interface, so the real program can be tried end to end on Linux with
// no hardware. The kernel exposes it as /dev/hidrawN like a plugged device.
#include "Command.h"

#ifdef __linux__
#include "OutputFile.h"

#include "bundle/ResourceBundle.h"
#include "emulator/KorvalisDeviceModel.h"
#include "imaging/PngWriter.h"
#include "protocol/Connection.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <sched.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>
#endif

namespace korvalis::cli {

namespace {

#ifdef __linux__

constexpr uint16_t kBusUsb = 0x03;
constexpr const char* kUhidPath = "/dev/uhid";

// One vendor-defined collection with a 64-byte input and a 64-byte output
// report, no report IDs: the host sees report lengths of 65 and 65.
constexpr uint8_t kReportDescriptor[] = {
    0x06, 0x00, 0xFF, // Usage Page (vendor 0xFF00)
    0x09, 0x01,       // Usage (1)
    0xA1, 0x01,       // Collection (Application)
    0x09, 0x02,       //   Usage (2)
    0x15, 0x00,       //   Logical Minimum (0)
    0x26, 0xFF, 0x00, //   Logical Maximum (255)
    0x75, 0x08,       //   Report Size (8)
    0x95, 0x40,       //   Report Count (64)
    0x81, 0x02,       //   Input (Data, Variable, Absolute)
    0x09, 0x03,       //   Usage (3)
    0x91, 0x02,       //   Output (Data, Variable, Absolute)
    0xC0,             // End Collection
};

// An odd split for --split without sizes: short, full, single-byte and empty
// reports in turn.
const std::vector<uint16_t> kOddSplit{7, 64, 1, 0, 33, 64};

struct TEmulateOptions {
    TKorvalisDeviceModel::TOptions Model;
    std::string Capture;
    std::string PicturesDir;
    bool ExitAfterUpload = false;
    bool Realtime = false;
    bool Verbose = false;
    int UhidFd = -1; // an already open uhid descriptor instead of /dev/uhid
};

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t& out) {
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || text[0] == '-' || value > max)
        return false;
    out = value;
    return true;
}

bool ParseSplit(const std::string& text, std::vector<uint16_t>& out) {
    std::vector<uint16_t> sizes;
    size_t at = 0;
    while (at <= text.size()) {
        const size_t comma = std::min(text.find(',', at), text.size());
        uint64_t n = 0;
        if (!ParseUnsigned(text.substr(at, comma - at), 64, n))
            return false;
        sizes.push_back(uint16_t(n));
        at = comma + 1;
    }
    if (std::all_of(sizes.begin(), sizes.end(), [](uint16_t n) { return n == 0; }))
        return false;
    out = std::move(sizes);
    return true;
}

// Answers -1 when the options are sound, otherwise the exit code.
int ParseOptions(std::span<const std::string> args, TEmulateOptions& o) {
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inlineValue;
        if (const size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name.resize(eq);
        }
        auto value = [&](std::string& out) {
            if (inlineValue) {
                out = *inlineValue;
                return true;
            }
            if (i + 1 >= args.size())
                return false;
            out = args[++i];
            return true;
        };
        auto flag = [&] { return !inlineValue; };
        std::string v;
        uint64_t n = 0;
        if (name == "--fw") {
            if (!value(v) || !ParseFirmwareVersion(v, o.Model.Firmware))
                return UsageError("emulate", "--fw wants a version A.B.C, each 0 to 255");
        } else if (name == "--marker") {
            if (!value(v) || !ParseUnsigned(v, 255, n))
                return UsageError("emulate", "--marker wants a byte such as 0xCF");
            o.Model.Marker = uint8_t(n);
        } else if (name == "--silent" && flag()) {
            o.Model.Silent = true;
        } else if (name == "--split") {
            if (!inlineValue)
                o.Model.AnswerSplit = kOddSplit;
            else if (!ParseSplit(*inlineValue, o.Model.AnswerSplit))
                return UsageError("emulate", "--split= wants data sizes 0 to 64 such as 20,64,1");
        } else if (name == "--extra") {
            if (!value(v) || !ParseUnsigned(v, 65536, n))
                return UsageError("emulate", "--extra wants a number of bytes");
            o.Model.ExtraAnswerBytes = uint32_t(n);
        } else if (name == "--refuse-from" || name == "--unplug-at") {
            if (!value(v) || !ParseUnsigned(v, uint64_t(INT64_MAX), n))
                return UsageError("emulate", name + " wants a report number");
            (name == "--refuse-from" ? o.Model.FailWritesFrom : o.Model.UnplugAt) = int64_t(n);
        } else if (name == "--delay-us") {
            if (!value(v) || !ParseUnsigned(v, 10'000'000, n))
                return UsageError("emulate", "--delay-us wants microseconds (at most 10000000)");
            o.Model.ReportDelayMicroseconds = uint32_t(n);
        } else if (name == "--capture") {
            if (!value(o.Capture) || o.Capture.empty())
                return UsageError("emulate", "--capture wants a file name");
        } else if (name == "--save-pictures") {
            if (!value(o.PicturesDir) || o.PicturesDir.empty())
                return UsageError("emulate", "--save-pictures wants a directory");
        } else if (name == "--exit-after-upload" && flag()) {
            o.ExitAfterUpload = true;
        } else if (name == "--realtime" && flag()) {
            o.Realtime = true;
        } else if ((name == "--verbose" || name == "-v") && flag()) {
            o.Verbose = true;
        } else if (name == "--uhid-fd") {
            if (!value(v) || !ParseUnsigned(v, 1 << 20, n))
                return UsageError("emulate", "--uhid-fd wants a descriptor number");
            o.UhidFd = int(n);
        } else {
            return UsageError("emulate", "unknown option '" + args[i] + "'");
        }
    }
    return -1;
}

double Seconds(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

void SleepMicroseconds(uint32_t us) {
    timespec t{time_t(us / 1'000'000), long(us % 1'000'000) * 1000};
    while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

// The hidraw node the kernel made for the device whose HID_UNIQ is uniq; it
// appears right after the device starts.
std::string FindHidraw(const std::string& uniq) {
    namespace fs = std::filesystem;
    for (int attempt = 0; attempt < 200; ++attempt) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator("/sys/class/hidraw", ec)) {
            std::ifstream uevent(entry.path() / "device" / "uevent");
            std::string line;
            while (std::getline(uevent, line)) {
                if (line == "HID_UNIQ=" + uniq) {
                    const std::string hid = fs::canonical(entry.path() / "device", ec).filename();
                    return "/dev/" + entry.path().filename().string() + " (" + hid + ")";
                }
            }
        }
        SleepMicroseconds(10'000);
    }
    return "";
}

class TUhidEmulator {
  public:
    TUhidEmulator(int fd, TEmulateOptions options)
        : FFd(fd), FOptions(std::move(options)), FModel(FOptions.Model),
          FUniq("korvalis-emulate-" + std::to_string(::getpid())) {}

    bool Create();
    // Serves the device until it is unplugged, the upload ends (with
    // --exit-after-upload), a signal arrives on signalFd or the descriptor
    // closes. Answers the exit code.
    int Run(int signalFd);

  private:
    bool Send(const uhid_event& ev);
    bool Destroy();
    void OnOutput(const uhid_output_req& output);
    void OnBundleComplete();
    bool WriteFiles(bool complete);
    void Summary();
    void Say(const std::string& text) const { std::printf("korvalis emulate: %s\n", text.c_str()); }

    int FFd;
    TEmulateOptions FOptions;
    TKorvalisDeviceModel FModel;
    std::string FUniq;
    bool FCreated = false;
    bool FStarted = false;
    bool FReceiving = false;
    bool FDone = false;
    bool FFailed = false;
    uint64_t FInputReports = 0;
    uint64_t FRefused = 0;
    uint64_t FIgnored = 0;
    uint64_t FBundles = 0;
    std::chrono::steady_clock::time_point FBundleStart;
};

bool TUhidEmulator::Send(const uhid_event& ev) {
    for (;;) {
        const ssize_t n = ::write(FFd, &ev, sizeof ev);
        if (n == ssize_t(sizeof ev))
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        PrintError(std::string("writing to uhid failed: ") +
                   (n < 0 ? std::strerror(errno) : "short write"));
        return false;
    }
}

bool TUhidEmulator::Create() {
    uhid_event ev{};
    ev.type = UHID_CREATE2;
    auto& c = ev.u.create2;
    std::snprintf(reinterpret_cast<char*>(c.name), sizeof c.name, "Korvalis emulated device");
    std::snprintf(reinterpret_cast<char*>(c.phys), sizeof c.phys, "korvalis-emulate");
    std::snprintf(reinterpret_cast<char*>(c.uniq), sizeof c.uniq, "%s", FUniq.c_str());
    c.rd_size = sizeof kReportDescriptor;
    c.bus = kBusUsb;
    // The one device the uploader takes.
    c.vendor = TConnection::kVendorID;
    c.product = TConnection::kProductID;
    c.version = 0x0100;
    c.country = 0;
    std::memcpy(c.rd_data, kReportDescriptor, sizeof kReportDescriptor);
    FCreated = Send(ev);
    return FCreated;
}

bool TUhidEmulator::Destroy() {
    if (!FCreated)
        return true;
    FCreated = false;
    uhid_event ev{};
    ev.type = UHID_DESTROY;
    return Send(ev);
}

void TUhidEmulator::OnOutput(const uhid_output_req& output) {
    if (output.rtype != UHID_OUTPUT_REPORT) {
        ++FIgnored;
        return;
    }
    const size_t size = std::min<size_t>(output.size, sizeof output.data);
    const bool wasReceiving = FReceiving;
    const uint64_t rejectedBefore = FModel.RejectedPackets();
    const uint64_t readsBefore = FModel.ReadCommands();
    const auto result = FModel.OutputReport({output.data, size});
    if (FOptions.Model.ReportDelayMicroseconds > 0)
        SleepMicroseconds(FOptions.Model.ReportDelayMicroseconds);

    using TWriteResult = TKorvalisDeviceModel::TWriteResult;
    if (result == TWriteResult::wrUnplugged) {
        Say("unplugged at output report " + std::to_string(FModel.OutputReports()));
        Destroy();
        FDone = true;
        return;
    }
    if (result == TWriteResult::wrRefused) {
        // uhid has already told the writer the report went out; the device
        // drops it.
        if (FRefused++ == 0)
            Say("refusing output reports from report " + std::to_string(FModel.OutputReports()));
        return;
    }
    if (wasReceiving) {
        if (FModel.BundleComplete())
            OnBundleComplete();
        return;
    }
    if (FModel.RejectedPackets() > rejectedBefore) {
        Say("rejected a packet (length byte, signature or checksum wrong)");
        return;
    }
    if (FModel.ReadCommands() > readsBefore) {
        uint64_t sent = 0;
        while (FModel.HasInputReport()) {
            const std::vector<uint8_t> report = FModel.TakeInputReport();
            uhid_event ev{};
            ev.type = UHID_INPUT2;
            // Without report IDs the kernel wants the data alone.
            const size_t n = report.size() - 1;
            ev.u.input2.size = uint16_t(n);
            std::memcpy(ev.u.input2.data, report.data() + 1, n);
            if (!Send(ev)) {
                FFailed = FDone = true;
                return;
            }
            ++sent;
        }
        FInputReports += sent;
        const auto& fw = FOptions.Model.Firmware;
        char text[160];
        if (FOptions.Model.Silent)
            std::snprintf(text, sizeof text, "read command %llu: silent, no answer",
                          (unsigned long long)FModel.ReadCommands());
        else
            std::snprintf(text, sizeof text,
                          "read command %llu: answered with %llu input reports (firmware "
                          "%u.%u.%u, marker 0x%02X)",
                          (unsigned long long)FModel.ReadCommands(), (unsigned long long)sent,
                          fw[0], fw[1], fw[2], FOptions.Model.Marker);
        Say(text);
        return;
    }
    if (size >= 2 && output.data[1] == 0x5A) {
        FBundleStart = std::chrono::steady_clock::now();
        FReceiving = true;
        Say("write command: receiving the bundle");
        if (FModel.BundleComplete())
            OnBundleComplete();
    }
}

void TUhidEmulator::OnBundleComplete() {
    FReceiving = false;
    ++FBundles;
    char text[160];
    std::snprintf(text, sizeof text, "bundle complete: %zu bytes in %llu reports, %.3f s",
                  FModel.ReceivedBundle().size(), (unsigned long long)FModel.BundleReports(),
                  Seconds(FBundleStart));
    Say(text);
    if (!WriteFiles(true))
        FFailed = true;
    if (FOptions.ExitAfterUpload)
        FDone = true;
}

bool TUhidEmulator::WriteFiles(bool complete) {
    const std::vector<uint8_t>& bundle = FModel.ReceivedBundle();
    bool ok = true;
    if (!FOptions.Capture.empty()) {
        if (WriteOutputFile(FOptions.Capture, bundle))
            Say(std::string("wrote ") + (complete ? "the bundle" : "the partial bundle") + " to " +
                FOptions.Capture);
        else
            ok = false;
    }
    if (!FOptions.PicturesDir.empty() && complete) {
        std::error_code ec;
        std::filesystem::create_directories(FOptions.PicturesDir, ec);
        if (ec) {
            PrintError(FOptions.PicturesDir + ": " + ec.message());
            return false;
        }
        bool saved = true;
        std::string names;
        for (size_t i = 0; i < kSlotCount; ++i) {
            const std::string name = kSlots[i].Keyword() + ".png";
            saved = WriteOutputFile((std::filesystem::path(FOptions.PicturesDir) / name).string(),
                                    EncodePngRgb(BundlePicture(bundle, int(i)))) &&
                    saved;
            names += (i == 0 ? "" : i + 1 == kSlotCount ? " and " : ", ") + name;
        }
        if (saved)
            Say("wrote " + names + " to " + FOptions.PicturesDir);
        ok = ok && saved;
    }
    return ok;
}

void TUhidEmulator::Summary() {
    if (FReceiving) {
        std::string why;
        if (FModel.Unplugged())
            why = "the device was removed";
        else if (FRefused > 0)
            why = "the device refused the rest";
        else
            why = "the writer stopped, or the kernel dropped reports: uhid drops output reports "
                  "when this program falls 32 behind (--realtime helps)";
        Say("bundle incomplete: " + std::to_string(FModel.ReceivedBundle().size()) + " of " +
            std::to_string(TKorvalisDeviceModel::kBundleSize) + " bytes; " + why);
        if (!WriteFiles(false))
            FFailed = true;
    }
    char text[240];
    std::snprintf(text, sizeof text,
                  "%llu output reports, %llu read commands, %llu input reports, %llu bundles, "
                  "%llu packets rejected, %llu reports refused",
                  (unsigned long long)FModel.OutputReports(),
                  (unsigned long long)FModel.ReadCommands(), (unsigned long long)FInputReports,
                  (unsigned long long)FBundles, (unsigned long long)FModel.RejectedPackets(),
                  (unsigned long long)FRefused);
    Say(text);
}

int TUhidEmulator::Run(int signalFd) {
    uhid_event ev;
    while (!FDone) {
        pollfd fds[2] = {{FFd, POLLIN, 0}, {signalFd, POLLIN, 0}};
        if (::poll(fds, signalFd >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            PrintError(std::string("poll failed: ") + std::strerror(errno));
            FFailed = true;
            break;
        }
        if (signalFd >= 0 && (fds[1].revents & POLLIN)) {
            signalfd_siginfo info{};
            if (::read(signalFd, &info, sizeof info) > 0)
                Say(std::string("stopping on ") + ::strsignal(int(info.ssi_signo)));
            break;
        }
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        const ssize_t n = ::read(FFd, &ev, sizeof ev);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0) {
            if (n < 0) {
                PrintError(std::string("reading from uhid failed: ") + std::strerror(errno));
                FFailed = true;
            }
            FCreated = false;
            break;
        }
        if (size_t(n) < sizeof ev.type)
            continue;
        switch (ev.type) {
        case UHID_START:
            if (!FStarted) {
                FStarted = true;
                // A descriptor handed over may not be the kernel's: no node to find.
                const std::string node = FOptions.UhidFd >= 0 ? "" : FindHidraw(FUniq);
                Say("device 0416:5020 ready" + (node.empty() ? "" : " as " + node));
            }
            break;
        case UHID_STOP:
            Say("the kernel stopped the device");
            break;
        case UHID_OPEN:
            if (FOptions.Verbose)
                Say("opened");
            break;
        case UHID_CLOSE:
            if (FOptions.Verbose)
                Say("closed");
            break;
        case UHID_OUTPUT:
            OnOutput(ev.u.output);
            break;
        case UHID_GET_REPORT: {
            // Only interrupt reports exist: feature and report requests fail.
            uhid_event reply{};
            reply.type = UHID_GET_REPORT_REPLY;
            reply.u.get_report_reply.id = ev.u.get_report.id;
            reply.u.get_report_reply.err = EIO;
            if (!Send(reply))
                FFailed = FDone = true;
            break;
        }
        case UHID_SET_REPORT: {
            uhid_event reply{};
            reply.type = UHID_SET_REPORT_REPLY;
            reply.u.set_report_reply.id = ev.u.set_report.id;
            reply.u.set_report_reply.err = EIO;
            if (!Send(reply))
                FFailed = FDone = true;
            break;
        }
        default:
            break;
        }
    }
    if (!Destroy())
        FFailed = true;
    Summary();
    return FFailed ? 1 : 0;
}

int OpenUhid() {
    const int fd = ::open(kUhidPath, O_RDWR | O_CLOEXEC);
    if (fd >= 0)
        return fd;
    const int error = errno;
    if (error == ENOENT || error == ENODEV || error == ENXIO)
        PrintError("/dev/uhid is missing: this kernel offers no uhid (as root: modprobe uhid)");
    else if (error == EACCES || error == EPERM || error == EROFS)
        PrintError("/dev/uhid is not writable for this user: run as root or grant access to it");
    else
        PrintError(std::string("cannot open /dev/uhid: ") + std::strerror(error));
    return -1;
}

int RunEmulate(std::span<const std::string> args) {
    TEmulateOptions options;
    if (const int code = ParseOptions(args, options); code >= 0)
        return code;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // A closed descriptor shows as a failed write, not as a signal.
    std::signal(SIGPIPE, SIG_IGN);

    const auto& split = options.Model.AnswerSplit;
    if (std::any_of(split.begin(), split.end(), [](uint16_t n) { return n < 64; }))
        std::printf("korvalis emulate: note: recent kernels drop input reports shorter than the "
                    "64 bytes the device declares (dmesg: \"too short\"), and empty ones always\n");
    const int fd = options.UhidFd >= 0 ? options.UhidFd : OpenUhid();
    if (fd < 0)
        return 1;
    if (options.Realtime) {
        // uhid never makes the writer wait: a device that falls behind loses
        // reports, so it runs before the writer when it may.
        sched_param param{};
        param.sched_priority = 1;
        if (::sched_setscheduler(0, SCHED_FIFO, &param) != 0)
            PrintError(std::string("--realtime: ") + std::strerror(errno) +
                       "; going on at normal priority");
    }

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &signals, nullptr);
    const int signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC);

    TUhidEmulator emulator(fd, options);
    int code = 1;
    if (emulator.Create())
        code = emulator.Run(signalFd);
    if (signalFd >= 0)
        ::close(signalFd);
    ::close(fd);
    ::sigprocmask(SIG_UNBLOCK, &signals, nullptr);
    return code;
}

#else

// uhid is the Linux kernel's: other systems have no way for a program to plug
// in a HID device. Not a usage error: the same command works on Linux.
int RunEmulate(std::span<const std::string>) {
    PrintError("emulate needs Linux: it plugs its device in through the Linux kernel's /dev/uhid");
    return 1;
}

#endif

const TCommandRegistration kRegistration{{
    "emulate",
    "emulate [--fw A.B.C] [--marker 0xNN] [--silent] [--split[=N,N...]] [--extra N] "
    "[--refuse-from N] [--unplug-at N] [--delay-us N] [--capture OUT.bin] "
    "[--save-pictures DIR] [--exit-after-upload] [--realtime] [--verbose]",
    "plug an emulated Korvalis device into this machine through /dev/uhid",
    RunEmulate,
    "\n"
    "  --fw A.B.C          firmware version in the configuration block (default 19.2.16)\n"
    "  --marker 0xNN       marker byte of the configuration block (default 0xCF)\n"
    "  --silent            never answer the read command\n"
    "  --split[=N,N...]    answer in input reports of these data sizes, 0 to 64, repeated\n"
    "                      until the block is sent; without sizes 7,64,1,0,33,64\n"
    "                      (default: 64 bytes in each of nine reports)\n"
    "  --extra N           send N bytes more than the 576 of the block (default 0)\n"
    "  --refuse-from N     drop every output report from the Nth on, counting all of\n"
    "                      them from 0 (after one firmware check, 1 is the write command)\n"
    "  --unplug-at N       unplug at the Nth output report, counted the same way\n"
    "  --delay-us N        take N microseconds per output report (default 0: at once;\n"
    "                      1000 is a real device's pace)\n"
    "  --capture OUT.bin   write the bundle received, also an incomplete one\n"
    "  --save-pictures DIR write the three pictures of a complete bundle as PNG files\n"
    "  --exit-after-upload end once a whole bundle has arrived\n"
    "  --realtime          run at real-time priority (SCHED_FIFO; root or CAP_SYS_NICE),\n"
    "                      so the kernel drops no output reports from a slow emulator\n"
    "  --verbose, -v       also report when a program opens and closes the device\n",
}};

} // namespace

} // namespace korvalis::cli
