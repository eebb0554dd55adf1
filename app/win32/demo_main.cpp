// korvalis-uploader-demo.exe: the window with an emulated device.
#include "Win32Demo.h"
#include "Win32Program.h"
#include "hid/platform/windows/WindowsGuiLoop.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace korvalis;

namespace {

const TProgramInfo kProgram{
    "korvalis-uploader-demo", KORVALIS_VERSION,
    "usage: korvalis-uploader-demo [--fw A.B.C] [--marker 0xNN]\n"
    "\n"
    "The Korvalis Graphics Uploader with an emulated device, plugged in a second\n"
    "after start; a second window shows what the device received.\n"
    "\n"
    "  --fw A.B.C     firmware version the device reports (default 19.2.16)\n"
    "  --marker 0xNN  marker byte the device reports (default 0xCF)\n"
    "  -h, --help     show this help and exit\n"
    "  -v, --version  show the version and exit\n"};

} // namespace

int main(int argc, char** argv) {
    if (argc > 1)
        UseParentConsole();
    if (const auto code = AnswerHelpOrVersion(argc, argv, kProgram, stdout))
        return *code;
    TKorvalisDeviceModel::TOptions options;
    options.ReportDelayMicroseconds = 1000; // as fast as full-speed USB
    for (int i = 1; i < argc; ++i) {
        const bool fw = std::strcmp(argv[i], "--fw") == 0;
        const bool marker = std::strcmp(argv[i], "--marker") == 0;
        char* end = nullptr;
        unsigned long value = 0;
        if (i + 1 < argc && marker)
            value = std::strtoul(argv[i + 1], &end, 0);
        if (i + 1 >= argc || (!fw && !marker) ||
            (fw && !ParseFirmwareVersion(argv[i + 1], options.Firmware)) ||
            (marker && (end == argv[i + 1] || *end || value > 0xFF))) {
            std::fprintf(stderr, "korvalis-uploader-demo: --fw takes A.B.C and --marker a byte "
                                 "(see 'korvalis-uploader-demo --help')\n");
            return 2;
        }
        if (marker)
            options.Marker = uint8_t(value);
        ++i;
    }
    THidWindowsLoop loop;
    TWin32Demo demo(options);
    demo.Show(SW_SHOWNORMAL);
    return RunMessageLoop(demo.MainWindow());
}
