#include "MainWindow.h"

#include "AppIcon.h"
#include "form/MainFormLayout.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QScreen>
#include <QThread>

#include <stdexcept>

namespace korvalis {

QFont WindowFont() {
    QFont font = QFontDatabase::hasFamily(QStringLiteral("Tahoma"))
                     ? QFont(QStringLiteral("Tahoma"))
                     : QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPixelSize(11);
    return font;
}

TQtMainWindow::TQtMainWindow(QWidget* parent)
    : QWidget(parent), FColourDialog(this, QStringLiteral("Background Colour")) {
    Build(MainFormLayout());
    FKeyboardCue = std::make_unique<TQtKeyboardCue>(this, [this](uint16_t key) {
        if (FForm)
            FForm->WindowKeyDown(key);
    });
    FForm = std::make_unique<TfrmMain>(*this);
}

TQtMainWindow::~TQtMainWindow() {
    FForm.reset();
}

void TQtMainWindow::Build(std::span<const TComponentLayout> layout) {
    for (const TComponentLayout& row : layout) {
        const QString name = QString::fromLatin1(row.Name);
        const QString caption = QString::fromLatin1(row.Caption);
        QWidget* const parent = row.Parent ? FWidgets.at(row.Parent) : this;
        const QRect geometry(row.Left, row.Top, row.Width, row.Height);
        QWidget* widget = nullptr;
        switch (row.Kind) {
        case TComponentKind::Form: {
            setWindowTitle(caption);
            setWindowIcon(KorvalisIcon());
            // Fixed single border: system menu, minimise and close, no maximise.
            setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
            setFixedSize(row.Width, row.Height);
            setFont(WindowFont());
            setBackgroundRole(QPalette::Button);
            setAutoFillBackground(true);
            if (const QScreen* screen = QGuiApplication::primaryScreen())
                move(screen->availableGeometry().center() - QPoint(row.Width / 2, row.Height / 2));
            widget = this;
            break;
        }
        case TComponentKind::GroupBox: {
            auto* group = new QGroupBox(caption, parent);
            group->setFlat(true);
            widget = group;
            break;
        }
        case TComponentKind::PictureControl: {
            auto* picture = new TPictureControl(parent);
            FPictures.emplace(row.Name, picture);
            widget = picture;
            break;
        }
        case TComponentKind::Button: {
            auto* button = new QPushButton(caption, parent);
            button->setAutoDefault(false);
            // Opaque, so repainting one button (keyboard cues) leaves its parent alone.
            button->setAutoFillBackground(true);
            FButtons.emplace(
                row.Name, FButtonAdaptors.emplace_back(std::make_unique<TQtButton>(button)).get());
            widget = button;
            break;
        }
        case TComponentKind::StatusBar: {
            auto* status = new TStatusBar(parent, row.Value);
            FStatusPanels.emplace(row.Name, status);
            widget = status;
            break;
        }
        case TComponentKind::ProgressBar: {
            auto* bar = new QProgressBar(parent);
            bar->setTextVisible(false);
            bar->raise();
            FProgressBars.emplace(
                row.Name,
                FProgressAdaptors.emplace_back(std::make_unique<TQtProgressBar>(bar)).get());
            widget = bar;
            break;
        }
        case TComponentKind::OpenDialog: {
            // The dialog matches the endings in any case, as the loader does.
            auto& dialog = FDialogObjects.emplace_back(std::make_unique<TQtOpenDialog>(
                this, caption, QStringList{QString::fromStdString(OpenImageFilter())}));
            FDialogs.emplace(row.Name, dialog.get());
            break;
        }
        case TComponentKind::Timer: {
            auto* timer = new TQtTimer(this);
            timer->setObjectName(name);
            timer->SetInterval(uint32_t(row.Value));
            timer->SetEnabled(row.Enabled);
            FTimers.emplace(row.Name, timer);
            break;
        }
        }
        if (!widget)
            continue;
        widget->setObjectName(name);
        FWidgets.emplace(row.Name, widget);
        if (widget == this)
            continue;
        widget->setGeometry(geometry);
        if (!row.Enabled)
            widget->setEnabled(false);
        if (!row.Visible)
            widget->hide();
    }
    SetTabOrder(layout);

    const auto widget = [this]<class T>(T*& field, const char* name) {
        field = qobject_cast<T*>(FWidgets.at(name));
    };
    widget(grp1, "grp1");
    widget(img1, "img1");
    widget(btn1Def, "btn1Def");
    widget(btn1Open, "btn1Open");
    widget(grp2, "grp2");
    widget(img2, "img2");
    widget(btn2Clr, "btn2Clr");
    widget(btn2Open, "btn2Open");
    widget(grp3, "grp3");
    widget(img3, "img3");
    widget(btn3Clr, "btn3Clr");
    widget(btn3Open, "btn3Open");
    widget(btnUpload, "btnUpload");
    widget(stBar, "stBar");
    widget(pb1, "pb1");
    dlgOpen = static_cast<TQtOpenDialog*>(FDialogs.at("dlgOpen"));
    tmrDataflash = static_cast<TQtTimer*>(FTimers.at("tmrDataflash"));
}

// Qt keeps one focus chain for the whole window: each parent's order, with a
// container's own order spliced in at its place.
void TQtMainWindow::SetTabOrder(std::span<const TComponentLayout> layout) {
    std::vector<QWidget*> chain;
    const auto walk = [&](const auto& self, std::string_view parent) -> void {
        for (const TComponentLayout* row : KeyboardOrder(layout, parent)) {
            if (KeyboardOrder(layout, row->Name).empty())
                chain.push_back(FWidgets.at(row->Name));
            else
                self(self, row->Name);
        }
    };
    walk(walk, layout.front().Name);
    for (size_t i = 0; i + 1 < chain.size(); ++i)
        setTabOrder(chain[i], chain[i + 1]);
}

void TQtMainWindow::SetHint(std::string_view name, const std::string& text) {
    Find(FWidgets, name).setToolTip(QString::fromStdString(text));
}

void TQtMainWindow::SetShortCut(const TShortCut& key, std::function<void()> handler) {
    const auto id = std::make_pair(key.Key, key.Shift);
    if (const auto found = FShortCuts.find(id); found != FShortCuts.end()) {
        delete found->second;
        FShortCuts.erase(found);
    }
    if (!handler)
        return;
    int qtKey = 0;
    if (key.Key >= vk::Digit0 && key.Key <= vk::Digit0 + 9)
        qtKey = Qt::Key_0 + (key.Key - vk::Digit0);
    else if (key.Key >= vk::LetterA && key.Key <= vk::LetterA + 25)
        qtKey = Qt::Key_A + (key.Key - vk::LetterA);
    else
        throw std::invalid_argument("a short cut is Ctrl with a digit or a letter");
    const QKeyCombination combination(
        key.Shift ? Qt::ControlModifier | Qt::ShiftModifier : Qt::ControlModifier, Qt::Key(qtKey));
    auto* shortcut = new QShortcut(QKeySequence(combination), this);
    shortcut->setContext(Qt::WindowShortcut);
    connect(shortcut, &QShortcut::activated, shortcut, std::move(handler));
    FShortCuts.emplace(id, shortcut);
}

void TQtMainWindow::SetOnContextMenu(std::string_view picture,
                                     std::function<std::vector<TMenuItem>()> menu) {
    static_cast<TPictureControl&>(Find(FPictures, picture)).SetOnContextMenu(std::move(menu));
}

void TQtMainWindow::SetOnDropFile(std::string_view picture,
                                  std::function<void(const std::string&)> handler) {
    static_cast<TPictureControl&>(Find(FPictures, picture)).SetOnDropFile(std::move(handler));
}

void TQtMainWindow::contextMenuEvent(QContextMenuEvent* event) {
    // A picture takes no focus, so the menu key reaches the focused button;
    // the picture of that button's group is the one meant.
    if (event->reason() == QContextMenuEvent::Keyboard)
        for (QWidget* widget = focusWidget(); widget && widget != this;
             widget = widget->parentWidget())
            for (auto* picture : widget->findChildren<TPictureControl*>(Qt::FindDirectChildrenOnly))
                if (picture->HasContextMenu()) {
                    picture->ShowContextMenu(picture->rect().center());
                    return;
                }
    event->ignore();
}

void TQtMainWindow::Sleep(int milliseconds) {
    QThread::msleep(ulong(milliseconds));
}

int TQtMainWindow::ScreenDepth() const {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->depth() : 0;
}

bool TQtMainWindow::event(QEvent* event) {
    if (event->type() == TQtWindowMessage::EventType() && FForm) {
        const auto* message = static_cast<TQtWindowMessage*>(event);
        if (FForm->WindowMessage(message->Message, message->WParam, message->LParam))
            return true;
    }
    return QWidget::event(event);
}

void TQtMainWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (FForm)
        FForm->WindowShown();
}

void TQtMainWindow::SetCursor(TCursorKind cursor) {
    if (cursor == TCursorKind::crHourGlass)
        setCursor(Qt::WaitCursor);
    else
        unsetCursor();
}

void TQtMainWindow::RepaintNow() {
    repaint();
}

} // namespace korvalis
