#include "DeviceScreen.h"

#include "AppIcon.h"
#include "bundle/ResourceBundle.h"

#include <QImage>
#include <QPainter>

namespace korvalis {

namespace {
constexpr int kScale = 2; // half size
constexpr int kGap = 8;
constexpr int kTitle = 18;
const char* const kNames[3] = {"Splash", "Logo", "Screensaver"};
} // namespace

TDeviceScreen::TDeviceScreen(QWidget* parent) : QWidget(parent) {
    setWindowTitle(QStringLiteral("Korvalis device screen (emulated)"));
    setWindowIcon(KorvalisIcon());
    const int w = 3 * 240 / kScale + 4 * kGap;
    const int h = 320 / kScale + 2 * kGap + 2 * kTitle;
    setFixedSize(w, h);
    for (auto& picture : FPictures)
        picture.SetSize(240, 320);
    FCaption = QStringLiteral("Nothing received yet");
}

void TDeviceScreen::ShowBundle(std::span<const uint8_t> bundle, const QString& caption) {
    for (int i = 0; i < 3; ++i)
        FPictures[size_t(i)] = BundlePicture(bundle, i);
    FCaption = caption;
    update();
}

void TDeviceScreen::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), QColor(0x20, 0x24, 0x2c));
    p.setPen(Qt::white);
    for (int i = 0; i < 3; ++i) {
        const int x = kGap + i * (240 / kScale + kGap);
        p.drawText(QRect(x, 0, 240 / kScale, kTitle), Qt::AlignCenter,
                   QString::fromLatin1(kNames[i]));
        TRaster& picture = FPictures[size_t(i)];
        const QImage image(picture.Bits(), picture.Width(), picture.Height(),
                           qsizetype(picture.Stride()), QImage::Format_BGR888);
        p.drawImage(QRect(x, kTitle, 240 / kScale, 320 / kScale), image);
    }
    p.drawText(QRect(kGap, kTitle + 320 / kScale + kGap, width() - 2 * kGap, kTitle),
               Qt::AlignLeft | Qt::AlignVCenter, FCaption);
}

} // namespace korvalis
