#include "ui/ping_list_ctrl.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <arpa/inet.h>

#include <QApplication>
#include <QColor>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include "alerts/alert_dispatch.h"
#include "common/test_support.h"
#include "config/setup_document.h"
#include "config/setup_info.h"
#include "engine/host_list.h"
#include "ui/command_table.h"
#include "ui/corvantis_view.h"
#include "ui/dlg_add_ip.h"
#include "ui/dlg_add_range.h"
#include "ui/host_row_text.h"
#include "ui/menus.h"
#include "ui/setup_dialog_fixture.h"

namespace {

// Acts on a modal dialog from its own loop, and ends it should the action not.
using setuptest::WhenModal;

// Every event the dispatch lists, with the state it was raised for.
class RecordingSink : public EventRowSink {
public:
    void AddEvent(CHostItem* host, const std::tm&) override {
        events.emplace_back(host, host->state);
    }
    std::vector<std::pair<CHostItem*, int32_t>> events;
};

class PingListCtrlTest : public testsupport::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        ASSERT_EQ(CreateHostList(kMaxHosts), 0);
        g_pSetupInfo = new CSetupInfo();
        // Only the event rows are looked at: no mail, program, box or sound.
        g_pSetupInfo->sendmail = 0;
        g_pSetupInfo->runexe = 0;
        g_pSetupInfo->popupbox = 0;
        g_pSetupInfo->beep = 0;
        m_oldSink = g_pEventRowSink;
        g_pEventRowSink = &m_sink;
        m_list = new CPingListCtrl();
        m_list->InsertColumns();
        g_bSetupModified = 0;
    }
    void TearDown() override {
        delete m_list;
        g_pEventRowSink = m_oldSink;
        delete g_pSetupInfo;
        g_pSetupInfo = nullptr;
        DestroyHostList();
        g_bSetupModified = 0;
        SandboxTest::TearDown();
    }

    // A filled, published host at the end of the table and row map; no list row yet.
    static CHostItem* Add(const std::string& name, uint32_t addr = 0x7F000001) {
        CHostItem* host = AddHost(0);
        if (host == nullptr)
            return nullptr;
        host->name = name;
        host->addr4.sin_family = AF_INET;
        host->StoreAddr4(htonl(addr));
        PublishHost(host);
        return host;
    }

    // One outcome as the engine records it: the up flag flips with run count 0, else the
    // run count grows.
    static void Reply(CHostItem* host) {
        host->sent_count.fetch_add(1);
        host->recv_count.fetch_add(1);
        host->result = PING_RESULT_REPLY;
        if (host->up.load() == 1) {
            host->run_count.fetch_add(1);
        } else {
            host->up = 1;
            host->run_count = 0;
        }
    }
    static void Fail(CHostItem* host) {
        host->sent_count.fetch_add(1);
        host->result = PING_RESULT_TIMEOUT;
        if (host->up.load() == 0) {
            host->run_count.fetch_add(1);
        } else {
            host->up = 0;
            host->run_count = 0;
        }
    }

    HostTableModel& Model() { return *m_list->Model(); }
    std::string Cell(int row, int column) { return Model().Cell(row, column); }

    // Selects exactly `rows`.
    void Select(const std::vector<int>& rows) {
        QItemSelectionModel* selection = m_list->selectionModel();
        selection->clear();
        for (int row : rows)
            selection->select(Model().index(row, 0),
                              QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    std::vector<int> SelectedRows() {
        m_list->GetSelectedRows();
        return std::vector<int>(g_selectedRows, g_selectedRows + g_selectedCount);
    }

    // The row invariant, the list's own copy of it included.
    void ExpectInvariant() {
        const int rows = g_rowCount;
        ASSERT_EQ(Model().Rows(), rows);
        ASSERT_EQ(static_cast<int>(g_pHostList->count.load()), rows);
        std::set<int32_t> indexes;
        for (int r = 0; r < rows; ++r) {
            CHostItem* host = g_pHostList->Host(static_cast<uint32_t>(g_rowToHost[r]));
            ASSERT_NE(host, nullptr) << r;
            EXPECT_TRUE(indexes.insert(g_rowToHost[r]).second) << r;
            EXPECT_EQ(host->row, static_cast<uint32_t>(r));
            EXPECT_EQ(Model().ItemData(r), host) << r;
            EXPECT_EQ(Cell(r, 0), host->name) << r;
            EXPECT_EQ(Model().Image(r), host->state) << r;
        }
    }

    // Adds the hosts 127.0.a.b to 127.0.c.d through the range dialog.
    void AddRange(uint32_t first, uint32_t last, const char* name) {
        WhenModal<CDlgAddRange>([=](CDlgAddRange* dialog) {
            dialog->m_first->SetAddress(first);
            dialog->m_end->SetAddress(last);
            dialog->m_options.m_name->setText(QString::fromUtf8(name));
            dialog->OnAdd();
        });
        m_list->OnAddIPRange();
    }

    RecordingSink m_sink;
    EventRowSink* m_oldSink = nullptr;
    CPingListCtrl* m_list = nullptr;
};

// A state sequence: the settings, then one character per refresh of a new host's row in
// each of three strings: the outcome before it ('R' reply, 'T' time-out, '-' none), the
// state it must give, and the event it must raise ('.' none).
struct Sequence {
    const char* name;
    bool needLostCount;
    int32_t continueLost;
    bool needLostRate;
    int32_t lostRate;
    const char* outcomes;
    const char* states;
    const char* events;
};

TEST_F(PingListCtrlTest, StateRuleSequences) {
    const Sequence sequences[] = {
        {"new host, never answers: down at its third time-out", true, 3, true, 5,  //
         "-TTTT", "11122", "...2."},
        {"new host, answers: up at its fourth reply, unannounced", true, 3, true, 5,  //
         "-RRRRR", "111100", "......"},
        {"up host: down at its fourth failure, up at its fourth reply", true, 3, false, 5,
         "-RRRRTTTTT-RRRR", "111101112221110", "........2.....0"},
        {"a short failure passes through state 1 only", true, 3, false, 5,  //
         "-RRRRTRRRR", "1111011110", ".........."},
        {"loss rate state entered from up and left", true, 1, true, 20,  //
         "-RRTRRR", "1101440", "....4.0"},
        {"a host whose up flag is 0 keeps state 2 at any loss rate", true, 0, true, 5,  //
         "-TTRT", "22242", "2..02"},
        {"a host announced down is announced up once, its rate over the threshold", true, 2, true,
         50, "-TTTTRRRRR", "1122244440", "..2....0.."},
        {"without the count trigger: down before any request and at the first failure", false, 3,
         false, 5, "--RT", "2202", "2.02"},
        {"with a count of 0 state 1 never occurs", true, 0, false, 5,  //
         "-RTR", "2020", "2020"},
    };
    for (const Sequence& sequence : sequences) {
        SCOPED_TRACE(sequence.name);
        g_pSetupInfo->needlostcount = sequence.needLostCount ? 1 : 0;
        g_pSetupInfo->continuelost = sequence.continueLost;
        g_pSetupInfo->needlostrate = sequence.needLostRate ? 1 : 0;
        g_pSetupInfo->lostrate = sequence.lostRate;
        ClearHostList(0);
        CHostItem* host = Add("h");
        m_list->RefillList();
        m_sink.events.clear();
        host->state = 1;  // as new: the rebuild above must not count as the first refresh
        host->notified_state = 0;
        for (size_t i = 0; sequence.outcomes[i] != '\0'; ++i) {
            if (sequence.outcomes[i] == 'R')
                Reply(host);
            else if (sequence.outcomes[i] == 'T')
                Fail(host);
            const size_t before = m_sink.events.size();
            m_list->FillHostRow(host);
            EXPECT_EQ(host->state, sequence.states[i] - '0') << "refresh " << i;
            EXPECT_EQ(Model().Image(0), host->state) << "refresh " << i;
            const char raised = m_sink.events.size() == before ? '.'
                                : m_sink.events.size() == before + 1
                                    ? static_cast<char>('0' + m_sink.events.back().second)
                                    : '*';
            EXPECT_EQ(raised, sequence.events[i]) << "refresh " << i;
        }
    }
}

TEST_F(PingListCtrlTest, LossRateEdgeCases) {
    CHostItem* host = Add("h");
    m_list->RefillList();

    // Before the first request.
    EXPECT_EQ(Cell(0, 2), "");
    EXPECT_EQ(Cell(0, 4), "0ms /0ms /0ms /0ms");
    EXPECT_EQ(Cell(0, 7), "0.00%");
    EXPECT_EQ(host->state, 1);
    EXPECT_TRUE(m_sink.events.empty());

    // 20 sent, 19 answered, up with the count reached: exactly 5.00 %, announced once.
    host->up = 1;
    host->run_count = 18;
    host->sent_count = 20;
    host->recv_count = 19;
    host->result = PING_RESULT_REPLY;
    m_list->FillHostRow(host);
    m_list->FillHostRow(host);
    EXPECT_EQ(host->lost_rate, 5.0f);
    EXPECT_STREQ(host->lost_rate_text, "5.00%");
    EXPECT_EQ(Cell(0, 7), "5.00%");
    EXPECT_EQ(host->state, 4);
    ASSERT_EQ(m_sink.events.size(), 1u);
    EXPECT_EQ(m_sink.events[0].second, 4);

    // More replies than requests (counters cleared between request and reply).
    host->sent_count = 5;
    host->recv_count = 7;
    m_list->FillHostRow(host);
    EXPECT_EQ(host->recv_count.load(), 5u);
    EXPECT_EQ(host->lost_rate, 0.0f);
    EXPECT_EQ(Cell(0, 5), "5");
    EXPECT_EQ(Cell(0, 6), "5");
    EXPECT_EQ(Cell(0, 7), "0.00%");
    EXPECT_EQ(host->state, 0);
}

TEST_F(PingListCtrlTest, RowCellsAndNoRepaintWithoutChange) {
    CHostItem* host = Add("gateway", 0x7F000009);
    host->hostname = "gw.local";
    m_list->RefillList();
    Model().FlushChanges();

    host->sent_count = 3;
    host->recv_count = 2;
    host->ttl = 64;
    host->rtt_min = 12;
    host->rtt_max = 40;
    host->rtt_avg = 18;
    host->rtt_cur = 15;
    host->result = 3;
    host->icmp_code = 1;
    m_list->FillHostRow(host);
    EXPECT_EQ(Cell(0, 0), "gateway");
    EXPECT_EQ(Cell(0, 1), "127.0.0.9 / gw.local");
    EXPECT_EQ(Cell(0, 2), "Destination host unreachable");
    EXPECT_EQ(Cell(0, 3), "64");
    EXPECT_EQ(Cell(0, 4), "12ms /40ms /18ms /15ms");
    EXPECT_EQ(host->rtt_text, "12ms /40ms /18ms /15ms");
    EXPECT_EQ(Cell(0, 5), "3");
    EXPECT_EQ(Cell(0, 6), "2");
    EXPECT_EQ(Cell(0, 7), "33.33%");
    EXPECT_EQ(Model().PendingRows(), 1u);
    Model().FlushChanges();

    // The same outcome again changes no cell and no image: nothing to repaint.
    m_list->FillHostRow(host);
    EXPECT_EQ(Model().PendingRows(), 0u);

    // The name column is written by SetHostNameText alone.
    host->name = "renamed";
    m_list->FillHostRow(host);
    EXPECT_EQ(Cell(0, 0), "gateway");
    EXPECT_EQ(m_list->SetHostNameText(host), 1);
    EXPECT_EQ(Cell(0, 0), "renamed");
    host->row = 5;
    EXPECT_EQ(m_list->SetHostNameText(host), 0);
}

TEST_F(PingListCtrlTest, ChangedRowsAreRepaintedAsMergedSpans) {
    std::vector<CHostItem*> hosts;
    for (int i = 0; i < 20; ++i)
        hosts.push_back(Add("h" + std::to_string(i)));
    m_list->RefillList();
    Model().FlushChanges();

    QSignalSpy spy(&Model(), &QAbstractItemModel::dataChanged);
    for (int row : {3, 4, 5, 10})
        hosts[static_cast<size_t>(row)]->sent_count.fetch_add(1);
    for (int row : {10, 5, 3, 4})
        m_list->FillHostRow(hosts[static_cast<size_t>(row)]);
    EXPECT_EQ(spy.count(), 0);  // nothing before the timer
    ASSERT_TRUE(testsupport::WaitUntil([&] {
        QApplication::processEvents();
        return spy.count() >= 2;
    }));
    ASSERT_EQ(spy.count(), 2);
    EXPECT_EQ(spy[0][0].toModelIndex().row(), 3);
    EXPECT_EQ(spy[0][1].toModelIndex().row(), 5);
    EXPECT_EQ(spy[0][1].toModelIndex().column(), 7);
    EXPECT_EQ(spy[1][0].toModelIndex().row(), 10);
    EXPECT_EQ(spy[1][1].toModelIndex().row(), 10);

    // Most rows changed: one signal for the whole table.
    spy.clear();
    for (CHostItem* host : hosts) {
        host->sent_count.fetch_add(1);
        m_list->FillHostRow(host);
    }
    Model().FlushChanges();
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy[0][0].toModelIndex().row(), 0);
    EXPECT_EQ(spy[0][1].toModelIndex().row(), 19);
}

TEST_F(PingListCtrlTest, RefillListAndUpdateHostRow) {
    CHostItem* a = Add("a");
    CHostItem* b = Add("b");
    CHostItem* c = Add("c");
    a->state = 0;
    b->state = 2;
    b->notified_state = 2;
    // Rows shuffled before the rebuild: it puts the hosts back in table order.
    std::swap(g_rowToHost[0], g_rowToHost[2]);
    m_list->RefillList();
    ExpectInvariant();
    EXPECT_EQ(Model().ItemData(0), a);
    EXPECT_EQ(Model().ItemData(2), c);

    // A host moved to another row by hand shows there after UpdateHostRow.
    std::swap(g_rowToHost[0], g_rowToHost[1]);
    std::swap(a->row, b->row);
    m_list->UpdateHostRow(a);
    m_list->UpdateHostRow(b);
    ExpectInvariant();
    EXPECT_EQ(Cell(0, 0), "b");
}

TEST_F(PingListCtrlTest, SortingByColumnTogglesAndRestoresTheSelection) {
    const int ttls[] = {64, 32, 128, 32, 255};
    std::vector<CHostItem*> hosts;
    for (int i = 0; i < 5; ++i) {
        hosts.push_back(Add("host" + std::to_string(i), 0x7F000001 + static_cast<uint32_t>(i)));
        hosts.back()->ttl = static_cast<uint8_t>(ttls[i]);
    }
    m_list->RefillList();
    Select({0, 2});  // ttl 64 and 128

    auto ttlOrder = [&] {
        std::vector<int> order;
        for (int r = 0; r < g_rowCount; ++r)
            order.push_back(std::stoi(Cell(r, 3)));
        return order;
    };
    EXPECT_EQ(m_list->SortByColumn(3), 0);
    EXPECT_EQ(ttlOrder(), (std::vector<int>{32, 32, 64, 128, 255}));
    EXPECT_EQ(SelectedRows(), (std::vector<int>{2, 3}));
    ExpectInvariant();
    m_list->SortByColumn(3);
    EXPECT_EQ(ttlOrder(), (std::vector<int>{255, 128, 64, 32, 32}));
    EXPECT_EQ(SelectedRows(), (std::vector<int>{1, 2}));
    m_list->SortByColumn(3);
    EXPECT_EQ(ttlOrder(), (std::vector<int>{32, 32, 64, 128, 255}));
    // The sort marks are gone again.
    for (CHostItem* host : hosts)
        EXPECT_EQ(host->list_flags.load() & kListSortMark, 0u);

    // Another column starts ascending.
    m_list->SortByColumn(0);
    EXPECT_EQ(Cell(0, 0), "host0");
    EXPECT_EQ(Cell(4, 0), "host4");
    ExpectInvariant();

    // Round-trip texts compare as texts: 100ms sorts before 12ms.
    hosts[0]->rtt_min = 12;
    hosts[1]->rtt_min = 100;
    for (CHostItem* host : hosts)
        m_list->FillHostRow(host);
    m_list->SortByColumn(4);
    EXPECT_EQ(Cell(0, 4).substr(0, 5), "0ms /");
    EXPECT_EQ(Model().ItemData(3), hosts[1]);
    EXPECT_EQ(Model().ItemData(4), hosts[0]);
}

TEST_F(PingListCtrlTest, MovingTheFirstSelectedRow) {
    for (const char* name : {"a", "b", "c"})
        Add(name);
    m_list->RefillList();
    Select({0, 2});
    m_list->MoveSelectedDown();
    EXPECT_EQ(Cell(0, 0), "b");
    EXPECT_EQ(Cell(1, 0), "a");
    EXPECT_EQ(SelectedRows(), (std::vector<int>{1, 2}));
    EXPECT_EQ(m_list->currentIndex().row(), 1);
    EXPECT_EQ(g_bSetupModified, 1);
    ExpectInvariant();

    m_list->MoveSelectedUp();
    m_list->MoveSelectedUp();  // row 0: nothing
    EXPECT_EQ(Cell(0, 0), "a");
    EXPECT_EQ(SelectedRows(), (std::vector<int>{0, 2}));
    Select({2});
    m_list->MoveSelectedDown();  // last row: nothing
    EXPECT_EQ(Cell(2, 0), "c");
    Select({});
    m_list->MoveSelectedUp();
    ExpectInvariant();
}

TEST_F(PingListCtrlTest, DeletingAfterASortKeepsEveryRowWithItsHost) {
    for (int i = 0; i < 6; ++i)
        Add("h" + std::to_string(5 - i), 0x7F000001 + static_cast<uint32_t>(i));
    m_list->RefillList();
    m_list->SortByColumn(0);  // h0..h5: table order reversed
    Select({2, 4});
    EXPECT_EQ(m_list->DeleteSelected(), 0);
    ExpectInvariant();
    ASSERT_EQ(g_rowCount, 4);
    EXPECT_EQ(Cell(0, 0), "h0");
    EXPECT_EQ(Cell(1, 0), "h1");
    EXPECT_EQ(Cell(2, 0), "h3");
    EXPECT_EQ(Cell(3, 0), "h5");
    // Each remaining row still shows its own host's address on its next refresh.
    for (int r = 0; r < g_rowCount; ++r) {
        CHostItem* host = Model().ItemData(r);
        m_list->FillHostRow(host);
        char dotted[16];
        std::snprintf(dotted, sizeof dotted, "127.0.0.%d", 6 - (Cell(r, 0)[1] - '0'));
        EXPECT_EQ(Cell(r, 1), dotted) << r;
    }
    EXPECT_EQ(m_list->DeleteSelected(), 0);  // nothing selected any more
    m_list->selectAll();
    m_list->DeleteSelected();
    EXPECT_EQ(g_rowCount, 0);
    EXPECT_EQ(g_pHostList->count.load(), 0);
    EXPECT_EQ(Model().Rows(), 0);
}

TEST_F(PingListCtrlTest, SuspendResumeAndGreyRows) {
    for (const char* name : {"a", "b", "c"})
        Add(name);
    m_list->RefillList();
    Select({0, 2});
    m_list->OnSuspendSelected();
    EXPECT_EQ(g_bSetupModified, 1);
    auto colour = [&](int row) {
        return Model().data(Model().index(row, 1), Qt::ForegroundRole).value<QColor>();
    };
    EXPECT_EQ(colour(0), QColor(128, 128, 128));
    EXPECT_EQ(colour(1), QColor(0, 0, 0));
    EXPECT_EQ(colour(2), QColor(128, 128, 128));
    EXPECT_NE(Model().ItemData(0)->advance.load() & kAdvanceSuspended, 0u);

    Select({2});
    m_list->OnResumeSelected();
    EXPECT_EQ(colour(0), QColor(128, 128, 128));
    EXPECT_EQ(colour(2), QColor(0, 0, 0));
    // The other advance bits stay as they were.
    EXPECT_NE(Model().ItemData(2)->advance.load() & kAdvanceTtlEvent, 0u);
}

TEST_F(PingListCtrlTest, ClearStatisticsShowsZerosUntilTheNextRefresh) {
    CHostItem* host = Add("a");
    m_list->RefillList();
    host->sent_count = 10;
    host->recv_count = 5;
    host->rtt_min = 7;
    host->up = 1;
    m_list->FillHostRow(host);
    const std::string roundTrip = Cell(0, 4);
    m_list->OnClearStatistics();
    EXPECT_EQ(Cell(0, 5), "0");
    EXPECT_EQ(Cell(0, 6), "0");
    EXPECT_EQ(Cell(0, 7), "0");
    EXPECT_EQ(Cell(0, 4), roundTrip);
    EXPECT_EQ(host->sent_count.load(), 0u);
    EXPECT_STREQ(host->lost_rate_text, "0.00%");
    m_list->FillHostRow(host);
    EXPECT_EQ(Cell(0, 7), "0.00%");
}

TEST_F(PingListCtrlTest, AddressTextFromTheNameThreadIsCheckedFirst) {
    CHostItem* host = Add("by name", 0x7F000002);
    host->name_host = 1;
    host->hostname = "gw.local";
    m_list->RefillList();
    host->StoreAddr4(htonl(0x7F000003));
    EXPECT_EQ(m_list->OnSetAddressText(reinterpret_cast<WPARAM>(host), 0), 0);
    EXPECT_EQ(Cell(0, 1), "gw.local / 127.0.0.3");

    // A record no longer in the table is never touched.
    CHostItem stranger;
    stranger.row = 0;
    stranger.name_host = 1;
    stranger.hostname = "elsewhere";
    EXPECT_EQ(m_list->OnSetAddressText(reinterpret_cast<WPARAM>(&stranger), 0), 0);
    EXPECT_EQ(m_list->OnSetAddressText(0, 0), 0);
    EXPECT_EQ(Cell(0, 1), "gw.local / 127.0.0.3");
}

TEST_F(PingListCtrlTest, ItemMenuAndCommands) {
    Add("a");
    m_list->RefillList();
    std::unique_ptr<QMenu> menu(LoadPopupMenu(IDR_HOST_LIST_MENU, nullptr));
    ASSERT_NE(menu, nullptr);
    auto deleteEnabled = [&] {
        for (QAction* action : menu->actions()) {
            if (ActionCommand(action) == ID_DELETE)
                return action->isEnabled();
        }
        ADD_FAILURE() << "no Delete item";
        return false;
    };
    m_list->PrepareContextMenu(menu.get());
    EXPECT_TRUE(deleteEnabled());
    g_pHostList->stopped = 0;
    m_list->PrepareContextMenu(menu.get());
    EXPECT_FALSE(deleteEnabled());

    // Delete is refused while the service runs.
    Select({0});
    EXPECT_TRUE(m_list->OnCmdMsg(ID_DELETE));
    EXPECT_EQ(g_rowCount, 1);
    EXPECT_TRUE(m_list->OnCmdMsg(ID_SUSPEND));
    EXPECT_NE(Model().ItemData(0)->advance.load() & kAdvanceSuspended, 0u);
    EXPECT_TRUE(m_list->OnCmdMsg(ID_RESUME));
    EXPECT_EQ(Model().ItemData(0)->advance.load() & kAdvanceSuspended, 0u);
    // Property and Setting are the view's.
    EXPECT_FALSE(m_list->OnCmdMsg(ID_PROPERTY));
    EXPECT_FALSE(m_list->OnCmdMsg(ID_SETTING));
    g_pHostList->stopped = 1;
    EXPECT_TRUE(m_list->OnCmdMsg(ID_DELETE));
    EXPECT_EQ(g_rowCount, 0);
}

TEST_F(PingListCtrlTest, ColumnsTitlesAndWidths) {
    const char* titles[] = {
        "Description",           "Ip Address / Host Name", "Ping State",    "TTL",
        "RTT: Min/Max/Aver/Cur", "All send requests",      "All get reply", "Lost rate"};
    const int widths[] = {328, 160, 168, 68, 160, 128, 128, 88};
    ASSERT_EQ(Model().columnCount(), 8);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(Model().headerData(i, Qt::Horizontal, Qt::DisplayRole).toString(),
                  QString::fromUtf8(titles[i]));
        EXPECT_EQ(m_list->ColumnWidth(i), widths[i]) << i;
        EXPECT_EQ(g_hostColumnIds[i], 32800 + i);
    }
    EXPECT_EQ(m_list->m_nItemMenuID, 134u);
    EXPECT_STREQ(m_list->m_szLayoutKey, "VelmoraListCol3.2");
    EXPECT_EQ(m_list->ColumnWidth(8), 0);

    // A hidden column stays hidden in the next list, with nobody else applying the layout.
    m_list->OnToggleColumn(32803);
    EXPECT_EQ(m_list->ColumnWidth(3), 0);
    delete m_list;
    m_list = new CPingListCtrl();
    EXPECT_EQ(m_list->ColumnWidth(3), 0);
    EXPECT_EQ(m_list->ColumnWidth(4), 160);
}

TEST_F(PingListCtrlTest, AddingThroughTheHostDialogs) {
    Add("existing");
    m_list->RefillList();

    WhenModal<CDlgAddIP>([](CDlgAddIP* dialog) {
        dialog->m_ipv4->SetAddress(0x7F000005);
        dialog->m_options.m_name->setText("single");
        dialog->OnAdd();
    });
    m_list->OnAddIP();
    ASSERT_EQ(g_rowCount, 2);
    EXPECT_EQ(Cell(1, 0), "single");
    EXPECT_EQ(Cell(1, 1), "127.0.0.5");
    EXPECT_EQ(Model().Image(1), 1);
    // Stored at once.
    EXPECT_EQ(g_bSetupModified, 0);
    ExpectInvariant();

    AddRange(0x7F000010, 0x7F000013, "range");
    ASSERT_EQ(g_rowCount, 6);
    EXPECT_EQ(Cell(5, 1), "127.0.0.19");
    EXPECT_EQ(g_bSetupModified, 1);
    ExpectInvariant();

    // A cancelled dialog adds nothing and marks nothing.
    g_bSetupModified = 0;
    WhenModal<CDlgAddRange>([](CDlgAddRange* dialog) { dialog->reject(); });
    m_list->OnAddIPRange();
    EXPECT_EQ(g_rowCount, 6);
    EXPECT_EQ(g_bSetupModified, 0);
}

// Random add, sort, move, delete, suspend, resume and clear, checked against a plain list
// of the hosts in row order after every step.
TEST_F(PingListCtrlTest, RandomOperationsKeepTheRowInvariant) {
    std::mt19937 random(20261208);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    std::vector<CHostItem*> expected;  // hosts in row order
    std::set<CHostItem*> suspended;
    bool ascending[kHostColumnCount] = {};
    uint32_t nextAddress = 0x7F000100;

    auto randomSelection = [&] {
        std::vector<int> rows;
        for (int r = 0; r < static_cast<int>(expected.size()); ++r) {
            if (pick(3) == 0)
                rows.push_back(r);
        }
        Select(rows);
        return rows;
    };
    // Live values the engine would change, so sorting has something to order.
    auto scramble = [&](CHostItem* host) {
        host->name = std::string(1, static_cast<char>('a' + pick(4)));
        host->ttl = static_cast<uint8_t>(pick(3) * 64);
        host->sent_count = static_cast<uint32_t>(pick(50));
        host->recv_count = static_cast<uint32_t>(pick(50));
        host->result = static_cast<uint16_t>(pick(2) == 0 ? PING_RESULT_REPLY : pick(12));
        host->rtt_min = static_cast<uint32_t>(pick(200));
        host->hostname = pick(2) == 0 ? "" : "n" + std::to_string(pick(3));
        m_list->FillHostRow(host);
        m_list->SetHostNameText(host);
    };
    // The key the column sorts by, compared the way the list does.
    auto key = [](const CHostItem* host, int column) {
        switch (column) {
            case 0:
                return std::make_tuple(int64_t{0}, host->name);
            case 1:
                return std::make_tuple(int64_t{ntohl(host->LoadAddr4())}, host->hostname);
            case 2:
                return std::make_tuple(int64_t{host->result.load()}, std::string());
            case 3:
                return std::make_tuple(int64_t{host->ttl.load()}, std::string());
            case 4:
                return std::make_tuple(int64_t{0}, host->rtt_text);
            case 5:
                return std::make_tuple(int64_t{host->sent_count.load()}, std::string());
            case 6:
                return std::make_tuple(int64_t{host->recv_count.load()}, std::string());
            default:
                return std::make_tuple(static_cast<int64_t>(host->lost_rate * 10000.0f),
                                       std::string());
        }
    };

    // Sorts by `column` with a random selection and checks the order, that the hosts are
    // the same and that the selected hosts are selected again.
    auto sortAndCheck = [&](int column) {
        const std::vector<int> rows = randomSelection();
        std::set<CHostItem*> selectedHosts;
        for (int r : rows)
            selectedHosts.insert(expected[static_cast<size_t>(r)]);
        m_list->SortByColumn(column);
        ascending[column] = !ascending[column];
        std::vector<CHostItem*> now;
        for (int r = 0; r < g_rowCount; ++r)
            now.push_back(Model().ItemData(r));
        EXPECT_EQ(std::multiset<CHostItem*>(now.begin(), now.end()),
                  std::multiset<CHostItem*>(expected.begin(), expected.end()));
        for (size_t r = 1; r < now.size(); ++r) {
            const auto a = key(now[r - 1], column);
            const auto b = key(now[r], column);
            EXPECT_TRUE(ascending[column] ? !(b < a) : !(a < b))
                << "column " << column << " row " << r;
        }
        expected = now;
        std::set<CHostItem*> reselected;
        for (int r : SelectedRows())
            reselected.insert(expected[static_cast<size_t>(r)]);
        EXPECT_EQ(reselected, selectedHosts);
        ExpectInvariant();
    };

    for (int step = 0; step < 160; ++step) {
        // Adding comes up three times in ten, so the list grows while it is worked on.
        const int roll = pick(10);
        const int operation = expected.empty() || roll >= 8 ? 0 : roll;
        SCOPED_TRACE("step " + std::to_string(step) + " operation " + std::to_string(operation));
        switch (operation) {
            case 0: {  // add a range of 2 to 4 hosts
                const uint32_t first = g_pHostList->count.load();
                const uint32_t n = 2 + static_cast<uint32_t>(pick(3));
                AddRange(nextAddress, nextAddress + n - 1, "new");
                nextAddress += n;
                for (uint32_t i = first; i < g_pHostList->count.load(); ++i) {
                    expected.push_back(g_pHostList->Host(i));
                    scramble(expected.back());
                }
                break;
            }
            case 1:
                sortAndCheck(pick(kHostColumnCount));
                break;
            case 2:
            case 3: {  // move down or up
                const std::vector<int> rows = randomSelection();
                const bool down = operation == 2;
                if (down)
                    m_list->MoveSelectedDown();
                else
                    m_list->MoveSelectedUp();
                if (!rows.empty()) {
                    const int r = rows.front();
                    const int other = down ? r + 1 : r - 1;
                    if (other >= 0 && other < static_cast<int>(expected.size()))
                        std::swap(expected[static_cast<size_t>(r)],
                                  expected[static_cast<size_t>(other)]);
                }
                break;
            }
            case 4: {  // delete
                if (pick(3) != 0)
                    break;  // deleting less often lets the list grow
                const std::vector<int> rows = randomSelection();
                m_list->DeleteSelected();
                for (auto r = rows.rbegin(); r != rows.rend(); ++r) {
                    suspended.erase(expected[static_cast<size_t>(*r)]);
                    expected.erase(expected.begin() + *r);
                }
                break;
            }
            case 5:
            case 6: {  // suspend or resume
                const std::vector<int> rows = randomSelection();
                if (operation == 5)
                    m_list->OnSuspendSelected();
                else
                    m_list->OnResumeSelected();
                for (int r : rows) {
                    if (operation == 5)
                        suspended.insert(expected[static_cast<size_t>(r)]);
                    else
                        suspended.erase(expected[static_cast<size_t>(r)]);
                }
                break;
            }
            default:  // clear statistics
                m_list->OnClearStatistics();
                for (int r = 0; r < static_cast<int>(expected.size()); ++r)
                    EXPECT_EQ(Cell(r, 6), "0");
                for (CHostItem* host : expected)
                    scramble(host);
                break;
        }
        ExpectInvariant();
        ASSERT_EQ(Model().Rows(), static_cast<int>(expected.size()));
        for (int r = 0; r < static_cast<int>(expected.size()); ++r) {
            CHostItem* host = expected[static_cast<size_t>(r)];
            ASSERT_EQ(Model().ItemData(r), host) << r;
            EXPECT_EQ((host->advance.load() & kAdvanceSuspended) != 0, suspended.count(host) != 0)
                << r;
        }
        if (HasFatalFailure())
            return;
    }
    EXPECT_GT(expected.size(), 20u);
    for (int column = 0; column < kHostColumnCount; ++column) {
        for (int click = 0; click < 4; ++click)
            sortAndCheck(column);
    }
}

TEST_F(PingListCtrlTest, SortingWhileTheEngineChangesCounters) {
    std::vector<CHostItem*> hosts;
    for (int i = 0; i < 2000; ++i)
        hosts.push_back(Add("h" + std::to_string(i % 37), 0x7F000001 + static_cast<uint32_t>(i)));
    m_list->RefillList();
    std::atomic<bool> stop{false};
    auto engine = [&](unsigned seed) {
        std::mt19937 random(seed);
        while (!stop.load()) {
            CHostItem* host = hosts[random() % hosts.size()];
            host->sent_count.fetch_add(1 + random() % 3);
            host->recv_count.fetch_add(random() % 3);
            host->ttl = static_cast<uint8_t>(random());
            host->result = static_cast<uint16_t>(random() % 0x103);
            host->run_count.fetch_add(1);
            host->up = static_cast<uint8_t>(random() % 2);
        }
    };
    std::thread first(engine, 1u);
    std::thread second(engine, 2u);
    for (int round = 0; round < 3; ++round) {
        for (int column = 0; column < kHostColumnCount; ++column) {
            Select({0, 5, 17, 1999});
            const std::set<CHostItem*> selected = {Model().ItemData(0), Model().ItemData(5),
                                                   Model().ItemData(17), Model().ItemData(1999)};
            m_list->SortByColumn(column);
            std::set<CHostItem*> now;
            for (int r : SelectedRows())
                now.insert(Model().ItemData(r));
            EXPECT_EQ(now, selected) << column;
        }
    }
    stop = true;
    first.join();
    second.join();
    ExpectInvariant();
}

TEST_F(PingListCtrlTest, DeletingEveryOneOfTheLargestTable) {
    for (int i = 0; i < kMaxHosts; ++i)
        ASSERT_NE(Add("h", 0x7F000000 + static_cast<uint32_t>(i)), nullptr);
    // Shown, so the view's own share of the work counts too.
    m_list->resize(800, 600);
    m_list->show();
    const auto refillStart = std::chrono::steady_clock::now();
    m_list->RefillList();
    QApplication::processEvents();
    const auto refillTime = std::chrono::steady_clock::now() - refillStart;
    ASSERT_EQ(Model().Rows(), kMaxHosts);
    m_list->selectAll();
    const auto sortStart = std::chrono::steady_clock::now();
    m_list->SortByColumn(1);
    QApplication::processEvents();
    m_list->SortByColumn(1);
    QApplication::processEvents();
    const auto sortTime = (std::chrono::steady_clock::now() - sortStart) / 2;
    ASSERT_EQ(m_list->GetSelectedRows(), kMaxHosts);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(m_list->DeleteSelected(), 0);
    QApplication::processEvents();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const auto ms = [](auto d) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    };
    std::printf("%d rows: rebuilding %lld ms, sorting %lld ms, deleting them all %lld ms\n",
                kMaxHosts, static_cast<long long>(ms(refillTime)),
                static_cast<long long>(ms(sortTime)), static_cast<long long>(ms(elapsed)));
    EXPECT_LT(ms(sortTime), 5000);
    EXPECT_LT(ms(elapsed), 5000);
    EXPECT_EQ(g_rowCount, 0);
    EXPECT_EQ(g_pHostList->count.load(), 0);
    EXPECT_EQ(Model().Rows(), 0);
}

TEST_F(PingListCtrlTest, DeletingEveryOtherRowOfALargeTableStaysLinear) {
    constexpr int kHosts = 20000;
    for (int i = 0; i < kHosts; ++i)
        Add("h" + std::to_string(i));
    m_list->RefillList();
    std::vector<int> rows;
    for (int r = 0; r < kHosts; r += 2)
        rows.push_back(r);
    QItemSelection selection;
    for (int r : rows)
        selection.select(Model().index(r, 0), Model().index(r, kHostColumnCount - 1));
    m_list->selectionModel()->select(selection, QItemSelectionModel::Select);
    const auto start = std::chrono::steady_clock::now();
    m_list->DeleteSelected();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 5000);
    ExpectInvariant();
    EXPECT_EQ(Cell(0, 0), "h1");
    EXPECT_EQ(Cell(kHosts / 2 - 1, 0), "h" + std::to_string(kHosts - 1));
}

// Reaches the drag that a mouse would start.
class DraggableList : public CPingListCtrl {
public:
    using CPingListCtrl::startDrag;
};

TEST_F(PingListCtrlTest, DraggingARowMovesNothing) {
    for (const char* name : {"a", "b", "c"})
        Add(name);
    DraggableList list;
    list.RefillList();
    list.resize(600, 200);
    list.show();
    EXPECT_EQ(list.OnBeginDrag(), 0);
    EXPECT_EQ(list.m_bDragging, 0);  // no current row: no drag

    list.setCurrentIndex(list.Model()->index(1, 0));
    list.OnBeginDrag();
    EXPECT_EQ(list.m_bDragging, 1);
    EXPECT_EQ(list.m_nDragItem, 1);
    EXPECT_FALSE(list.m_pDragImage.isNull());
    list.OnEndDrag();
    EXPECT_EQ(list.m_bDragging, 0);
    EXPECT_TRUE(list.m_pDragImage.isNull());

    // A whole drag (which the offscreen platform ends at once) leaves every row in place.
    list.startDrag(Qt::MoveAction);
    EXPECT_EQ(list.m_bDragging, 0);
    for (int r = 0; r < 3; ++r)
        EXPECT_EQ(list.Model()->Cell(r, 0), std::string(1, static_cast<char>('a' + r)));
}

uint32_t g_chosenCommand = 0;
uint32_t ChooseCommand(QMenu*, const QPoint&) {
    return g_chosenCommand;
}

TEST_F(PingListCtrlTest, DoubleClickAndItemMenuReachTheirHandlers) {
    CHostItem* host = Add("edited", 0x7F000004);
    CCorvantisView view;
    view.OnCreate();
    view.OnInitialUpdate();
    view.resize(800, 300);
    view.show();
    CPingListCtrl* list = view.m_pList;
    const QPoint point = list->visualRect(list->Model()->index(0, 1)).center();
    int opened = 0;
    auto expectHostDialog = [&] {
        WhenModal<CDlgAddIP>([&](CDlgAddIP* dialog) {
            ++opened;
            EXPECT_EQ(dialog->m_pHost, host);
            dialog->reject();
        });
    };

    expectHostDialog();
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, point);
    EXPECT_EQ(opened, 1);

    // Property is the view's command: it opens the same dialog.
    SetPopupTracker(&ChooseCommand);
    g_chosenCommand = ID_PROPERTY;
    expectHostDialog();
    list->OnContextMenu(list->viewport()->mapToGlobal(point));
    EXPECT_EQ(opened, 2);

    // Suspend shares its id with a column: the item menu suspends, no column hides.
    list->selectionModel()->select(list->Model()->index(0, 0),
                                   QItemSelectionModel::Select | QItemSelectionModel::Rows);
    g_chosenCommand = ID_SUSPEND;
    list->OnContextMenu(list->viewport()->mapToGlobal(point));
    SetPopupTracker(nullptr);
    EXPECT_NE(host->advance.load() & kAdvanceSuspended, 0u);
    EXPECT_EQ(list->ColumnWidth(6), 128);
}

}  // namespace
