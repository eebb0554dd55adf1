// korvalis-uploader-demo: the real window on the simulated HID platform, with
// one emulated Korvalis device that is plugged in a second after start and a
// window that shows what the device received.
#include "DeviceScreen.h"
#include "LaunchOptions.h"
#include "MainWindow.h"
#include "emulator/KorvalisSimModel.h"
#include "hid/platform/qt/QtGuiLoop.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>

#include <cstdio>

#ifndef KORVALIS_VERSION
#define KORVALIS_VERSION "0.0.0"
#endif

using namespace korvalis;

namespace {

const TProgramInfo kProgram{
    "korvalis-uploader-demo", KORVALIS_VERSION,
    "usage: korvalis-uploader-demo [--fw A.B.C] [--marker 0xNN]\n"
    "\n"
    "The Korvalis Graphics Uploader with an emulated device, plugged in a second\n"
    "after start; a second window shows what the device received.\n"
    "Qt's window options (such as -platform or -style) apply.\n"
    "\n"
    "  --fw A.B.C     firmware version the device reports (default 19.2.16)\n"
    "  --marker 0xNN  marker byte the device reports (default 0xCF)\n"
    "  -h, --help     show this help and exit\n"
    "  -v, --version  show the version and exit\n"};

} // namespace

int main(int argc, char** argv) {
    if (const auto code = AnswerHelpOrVersion(argc, argv, kProgram, stdout))
        return *code;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("korvalis-uploader-demo"));
    QApplication::setApplicationVersion(QStringLiteral(KORVALIS_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("korvalis-uploader"));
    UseQtHidGuiLoop();
    QCommandLineParser parser;
    const QCommandLineOption fwOption(QStringLiteral("fw"),
                                      QStringLiteral("Firmware version the device reports."),
                                      QStringLiteral("A.B.C"), QStringLiteral("19.2.16"));
    const QCommandLineOption markerOption(QStringLiteral("marker"),
                                          QStringLiteral("Marker byte the device reports."),
                                          QStringLiteral("0xNN"), QStringLiteral("0xCF"));
    parser.addOption(fwOption);
    parser.addOption(markerOption);
    if (!parser.parse(QApplication::arguments())) {
        std::fprintf(stderr, "korvalis-uploader-demo: %s (see 'korvalis-uploader-demo --help')\n",
                     qPrintable(parser.errorText()));
        return 2;
    }
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr,
                     "korvalis-uploader-demo: takes no arguments, got '%s' "
                     "(see 'korvalis-uploader-demo --help')\n",
                     qPrintable(parser.positionalArguments().first()));
        return 2;
    }

    TKorvalisDeviceModel::TOptions options;
    options.ReportDelayMicroseconds = 1000; // as fast as full-speed USB
    bool markerOk = false;
    const uint marker = parser.value(markerOption).toUInt(&markerOk, 0);
    if (!ParseFirmwareVersion(parser.value(fwOption).toStdString(), options.Firmware) ||
        !markerOk || marker > 0xFF) {
        std::fprintf(stderr, "korvalis-uploader-demo: --fw takes A.B.C and --marker a byte\n");
        return 2;
    }
    options.Marker = uint8_t(marker);
    sim::TSimPlatform::Select();
    auto model = std::make_shared<sim::TKorvalisSimModel>(options);

    TQtMainWindow frmMain;
    frmMain.show();
    TDeviceScreen screen;
    screen.ShowBeside(frmMain);

    QTimer::singleShot(
        1000, [model] { sim::TSimPlatform::Instance().Plug(sim::KorvalisInterface(model)); });
    // Show each upload the device completes.
    uint64_t shown = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        const uint64_t reports = model->BundleReports();
        if (reports == shown)
            return;
        shown = reports;
        const auto bundle = model->ReceivedBundle();
        screen.ShowBundle(
            bundle, model->BundleComplete()
                        ? QStringLiteral("Received %1 bytes: upload complete").arg(bundle.size())
                        : QStringLiteral("Received %1 bytes").arg(bundle.size()));
    });
    poll.start(200);
    const int result = QApplication::exec();
    sim::TSimPlatform::Instance().Reset();
    return result;
}
