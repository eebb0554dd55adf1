// make-icons: writes the application icon, drawn by the same code the window
// uses, as PNG files for the hicolor theme.
//
// usage: make-icons OUTDIR SIZE...   writes OUTDIR/korvalis-uploader-SIZE.png
#include "app/AppIcon.h"

#include <QDir>
#include <QImage>
#include <QString>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: make-icons OUTDIR SIZE...\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(dir)) {
        std::fprintf(stderr, "make-icons: cannot create %s\n", argv[1]);
        return 1;
    }
    for (int i = 2; i < argc; ++i) {
        char* end = nullptr;
        const long size = std::strtol(argv[i], &end, 10);
        if (*argv[i] == '\0' || *end != '\0' || size < 1 || size > 1024) {
            std::fprintf(stderr, "make-icons: bad size '%s'\n", argv[i]);
            return 2;
        }
        const QImage image = korvalis::KorvalisIconImage(static_cast<int>(size));
        const QString path = dir + QStringLiteral("/korvalis-uploader-%1.png").arg(size);
        if (image.width() != size || image.height() != size || !image.save(path, "PNG")) {
            std::fprintf(stderr, "make-icons: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
