// korvalis-uploader: the desktop program.
#include "MainWindow.h"
#include "hid/platform/qt/QtGuiLoop.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("korvalis-uploader"));
    QApplication::setDesktopFileName(QStringLiteral("korvalis-uploader"));
    korvalis::UseQtHidGuiLoop();
    korvalis::TfrmMain frmMain;
    frmMain.show();
    return QApplication::exec();
}
