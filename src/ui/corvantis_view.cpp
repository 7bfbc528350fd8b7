#include "ui/corvantis_view.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>
#include <thread>

#include <QEvent>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QVBoxLayout>

#include "alerts/alert_dispatch.h"
#include "alerts/job_queues.h"
#include "alerts/log_file.h"
#include "alerts/minute_work.h"
#include "config/setup_document.h"
#include "config/setup_info.h"
#include "engine/engine_messages.h"
#include "engine/host_list.h"
#include "engine/name_threads.h"
#include "platform/message_box.h"
#include "platform/shell.h"
#include "ui/command_table.h"
#include "ui/dlg_add_ip.h"
#include "ui/dlg_setup.h"
#include "ui/ping_list_ctrl.h"
#include "ui/qt_message_target.h"

CCorvantisView* g_pView = nullptr;
int32_t g_nextLookupSlot = 0;

namespace {

// A reverse lookup is asked for only once this long has passed since the host's lookup tick.
constexpr uint32_t kLookupRetryMs = 15000;
// How long Stop Service lets a send cycle that already began see the flag.
constexpr auto kStopServiceGrace = std::chrono::milliseconds(50);

// Sets the table's notify window under the exclusive lifetime lock: the receive thread
// posts under the shared lock, so once this returns no post to the old window is under way.
void SetNotifyWindow(MessageTarget* window) {
    if (g_pHostList == nullptr)
        return;
    std::unique_lock lock(g_pHostList->lifetime);
    g_pHostList->notify_wnd = window;
}

}  // namespace

CCorvantisView::CCorvantisView(QWidget* parent)
    : QWidget(parent),
      m_pList(new CPingListCtrl(this)),
      m_target(new QtMessageTarget(
          [this](uint32_t msg, WPARAM w, LPARAM l) { return WindowProc(msg, w, l); }, this)) {
    setObjectName("hostListView");
    // The list fills the whole view.
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_pList);
    g_pView = this;
}

CCorvantisView::~CCorvantisView() {
    m_target->Close();
    if (g_pHostList != nullptr && g_pHostList->notify_wnd == m_target)
        SetNotifyWindow(nullptr);
    if (g_hHostListWnd.load() == m_target)
        g_hHostListWnd.store(nullptr);
    if (g_pView == this)
        g_pView = nullptr;
}

int CCorvantisView::OnCreate() {
    // The list control shares the view's window handle: WM_HOST_ADDRESS arrives here and
    // is handed to the list.
    g_hHostListWnd.store(m_target);

    QHeaderView* header = m_pList->horizontalHeader();
    connect(header, &QHeaderView::sectionClicked, this,
            [this](int column) { OnHeaderItemClick(column); });
    connect(header, &QHeaderView::sectionResized, this, [this](int column, int, int) {
        if (m_headerPressed)
            m_trackedColumn = column;
    });
    header->viewport()->installEventFilter(this);

    m_tableIndex = 0;
    SetNotifyWindow(m_target);
    if (g_pHostList != nullptr)
        g_pHostList->stopped.store(1);
    return 0;
}

bool CCorvantisView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_pList->horizontalHeader()->viewport()) {
        // A double click on a divider fits the column to its contents: a new width too.
        if (event->type() == QEvent::MouseButtonPress ||
            event->type() == QEvent::MouseButtonDblClick) {
            m_headerPressed = true;
            m_trackedColumn = -1;
        } else if (event->type() == QEvent::MouseButtonRelease) {
            m_headerPressed = false;
            if (m_trackedColumn >= 0) {
                const int column = m_trackedColumn;
                m_trackedColumn = -1;
                OnHeaderEndTrack(column);
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

LRESULT CCorvantisView::WindowProc(uint32_t msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_PING_REPLY:
            return OnReplyReceived(wParam, lParam);
        case WM_CYCLE_BEGIN:
            return OnCycleBegin(wParam, lParam);
        case WM_CYCLE_END:
            return OnCycleEnd(wParam, lParam);
        case WM_LOOKUP_DONE:
            return OnLookupDone(wParam, lParam);
        case WM_PING_TIMEOUT:
        case WM_PING_SENDFAIL:
            return OnHostRowRefresh(wParam, lParam);
        case WM_HOST_ADDRESS:
            return OnHostAddress(wParam, lParam);
        default:
            return 0;
    }
}

CHostItem* CCorvantisView::HostAt(uintptr_t index) {
    if (g_pHostList == nullptr || index >= g_pHostList->count.load())
        return nullptr;
    return g_pHostList->Host(static_cast<uint32_t>(index));
}

LRESULT CCorvantisView::OnCycleBegin(WPARAM, LPARAM) {
    if (g_pHostList == nullptr || g_pHostList->stopped.load() != 0)
        return -1;
    m_bInCycle = 1;
    return 0;
}

LRESULT CCorvantisView::OnCycleEnd(WPARAM, LPARAM) {
    m_bInCycle = 0;
    return 0;
}

LRESULT CCorvantisView::OnReplyReceived(WPARAM hostIndex, LPARAM) {
    CHostItem* host = HostAt(hostIndex);
    if (host == nullptr)
        return -1;

    // The answered request, read as one: the send cycle clears answer_tick before it writes
    // the pending_tick of a new request, so an answer_tick that is the same before and after
    // the read of pending_tick vouches for it. An answer_tick of 0 means a new request has
    // gone out since this message was posted: it is not this message's to touch.
    const uint32_t answer = host->answer_tick.load();
    uint32_t pending = host->pending_tick.load();
    const bool answered = answer != 0 && host->answer_tick.load() == answer;

    if (answered && host->result.load() == PING_RESULT_REPLY) {
        const int32_t rtt = static_cast<int32_t>(answer - pending);
        if (rtt < 0)
            return -3;
        if (static_cast<uint32_t>(rtt) > host->timeout.load())
            return -4;
        const uint32_t value = static_cast<uint32_t>(rtt);
        if (value < host->rtt_min)
            host->rtt_min = value;
        if (value > host->rtt_max)
            host->rtt_max = value;
        host->rtt_sum += value;
        const uint32_t received = host->recv_count.load();
        if (received != 0)
            host->rtt_avg = static_cast<uint32_t>(host->rtt_sum / received);
        if ((host->advance.load() & kAdvanceTtlEvent) != 0) {
            const uint8_t ttl = host->ttl.load();
            if (static_cast<uint8_t>(host->ttl_seen) != ttl) {
                // The first TTL seen is no change.
                if (host->ttl_seen != 0) {
                    char text[64];
                    std::snprintf(text, sizeof text, "TTL have changed from %d to %d",
                                  host->ttl_seen, static_cast<int>(ttl));
                    host->event_text = text;
                    DispatchHostEvent(host);
                    host->event_text.clear();
                }
                host->ttl_seen = ttl;
            }
        }
        host->rtt_cur = value;
    }
    // Only the request that was answered is closed; one sent since stays pending.
    if (answered)
        host->pending_tick.compare_exchange_strong(pending, 0);

    m_pList->FillHostRow(host);

    g_nextLookupSlot = g_nextLookupSlot + 1 >= 2 ? 0 : g_nextLookupSlot + 1;
    clookupthread& lookup = g_lookupThreads[g_nextLookupSlot];
    if (lookup.addr.load() != 0)
        return -2;
    // Reverse lookups are IPv4 only: a host without an IPv4 address has nothing to look up.
    const uint32_t address = host->LoadAddr4();
    if (host->name_host == 0 && host->looked_up == 0 && host->ip_to_name != 0 && !host->IsIPv6() &&
        address != 0 && host->lookup_tick + kLookupRetryMs < answer) {
        lookup.owner = m_target;
        lookup.slot = static_cast<uint16_t>(g_nextLookupSlot);
        lookup.host_index = static_cast<uint16_t>(hostIndex);
        lookup.addr.store(address);
        lookup.Trigger();
    }
    return 0;
}

LRESULT CCorvantisView::OnLookupDone(WPARAM slot, LPARAM) {
    if (slot >= std::size(g_lookupThreads))
        return 0;
    clookupthread& lookup = g_lookupThreads[slot];
    const uint32_t address = lookup.addr.load();
    if (address == 0)
        return 0;  // no lookup of this slot is running
    if (CHostItem* host = HostAt(lookup.host_index)) {
        // The host may have been edited meanwhile: to another address, or to a host given by
        // name, whose host name the re-resolution thread reads (so it is written only under
        // the exclusive lifetime lock, like every edit of it).
        if (host->LoadAddr4() == address && host->name_host == 0) {
            std::unique_lock lock(g_pHostList->lifetime);
            host->hostname.assign(lookup.name, strnlen(lookup.name, sizeof lookup.name));
        }
        host->looked_up = 1;
    }
    lookup.addr.store(0);
    return 0;
}

LRESULT CCorvantisView::OnHostRowRefresh(WPARAM, LPARAM hostIndex) {
    if (hostIndex < 0)
        return 0;
    if (CHostItem* host = HostAt(static_cast<uintptr_t>(hostIndex)))
        m_pList->FillHostRow(host);
    return 0;
}

LRESULT CCorvantisView::OnHostAddress(WPARAM wParam, LPARAM lParam) {
    // The list checks that the record is still in the table before it touches it.
    return m_pList->OnSetAddressText(wParam, lParam);
}

bool CCorvantisView::OnCmdMsg(uint32_t id) {
    switch (id) {
        case ID_SETTING:
            OnSetup();
            return true;
        case ID_VIEW_LOG_FILE:
            OnOpenLog();
            return true;
        case ID_START_SERVICE:
            OnStartService();
            return true;
        case ID_STOP_SERVICE:
            OnStopService();
            return true;
        case ID_STOP_SOUND:
            OnStopSound();
            return true;
        case ID_PROPERTY:
            OnProperty();
            return true;
        default:
            return false;
    }
}

void CCorvantisView::OnSetup() {
    CDlgSetup dialog(window());
    if (dialog.DoModal() == IDOK)
        g_bSetupModified = 1;
}

void CCorvantisView::OnOpenLog() {
    if (g_pSetupInfo == nullptr || g_pSetupInfo->logfilename.empty())
        return;
    const std::string& name = g_pSetupInfo->logfilename;
    g_logFile.Flush();
    std::string ending = name.size() >= 4 ? name.substr(name.size() - 4) : name;
    for (char& c : ending)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (ending == ".LOG")
        ShellOpenDocument(name);
    else
        ShellRunProgram("notepad.exe", name);
}

void CCorvantisView::OnStartService() {
    if (g_pHostList != nullptr)
        g_pHostList->stopped.store(0);
}

void CCorvantisView::OnStopService() {
    if (g_pHostList != nullptr)
        g_pHostList->stopped.store(1);
    // Once, and short: a cycle that already began sees the flag on its next look.
    if (m_bInCycle != 0)
        std::this_thread::sleep_for(kStopServiceGrace);
}

void CCorvantisView::OnStopSound() {
    if (g_pBeepThread != nullptr)
        g_pBeepThread->Cancel();
}

void CCorvantisView::OnProperty() {
    OnEditHost();
}

int CCorvantisView::FirstSelectedRow() const {
    const QItemSelectionModel* selection = m_pList->selectionModel();
    if (selection == nullptr)
        return -1;
    int first = -1;
    for (const QModelIndex& index : selection->selectedRows()) {
        if (first < 0 || index.row() < first)
            first = index.row();
    }
    return first;
}

void CCorvantisView::OnEditHost() {
    const int row = FirstSelectedRow();
    if (row < 0 || row >= g_rowCount || g_pHostList == nullptr)
        return;
    CHostItem* host = g_pHostList->Host(static_cast<uint32_t>(g_rowToHost[row]));
    if (host == nullptr)
        return;
    CDlgAddIP dialog(window());
    dialog.m_nTable = m_tableIndex;
    dialog.m_pHost = host;
    if (dialog.DoModal() != IDOK)
        return;
    m_pList->SetHostNameText(host);
    m_pList->FillHostRow(host);
    g_bSetupModified = 1;
    SaveSetupIfModified();
}

int CCorvantisView::OnHeaderItemClick(int column) {
    m_pList->SortByColumn(column);
    return 0;
}

int CCorvantisView::OnHeaderEndTrack(int) {
    g_bSetupModified = 1;
    return 0;
}

void CCorvantisView::OnInitialUpdate() {
    m_pList->RefillList();
}

void CCorvantisView::OnTimerTick(uint32_t) {
    ++m_timerTicks;
    RunMinuteWork(m_minuteCount);
    m_pList->SaveChangedLayout();
}
