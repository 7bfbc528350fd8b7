#include "alerts/job_queues.h"

#include <algorithm>

#include "alerts/log_file.h"
#include "mail/smtp_client.h"
#include "platform/box_presenter.h"
#include "platform/program_launcher.h"
#include "platform/tone.h"

cmailthread* g_pMailThread = nullptr;
cexecthread* g_pExecThread = nullptr;
cboxthread* g_pBoxThread = nullptr;
cbeepthread* g_pBeepThread = nullptr;

namespace {

// Takes the owner of the job just worked, moves past it, and tells the owner (if it still
// exists) the new read index and the result.
template <typename Ring>
void FinishJob(Ring& ring, JobOwner& slotOwner, int result) {
    JobOwner owner = std::move(slotOwner);
    slotOwner = JobOwner();
    const uint32_t next = ring.Advance();
    if (std::shared_ptr<MessageTarget> target = owner.lock())
        target->Post(WM_JOB_DONE, next, result);
}

// One mail job's dialogue; `reason` says why it failed.
int DeliverMail(const CMailJob& job, StopGrace& grace, std::string& reason) {
    CSMTPConnection connection;
    connection.SetStopGrace(&grace);
    const bool logon = job.logon != 0;
    const bool connected =
        logon ? connection.ConnectWithLogin(job.server.c_str(), job.port, job.user, job.password)
              : connection.Connect(job.server.c_str(), job.port);
    reason = connection.GetFailureReason();
    if (!connected)
        return MailResultOf(logon, false, false);
    CSMTPMessage message;
    message.m_From = CSMTPAddress(job.sender_name, job.sender_address);
    for (uint32_t i = 0; i < job.recipient_count; ++i)
        message.AddRecipient(CSMTPAddress(job.recipients[i], job.recipients[i]));
    message.m_sSubject = job.subject;
    message.SetBody(job.body);
    const bool sent = connection.SendMessage(message, job.high_priority);
    reason = connection.GetFailureReason();
    if (sent)
        connection.Disconnect();
    // On failure the connection's destructor ends the dialogue.
    return MailResultOf(logon, true, sent);
}

}  // namespace

// ---- mail ----

cmailthread::cmailthread() = default;

cmailthread::~cmailthread() {
    DropQueued();
}

void cmailthread::DropQueued() {
    // The alerts were logged "MAIL: OK" when queued: their loss must be said as well.
    if (const uint32_t dropped = m_ring.DropAll(); dropped != 0)
        LogMailsDroppedLine(dropped);
}

int cmailthread::AddMail(const JobOwner& owner, const std::string& server, uint16_t port,
                         const std::string& senderName, const std::string& senderAddress,
                         uint8_t logon, const std::string& user, const std::string& password,
                         uint32_t recipientCount, const std::string* recipients,
                         const std::string& subject, const std::string& body,
                         int32_t highPriority) {
    if (recipients == nullptr)
        recipientCount = 0;
    recipientCount = std::min(recipientCount, kMaxMailRecipients);
    std::lock_guard<std::mutex> lock(m_ring.lock());
    if (!m_ring.HasRoom())
        return -1;
    CMailJob& job = m_ring.WriteSlot();
    job.owner = owner;
    job.server = server;
    job.port = port;
    job.sender_name = senderName;
    job.sender_address = senderAddress;
    job.logon = logon;
    job.user = user;
    job.password = password;
    job.recipient_count = recipientCount;
    for (uint32_t i = 0; i < recipientCount; ++i)
        job.recipients[i] = recipients[i];
    job.subject = subject;
    job.body = body;
    job.high_priority = highPriority;
    m_ring.Publish();
    Trigger();
    return 0;
}

int cmailthread::DoWork() {
    // Mails already queued are still sent for a while when the thread is told to stop: they
    // may be the down alerts of the last minute. A reply may take what is left of that
    // while, so a mail that the server takes is not logged as failed; then the client gives
    // up on every wait at once.
    StopGrace grace(kMailSendAfterStopMs);
    while (!m_ring.Empty()) {
        if (grace.Over(stop.load(std::memory_order_acquire) != 0))
            break;
        CMailJob& job = m_ring.ReadSlot();
        std::string reason;
        const int result = DeliverMail(job, grace, reason);
        job.password.clear();
        if (result != kMailResultSent) {
            LogMailFailedLine(result, job.server, job.subject, reason);
            // The owner (the test mail's dialog) is told the reason with the result.
            if (!job.owner.none()) {
                std::lock_guard<std::mutex> lock(m_failureLock);
                m_ownedFailure = {(m_ring.readIndex() + 1) & decltype(m_ring)::kMask, reason};
            }
        }
        FinishJob(m_ring, job.owner, result);
    }
    if (grace.started())
        DropQueued();
    return 0;
}

std::string cmailthread::FailureReason(uint32_t next) const {
    std::lock_guard<std::mutex> lock(m_failureLock);
    return m_ownedFailure.first == next ? m_ownedFailure.second : std::string();
}

// ---- program ----

cexecthread::cexecthread(ProgramLauncher* launcher)
    : m_launcher(launcher != nullptr ? launcher : &DefaultProgramLauncher()) {}

cexecthread::~cexecthread() = default;

int cexecthread::AddCommand(const JobOwner& owner, const std::string& program,
                            const std::string& parameters) {
    std::lock_guard<std::mutex> lock(m_ring.lock());
    if (!m_ring.HasRoom())
        return -1;
    CExecJob& job = m_ring.WriteSlot();
    job.owner = owner;
    job.program = program;
    job.parameters = parameters;
    m_ring.Publish();
    Trigger();
    return 0;
}

int cexecthread::DoWork() {
    while (!m_ring.Empty()) {
        CExecJob& job = m_ring.ReadSlot();
        const int result = m_launcher->Launch(job.program, job.parameters).started ? 1 : 0;
        FinishJob(m_ring, job.owner, result);
    }
    return 0;
}

// ---- popup box ----

cboxthread::cboxthread(BoxPresenter* presenter) : m_presenter(presenter) {}

cboxthread::~cboxthread() = default;

int cboxthread::AddBox(const JobOwner& owner, const std::string& caption, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_ring.lock());
    if (!m_ring.HasRoom())
        return -1;
    CBoxJob& job = m_ring.WriteSlot();
    job.owner = owner;
    job.text = text;
    job.caption = caption;
    m_ring.Publish();
    Trigger();
    return 0;
}

int cboxthread::DoWork() {
    if (stop.load(std::memory_order_acquire) != 0)
        return 0;
    while (!m_ring.Empty()) {
        CBoxJob& job = m_ring.ReadSlot();
        BoxPresenter& presenter = m_presenter != nullptr ? *m_presenter : CurrentBoxPresenter();
        presenter.ShowBox(job.owner.lock(), job.caption, job.text, stop);
        FinishJob(m_ring, job.owner, 0);
        if (stop.load(std::memory_order_acquire) != 0)
            break;
    }
    return 0;
}

// ---- beep ----

cbeepthread::cbeepthread(ToneOutput* tone)
    : m_tone(tone != nullptr ? tone : &DefaultToneOutput()) {}

cbeepthread::~cbeepthread() = default;

int cbeepthread::AddRequest(uint32_t owner, int32_t pairs) {
    std::lock_guard<std::mutex> lock(m_ring.lock());
    if (!m_ring.HasRoom())
        return -1;
    CBeepJob& job = m_ring.WriteSlot();
    job.owner = owner;
    job.pairs = pairs;
    m_ring.Publish();
    Trigger();
    return 0;
}

void cbeepthread::Cancel() {
    cancel.store(1, std::memory_order_release);
}

int cbeepthread::DoWork() {
    cancel.store(0, std::memory_order_release);
    // 64 bits: adding up large requests can never overflow into an endless sound.
    int64_t remaining = 0;
    bool continuous = false;
    if (stop.load(std::memory_order_acquire) != 0)
        return 0;
    for (;;) {
        if (!m_ring.Empty()) {
            const int32_t pairs = m_ring.ReadSlot().pairs;
            if (pairs == 0)
                continuous = true;
            else if (!continuous && pairs > 0)  // a negative count asks for nothing
                remaining += pairs;
            m_ring.Advance();
        }
        if (!continuous && remaining <= 0)
            return 0;
        if (cancel.load(std::memory_order_acquire) != 0) {
            m_ring.DropAll();
            return 0;
        }
        m_tone->Tone(kBeepHighHz, kBeepToneMs);
        m_tone->Tone(kBeepLowHz, kBeepToneMs);
        --remaining;
        if (stop.load(std::memory_order_acquire) != 0)
            return 0;
    }
}
