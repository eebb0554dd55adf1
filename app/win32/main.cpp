// korvalis-uploader.exe: the desktop program on Windows.
#include "Win32MainWindow.h"
#include "Win32Program.h"
#include "hid/platform/windows/WindowsGuiLoop.h"

namespace {

const korvalis::TProgramInfo kProgram{
    "korvalis-uploader", KORVALIS_VERSION,
    "usage: korvalis-uploader [--help | --version]\n"
    "\n"
    "Puts your own Splash, Logo and Screensaver pictures on a Korvalis device's\n"
    "display. Everything is done in its window; it keeps no settings.\n"
    "\n"
    "  -h, --help     show this help and exit\n"
    "  -v, --version  show the version and exit\n"};

} // namespace

int main(int argc, char** argv) {
    if (const auto code = korvalis::AnswerCommandLine(argc, argv, kProgram))
        return *code;
    korvalis::THidWindowsLoop loop;
    korvalis::TWin32MainWindow frmMain;
    frmMain.Show(SW_SHOWNORMAL);
    return korvalis::RunMessageLoop(frmMain);
}
