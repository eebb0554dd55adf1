// korvalis-uploader: the desktop program.
#include "LaunchOptions.h"
#include "MainWindow.h"
#include "hid/platform/qt/QtGuiLoop.h"

#include <QApplication>

#ifndef KORVALIS_VERSION
#define KORVALIS_VERSION "0.0.0"
#endif

namespace {

const korvalis::TProgramInfo kProgram{
    "korvalis-uploader", KORVALIS_VERSION,
    "usage: korvalis-uploader [--help | --version]\n"
    "\n"
    "Puts your own Splash, Logo and Screensaver pictures on a Korvalis device's\n"
    "display. Everything is done in its window; it keeps no settings.\n"
    "Qt's window options (such as -platform or -style) apply.\n"
    "\n"
    "  -h, --help     show this help and exit\n"
    "  -v, --version  show the version and exit\n"
    "\n"
    "See also korvalis(1) for scripts, and korvalis-uploader-demo(1).\n"};

} // namespace

int main(int argc, char** argv) {
    if (const auto code = korvalis::AnswerHelpOrVersion(argc, argv, kProgram, stdout))
        return *code;
    QApplication app(argc, argv);
    if (const auto code = korvalis::RejectLeftoverArguments(argc, argv, kProgram, stderr))
        return *code;
    QApplication::setApplicationName(QStringLiteral("korvalis-uploader"));
    QApplication::setApplicationVersion(QStringLiteral(KORVALIS_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("korvalis-uploader"));
    korvalis::UseQtHidGuiLoop();
    korvalis::TQtMainWindow frmMain;
    frmMain.show();
    return QApplication::exec();
}
