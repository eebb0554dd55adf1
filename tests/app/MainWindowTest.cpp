#include "app/MainWindow.h"

#include <QApplication>
#include <QLabel>
#include <gtest/gtest.h>

namespace korvalis {
namespace {

struct TComponentRow {
    const char* name;
    const char* parent;
    QRect geometry;
    const char* caption; // nullptr: no caption to check
};

const TComponentRow kLayout[] = {
    {"grp1", "frmMain", {4, 0, 252, 377}, " Splash "},
    {"img1", "grp1", {6, 16, 240, 320}, nullptr},
    {"btn1Def", "grp1", {5, 344, 75, 25}, "Default"},
    {"btn1Open", "grp1", {172, 344, 75, 25}, "Open..."},
    {"grp2", "frmMain", {261, 0, 252, 377}, " Logo "},
    {"img2", "grp2", {6, 16, 240, 320}, nullptr},
    {"btn2Clr", "grp2", {5, 344, 75, 25}, "Clear"},
    {"btn2Open", "grp2", {172, 344, 75, 25}, "Open..."},
    {"grp3", "frmMain", {518, 0, 252, 377}, " Screensaver "},
    {"img3", "grp3", {6, 16, 240, 320}, nullptr},
    {"btn3Clr", "grp3", {5, 344, 75, 25}, "Clear"},
    {"btn3Open", "grp3", {172, 344, 75, 25}, "Open..."},
    {"btnUpload", "frmMain", {3, 382, 85, 25}, "Upload"},
    {"stBar", "frmMain", {0, 411, 774, 19}, nullptr},
    {"pb1", "frmMain", {518, 413, 255, 16}, nullptr},
};

QString Caption(QWidget* w) {
    if (auto* g = qobject_cast<QGroupBox*>(w))
        return g->title();
    if (auto* b = qobject_cast<QPushButton*>(w))
        return b->text();
    return {};
}

class MainWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        form = std::make_unique<TQtMainWindow>();
        // The state of the stored layout, before the message loop runs the
        // controller's first pass.
        form->show();
    }
    QWidget* Find(const char* name) {
        if (QString::fromLatin1(name) == "frmMain")
            return form.get();
        return form->findChild<QWidget*>(QString::fromLatin1(name));
    }
    std::unique_ptr<TQtMainWindow> form;
};

TEST_F(MainWindow, EveryComponentHasItsGeometryCaptionAndParent) {
    for (const TComponentRow& row : kLayout) {
        QWidget* w = Find(row.name);
        ASSERT_NE(w, nullptr) << row.name;
        EXPECT_EQ(w->parentWidget(), Find(row.parent)) << row.name;
        EXPECT_EQ(w->geometry(), row.geometry) << row.name;
        if (row.caption) {
            EXPECT_EQ(Caption(w).toStdString(), row.caption) << row.name;
        }
    }
    for (QGroupBox* g : {form->grp1, form->grp2, form->grp3})
        EXPECT_TRUE(g->isFlat());
}

TEST_F(MainWindow, WindowIsFixedTitledAndNotMaximisable) {
    EXPECT_EQ(form->windowTitle().toStdString(), "Korvalis Graphics Uploader");
    EXPECT_EQ(form->size(), QSize(774, 430));
    EXPECT_EQ(form->minimumSize(), QSize(774, 430));
    EXPECT_EQ(form->maximumSize(), QSize(774, 430));
    form->resize(900, 600);
    EXPECT_EQ(form->size(), QSize(774, 430));
    const Qt::WindowFlags flags = form->windowFlags();
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
    EXPECT_FALSE(form->windowIcon().isNull());
    EXPECT_EQ(form->font().pixelSize(), 11);
}

TEST_F(MainWindow, StartStateVisibilityAndEnabled) {
    EXPECT_TRUE(form->btnUpload->isEnabled());
    for (QPushButton* b : {form->btn1Def, form->btn1Open, form->btn2Clr, form->btn2Open,
                           form->btn3Clr, form->btn3Open, form->btnUpload}) {
        EXPECT_TRUE(b->isVisible()) << b->objectName().toStdString();
        EXPECT_TRUE(b->isEnabled()) << b->objectName().toStdString();
    }
    EXPECT_FALSE(form->pb1->isVisible());
    EXPECT_TRUE(form->stBar->isVisible());
    EXPECT_EQ(form->stBar->Text(), "");
    EXPECT_EQ(form->stBar->Panel()->width(), 500);
    EXPECT_FALSE(form->tmrDataflash->Enabled());
    EXPECT_EQ(form->tmrDataflash->Interval(), 500u);
    // The progress bar lies over the status bar's right end, above it.
    const QObjectList& children = form->children();
    EXPECT_GT(children.indexOf(form->pb1), children.indexOf(form->stBar));
}

TEST_F(MainWindow, TabOrderRunsThroughGroupsThenUpload) {
    const std::vector<QWidget*> order = {form->btn1Def,  form->btn1Open, form->btn2Clr,
                                         form->btn2Open, form->btn3Clr,  form->btn3Open,
                                         form->btnUpload};
    for (size_t i = 0; i + 1 < order.size(); ++i) {
        QWidget* next = order[i]->nextInFocusChain();
        while (next && !(next->focusPolicy() & Qt::TabFocus))
            next = next->nextInFocusChain();
        EXPECT_EQ(next, order[i + 1]) << i;
    }
}

TEST_F(MainWindow, ShowingWritesTheBundleHeader) {
    const auto data = form->Bundle().Data();
    EXPECT_EQ(data[1], 0xF0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&data[0x900]), 8), "Korvalis");
}

TEST_F(MainWindow, DialogHasItsTitleAndFilter) {
    EXPECT_EQ(form->dlgOpen->Title().toStdString(), "Open Image");
    ASSERT_EQ(form->dlgOpen->NameFilters().size(), 1);
    EXPECT_TRUE(form->dlgOpen->NameFilters()[0].startsWith("Images ("));
}

} // namespace
} // namespace korvalis

namespace korvalis {
namespace {

// As when the HID support cannot be loaded: no pass has run, Upload is enabled.
TEST(MainWindowUpload, WithoutDeviceConvertsSlotsAndEndsDisconnected) {
    TQtMainWindow form;
    form.show();
    form.img2->Picture().SetPixel(0, 0, {255, 255, 255});
    form.btnUpload->click();
    EXPECT_EQ(form.stBar->Text(), "Disconnected");
    EXPECT_FALSE(form.btnUpload->isEnabled());
    EXPECT_FALSE(form.pb1->isVisible());
    EXPECT_EQ(form.cursor().shape(), Qt::ArrowCursor);
    EXPECT_EQ(form.Bundle().Data()[0x26800], 0xFF);
    EXPECT_EQ(form.Bundle().Data()[0x26801], 0xFF);
    // A disabled button ignores clicks.
    form.stBar->SetText("");
    form.btnUpload->click();
    EXPECT_EQ(form.stBar->Text(), "");
}

} // namespace
} // namespace korvalis
