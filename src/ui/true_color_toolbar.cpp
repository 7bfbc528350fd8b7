#include "ui/true_color_toolbar.h"

#include <QAction>
#include <QBitmap>
#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QToolButton>

#include "ui/command_table.h"
#include "ui/menus.h"

namespace {

QString g_bitmapDirectory;

}  // namespace

CTrueColorToolBar::CTrueColorToolBar(QWidget* parent) : QToolBar(parent) {
    InitUiResources();
    setObjectName("toolbar");
    setMovable(true);
    setFloatable(true);
    setToolButtonStyle(Qt::ToolButtonIconOnly);
    setIconSize(QSize(32, 32));
}

void CTrueColorToolBar::SetBitmapDirectory(const QString& directory) {
    g_bitmapDirectory = directory;
}

QString CTrueColorToolBar::BitmapPath(uint32_t bitmapId) {
    if (!g_bitmapDirectory.isEmpty())
        return g_bitmapDirectory + QString("/%1.bmp").arg(bitmapId);
    switch (bitmapId) {
        case IDB_TOOLBAR_NORMAL:
        case IDB_TOOLBAR_DISABLED:
        case IDB_HOST_STATES:
            return QString(":/bitmaps/%1.bmp").arg(bitmapId);
        default:
            return QString();
    }
}

bool CTrueColorToolBar::LoadToolBar(uint32_t resourceId, std::function<void(uint32_t)> onCommand) {
    if (resourceId != IDR_MAINFRAME)
        return false;
    for (uint32_t id : ToolbarButtons()) {
        QAction* action = addAction(QString());
        action->setData(static_cast<uint>(id));
        const char* text = CommandPrompt(id);
        const QString prompt = QString::fromUtf8(text != nullptr ? text : "");
        action->setStatusTip(PromptText(prompt));
        action->setToolTip(TooltipText(prompt));
        connect(action, &QAction::triggered, this, [onCommand, id] { onCommand(id); });
        m_buttons.push_back(id);
        m_actions.push_back(action);
    }
    return true;
}

QAction* CTrueColorToolBar::ButtonAction(uint32_t id) const {
    for (size_t i = 0; i < m_buttons.size(); ++i) {
        if (m_buttons[i] == id)
            return m_actions[i];
    }
    return nullptr;
}

std::vector<QPixmap> CTrueColorToolBar::CutImages(const QImage& bitmap, int buttonWidth) {
    std::vector<QPixmap> images;
    if (bitmap.isNull() || buttonWidth <= 0 || bitmap.width() < buttonWidth)
        return images;
    const QImage rgb = bitmap.convertToFormat(QImage::Format_RGB32);
    const QRgb mask = rgb.pixel(0, rgb.height() - 1);
    const int count = rgb.width() / buttonWidth;
    images.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        const QImage part = rgb.copy(i * buttonWidth, 0, buttonWidth, rgb.height());
        QPixmap pixmap = QPixmap::fromImage(part);
        pixmap.setMask(QBitmap::fromImage(part.createMaskFromColor(mask, Qt::MaskInColor)));
        images.push_back(pixmap);
    }
    return images;
}

bool CTrueColorToolBar::CreateImageList(ToolbarImageMessage message, uint32_t bitmapId,
                                        int buttonWidth) {
    const QString path = BitmapPath(bitmapId);
    if (path.isEmpty())
        return false;
    QImage bitmap(path);
    std::vector<QPixmap> images = CutImages(bitmap, buttonWidth);
    if (images.empty())
        return false;
    m_lists[message] = std::move(images);
    ApplyImages();
    return true;
}

bool CTrueColorToolBar::LoadImageLists(int buttonWidth, uint32_t normalId, uint32_t hotId,
                                       uint32_t disabledId) {
    if (!CreateImageList(TB_SETIMAGELIST, normalId, buttonWidth))
        return false;
    if (hotId != 0 && !CreateImageList(TB_SETHOTIMAGELIST, hotId, buttonWidth))
        return false;
    if (disabledId != 0 && !CreateImageList(TB_SETDISABLEDIMAGELIST, disabledId, buttonWidth))
        return false;
    return true;
}

void CTrueColorToolBar::ApplyImages() {
    for (size_t i = 0; i < m_actions.size(); ++i) {
        QIcon icon;
        if (i < m_lists[TB_SETIMAGELIST].size())
            icon.addPixmap(m_lists[TB_SETIMAGELIST][i], QIcon::Normal);
        if (i < m_lists[TB_SETHOTIMAGELIST].size())
            icon.addPixmap(m_lists[TB_SETHOTIMAGELIST][i], QIcon::Active);
        if (i < m_lists[TB_SETDISABLEDIMAGELIST].size())
            icon.addPixmap(m_lists[TB_SETDISABLEDIMAGELIST][i], QIcon::Disabled);
        m_actions[i]->setIcon(icon);
    }
}

void CTrueColorToolBar::AddDropDownButton(QWidget* parent, uint32_t buttonId, uint32_t menuId) {
    m_dropDownButtons.push_back({buttonId, menuId, parent});
}

bool CTrueColorToolBar::OnToolbarDropDown(uint32_t buttonId) {
    for (const stDropDownInfo& info : m_dropDownButtons) {
        if (info.uButtonID != buttonId)
            continue;
        QMenu* menu = LoadPopupMenu(info.uMenuID, info.pParent);
        if (menu == nullptr)
            return false;
        QAction* action = ButtonAction(buttonId);
        QWidget* button = action != nullptr ? widgetForAction(action) : nullptr;
        const QPoint at = button != nullptr ? button->mapToGlobal(button->rect().bottomLeft())
                                            : mapToGlobal(rect().bottomLeft());
        const uint32_t chosen = TrackPopupMenu(menu, at);
        delete menu;
        if (auto* target = dynamic_cast<CCmdTarget*>(info.pParent);
            target != nullptr && chosen != 0)
            target->OnCmdMsg(chosen);
        return true;
    }
    return false;
}
