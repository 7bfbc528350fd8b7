#include "ui/ext_list_ctrl.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>
#include <memory>
#include <optional>
#include <string_view>

#include <QAction>
#include <QContextMenuEvent>
#include <QCursor>
#include <QHeaderView>
#include <QMenu>
#include <QScrollBar>
#include <QShowEvent>

#include "platform/ini_file.h"
#include "ui/command_table.h"

namespace {

// The layout's keys, in the order of CExtListCtrl::m_storedLayout.
constexpr const char* kLayoutKeys[] = {kLayoutWidthKey, kLayoutKeepWidthKey, kLayoutIndexKey};

// A stored number as the classic reader takes it (blanks, sign, leading digits), or nothing
// when there are no digits or it overflows: such an entry is corrupt, not a 0.
std::optional<int> LayoutNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        negative = text[i++] == '-';
    int64_t value = 0;
    size_t digits = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) != 0; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > 0x7FFFFFFF)
            return std::nullopt;
        ++digits;
    }
    if (digits == 0)
        return std::nullopt;
    return static_cast<int>(negative ? -value : value);
}

// The entries of one stored list: each ends in ';', the last may lack it. At most `count`
// entries; an entry that is not a number comes back empty.
std::vector<std::optional<int>> ParseLayoutList(std::string_view text, int count) {
    std::vector<std::optional<int>> values;
    size_t pos = 0;
    while (static_cast<int>(values.size()) < count) {
        const size_t semi = text.find(';', pos);
        values.push_back(LayoutNumber(text.substr(
            pos, semi == std::string_view::npos ? std::string_view::npos : semi - pos)));
        if (semi == std::string_view::npos || semi + 1 >= text.size())
            break;
        pos = semi + 1;
    }
    return values;
}

bool IsStoredWidth(const std::optional<int>& value) {
    return value.has_value() && *value >= 0 && *value <= kMaxStoredColumnWidth;
}

// "%d;" per value, leaving off what would not fit the profile's buffer.
std::string LayoutText(const int* values, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        char item[16];
        std::snprintf(item, sizeof item, "%d;", values[i]);
        if (text.size() + std::string_view(item).size() >= kLayoutValueSize)
            break;
        text += item;
    }
    return text;
}

}  // namespace

CExtListCtrl::CExtListCtrl(QWidget* parent) : QTableView(parent) {
    for (int i = 0; i < kExtListMaxColumns; ++i) {
        m_nKeepWidth[i] = kDefaultKeepWidth;
        m_nColumnOrder[i] = i;
    }
    // A click in a scroll bar takes the keyboard focus too, so the arrow keys go on from
    // where the user scrolled to.
    auto takeFocus = [this] {
        if (!hasFocus())
            setFocus(Qt::MouseFocusReason);
    };
    connect(verticalScrollBar(), &QScrollBar::actionTriggered, this, takeFocus);
    connect(horizontalScrollBar(), &QScrollBar::actionTriggered, this, takeFocus);
    // A scroll area drops mouse context-menu requests that do not come from its viewport,
    // so the header hands its own over.
    QHeaderView* header = horizontalHeader();
    header->setContextMenuPolicy(Qt::CustomContextMenu);
    // Titles stay as they are while rows are selected: a bold title would no longer fit the
    // default width of its column.
    header->setHighlightSections(false);
    connect(header, &QWidget::customContextMenuRequested, this,
            [this, header](const QPoint& pos) { OnContextMenu(header->mapToGlobal(pos)); });
}

CExtListCtrl::~CExtListCtrl() {
    OnDestroy();
}

void CExtListCtrl::PrepareContextMenu(QMenu*) {}

int CExtListCtrl::SortByColumn(int) {
    return 0;
}

bool CExtListCtrl::OnCmdMsg(uint32_t) {
    return false;
}

std::string CExtListCtrl::LayoutSection() {
    const char* name = StringResource(IDS_APP_TITLE);
    return name != nullptr ? name : "";
}

int CExtListCtrl::OnCreate() {
    if (m_bCreated)
        return 0;
    m_bCreated = true;
    const int columns = std::clamp(m_nColumns, 0, kExtListMaxColumns);
    if (m_pnColumnWidth != nullptr)
        std::copy(m_pnColumnWidth, m_pnColumnWidth + columns, m_nDefaultWidth);
    if (m_szLayoutKey[0] == '\0' || m_pnColumnWidth == nullptr)
        return 0;

    const std::string section = LayoutSection();
    auto read = [&](size_t key) {
        m_storedLayout[key] = GetProfileString(section, kLayoutKeys[key], "", kLayoutValueSize);
        return ParseLayoutList(m_storedLayout[key], columns);
    };

    // A corrupt entry keeps the owner's default, so no value can make a column vanish.
    const auto widths = read(0);
    bool anyShown = false;
    for (size_t i = 0; i < widths.size(); ++i) {
        if (IsStoredWidth(widths[i]))
            m_pnColumnWidth[i] = *widths[i];
        anyShown = anyShown || m_pnColumnWidth[i] != 0;
    }
    for (size_t i = widths.size(); i < static_cast<size_t>(columns); ++i)
        anyShown = anyShown || m_pnColumnWidth[i] != 0;
    if (!anyShown && columns > 0)
        std::copy(m_nDefaultWidth, m_nDefaultWidth + columns, m_pnColumnWidth);

    const auto keep = read(1);
    for (size_t i = 0; i < keep.size(); ++i) {
        if (IsStoredWidth(keep[i]))
            m_nKeepWidth[i] = *keep[i];
    }

    // The order is one value: any entry out of place and the natural order stands.
    const auto order = read(2);
    int candidate[kExtListMaxColumns];
    std::copy(m_nColumnOrder, m_nColumnOrder + kExtListMaxColumns, candidate);
    bool valid = true;
    for (size_t i = 0; i < order.size(); ++i) {
        if (!order[i].has_value()) {
            valid = false;
            break;
        }
        candidate[i] = *order[i];
    }
    bool seen[kExtListMaxColumns] = {};
    for (int i = 0; valid && i < columns; ++i) {
        const int column = candidate[i];
        valid = column >= 0 && column < columns && !seen[column];
        if (valid)
            seen[column] = true;
    }
    if (valid)
        std::copy(candidate, candidate + columns, m_nColumnOrder);
    return 0;
}

void CExtListCtrl::InsertColumns() {
    OnCreate();
    m_bInserted = true;
    setSelectionBehavior(QAbstractItemView::SelectRows);
    QHeaderView* header = horizontalHeader();
    header->setSectionsMovable(true);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    if (m_pnColumnWidth == nullptr)
        return;
    const int columns = std::min({m_nColumns, kExtListMaxColumns, header->count()});
    for (int i = 0; i < columns; ++i)
        SetColumnShown(i, m_pnColumnWidth[i]);
    ApplyColumnOrder();
}

void CExtListCtrl::showEvent(QShowEvent* event) {
    if (!m_bInserted)
        InsertColumns();
    QTableView::showEvent(event);
}

void CExtListCtrl::SetColumnShown(int column, int width) {
    QHeaderView* header = horizontalHeader();
    if (width == 0) {
        header->setSectionHidden(column, true);
        return;
    }
    header->setSectionHidden(column, false);
    header->resizeSection(column, width);
}

void CExtListCtrl::ApplyColumnOrder() {
    QHeaderView* header = horizontalHeader();
    const int columns = std::min({m_nColumns, kExtListMaxColumns, header->count()});
    for (int pos = 0; pos < columns; ++pos) {
        const int column = m_nColumnOrder[pos];
        if (column < 0 || column >= header->count())
            continue;
        const int from = header->visualIndex(column);
        if (from != pos)
            header->moveSection(from, pos);
    }
}

bool CExtListCtrl::ReadColumnOrder() {
    const QHeaderView* header = horizontalHeader();
    const int columns = std::min(header->count(), kExtListMaxColumns);
    if (columns <= 0)
        return false;
    for (int pos = 0; pos < columns; ++pos)
        m_nColumnOrder[pos] = header->logicalIndex(pos);
    return true;
}

void CExtListCtrl::OnDestroy() {
    if (m_bDestroyed)
        return;
    m_bDestroyed = true;
    WriteLayout(false);
}

void CExtListCtrl::SaveChangedLayout() {
    if (!m_bDestroyed)
        WriteLayout(true);
}

void CExtListCtrl::WriteLayout(bool changedOnly) {
    if (m_szLayoutKey[0] == '\0')
        return;
    const QHeaderView* header = horizontalHeader();
    // Without columns (the model already gone) there is nothing true to write, and an
    // empty layout must not replace the stored one.
    const int columns = header != nullptr ? std::min(header->count(), kExtListMaxColumns) : 0;
    if (columns <= 0)
        return;
    int widths[kExtListMaxColumns];
    for (int j = 0; j < columns; ++j)
        widths[j] = header->isSectionHidden(j) ? 0 : header->sectionSize(j);
    const std::string texts[] = {LayoutText(widths, columns), LayoutText(m_nKeepWidth, columns),
                                 ReadColumnOrder() ? LayoutText(m_nColumnOrder, columns) : ""};
    const std::string section = LayoutSection();
    for (size_t i = 0; i < std::size(kLayoutKeys); ++i) {
        if (texts[i].empty() || (changedOnly && texts[i] == m_storedLayout[i]))
            continue;
        if (WriteProfileString(section, kLayoutKeys[i], texts[i]))
            m_storedLayout[i] = texts[i];
    }
}

void CExtListCtrl::contextMenuEvent(QContextMenuEvent* event) {
    const bool keyboard = event->reason() == QContextMenuEvent::Keyboard;
    OnContextMenu(event->globalPos(), keyboard);
    event->accept();
}

void CExtListCtrl::OnContextMenu(const QPoint& globalPos, bool fromKeyboard) {
    if (m_szLayoutKey[0] == '\0')
        return;
    QHeaderView* header = horizontalHeader();
    const QPoint cursor = fromKeyboard ? QCursor::pos() : globalPos;
    const bool overHeader = header != nullptr && header->isVisible() &&
                            header->rect().contains(header->mapFromGlobal(cursor));
    if (overHeader) {
        if (!ReadColumnOrder() || m_pnColumnID == nullptr || m_ppszColumnTitle == nullptr ||
            m_pnColumnWidth == nullptr)
            return;
        QMenu menu(this);
        const int columns = std::min({m_nColumns, kExtListMaxColumns, header->count()});
        for (int pos = 0; pos < columns; ++pos) {
            const int column = m_nColumnOrder[pos];
            QAction* action = menu.addAction(QString::fromUtf8(m_ppszColumnTitle[column]));
            action->setData(static_cast<uint>(m_pnColumnID[column]));
            action->setCheckable(true);
            action->setChecked(m_pnColumnWidth[column] != 0);
        }
        // Opened from the keyboard there is no mouse point: the menu drops from the header.
        const QPoint at =
            fromKeyboard ? header->mapToGlobal(QPoint(0, header->height())) : globalPos;
        // The choice is only ever a column toggle, whatever other command shares its id.
        if (const uint32_t id = TrackPopupMenu(&menu, at); id != 0)
            OnToggleColumn(id);
        return;
    }
    if (m_nItemMenuID == 0)
        return;
    std::unique_ptr<QMenu> menu(LoadPopupMenu(m_nItemMenuID, this));
    if (menu == nullptr)
        return;
    PrepareContextMenu(menu.get());
    const uint32_t id = TrackPopupMenu(menu.get(), globalPos);
    menu.reset();
    if (id != 0)
        RouteCommand(id);
}

void CExtListCtrl::RouteCommand(uint32_t id) {
    if (OnCmdMsg(id))
        return;
    for (QWidget* w = parentWidget(); w != nullptr; w = w->parentWidget()) {
        if (auto* target = dynamic_cast<CCmdTarget*>(w); target != nullptr && target->OnCmdMsg(id))
            return;
    }
}

void CExtListCtrl::OnToggleColumn(uint32_t id) {
    const int columns = std::min(m_nColumns, kExtListMaxColumns);
    if (columns <= 0 || m_pnColumnID == nullptr || m_pnColumnWidth == nullptr)
        return;
    if (id < static_cast<uint32_t>(m_pnColumnID[0]) ||
        id > static_cast<uint32_t>(m_pnColumnID[columns - 1]))
        return;
    const int* found = std::find(m_pnColumnID, m_pnColumnID + columns, static_cast<int>(id));
    if (found == m_pnColumnID + columns)
        return;
    const int i = static_cast<int>(found - m_pnColumnID);
    QHeaderView* header = horizontalHeader();
    if (i >= header->count())
        return;
    if (m_pnColumnWidth[i] != 0) {
        m_nKeepWidth[i] = header->sectionSize(i);
        SetColumnShown(i, 0);
        m_pnColumnWidth[i] = 0;
        return;
    }
    int width = m_nKeepWidth[i] & 0xFFFF;
    // A restore width of 0 (a column shown and never hidden again, as a stored layout may
    // say) would keep the column hidden for good: it comes back at its default width.
    if (width == 0)
        width = m_nDefaultWidth[i] > 0 ? m_nDefaultWidth[i] : kDefaultKeepWidth;
    SetColumnShown(i, width);
    m_pnColumnWidth[i] = width;
    m_nKeepWidth[i] = 0;
}
