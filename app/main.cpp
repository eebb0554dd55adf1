// korvalis-uploader: the desktop program.
#include "MainWindow.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("korvalis-uploader"));
    QApplication::setDesktopFileName(QStringLiteral("korvalis-uploader"));
    korvalis::TfrmMain frmMain;
    frmMain.show();
    return QApplication::exec();
}
