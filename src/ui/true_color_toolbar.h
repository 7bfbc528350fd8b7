#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include <QPixmap>
#include <QString>
#include <QToolBar>

class QAction;
class QWidget;

// Which image list of the toolbar a built list replaces.
enum ToolbarImageMessage {
    TB_SETIMAGELIST,
    TB_SETHOTIMAGELIST,
    TB_SETDISABLEDIMAGELIST,
};

// The main frame's toolbar: buttons from toolbar resource 128, whose pictures are then
// replaced by 24-bit image lists cut from separate bitmaps (normal, hot, disabled). The
// colour of a bitmap's first stored pixel is transparent. Buttons with a drop-down menu
// can be registered. User-interface thread.
class CTrueColorToolBar : public QToolBar {
    Q_OBJECT
public:
    struct stDropDownInfo {
        uint32_t uButtonID;
        uint32_t uMenuID;
        QWidget* pParent;
    };

    explicit CTrueColorToolBar(QWidget* parent = nullptr);

    // Makes one button per command of toolbar `resourceId` (128), with its tooltip and
    // status prompt; `onCommand` receives the command id of a pressed button. False for an
    // unknown resource.
    bool LoadToolBar(uint32_t resourceId, std::function<void(uint32_t)> onCommand);
    // Builds the normal list, then the hot list and the disabled list when their ids are not
    // 0. The first failure returns false at once; lists already set stay set.
    bool LoadImageLists(int buttonWidth, uint32_t normalId, uint32_t hotId, uint32_t disabledId);
    // Builds one image list from bitmap `bitmapId` and sets it with `message`.
    bool CreateImageList(ToolbarImageMessage message, uint32_t bitmapId, int buttonWidth);
    // Registers a button that pops up the first popup of menu `menuId` below itself.
    void AddDropDownButton(QWidget* parent, uint32_t buttonId, uint32_t menuId);
    // Pops up the menu registered for `buttonId`; nothing for a button without a record.
    // Returns whether a menu was shown.
    bool OnToolbarDropDown(uint32_t buttonId);

    // The button action of a command, or nullptr.
    QAction* ButtonAction(uint32_t id) const;
    // The images set with `message` (tests).
    const std::vector<QPixmap>& ImageList(ToolbarImageMessage message) const {
        return m_lists[message];
    }

    // Where a bitmap resource is found; tests point it elsewhere. Returns an empty
    // string for an unknown id.
    static QString BitmapPath(uint32_t bitmapId);
    static void SetBitmapDirectory(const QString& directory);

    // Cuts `bitmap` into images `buttonWidth` wide, left to right, masking the colour of
    // the first stored pixel (the bottom-left one of a bottom-up bitmap). Columns left over
    // are not used. Empty when the bitmap is null or narrower than one button.
    static std::vector<QPixmap> CutImages(const QImage& bitmap, int buttonWidth);

private:
    void ApplyImages();

    std::vector<uint32_t> m_buttons;
    std::vector<QAction*> m_actions;
    std::vector<QPixmap> m_lists[3];
    std::vector<stDropDownInfo> m_dropDownButtons;
};
