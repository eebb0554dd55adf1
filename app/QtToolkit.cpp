#include "QtToolkit.h"

#include <QFileDialog>
#include <QImage>
#include <QPainter>

namespace korvalis {

TPictureControl::TPictureControl(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

TRaster& TPictureControl::Picture() {
    if (!FPicture)
        FPicture = std::make_unique<TRaster>(width(), height());
    return *FPicture;
}

void TPictureControl::DiscardPicture() {
    FPicture.reset();
    update();
}

void TPictureControl::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    if (!FPicture || FPicture->Empty())
        return;
    TRaster& picture = *FPicture;
    picture.SetPixelFormat(TPixelFormat::pf24bit);
    // The raster's rows are blue, green, red: QImage's BGR888 without a copy.
    const QImage image(picture.Bits(), picture.Width(), picture.Height(),
                       qsizetype(picture.Stride()), QImage::Format_BGR888);
    painter.drawImage(0, 0, image);
}

TStatusBar::TStatusBar(QWidget* parent, int panelWidth) : QFrame(parent) {
    FPanel = new QLabel(this);
    FPanel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    FPanel->setGeometry(0, 2, panelWidth, 17);
    FPanel->setIndent(2);
}

void TStatusBar::SetText(const std::string& text) {
    FPanel->setText(QString::fromStdString(text));
    // Shown at once, even inside a long handler.
    FPanel->repaint();
}

std::string TStatusBar::Text() const {
    return FPanel->text().toStdString();
}

TQtOpenDialog::TQtOpenDialog(QWidget* owner, QString title, QStringList nameFilters)
    : FOwner(owner), FTitle(std::move(title)), FNameFilters(std::move(nameFilters)) {}

std::optional<std::string> TQtOpenDialog::Execute() {
    QFileDialog dialog(FOwner, FTitle);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setNameFilters(FNameFilters);
    dialog.setOption(QFileDialog::ReadOnly, false);
    dialog.setSizeGripEnabled(true);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return QFileInfo(dialog.selectedFiles().first()).absoluteFilePath().toStdString();
}

} // namespace korvalis
