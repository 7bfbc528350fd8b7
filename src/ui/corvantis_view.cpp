#include "ui/corvantis_view.h"

#include <cctype>
#include <cstdio>
#include <thread>

#include <QVBoxLayout>

#include "alerts/alert_dispatch.h"
#include "alerts/job_queues.h"
#include "alerts/log_file.h"
#include "config/setup_document.h"
#include "config/setup_info.h"
#include "engine/engine_messages.h"
#include "engine/host_list.h"
#include "engine/name_threads.h"
#include "platform/message_box.h"
#include "platform/shell.h"
#include "ui/command_table.h"
#include "ui/dlg_setup.h"
#include "ui/ping_list_ctrl.h"
#include "ui/qt_message_target.h"

CCorvantisView* g_pView = nullptr;
int32_t g_nextLookupSlot = 0;

namespace {

// A reverse lookup is asked for at most this often per host.
constexpr uint32_t kLookupRetryMs = 15000;

}  // namespace

CCorvantisView::CCorvantisView(QWidget* parent)
    : QWidget(parent),
      m_pList(new CPingListCtrl(this)),
      m_target(new QtMessageTarget(
          [this](uint32_t msg, WPARAM w, LPARAM l) { return WindowProc(msg, w, l); }, this)) {
    setObjectName("hostListView");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_pList);
    g_pView = this;
}

CCorvantisView::~CCorvantisView() {
    m_target->Close();
    if (g_pHostList != nullptr && g_pHostList->notify_wnd == m_target)
        g_pHostList->notify_wnd = nullptr;
    if (g_hHostListWnd.load() == m_target)
        g_hHostListWnd.store(nullptr);
    if (g_pView == this)
        g_pView = nullptr;
}

int CCorvantisView::OnCreate() {
    // The list control's own window handle is the view's: WM_HOST_ADDRESS reaches it here.
    g_hHostListWnd.store(m_target);
    m_tableIndex = 0;
    if (g_pHostList != nullptr) {
        g_pHostList->notify_wnd = m_target;
        g_pHostList->stopped.store(1);
    }
    return 0;
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
            // The host's new address shows with its next result.
            m_pList->FillHostRow(reinterpret_cast<CHostItem*>(wParam));
            return 0;
        default:
            return 0;
    }
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
    if (g_pHostList == nullptr)
        return -1;
    CHostItem* host = g_pHostList->Host(static_cast<uint32_t>(hostIndex));
    if (host == nullptr)
        return -1;
    const uint32_t answer = host->answer_tick.load();
    if (answer != 0 && host->result.load() == PING_RESULT_REPLY) {
        const int32_t rtt = static_cast<int32_t>(answer - host->pending_tick.load());
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
                if (host->ttl_seen != 0) {
                    char text[64];
                    std::snprintf(text, sizeof(text), "TTL have changed from %d to %d",
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
    host->pending_tick.store(0);
    m_pList->FillHostRow(host);

    g_nextLookupSlot = g_nextLookupSlot + 1 >= 2 ? 0 : g_nextLookupSlot + 1;
    clookupthread& lookup = g_lookupThreads[g_nextLookupSlot];
    if (lookup.addr.load() != 0)
        return -2;
    if (host->name_host == 0 && host->looked_up == 0 && host->ip_to_name != 0 &&
        host->lookup_tick + kLookupRetryMs < answer) {
        lookup.owner = m_target;
        lookup.host_index = static_cast<uint16_t>(hostIndex);
        lookup.addr.store(host->LoadAddr4());
        lookup.Trigger();
    }
    return 0;
}

LRESULT CCorvantisView::OnLookupDone(WPARAM slot, LPARAM) {
    if (slot >= 2)
        return 0;
    clookupthread& lookup = g_lookupThreads[slot];
    if (g_pHostList != nullptr) {
        CHostItem* host = g_pHostList->Host(lookup.host_index);
        if (host != nullptr) {
            if (host->LoadAddr4() == lookup.addr.load())
                host->hostname = lookup.name;
            host->looked_up = 1;
        }
    }
    lookup.addr.store(0);
    return 0;
}

LRESULT CCorvantisView::OnHostRowRefresh(WPARAM, LPARAM hostIndex) {
    if (g_pHostList == nullptr)
        return 0;
    CHostItem* host = g_pHostList->Host(static_cast<uint32_t>(hostIndex));
    if (host != nullptr)
        m_pList->FillHostRow(host);
    return 0;
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
    // Lets a cycle that already began see the flag before the next command runs.
    if (m_bInCycle != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

void CCorvantisView::OnStopSound() {
    if (g_pBeepThread != nullptr)
        g_pBeepThread->Cancel();
}

void CCorvantisView::OnProperty() {
    OnEditHost();
}

void CCorvantisView::OnEditHost() {
    // The host dialog comes with the host list control's editing.
}

void CCorvantisView::OnInitialUpdate() {
    m_pList->RefillList();
}

void CCorvantisView::OnTimerTick(uint32_t) {
    ++m_timerTicks;
    if (g_pSetupInfo != nullptr && g_pHostList != nullptr) {
        const CSetupInfo& setup = *g_pSetupInfo;
        if (LogTimeLine(setup)) {
            const uint32_t count = g_pHostList->count.load();
            for (uint32_t i = 0; i < count; ++i) {
                if (CHostItem* host = g_pHostList->Host(i))
                    LogSummaryLine(*host, setup);
            }
        }
        ++m_minuteCount;
        if (m_minuteCount >= static_cast<uint32_t>(setup.loopemailint)) {
            m_minuteCount = 0;
            if (setup.sendmail != 0 && setup.bneedloopmail != 0) {
                const uint32_t count = g_pHostList->count.load();
                for (uint32_t i = 0; i < count; ++i) {
                    CHostItem* host = g_pHostList->Host(i);
                    if (host != nullptr && host->state == 2)
                        QueueHostMail(*host, setup, true);
                }
            }
        }
    }
    SaveSetupIfModified();
}
