// The extended list control: the column menu, hidden columns and their restore widths,
// the column order, the layout kept in the system profile across a restart, corrupt stored
// values, and the item menu with its command routing.
#include "ui/ext_list_ctrl.h"

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <QAction>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QHeaderView>
#include <QMenu>
#include <QStandardItemModel>
#include <QTest>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "platform/ini_file.h"

namespace {

constexpr int kColumns = 8;
const int kIds[kColumns] = {32800, 32801, 32802, 32803, 32804, 32805, 32806, 32807};
const char* const kTitles[kColumns] = {
    "Description",           "Ip Address / Host Name", "Ping State",    "TTL",
    "RTT: Min/Max/Aver/Cur", "All send requests",      "All get reply", "Lost rate"};
const int kWidths[kColumns] = {328, 160, 168, 68, 160, 128, 128, 88};

// What the menu tracker saw, and what it answers.
struct TrackedMenu {
    std::vector<std::string> texts;
    std::vector<bool> checked;
    std::vector<bool> enabled;
    std::vector<uint32_t> ids;
};
std::vector<TrackedMenu> g_tracked;
uint32_t g_answer = 0;

uint32_t RecordMenu(QMenu* menu, const QPoint&) {
    TrackedMenu seen;
    for (QAction* action : menu->actions()) {
        if (action->isSeparator())
            continue;
        seen.texts.push_back(action->text().toStdString());
        seen.checked.push_back(action->isChecked());
        seen.enabled.push_back(action->isEnabled());
        seen.ids.push_back(ActionCommand(action));
    }
    g_tracked.push_back(seen);
    return g_answer;
}

// Records the commands that reach it.
class CommandOwner : public QWidget, public CCmdTarget {
public:
    bool OnCmdMsg(uint32_t id) override {
        commands.push_back(id);
        return true;
    }
    std::vector<uint32_t> commands;
};

// An owner of the control as the host list is: eight columns, item menu 134, layout key.
class TestList : public CExtListCtrl {
public:
    explicit TestList(QWidget* parent, bool withKey = true) : CExtListCtrl(parent) {
        std::memcpy(m_widths, kWidths, sizeof m_widths);
        m_nColumns = kColumns;
        m_pnColumnWidth = m_widths;
        m_pnColumnID = kIds;
        m_ppszColumnTitle = kTitles;
        m_nItemMenuID = 134;
        if (withKey)
            std::strcpy(m_szLayoutKey, "VelmoraListCol3.2");
        auto* model = new QStandardItemModel(3, kColumns, this);
        QStringList titles;
        for (const char* title : kTitles)
            titles << QString::fromLatin1(title);
        model->setHorizontalHeaderLabels(titles);
        setModel(model);
        resize(1400, 400);
    }

    void PrepareContextMenu(QMenu* menu) override {
        ++prepared;
        for (QAction* action : menu->actions()) {
            if (ActionCommand(action) == 32774)
                action->setEnabled(false);
        }
    }
    bool OnCmdMsg(uint32_t id) override {
        own.push_back(id);
        return id == 32772;
    }

    int m_widths[kColumns];
    int prepared = 0;
    std::vector<uint32_t> own;
};

class ExtListCtrlTest : public testsupport::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        g_tracked.clear();
        g_answer = 0;
        SetPopupTracker(RecordMenu);
        m_owner = std::make_unique<CommandOwner>();
        m_owner->resize(1400, 400);
    }
    void TearDown() override {
        m_list.reset();
        m_owner.reset();
        SetPopupTracker(nullptr);
        SandboxTest::TearDown();
    }

    // Creates the control as its owner does and shows it.
    TestList* Start(bool withKey = true) {
        m_list = std::make_unique<TestList>(m_owner.get(), withKey);
        m_list->OnCreate();
        m_list->InsertColumns();
        m_owner->show();
        m_list->show();
        return m_list.get();
    }
    // Destroys the control, which writes its layout.
    void Stop() { m_list.reset(); }
    TestList* Restart() {
        Stop();
        return Start();
    }

    void RightClickHeader() {
        QHeaderView* header = m_list->horizontalHeader();
        m_list->OnContextMenu(header->mapToGlobal(QPoint(10, header->height() / 2)));
    }
    void RightClickRows() {
        m_list->OnContextMenu(m_list->viewport()->mapToGlobal(QPoint(10, 40)));
    }
    static std::string Stored(const char* key) {
        return GetProfileString(CExtListCtrl::LayoutSection(), key, "<none>", kLayoutValueSize);
    }
    static void Store(const char* key, const char* value) {
        ASSERT_TRUE(WriteProfileString(CExtListCtrl::LayoutSection(), key, value));
    }
    std::vector<int> Order() const {
        std::vector<int> order;
        for (int pos = 0; pos < kColumns; ++pos)
            order.push_back(m_list->horizontalHeader()->logicalIndex(pos));
        return order;
    }
    int Width(int column) const {
        const QHeaderView* header = m_list->horizontalHeader();
        return header->isSectionHidden(column) ? 0 : header->sectionSize(column);
    }

    std::unique_ptr<CommandOwner> m_owner;
    std::unique_ptr<TestList> m_list;
};

TEST_F(ExtListCtrlTest, FirstRunShowsNaturalOrderOwnerWidthsAndEveryColumnChecked) {
    TestList* list = Start();
    EXPECT_TRUE(list->horizontalHeader()->sectionsMovable());
    EXPECT_FALSE(list->horizontalHeader()->highlightSections());
    EXPECT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(Order(), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
    for (int i = 0; i < kColumns; ++i)
        EXPECT_EQ(Width(i), kWidths[i]) << i;

    RightClickHeader();
    ASSERT_EQ(g_tracked.size(), 1u);
    EXPECT_EQ(g_tracked[0].texts, std::vector<std::string>(kTitles, kTitles + kColumns));
    EXPECT_EQ(g_tracked[0].checked, std::vector<bool>(kColumns, true));
    EXPECT_EQ(g_tracked[0].ids, std::vector<uint32_t>(kIds, kIds + kColumns));
    EXPECT_EQ(list->prepared, 0);
}

TEST_F(ExtListCtrlTest, HiddenColumnStaysHiddenAcrossARestartAndComesBackAtItsWidth) {
    TestList* list = Start();
    list->OnToggleColumn(32803);  // TTL
    EXPECT_EQ(Width(3), 0);
    EXPECT_EQ(list->m_widths[3], 0);
    EXPECT_EQ(list->m_nKeepWidth[3], 68);

    Stop();
    EXPECT_EQ(Stored(kLayoutWidthKey), "328;160;168;0;160;128;128;88;");
    EXPECT_EQ(Stored(kLayoutKeepWidthKey), "50;50;50;68;50;50;50;50;");
    EXPECT_EQ(Stored(kLayoutIndexKey), "0;1;2;3;4;5;6;7;");

    list = Start();
    EXPECT_EQ(Width(3), 0);
    EXPECT_EQ(list->m_widths[3], 0);
    RightClickHeader();
    ASSERT_EQ(g_tracked.size(), 1u);
    EXPECT_FALSE(g_tracked[0].checked[3]);
    EXPECT_TRUE(g_tracked[0].checked[2]);

    // Chosen from the menu: shown at 68, restore width 0 until hidden again.
    g_answer = 32803;
    RightClickHeader();
    EXPECT_EQ(Width(3), 68);
    EXPECT_EQ(list->m_widths[3], 68);
    EXPECT_EQ(list->m_nKeepWidth[3], 0);
    list->horizontalHeader()->resizeSection(3, 90);
    list->OnToggleColumn(32803);
    EXPECT_EQ(list->m_nKeepWidth[3], 90);
    list->OnToggleColumn(32803);
    EXPECT_EQ(Width(3), 90);

    // Ids of no column change nothing.
    list->OnToggleColumn(32799);
    list->OnToggleColumn(32808);
    for (int i = 0; i < kColumns; ++i)
        EXPECT_NE(Width(i), 0) << i;
}

TEST_F(ExtListCtrlTest, ReorderedAndResizedColumnsComeBackAfterARestart) {
    TestList* list = Start();
    QHeaderView* header = list->horizontalHeader();
    header->moveSection(header->visualIndex(7), 0);  // "Lost rate" first
    header->resizeSection(0, 200);
    list->OnToggleColumn(32801);
    Stop();
    EXPECT_EQ(Stored(kLayoutIndexKey), "7;0;1;2;3;4;5;6;");

    Start();
    EXPECT_EQ(Order(), (std::vector<int>{7, 0, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(Width(0), 200);
    EXPECT_EQ(Width(1), 0);
    // The column menu lists the columns in display order.
    RightClickHeader();
    ASSERT_EQ(g_tracked.size(), 1u);
    EXPECT_EQ(g_tracked[0].texts.front(), "Lost rate");
    EXPECT_EQ(g_tracked[0].ids.front(), 32807u);
    EXPECT_FALSE(g_tracked[0].checked[2]);  // column 1, in third place
}

TEST_F(ExtListCtrlTest, FirstShowAppliesTheStoredLayoutWhenTheOwnerDidNot) {
    Store(kLayoutWidthKey, "328;160;168;0;160;128;128;88;");
    Store(kLayoutIndexKey, "7;0;1;2;3;4;5;6;");
    m_list = std::make_unique<TestList>(m_owner.get());
    m_owner->show();
    m_list->show();
    EXPECT_EQ(Width(3), 0);
    EXPECT_EQ(Order(), (std::vector<int>{7, 0, 1, 2, 3, 4, 5, 6}));
}

TEST_F(ExtListCtrlTest, CorruptStoredValuesNeverLoseAColumn) {
    // Entries that are no numbers, negative or absurd keep the defaults; the rest count.
    Store(kLayoutWidthKey, "abc;-5;99999999;0;;77;91;92;93;94;95;");
    Store(kLayoutKeepWidthKey, "-1;x;40;");
    Store(kLayoutIndexKey, "0;0;1;2;3;4;5;6;");
    TestList* list = Start();
    EXPECT_EQ(Width(0), 328);
    EXPECT_EQ(Width(1), 160);
    EXPECT_EQ(Width(2), 168);
    EXPECT_EQ(Width(3), 0);
    EXPECT_EQ(Width(4), 160);
    EXPECT_EQ(Width(5), 77);
    EXPECT_EQ(Width(6), 91);
    EXPECT_EQ(Width(7), 92);  // entries past the eighth are ignored
    EXPECT_EQ(list->m_nKeepWidth[0], 50);
    EXPECT_EQ(list->m_nKeepWidth[1], 50);
    EXPECT_EQ(list->m_nKeepWidth[2], 40);
    EXPECT_EQ(Order(), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
    Stop();

    // A restore width of 0 for a hidden column brings it back at its default width.
    Store(kLayoutWidthKey, "0;160;168;68;160;128;128;88;");
    Store(kLayoutKeepWidthKey, "0;0;0;0;0;0;0;0;");
    Store(kLayoutIndexKey, "9;8;7;6;5;4;3;2;");
    list = Start();
    EXPECT_EQ(Width(0), 0);
    EXPECT_EQ(Order(), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
    list->OnToggleColumn(32800);
    EXPECT_EQ(Width(0), 328);
    Stop();

    // A layout that hides every column is no layout at all.
    Store(kLayoutWidthKey, "0;0;0;0;0;0;0;0;");
    Store(kLayoutIndexKey, "1;0;");
    Start();
    for (int i = 0; i < kColumns; ++i)
        EXPECT_EQ(Width(i), kWidths[i]) << i;
    // A short order list keeps the natural order for the rest.
    EXPECT_EQ(Order(), (std::vector<int>{1, 0, 2, 3, 4, 5, 6, 7}));
}

TEST_F(ExtListCtrlTest, RightClicksOnHeaderAndRowsOpenTheirMenus) {
    TestList* list = Start();
    QHeaderView* header = list->horizontalHeader();
    const QPoint onHeader(10, header->height() / 2);
    QContextMenuEvent headerClick(QContextMenuEvent::Mouse, onHeader,
                                  header->mapToGlobal(onHeader));
    QCoreApplication::sendEvent(header->viewport(), &headerClick);
    ASSERT_EQ(g_tracked.size(), 1u);
    EXPECT_EQ(g_tracked[0].ids.front(), 32800u);

    const QPoint onRow(10, 10);
    QContextMenuEvent rowClick(QContextMenuEvent::Mouse, onRow,
                               list->viewport()->mapToGlobal(onRow));
    QCoreApplication::sendEvent(list->viewport(), &rowClick);
    ASSERT_EQ(g_tracked.size(), 2u);
    EXPECT_EQ(g_tracked[1].ids.front(), 32772u);
    EXPECT_EQ(list->prepared, 1);
}

TEST_F(ExtListCtrlTest, WithoutALayoutKeyThereIsNoMenuAndNoProfile) {
    TestList* list = Start(false);
    list->OnToggleColumn(32803);
    RightClickHeader();
    RightClickRows();
    EXPECT_TRUE(g_tracked.empty());
    EXPECT_EQ(list->prepared, 0);
    Stop();
    std::ifstream profile(WinIniPath());
    EXPECT_FALSE(profile.good());
}

TEST_F(ExtListCtrlTest, ItemMenuIsPreparedAndItsCommandsRouteThroughTheControlFirst) {
    TestList* list = Start();
    g_answer = 32772;  // handled by the control itself
    RightClickRows();
    ASSERT_EQ(g_tracked.size(), 1u);
    EXPECT_EQ(list->prepared, 1);
    EXPECT_EQ(g_tracked[0].ids,
              (std::vector<uint32_t>{32772, 32773, 32774, 32803, 32808, 32771, 32806, 32807}));
    EXPECT_FALSE(g_tracked[0].enabled[2]);
    EXPECT_EQ(list->own, (std::vector<uint32_t>{32772}));
    EXPECT_TRUE(m_owner->commands.empty());

    g_answer = 32803;  // Property: not the control's, so its owner's
    RightClickRows();
    EXPECT_EQ(list->own, (std::vector<uint32_t>{32772, 32803}));
    EXPECT_EQ(m_owner->commands, (std::vector<uint32_t>{32803}));
    for (int i = 0; i < kColumns; ++i)
        EXPECT_NE(Width(i), 0) << i;

    // The same id chosen in the column menu only toggles the column.
    g_answer = 32806;
    RightClickHeader();
    EXPECT_EQ(Width(6), 0);
    EXPECT_EQ(list->own.size(), 2u);
    EXPECT_EQ(m_owner->commands.size(), 1u);
}

}  // namespace
