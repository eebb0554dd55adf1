#include "QtToolkit.h"

#include <QColorDialog>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QImage>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QRegularExpression>
#include <QSortFilterProxyModel>

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

void TPictureControl::SetOnDropFile(std::function<void(const std::string&)> handler) {
    FOnDrop = std::move(handler);
    setAcceptDrops(bool(FOnDrop));
}

void FillMenu(QMenu& menu, const std::vector<TMenuItem>& items) {
    for (const TMenuItem& item : items) {
        if (item.Caption.empty()) {
            menu.addSeparator();
            continue;
        }
        const QString caption = QString::fromStdString(item.Caption);
        if (!item.Items.empty()) {
            QMenu* sub = menu.addMenu(caption);
            sub->setEnabled(item.Enabled);
            FillMenu(*sub, item.Items);
            continue;
        }
        QAction* action = menu.addAction(caption);
        action->setEnabled(item.Enabled);
        action->setCheckable(item.Checked);
        action->setChecked(item.Checked);
        action->setData(QVariant::fromValue(quintptr(&item)));
    }
}

const TMenuItem* MenuItemOf(const QAction* action) {
    return action ? reinterpret_cast<const TMenuItem*>(action->data().value<quintptr>()) : nullptr;
}

void TPictureControl::ShowContextMenu(QPoint at) {
    if (!FOnMenu)
        return;
    // The entries live until the chosen one has run.
    const std::vector<TMenuItem> items = FOnMenu();
    QMenu menu(this);
    FillMenu(menu, items);
    const TMenuItem* chosen = MenuItemOf(menu.exec(mapToGlobal(at)));
    if (chosen && chosen->OnClick)
        chosen->OnClick();
}

void TPictureControl::contextMenuEvent(QContextMenuEvent* event) {
    if (!FOnMenu) {
        event->ignore();
        return;
    }
    ShowContextMenu(event->pos());
}

namespace {

// The one local file a drag carries, or an empty string.
QString DroppedFile(const QMimeData* data) {
    if (!data || !data->hasUrls() || data->urls().size() != 1 ||
        !data->urls().front().isLocalFile())
        return {};
    return data->urls().front().toLocalFile();
}

} // namespace

void TPictureControl::dragEnterEvent(QDragEnterEvent* event) {
    dragMoveEvent(event); // a drag enter is a drag move that arrived
}

void TPictureControl::dragMoveEvent(QDragMoveEvent* event) {
    if (FOnDrop && !DroppedFile(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void TPictureControl::dropEvent(QDropEvent* event) {
    const QString file = DroppedFile(event->mimeData());
    if (!FOnDrop || file.isEmpty())
        return;
    event->acceptProposedAction();
    // The handler may replace the handler: call a copy.
    const auto handler = FOnDrop;
    handler(file.toStdString());
}

std::optional<uint32_t> TQtColourDialog::Execute(uint32_t initial) {
    const QColor colour = QColorDialog::getColor(QColor::fromRgb(QRgb(initial)), FOwner, FTitle);
    if (!colour.isValid())
        return std::nullopt;
    return uint32_t(colour.rgb() & 0xFFFFFFu);
}

void TQtButton::SetOnClick(std::function<void()> handler) {
    FOnClick = std::move(handler);
    if (!FClicked)
        FClicked = QObject::connect(FButton, &QPushButton::clicked, [this] {
            if (FOnClick)
                FOnClick();
        });
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

namespace {

// The patterns of a filter such as "Images (*.bmp;*.jpg)", separated by
// semicolons or spaces, each matched without regard to case.
std::vector<QRegularExpression> FilterPatterns(const QString& filter) {
    const qsizetype open = filter.lastIndexOf(u'(');
    const qsizetype close = filter.lastIndexOf(u')');
    const QString list =
        open >= 0 && close > open ? filter.mid(open + 1, close - open - 1) : filter;
    std::vector<QRegularExpression> patterns;
    for (const QString& pattern :
         list.split(QRegularExpression(QStringLiteral("[; ]")), Qt::SkipEmptyParts))
        patterns.emplace_back(QRegularExpression::wildcardToRegularExpression(pattern),
                              QRegularExpression::CaseInsensitiveOption);
    return patterns;
}

// The dialog's listing: every folder, and the files the chosen filter takes.
// The dialog's own model is left to match the filter text literally; with
// nameFilterDisables it then greys files out rather than hiding them, and
// this layer decides instead.
class TFilterListing : public QSortFilterProxyModel {
  public:
    TFilterListing(QFileDialog& dialog, const QStringList& filters)
        : QSortFilterProxyModel(&dialog) {
        SetFilter(filters.value(0));
        connect(&dialog, &QFileDialog::filterSelected, this, &TFilterListing::SetFilter);
    }

    void setSourceModel(QAbstractItemModel* model) override {
        if (auto* files = qobject_cast<QFileSystemModel*>(model))
            files->setNameFilterDisables(true);
        QSortFilterProxyModel::setSourceModel(model);
    }

  protected:
    bool filterAcceptsRow(int row, const QModelIndex& parent) const override {
        const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel());
        if (!files)
            return true;
        const QModelIndex index = files->index(row, 0, parent);
        return files->isDir(index) || Takes(files->fileName(index));
    }
    Qt::ItemFlags flags(const QModelIndex& index) const override {
        Qt::ItemFlags flags = QSortFilterProxyModel::flags(index);
        if (index.isValid())
            flags |= Qt::ItemIsEnabled;
        return flags;
    }

  private:
    void SetFilter(const QString& filter) {
        FPatterns = FilterPatterns(filter);
        invalidateFilter();
    }
    bool Takes(const QString& name) const {
        for (const QRegularExpression& pattern : FPatterns)
            if (pattern.match(name).hasMatch())
                return true;
        return false;
    }

    std::vector<QRegularExpression> FPatterns;
};

} // namespace

TQtOpenDialog::TQtOpenDialog(QWidget* owner, QString title, QStringList nameFilters)
    : FOwner(owner), FTitle(std::move(title)), FNameFilters(std::move(nameFilters)) {}

void TQtOpenDialog::Prepare(QFileDialog& dialog) const {
    dialog.setWindowTitle(FTitle);
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setNameFilters(FNameFilters);
    dialog.setProxyModel(new TFilterListing(dialog, FNameFilters));
    dialog.setOption(QFileDialog::ReadOnly, false);
    dialog.setSizeGripEnabled(true);
}

std::optional<std::string> TQtOpenDialog::Execute() {
    QFileDialog dialog(FOwner, FTitle);
    Prepare(dialog);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return QFileInfo(dialog.selectedFiles().first()).absoluteFilePath().toStdString();
}

} // namespace korvalis
