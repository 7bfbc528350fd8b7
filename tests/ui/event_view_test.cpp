// The event list: rows and their EVENT lines, the double click that finds the host, and
// clearing.

#include "ui/event_view.h"

#include <fstream>
#include <sstream>
#include <string>

#include <arpa/inet.h>

#include <QApplication>
#include <QMenu>
#include <QTest>

#include <gtest/gtest.h>

#include "alerts/alert_dispatch.h"
#include "alerts/event_text.h"
#include "alerts/log_file.h"
#include "common/test_support.h"
#include "config/setup_info.h"
#include "engine/host_list.h"
#include "ui/corvantis_view.h"
#include "ui/ping_list_ctrl.h"

namespace {

constexpr const char* kDate = "Tuesday, December 08, 2026  01:05:09";  // FixedNow()

// The moment every event of these tests happens, in UTC.
std::time_t FixedNow() {
    return 1796691909;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

uint32_t g_trackerCommand = 0;
int g_trackedMenus = 0;
uint32_t TrackerChoosing(QMenu*, const QPoint&) {
    ++g_trackedMenus;
    return g_trackerCommand;
}

class EventViewTest : public testsupport::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        const char* tz = std::getenv("TZ");
        m_hadTz = tz != nullptr;
        if (m_hadTz)
            m_oldTz = tz;
        setenv("TZ", "UTC", 1);
        SetTextClock(&FixedNow);
        ASSERT_EQ(CreateHostList(kMaxHosts), 0);
        g_pSetupInfo = new CSetupInfo();
        m_events = new CEventView();
        m_events->OnCreate();
        g_pEventView = m_events;
        m_view = new CCorvantisView();
        m_view->OnCreate();
        m_log = m_dir.File("events.log");
        SetPopupTracker(TrackerChoosing);
        g_trackedMenus = 0;
    }
    void TearDown() override {
        SetPopupTracker(nullptr);
        delete m_view;
        delete m_events;
        g_logFile.Close();
        delete g_pSetupInfo;
        g_pSetupInfo = nullptr;
        DestroyHostList();
        SetTextClock(nullptr);
        if (m_hadTz)
            setenv("TZ", m_oldTz.c_str(), 1);
        else
            unsetenv("TZ");
        SandboxTest::TearDown();
    }

    CHostItem* Add(const char* name, const char* address) {
        CHostItem* host = AddHost(0);
        host->name = name;
        if (std::string(address).find(':') != std::string::npos) {
            host->addr6.sin6_family = AF_INET6;
            EXPECT_EQ(inet_pton(AF_INET6, address, &host->addr6.sin6_addr), 1);
        } else {
            in_addr v4{};
            EXPECT_EQ(inet_pton(AF_INET, address, &v4), 1);
            host->addr4.sin_family = AF_INET;
            host->StoreAddr4(v4.s_addr);
        }
        PublishHost(host);
        return host;
    }

    void Event(CHostItem* host, int32_t state, const char* text = "") {
        host->state = state;
        host->event_text = text;
        AddEventRow(host);
        host->event_text.clear();
    }

    // Double-clicks the middle of event row `row`.
    bool DoubleClick(int row) {
        m_events->resize(900, 300);
        const QRect cell = m_events->visualRect(m_events->model()->index(row, 0));
        return m_events->OnLButtonDblClk(cell.center());
    }

    std::vector<int> SelectedHostRows() const {
        std::vector<int> rows;
        for (const QModelIndex& index : m_view->m_pList->selectionModel()->selectedRows())
            rows.push_back(index.row());
        std::sort(rows.begin(), rows.end());
        return rows;
    }

    CEventView* m_events = nullptr;
    CCorvantisView* m_view = nullptr;
    std::string m_log;
    bool m_hadTz = false;
    std::string m_oldTz;
};

TEST_F(EventViewTest, RowsAndTheirPlainEventLines) {
    ASSERT_TRUE(g_logFile.Open(m_log));
    CHostItem* v4 = Add("gateway", "10.0.0.1");
    CHostItem* v6 = Add("v6 host", "2001:db8::5");
    Event(v4, 0);
    Event(v4, 2);
    Event(v6, 1);
    Event(v6, 4);
    Event(v4, 0, "TTL have changed from 64 to 57");
    Event(v4, 2, "TTL have changed from 57 to 64");

    ASSERT_EQ(m_events->RowCount(), 6);
    const char* texts[] = {"peer is up",
                           "peer is down",
                           "the state of peer is changed",
                           "lost rate is more than switch",
                           "TTL have changed from 64 to 57",
                           "TTL have changed from 57 to 64"};
    const int images[] = {0, 1, 1, 1, 0, 1};
    for (int r = 0; r < 6; ++r) {
        SCOPED_TRACE(r);
        EXPECT_EQ(m_events->CellText(r, 0), texts[r]);
        EXPECT_EQ(m_events->RowImage(r), images[r]);
        EXPECT_EQ(m_events->CellText(r, 3), kDate);
    }
    EXPECT_EQ(m_events->CellText(0, 1), "gateway");
    EXPECT_EQ(m_events->CellText(0, 2), "10.0.0.1 ");
    EXPECT_EQ(m_events->CellText(2, 2), "2001:db8::5");
    EXPECT_FALSE(
        m_events->model()->data(m_events->model()->index(0, 0), Qt::DecorationRole).isNull());
    EXPECT_EQ(m_events->RowImage(6), -1);

    // One EVENT line per row: five blanks after an IPv4 address (its own trailing blank and
    // the four of the separator), four after an IPv6 address.
    const std::string date = kDate;
    EXPECT_EQ(
        ReadFile(m_log),
        "EVENT: " + date + "   gateway    10.0.0.1     peer is up\r\n" + "EVENT: " + date +
            "   gateway    10.0.0.1     peer is down\r\n" + "EVENT: " + date +
            "   v6 host    2001:db8::5    the state of peer is changed\r\n" + "EVENT: " + date +
            "   v6 host    2001:db8::5    lost rate is more than switch\r\n" + "EVENT: " + date +
            "   gateway    10.0.0.1     TTL have changed from 64 to 57\r\n" + "EVENT: " + date +
            "   gateway    10.0.0.1     TTL have changed from 57 to 64\r\n");
}

TEST_F(EventViewTest, CsvLinesAndNoLineWithoutLogchange) {
    ASSERT_TRUE(g_logFile.Open(m_log));
    g_pSetupInfo->reserve2 = 1;
    Event(Add("gateway", "10.0.0.1"), 2);
    Event(Add("v6 host", "2001:db8::5"), 0);
    g_pSetupInfo->logchange = 0;
    Event(g_pHostList->Host(0), 0);
    EXPECT_EQ(m_events->RowCount(), 3) << "the row is added whatever the log switches say";
    EXPECT_EQ(ReadFile(m_log),
              "08/12/2026,01:05:09,gateway,10.0.0.1,peer is down\r\n"
              "08/12/2026,01:05:09,v6 host,2001:db8::5,peer is up\r\n");
}

TEST_F(EventViewTest, DoubleClickSelectsTheFirstHostOfTheEvent) {
    Add("first", "10.0.0.1");
    CHostItem* twin = Add("twin of first", "10.0.0.9");
    Add("second", "10.0.0.9");
    CHostItem* v6 = Add("v6", "2001:db8::5");
    m_view->OnInitialUpdate();
    Event(twin, 2);
    Event(v6, 2);
    Event(g_pHostList->Host(0), 0);

    // Two rows selected before: the double click leaves only the host's row selected.
    QItemSelectionModel* selection = m_view->m_pList->selectionModel();
    QAbstractItemModel* hosts = m_view->m_pList->model();
    for (int r : {0, 3})
        selection->select(hosts->index(r, 0),
                          QItemSelectionModel::Select | QItemSelectionModel::Rows);

    EXPECT_TRUE(DoubleClick(0));
    EXPECT_EQ(SelectedHostRows(), std::vector<int>{1});  // the first row with 10.0.0.9
    EXPECT_EQ(m_view->m_pList->currentIndex().row(), 1);
    EXPECT_TRUE(DoubleClick(1));
    EXPECT_EQ(SelectedHostRows(), std::vector<int>{3});
    EXPECT_TRUE(DoubleClick(2));
    EXPECT_EQ(SelectedHostRows(), std::vector<int>{0});

    // Through a real double click on the widget.
    m_events->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_events));
    const QRect cell = m_events->visualRect(m_events->model()->index(1, 2));
    QTest::mouseDClick(m_events->viewport(), Qt::LeftButton, {}, cell.center());
    EXPECT_EQ(SelectedHostRows(), std::vector<int>{3});

    // Empty space, or an event whose host is gone: nothing changes.
    EXPECT_FALSE(m_events->OnLButtonDblClk(QPoint(5, 5000)));
    EXPECT_EQ(SelectedHostRows(), std::vector<int>{3});
    ClearHostList(0);
    m_view->OnInitialUpdate();
    EXPECT_FALSE(DoubleClick(0));
}

TEST_F(EventViewTest, DoubleClickOnAHostGivenByNameSelectsNothing) {
    // The row shows the host's resolved address, which names only hosts entered by address;
    // a host given by name would need its host name in the row.
    CHostItem* named = Add("by name", "10.0.0.7");
    named->name_host = 1;
    named->hostname = "router.example.test";
    m_view->OnInitialUpdate();
    Event(named, 2);
    EXPECT_FALSE(DoubleClick(0));
    EXPECT_TRUE(SelectedHostRows().empty());
}

TEST_F(EventViewTest, ClearEmptiesTheListAndLeavesTheLog) {
    ASSERT_TRUE(g_logFile.Open(m_log));
    CHostItem* host = Add("gateway", "10.0.0.1");
    Event(host, 2);
    Event(host, 0);
    const std::string logged = ReadFile(m_log);

    // The context menu, its command not chosen, then chosen.
    g_trackerCommand = 0;
    m_events->OnContextMenu(QPoint(10, 10));
    EXPECT_EQ(g_trackedMenus, 1);
    EXPECT_EQ(m_events->RowCount(), 2);
    g_trackerCommand = 32788;
    QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, QPoint(5, 5), QPoint(50, 50));
    QApplication::sendEvent(m_events->viewport(), &menuEvent);
    EXPECT_EQ(g_trackedMenus, 2);
    EXPECT_EQ(m_events->RowCount(), 0);

    Event(host, 2);
    EXPECT_FALSE(m_events->OnCmdMsg(32803));
    EXPECT_TRUE(m_events->OnCmdMsg(32788));
    EXPECT_EQ(m_events->RowCount(), 0);
    EXPECT_EQ(ReadFile(m_log),
              logged + "EVENT: " + kDate + "   gateway    10.0.0.1     peer is down\r\n");

    // New rows start again at the top.
    Event(host, 0);
    EXPECT_EQ(m_events->RowCount(), 1);
    EXPECT_EQ(m_events->CellText(0, 0), "peer is up");
}

TEST_F(EventViewTest, ManyRowsStayCheap) {
    CHostItem* host = Add("gateway", "10.0.0.1");
    std::tm local{};
    ASSERT_TRUE(ToLocalTime(FixedNow(), local));
    constexpr int kRows = 200000;
    for (int i = 0; i < kRows; ++i) {
        host->state = i % 2 == 0 ? 2 : 0;
        m_events->AddEvent(host, local);
    }
    ASSERT_EQ(m_events->RowCount(), kRows);
    EXPECT_EQ(m_events->CellText(kRows - 1, 0), "peer is up");
    EXPECT_EQ(m_events->CellText(kRows - 2, 3), kDate);
    m_events->OnClearEventList();
    EXPECT_EQ(m_events->RowCount(), 0);
}

}  // namespace
