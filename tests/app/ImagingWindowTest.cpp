// The window's slots driven through its buttons, with a scripted dialog.
#include "WaitFor.h"
#include "app/MainWindow.h"
#include "bundle/ResourceBundle.h"
#include "imaging/ImageSlots.h"
#include "imaging/PngWriter.h"
#include "tests/imaging/FakeWindow.h"
#include "tests/imaging/TestPictures.h"

#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QFileDialog>
#include <QImage>
#include <QListView>
#include <QMenu>
#include <QMimeData>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace korvalis {
namespace {

using namespace korvalis::testing;

bool SameRaster(const TRaster& a, const TRaster& b) {
    return a.Width() == b.Width() && a.Height() == b.Height() &&
           a.PixelFormat() == b.PixelFormat() &&
           std::memcmp(a.Bits(), b.Bits(), a.Stride() * size_t(a.Height())) == 0;
}

class ImagingWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        form = std::make_unique<TQtMainWindow>();
        form->SetOpenDialog(&dialog);
        form->show();
        QApplication::processEvents();
    }
    void TearDown() override { form->SetOpenDialog(nullptr); }

    std::unique_ptr<TQtMainWindow> form;
    TScriptedDialog dialog;
};

TEST_F(ImagingWindow, StartsWithTheBuiltInSplashAndTwoBlackSlots) {
    EXPECT_TRUE(SameRaster(form->img1->Picture(), DefaultPictureRaster()));
    for (TPictureControl* slot : {form->img2, form->img3}) {
        EXPECT_EQ(slot->Picture().Width(), 240);
        EXPECT_EQ(slot->Picture().Height(), 320);
        EXPECT_TRUE(AllBlack(slot->Picture()));
    }
    // Only the device layer writes the status bar at start-up.
    EXPECT_NE(form->stBar->Text(), "Error loading image");
}

TEST_F(ImagingWindow, ButtonsLoadClearAndRestoreEachSlot) {
    const std::string bmp = WriteScratchFile("window.BMP", MakeBmp24(PatternRaster(100, 100)));
    struct TStep {
        QPushButton* Button;
        std::optional<std::string> Answer; // queued for an Open button
        TPictureControl* Slot;
        const char* Expect; // "pattern", "black", "splash", "old"
    };
    const TStep steps[] = {
        {form->btn1Open, bmp, form->img1, "pattern"},
        {form->btn2Open, bmp, form->img2, "pattern"},
        {form->btn3Open, bmp, form->img3, "pattern"},
        {form->btn1Def, {}, form->img1, "splash"},
        {form->btn2Clr, {}, form->img2, "black"},
        {form->btn3Open, std::nullopt, form->img3, "old"},
        {form->btn3Clr, {}, form->img3, "black"},
    };
    for (const TStep& step : steps) {
        const TRaster before = step.Slot->Picture();
        const int runs = dialog.Runs;
        if (step.Button->text() == "Open...")
            dialog.Queue(step.Answer);
        step.Button->click();
        QApplication::processEvents();
        const std::string what = step.Button->objectName().toStdString() + " " + step.Expect;
        EXPECT_EQ(dialog.Runs - runs, step.Button->text() == "Open..." ? 1 : 0) << what;
        const TRaster& after = step.Slot->Picture();
        if (std::string(step.Expect) == "pattern") {
            EXPECT_EQ(after.Pixel(70, 110), PatternColour(0, 0)) << what;
            EXPECT_EQ(after.Pixel(169, 209), PatternColour(99, 99)) << what;
            EXPECT_EQ(after.Pixel(69, 110), clBlack) << what;
            EXPECT_EQ(after.Pixel(170, 209), clBlack) << what;
        } else if (std::string(step.Expect) == "black") {
            EXPECT_TRUE(AllBlack(after)) << what;
        } else if (std::string(step.Expect) == "splash") {
            EXPECT_TRUE(SameRaster(after, DefaultPictureRaster())) << what;
        } else {
            EXPECT_TRUE(SameRaster(after, before)) << what;
        }
    }
    // Successful loads leave the status bar to the device layer.
    EXPECT_EQ(form->stBar->Text(), "Disconnected");
}

TEST_F(ImagingWindow, AFailedLoadSaysSoAndKeepsTheSlot) {
    const std::string notPng = WriteScratchFile("not-a-png.png", {'B', 'M', 0, 0});
    const std::string unknown = WriteScratchFile("picture.gif", EncodePngRgb(PatternRaster(9, 9)));
    for (const std::string& path : {notPng, unknown}) {
        form->stBar->SetText("");
        const TRaster before = form->img1->Picture();
        dialog.Queue(path);
        form->btn1Open->click();
        EXPECT_EQ(form->stBar->Text(), "Error loading image") << path;
        EXPECT_TRUE(SameRaster(form->img1->Picture(), before)) << path;
    }
}

TEST_F(ImagingWindow, SlotsShowTheirRastersAtOneToOne) {
    dialog.Queue(WriteScratchFile("shown.png", EncodePngRgb(PatternRaster(240, 320))));
    form->btn2Open->click();
    QApplication::processEvents();
    const QImage shown = form->img2->grab().toImage().convertToFormat(QImage::Format_RGB888);
    ASSERT_EQ(shown.width(), 240);
    ASSERT_EQ(shown.height(), 320);
    for (int y = 0; y < 320; y += 7)
        for (int x = 0; x < 240; x += 5) {
            const QRgb p = shown.pixel(x, y);
            ASSERT_EQ((TColor{uint8_t(qRed(p)), uint8_t(qGreen(p)), uint8_t(qBlue(p))}),
                      PatternColour(x, y))
                << x << "," << y;
        }
}

// The real dialog, on a folder of look-alike names: it shows the filter as it
// reads, whole, and lists the pictures in any case, folders, and nothing else.
TEST_F(ImagingWindow, DialogFilterMatchesTheEndingsInAnyCase) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QStringList shown = {"a.bmp", "b.BMP", "c.Jpg", "d.JPEG", "e.pNg", "f.png", "sub.txt"};
    for (const char* name : {"a.bmp", "b.BMP", "c.Jpg", "d.JPEG", "e.pNg", "f.png", "g.gif",
                             "h.png.txt", "i.jpe", "jpng", "k.bmp;", "m.BMP.bak"}) {
        QFile file(folder.filePath(QString::fromLatin1(name)));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << name;
    }
    ASSERT_TRUE(QDir(folder.path()).mkdir(QStringLiteral("sub.txt")));

    QFileDialog dialog;
    form->dlgOpen->Prepare(dialog);
    dialog.setDirectory(folder.path());
    dialog.show();
    auto* combo = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    ASSERT_NE(combo, nullptr);
    EXPECT_EQ(combo->currentText().toStdString(), "Images (*.bmp;*.jpg;*.jpeg;*.png)");
    EXPECT_GE(combo->width(), combo->fontMetrics().horizontalAdvance(combo->currentText()));
    auto* view = dialog.findChild<QListView*>(QStringLiteral("listView"));
    ASSERT_NE(view, nullptr);
    auto listing = [&] {
        QStringList names;
        const QAbstractItemModel* model = view->model();
        for (int row = 0; row < model->rowCount(view->rootIndex()); ++row) {
            const QModelIndex index = model->index(row, 0, view->rootIndex());
            if (model->flags(index) & Qt::ItemIsEnabled)
                names << index.data().toString();
        }
        names.sort();
        return names;
    };
    WaitFor([&] { return listing() == shown; });
    QApplication::processEvents(QEventLoop::AllEvents, 100);
    EXPECT_EQ(listing().join(' ').toStdString(), shown.join(' ').toStdString());
}

// The slot as LoadImageFile makes it on its own, or the reader's message.
std::pair<TRaster, std::string> LoadedAlone(const std::string& path) {
    TRasterPictureControl alone;
    try {
        LoadImageFile(alone, path);
    } catch (const std::exception& error) {
        return {TRaster(), error.what()};
    }
    return {alone.Picture(), ""};
}

// A file dropped onto a picture loads there as Open... would; a failure keeps
// the slot and the status text, and the tooltip tells which file and why.
TEST_F(ImagingWindow, DroppedFilesLoadAsOpenDoesAndFailuresSayWhy) {
    const std::string bmp = WriteScratchFile("drop.bmp", MakeBmp24(PatternRaster(300, 200)));
    const std::string png = WriteScratchFile("drop.png", EncodePngRgb(PatternRaster(90, 400)));
    const std::string broken = WriteScratchFile("broken.png", {0x89, 'P', 'N', 'G', 0, 0});
    const std::string unknown = WriteScratchFile("drop.gif", EncodePngRgb(PatternRaster(9, 9)));
    struct TRow {
        const char* How; // "drop", "open", or "refused" (two files in one drag)
        TPictureControl* Slot;
        std::string File;
    };
    const TRow rows[] = {
        {"drop", form->img2, bmp},     {"drop", form->img3, broken}, {"drop", form->img1, png},
        {"open", form->img1, unknown}, {"drop", form->img3, png},    {"refused", form->img2, png},
        {"drop", form->img2, unknown},
    };
    for (const TRow& row : rows) {
        const std::string what = std::string(row.How) + " " + row.File;
        const TRaster before = row.Slot->Picture();
        const std::string hintBefore = form->stBar->toolTip().toStdString();
        form->stBar->SetText("");
        QMimeData data;
        QList<QUrl> urls{QUrl::fromLocalFile(QString::fromStdString(row.File))};
        if (std::string(row.How) == "refused")
            urls << urls.front();
        data.setUrls(urls);
        if (std::string(row.How) == "open") {
            dialog.Queue(row.File);
            form->btn1Open->click();
        } else {
            const QPoint at = row.Slot->rect().center();
            QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(row.Slot, &enter);
            EXPECT_EQ(enter.isAccepted(), std::string(row.How) == "drop") << what;
            QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(row.Slot, &drop);
        }
        const auto [expected, reason] = LoadedAlone(row.File);
        if (std::string(row.How) == "refused") {
            EXPECT_TRUE(SameRaster(row.Slot->Picture(), before)) << what;
            EXPECT_EQ(form->stBar->Text(), "") << what;
            EXPECT_EQ(form->stBar->toolTip().toStdString(), hintBefore) << what;
        } else if (reason.empty()) {
            EXPECT_TRUE(SameRaster(row.Slot->Picture(), expected)) << what;
            EXPECT_EQ(form->stBar->Text(), "") << what;
            EXPECT_EQ(form->stBar->toolTip().toStdString(), "") << what;
        } else {
            EXPECT_TRUE(SameRaster(row.Slot->Picture(), before)) << what;
            EXPECT_EQ(form->stBar->Text(), "Error loading image") << what;
            EXPECT_EQ(form->stBar->toolTip().toStdString(), row.File + ": " + reason) << what;
        }
    }
}

// Ctrl+1, 2, 3 open a picture for their slot, Ctrl+U uploads when Upload can,
// and each button's tooltip names its key.
TEST_F(ImagingWindow, ShortCutsReachOpenAndUpload) {
    const std::string bmp = WriteScratchFile("keys.bmp", MakeBmp24(PatternRaster(100, 100)));
    const QPushButton* open[] = {form->btn1Open, form->btn2Open, form->btn3Open};
    for (int s = 0; s < 3; ++s) {
        const QKeySequence key(Qt::ControlModifier | Qt::Key(Qt::Key_1 + s));
        EXPECT_TRUE(open[s]->toolTip().contains(key.toString())) << s;
        const int runs = dialog.Runs;
        dialog.Queue(bmp);
        QTest::keyClick(form.get(), Qt::Key(Qt::Key_1 + s), Qt::ControlModifier);
        EXPECT_EQ(dialog.Runs, runs + 1) << s;
        EXPECT_EQ(open[s]->parentWidget()->findChild<TPictureControl*>()->Picture().Pixel(70, 110),
                  PatternColour(0, 0))
            << s;
    }
    const QKeySequence upload(Qt::ControlModifier | Qt::Key_U);
    EXPECT_TRUE(form->btnUpload->toolTip().contains(upload.toString()));
    // Pattern pixel (99, 99) of the Splash slot, in the bundle.
    const auto splash = [&] {
        const size_t at = kSlots[0].Offset + (209 * 240 + 169) * 2;
        return form->Bundle().Data()[at] | form->Bundle().Data()[at + 1];
    };
    for (const bool enabled : {false, true}) {
        form->btnUpload->setEnabled(enabled);
        form->stBar->SetText("");
        QTest::keyClick(form.get(), Qt::Key_U, Qt::ControlModifier);
        // With no device, an upload converts the slots and then says so.
        EXPECT_EQ(form->stBar->Text(), enabled ? "Disconnected" : "") << enabled;
        EXPECT_EQ(splash() != 0, enabled) << enabled;
    }
}

// A right click on a picture, and the menu key on a slot's button, open that
// slot's menu; what is chosen in it changes that slot.
TEST_F(ImagingWindow, PictureMenuOpensFromMouseAndMenuKey) {
    const std::string bmp = WriteScratchFile("menu.bmp", MakeBmp24(PatternRaster(300, 200)));
    struct TRow {
        QWidget* Target;
        QContextMenuEvent::Reason Reason;
        size_t Slot;
        QPushButton* Open;
        TPictureControl* Picture;
    };
    const TRow rows[] = {
        {form->img2, QContextMenuEvent::Mouse, 1, form->btn2Open, form->img2},
        {form->btn3Open, QContextMenuEvent::Keyboard, 2, form->btn3Open, form->img3},
    };
    for (const TRow& row : rows) {
        dialog.Queue(bmp);
        row.Open->click();
        row.Open->setFocus();
        // Chooses Fit, Cover as a user does with the keys.
        QTimer::singleShot(0, [] {
            auto* top = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            ASSERT_NE(top, nullptr);
            const auto named = [](QMenu* menu, const char* text) {
                for (QAction* action : menu->actions())
                    if (action->text() == QLatin1String(text))
                        return action;
                return static_cast<QAction*>(nullptr);
            };
            QAction* fit = named(top, "Fit");
            ASSERT_TRUE(fit && fit->menu());
            QMenu* sub = fit->menu();
            top->setActiveAction(fit);
            ASSERT_TRUE(sub->isVisible());
            QAction* cover = named(sub, "Cover");
            ASSERT_NE(cover, nullptr);
            sub->setActiveAction(cover);
            QTest::keyClick(sub, Qt::Key_Return);
        });
        // Never left open, whatever happened above.
        QTimer::singleShot(3000, [] {
            while (QWidget* popup = QApplication::activePopupWidget())
                popup->close();
        });
        const QPoint at = row.Target->rect().center();
        QContextMenuEvent event(row.Reason, at, row.Target->mapToGlobal(at));
        QApplication::sendEvent(row.Target, &event);
        TPictureOptions cover;
        cover.Fit = TFitMode::Cover;
        EXPECT_EQ(form->Form().SlotOptions(row.Slot), cover) << row.Slot;
        EXPECT_TRUE(
            SameRaster(row.Picture->Picture(), RenderPicture(DecodeSourcePicture(bmp), cover)))
            << row.Slot;
    }
    EXPECT_EQ(form->Form().SlotOptions(0), TPictureOptions{});
}

#ifdef KORVALIS_CLI
// What Upload converts: the three slots into a freshly initialised bundle.
std::vector<uint8_t> WindowBundle(TQtMainWindow& form) {
    TResourceBundle bundle;
    bundle.Initialise();
    bundle.Image2Bin(form.img1->Picture(), kSlots[0].Offset);
    bundle.Image2Bin(form.img2->Picture(), kSlots[1].Offset);
    bundle.Image2Bin(form.img3->Picture(), kSlots[2].Offset);
    const auto data = bundle.Data();
    return {data.begin(), data.end()};
}

TEST_F(ImagingWindow, CommandLineBundleEqualsTheWindowsUploadForTheSameActions) {
    const std::string landscape = WriteScratchFile("land.bmp", MakeBmp24(PatternRaster(640, 480)));
    const std::string portrait =
        WriteScratchFile("port.png", EncodePngRgb(PatternRaster(250, 300)));
    struct TRow {
        const char* Name;
        std::vector<std::pair<QPushButton*, std::string>> Clicks; // button, file for Open
        std::string Arguments;
    };
    const TRow rows[] = {
        {"start", {}, ""},
        {"logo", {{form->btn2Open, landscape}}, "--logo " + landscape},
        {"all",
         {{form->btn1Open, portrait}, {form->btn2Open, landscape}, {form->btn3Open, portrait}},
         "--splash " + portrait + " --logo " + landscape + " --screensaver " + portrait},
        {"reset",
         {{form->btn1Def, ""}, {form->btn2Clr, ""}, {form->btn3Clr, ""}},
         "--splash default --logo clear --screensaver clear"},
    };
    for (const TRow& row : rows) {
        for (const auto& [button, file] : row.Clicks) {
            if (!file.empty())
                dialog.Queue(file);
            button->click();
        }
        const std::string out = ScratchDir() + "/" + row.Name + ".bin";
        const std::string command =
            std::string(KORVALIS_CLI) + " bundle " + row.Arguments + " -o " + out;
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        EXPECT_EQ(ReadWholeFile(out), WindowBundle(*form)) << row.Name;
    }
}
#endif

} // namespace
} // namespace korvalis
