#include "ui/true_color_toolbar.h"

#include <QAction>
#include <QImage>
#include <QMenu>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "ui/command_table.h"
#include "ui/menus.h"

namespace {

// A bitmap of `count` images of width w, each image filled with its own colour, the
// bottom-left pixel (first stored in a bottom-up bitmap) painted with `mask`.
QImage MakeStrip(int w, int h, int columns, QColor mask) {
    QImage img(columns, h, QImage::Format_RGB888);
    for (int x = 0; x < columns; ++x)
        for (int y = 0; y < h; ++y)
            img.setPixelColor(x, y, QColor((x / w) * 40 % 256, 100, 200));
    img.setPixelColor(0, h - 1, mask);
    if (columns > w + 1)
        img.setPixelColor(w + 1, 2, mask);
    return img;
}

TEST(CTrueColorToolBar, CutsWholeImagesAndMasksTheFirstStoredPixelColour) {
    const QImage strip = MakeStrip(32, 32, 32 * 3 + 20, QColor(255, 0, 255));
    const std::vector<QPixmap> images = CTrueColorToolBar::CutImages(strip, 32);
    ASSERT_EQ(images.size(), 3u);  // the 20 columns left over are not used
    const QImage second = images[1].toImage().convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(qAlpha(second.pixel(1, 2)), 0);    // mask colour: transparent
    EXPECT_EQ(qAlpha(second.pixel(5, 5)), 255);  // others opaque
    const QImage first = images[0].toImage().convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(qAlpha(first.pixel(0, 31)), 0);
    EXPECT_TRUE(CTrueColorToolBar::CutImages(QImage(), 32).empty());
    EXPECT_TRUE(CTrueColorToolBar::CutImages(MakeStrip(32, 32, 20, Qt::black), 32).empty());
}

TEST(CTrueColorToolBar, OurBitmapsHaveTheToolbarLayout) {
    for (uint32_t id : {IDB_TOOLBAR_NORMAL, IDB_TOOLBAR_DISABLED}) {
        InitUiResources();
        QImage bitmap(CTrueColorToolBar::BitmapPath(id));
        ASSERT_FALSE(bitmap.isNull()) << id;
        EXPECT_EQ(bitmap.width(), 448);
        EXPECT_EQ(bitmap.height(), 32);
        EXPECT_EQ(bitmap.depth() == 24 || bitmap.depth() == 32, true);
        EXPECT_EQ(CTrueColorToolBar::CutImages(bitmap, 32).size(), 14u);
    }
    QImage states(CTrueColorToolBar::BitmapPath(IDB_HOST_STATES));
    ASSERT_FALSE(states.isNull());
    EXPECT_EQ(states.size(), QSize(80, 16));
    // The state images stand on a white ground; the mask colour appears nowhere.
    EXPECT_EQ(states.pixelColor(0, 15), QColor(Qt::white));
}

TEST(CTrueColorToolBar, LoadsButtonsAndImageLists) {
    CTrueColorToolBar bar;
    std::vector<uint32_t> pressed;
    ASSERT_TRUE(bar.LoadToolBar(IDR_MAINFRAME, [&](uint32_t id) { pressed.push_back(id); }));
    EXPECT_FALSE(bar.LoadToolBar(129, [](uint32_t) {}));
    ASSERT_TRUE(
        bar.LoadImageLists(32, IDB_TOOLBAR_NORMAL, IDB_TOOLBAR_NORMAL, IDB_TOOLBAR_DISABLED));
    EXPECT_EQ(bar.ImageList(TB_SETIMAGELIST).size(), 14u);
    // The hot list comes from the same bitmap, so its images are the normal ones.
    ASSERT_EQ(bar.ImageList(TB_SETHOTIMAGELIST).size(), 14u);
    EXPECT_EQ(bar.ImageList(TB_SETHOTIMAGELIST)[3].toImage(),
              bar.ImageList(TB_SETIMAGELIST)[3].toImage());
    EXPECT_NE(bar.ImageList(TB_SETDISABLEDIMAGELIST)[3].toImage(),
              bar.ImageList(TB_SETIMAGELIST)[3].toImage());

    QAction* help = bar.ButtonAction(ID_HELP);
    ASSERT_NE(help, nullptr);
    EXPECT_EQ(help->toolTip(), "Help");
    EXPECT_EQ(help->statusTip(), "Open help document");
    EXPECT_FALSE(help->icon().isNull());
    help->trigger();
    EXPECT_EQ(pressed, std::vector<uint32_t>{ID_HELP});
}

TEST(CTrueColorToolBar, AMissingBitmapFailsAndKeepsTheListsAlreadySet) {
    testsupport::TempDir dir;
    const QImage strip = MakeStrip(32, 32, 64, Qt::magenta);
    ASSERT_TRUE(strip.save(QString::fromStdString(dir.File("166.bmp"))));
    CTrueColorToolBar::SetBitmapDirectory(QString::fromStdString(dir.path()));
    CTrueColorToolBar bar;
    ASSERT_TRUE(bar.LoadToolBar(IDR_MAINFRAME, [](uint32_t) {}));
    EXPECT_FALSE(bar.LoadImageLists(32, 166, 166, 184));  // 184 is missing
    EXPECT_EQ(bar.ImageList(TB_SETIMAGELIST).size(), 2u);
    EXPECT_EQ(bar.ImageList(TB_SETHOTIMAGELIST).size(), 2u);
    EXPECT_TRUE(bar.ImageList(TB_SETDISABLEDIMAGELIST).empty());
    EXPECT_FALSE(bar.LoadImageLists(32, 999, 0, 0));
    CTrueColorToolBar::SetBitmapDirectory(QString());
}

uint32_t g_tracked = 0;
uint32_t ChooseFirst(QMenu* menu, const QPoint&) {
    ++g_tracked;
    return ActionCommand(menu->actions().at(0));
}

class Recipient : public QWidget, public CCmdTarget {
public:
    bool OnCmdMsg(uint32_t id) override {
        got = id;
        return true;
    }
    uint32_t got = 0;
};

TEST(CTrueColorToolBar, DropDownButtonsShowTheirMenu) {
    CTrueColorToolBar bar;
    ASSERT_TRUE(bar.LoadToolBar(IDR_MAINFRAME, [](uint32_t) {}));
    SetPopupTracker(ChooseFirst);
    g_tracked = 0;
    EXPECT_FALSE(bar.OnToolbarDropDown(ID_HELP));  // no record: nothing
    EXPECT_EQ(g_tracked, 0u);
    Recipient owner;
    bar.AddDropDownButton(&owner, ID_HELP, IDR_EVENT_LIST_MENU);
    EXPECT_TRUE(bar.OnToolbarDropDown(ID_HELP));
    EXPECT_EQ(g_tracked, 1u);
    EXPECT_EQ(owner.got, ID_CLEAR_EVENT_LIST);
    SetPopupTracker(nullptr);
}

}  // namespace
