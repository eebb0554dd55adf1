#include "DeviceScreen.h"

#include "AppIcon.h"
#include "bundle/ResourceBundle.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QScreen>

#include <algorithm>

namespace korvalis {

namespace {
constexpr int kScale = 2; // half size
constexpr int kGap = 8;
constexpr int kTitle = 18;

// Room between the two frames.
constexpr int kSpacing = 12;
// A window manager adds its frame after the window is shown; until then a
// frame is taken as the window plus room for a title bar and borders.
const QMargins kFrameAllowance(8, 36, 8, 8);

QRect FrameOf(const QWidget& window) {
    const QRect frame = window.frameGeometry();
    return frame != window.geometry() ? frame : window.geometry() + kFrameAllowance;
}

int Clamp(int value, int low, int high) {
    return std::max(low, std::min(value, high));
}

} // namespace

TCompanionPlacement PlaceBeside(const QRect& mainFrame, const QSize& companionFrame,
                                const QRect& available) {
    const int w = companionFrame.width();
    const int h = companionFrame.height();
    auto top = [&](const QRect& main) {
        return Clamp(main.top(), available.top(), available.bottom() + 1 - h);
    };
    if (mainFrame.right() + kSpacing + w <= available.right())
        return {mainFrame.topLeft(), {mainFrame.right() + 1 + kSpacing, top(mainFrame)}};
    if (mainFrame.left() - kSpacing - w >= available.left())
        return {mainFrame.topLeft(), {mainFrame.left() - kSpacing - w, top(mainFrame)}};
    const int pairWidth = mainFrame.width() + kSpacing + w;
    if (pairWidth <= available.width()) {
        QRect main = mainFrame;
        main.moveLeft(available.left() + (available.width() - pairWidth) / 2);
        return {main.topLeft(), {main.right() + 1 + kSpacing, top(main)}};
    }
    QRect main = mainFrame;
    if (main.bottom() + kSpacing + h > available.bottom())
        main.moveTop(std::max(available.top(), available.bottom() - kSpacing - h - main.height()));
    const int left = Clamp(main.left(), available.left(), available.right() + 1 - w);
    return {main.topLeft(), {left, main.bottom() + 1 + kSpacing}};
}

TDeviceScreen::TDeviceScreen(QWidget* parent) : QWidget(parent) {
    setWindowTitle(QStringLiteral("Korvalis device screen (emulated)"));
    setWindowIcon(KorvalisIcon());
    const int w = int(kSlotCount) * 240 / kScale + int(kSlotCount + 1) * kGap;
    const int h = 320 / kScale + 2 * kGap + 2 * kTitle;
    setFixedSize(w, h);
    for (auto& picture : FPictures)
        picture.SetSize(240, 320);
    FCaption = QStringLiteral("Nothing received yet");
}

void TDeviceScreen::ShowBeside(QWidget& main) {
    // Closing the main window ends the demo; this window alone does not keep it.
    setAttribute(Qt::WA_QuitOnClose, false);
    const QScreen* screen = main.screen() ? main.screen() : QGuiApplication::primaryScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, 1280, 1024);
    const QRect mainFrame = FrameOf(main);
    const QSize ownFrame = (geometry() + kFrameAllowance).size();
    const TCompanionPlacement place = PlaceBeside(mainFrame, ownFrame, available);
    // move() places a window's frame.
    if (place.Main != mainFrame.topLeft())
        main.move(main.pos() + (place.Main - mainFrame.topLeft()));
    move(place.Companion);
    show();
}

void TDeviceScreen::ShowBundle(std::span<const uint8_t> bundle, const QString& caption) {
    for (size_t i = 0; i < kSlotCount; ++i)
        FPictures[i] = BundlePicture(bundle, int(i));
    FCaption = caption;
    update();
}

void TDeviceScreen::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), QColor(0x20, 0x24, 0x2c));
    p.setPen(Qt::white);
    for (size_t i = 0; i < kSlotCount; ++i) {
        const int x = kGap + int(i) * (240 / kScale + kGap);
        p.drawText(QRect(x, 0, 240 / kScale, kTitle), Qt::AlignCenter,
                   QString::fromLatin1(kSlots[i].Name));
        TRaster& picture = FPictures[i];
        const QImage image(picture.Bits(), picture.Width(), picture.Height(),
                           qsizetype(picture.Stride()), QImage::Format_BGR888);
        p.drawImage(QRect(x, kTitle, 240 / kScale, 320 / kScale), image);
    }
    p.drawText(QRect(kGap, kTitle + 320 / kScale + kGap, width() - 2 * kGap, kTitle),
               Qt::AlignLeft | Qt::AlignVCenter, FCaption);
}

} // namespace korvalis
