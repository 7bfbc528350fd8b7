#include "alerts/alert_dispatch.h"

#include "alerts/event_text.h"
#include "alerts/job_queues.h"
#include "alerts/log_file.h"
#include "config/setup_info.h"
#include "engine/host_item.h"

EventRowSink* g_pEventRowSink = nullptr;

namespace {

// State 0 is the up event; every other state (changing, down, loss rate) counts as down,
// for the notify gate and for the choice of mail texts.
bool IsDownState(int32_t state) {
    return state != 0;
}

bool PassesNotifyGate(const CHostItem& host) {
    return IsDownState(host.state) ? host.notify_down != 0 : host.notify_up != 0;
}

}  // namespace

int AddEventRow(CHostItem* host) {
    if (host == nullptr)
        return 0;
    std::tm local{};
    if (!ToLocalTime(TextNow(), local))
        local = std::tm{};
    if (g_pEventRowSink != nullptr)
        g_pEventRowSink->AddEvent(host, local);
    if (g_pSetupInfo != nullptr)
        LogEventLine(*host, local, *g_pSetupInfo);
    return 0;
}

std::vector<std::string> SelectRecipients(const CSetupInfo& setup, uint16_t group) {
    std::vector<std::string> recipients;
    const int count = setup.RecipientCount();
    for (int i = 0; i < count; ++i) {
        if (setup.emailgrouplist[static_cast<size_t>(i)] == static_cast<int32_t>(group))
            recipients.push_back(setup.newemailto[static_cast<size_t>(i)]);
    }
    return recipients;
}

bool QueueHostMail(CHostItem& host, const CSetupInfo& setup, bool down) {
    std::string subject = down ? setup.downsubject : setup.upsubject;
    std::string body = down ? setup.downbody : setup.upbody;
    host.ExpandEventText(subject);
    host.ExpandEventText(body);
    const std::vector<std::string> recipients = SelectRecipients(setup, host.mail_group);

    // No mail thread (not started yet, or already stopped) means the mail is lost: that is
    // reported like a full queue, never as queued.
    int queued = -1;
    if (g_pMailThread != nullptr) {
        queued = g_pMailThread->AddMail(JobOwner(), setup.smtpserver, setup.smtpport,
                                        setup.emailName, setup.emailfrom, setup.auth, setup.user,
                                        setup.pass, static_cast<uint32_t>(recipients.size()),
                                        recipients.empty() ? nullptr : recipients.data(), subject,
                                        body, static_cast<int32_t>(host.mail_priority));
    }
    LogMailLine(queued >= 0, subject, setup);
    return queued >= 0;
}

bool QueueHostProgram(CHostItem& host, const CSetupInfo& setup) {
    std::string parameters = setup.execpara;
    host.ExpandEventText(parameters);
    int queued = -1;
    if (g_pExecThread != nullptr)
        queued = g_pExecThread->AddCommand(JobOwner(), setup.exefilename, parameters);
    LogExecLine(queued >= 0, parameters, setup);
    return queued >= 0;
}

PopupText BuildPopupText(const CHostItem& host) {
    PopupText popup;
    popup.caption = AddressText(host);
    popup.text = popup.caption;
    if (!host.name.empty())
        popup.text += " " + host.name;
    popup.text += "\r\n\r\n";
    popup.text += EventText(host);
    return popup;
}

std::optional<int32_t> SoundRequestPairs(const CSetupInfo& setup) {
    if (setup.beepbreak != 0)
        return 0;
    // A count of 0 would make the beep queue sound until stopped: the opposite of the
    // timed sound that was chosen.
    if (setup.beepseconds <= 0)
        return std::nullopt;
    return setup.beepseconds;
}

void DispatchHostEvent(CHostItem* host) {
    if (host == nullptr)
        return;
    AddEventRow(host);

    const CSetupInfo* setup = g_pSetupInfo;
    if (setup == nullptr || !PassesNotifyGate(*host))
        return;
    const bool down = IsDownState(host->state);

    if (setup->sendmail != 0) {
        host->notified_state = static_cast<uint8_t>(host->state);
        QueueHostMail(*host, *setup, down);
    }

    if (setup->runexe != 0) {
        host->notified_state = static_cast<uint8_t>(host->state);
        QueueHostProgram(*host, *setup);
    }

    // A full popup or sound queue drops its request without a word, as nothing logs them.
    if (setup->popupbox != 0 && g_pBoxThread != nullptr) {
        const PopupText popup = BuildPopupText(*host);
        g_pBoxThread->AddBox(JobOwner(), popup.caption, popup.text);
    }

    if (setup->beep != 0 && g_pBeepThread != nullptr) {
        if (const std::optional<int32_t> pairs = SoundRequestPairs(*setup))
            g_pBeepThread->AddRequest(0, *pairs);
    }
}
