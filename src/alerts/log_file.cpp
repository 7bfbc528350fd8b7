#include "alerts/log_file.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "alerts/event_text.h"
#include "config/setup_info.h"
#include "engine/host_item.h"
#include "platform/tick.h"

CLogFile g_logFile;
CFileError g_logFileException;

namespace {

// How often the log's path is compared with the open file.
constexpr uint32_t kPathCheckMs = 1000;

int CauseOfErrno(int error) {
    switch (error) {
        case ENOENT:
            return kFileErrorNotFound;
        case ENOTDIR:
        case ENAMETOOLONG:
        case EISDIR:
        case ELOOP:
            return kFileErrorBadPath;
        case EMFILE:
        case ENFILE:
            return kFileErrorTooManyOpenFiles;
        case EACCES:
        case EPERM:
        case EROFS:
            return kFileErrorAccessDenied;
        case EWOULDBLOCK:
            return kFileErrorSharingViolation;
        default:
            return kFileErrorGeneric;
    }
}

// Opens `path` as the log file is opened, or fills g_logFileException and returns -1.
int OpenForAppend(const std::string& path) {
    // O_NONBLOCK only so that a FIFO without a reader cannot hang the interface.
    int fd =
        open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    int error = errno;
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno;
        // File systems without flock leave the file shared rather than unusable.
        if (error == EWOULDBLOCK) {
            close(fd);
            fd = -1;
        }
    }
    if (fd < 0) {
        g_logFileException.cause = CauseOfErrno(error);
        g_logFileException.os_error = error;
        g_logFileException.file_name = path;
        return -1;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

bool WriteAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t written = write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

std::string SignedDelay(uint32_t value) {
    // Delays are shown as signed numbers; the all-ones "no reply yet" minimum shows as 0.
    int32_t shown = value == 0xFFFFFFFFu ? 0 : static_cast<int32_t>(value);
    return std::to_string(shown);
}

}  // namespace

CLogFile::~CLogFile() {
    Close();
}

bool CLogFile::Open(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_lock);
    CloseLocked();
    const int fd = OpenForAppend(path);
    if (fd < 0)
        return false;
    m_path = path;
    AdoptLocked(fd);
    return true;
}

void CLogFile::AdoptLocked(int fd) {
    if (m_fd >= 0)
        close(m_fd);
    m_fd = fd;
    struct stat opened {};
    fstat(fd, &opened);
    m_device = opened.st_dev;
    m_inode = opened.st_ino;
    m_checkTick = GetTick();
}

void CLogFile::FollowPathLocked() {
    // A deleted file (a rotation that compressed it) takes lines into nothing: that is looked
    // at before every line. A renamed one keeps them, so the path is compared only once a
    // second, and the lines in between stay in the rotated file.
    struct stat current {};
    if (fstat(m_fd, &current) == 0 && current.st_nlink > 0) {
        const uint32_t now = GetTick();
        if (now - m_checkTick < kPathCheckMs)
            return;
        m_checkTick = now;
        struct stat named {};
        if (stat(m_path.c_str(), &named) == 0 && named.st_dev == m_device &&
            named.st_ino == m_inode)
            return;
    }
    const int fd = OpenForAppend(m_path);
    if (fd >= 0)
        AdoptLocked(fd);
}

void CLogFile::Close() {
    std::lock_guard<std::mutex> lock(m_lock);
    CloseLocked();
}

void CLogFile::CloseLocked() {
    if (m_fd >= 0) {
        close(m_fd);  // also releases the lock
        m_fd = -1;
    }
    m_path.clear();
}

bool CLogFile::IsOpen() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_fd >= 0;
}

bool CLogFile::Flush() {
    return IsOpen();
}

bool CLogFile::WriteLine(std::string_view text) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_fd < 0)
        return false;
    FollowPathLocked();
    std::string line;
    line.reserve(text.size() + 2);
    for (char c : text)
        line.push_back(c == '\r' || c == '\n' ? ' ' : c);
    line.append("\r\n");
    return WriteAll(m_fd, line.data(), line.size());
}

bool ReopenLogFile(const std::string& logfilename) {
    g_logFile.Close();
    if (logfilename.empty())
        return true;
    return g_logFile.Open(logfilename);
}

std::string LogFileOpenFailedText(const std::string& logfilename) {
    return "OPEN log file of   " + logfilename + "   failed!";
}

std::string FormatEventLine(const CHostItem& host, const std::tm& local) {
    return "EVENT: " + FormatDateText(local) + "   " + host.name + "    " +
           EventListAddressText(host) + "    " + EventText(host);
}

std::string FormatEventCsvLine(const CHostItem& host, const std::tm& local) {
    return FormatCsvDateText(local) + "," + host.name + "," + AddressText(host) + "," +
           EventText(host);
}

std::string FormatMailLine(bool queued, const std::string& smtpserver, const std::string& subject) {
    return (queued ? "MAIL: OK " : "MAIL: ERROR ") + smtpserver + " " + subject;
}

std::string FormatMailFailedLine(int result, const std::string& smtpserver,
                                 const std::string& subject, const std::string& reason) {
    return "MAIL: FAILED " + std::to_string(result) + " " + smtpserver + " " + subject + " (" +
           reason + ")";
}

std::string FormatMailsDroppedLine(uint32_t count) {
    return "MAIL: DROPPED " + std::to_string(count) + " queued mails at exit";
}

std::string FormatExecLine(bool queued, const std::string& exefilename,
                           const std::string& parameters) {
    return (queued ? "EXEC: OK " : "EXEC: ERROR ") + exefilename + " " + parameters;
}

std::string FormatTimeLine(const std::string& dateText) {
    return "TIME: " + dateText;
}

std::string FormatSummaryLine(const CHostItem& host) {
    // A host never sent to shows a full loss rather than its stored (0) rate.
    double rate = host.sent_count.load() == 0 ? 100.0 : static_cast<double>(host.lost_rate);
    return "SUMMARY: " + host.name + ";" + "Delay: Min/Max/Aver: " + SignedDelay(host.rtt_min) +
           "ms/" + SignedDelay(host.rtt_max) + "ms/" + SignedDelay(host.rtt_avg) +
           "ms/; Lost rate: " + FormatTwoDecimals(rate) + "%";
}

bool LogEventLine(const CHostItem& host, const std::tm& local, const CSetupInfo& setup) {
    if (!g_logFile.IsOpen() || setup.logchange == 0)
        return false;
    return g_logFile.WriteLine(setup.LogAsCsv() ? FormatEventCsvLine(host, local)
                                                : FormatEventLine(host, local));
}

bool LogMailLine(bool queued, const std::string& subject, const CSetupInfo& setup) {
    if (!g_logFile.IsOpen() || setup.lognotify == 0)
        return false;
    return g_logFile.WriteLine(FormatMailLine(queued, setup.smtpserver, subject));
}

bool LogMailFailedLine(int result, const std::string& smtpserver, const std::string& subject,
                       const std::string& reason) {
    return g_logFile.WriteLine(FormatMailFailedLine(result, smtpserver, subject, reason));
}

bool LogMailsDroppedLine(uint32_t count) {
    return g_logFile.WriteLine(FormatMailsDroppedLine(count));
}

bool LogExecLine(bool queued, const std::string& parameters, const CSetupInfo& setup) {
    if (!g_logFile.IsOpen() || setup.lognotify == 0)
        return false;
    return g_logFile.WriteLine(FormatExecLine(queued, setup.exefilename, parameters));
}

bool LogTimeLine(const CSetupInfo& setup) {
    if (!g_logFile.IsOpen() || setup.logall == 0)
        return false;
    return g_logFile.WriteLine(FormatTimeLine(NowText()));
}

bool LogSummaryLine(const CHostItem& host, const CSetupInfo& setup) {
    if (!g_logFile.IsOpen() || setup.logall == 0 || host.LoadAddr4() == 0)
        return false;
    return g_logFile.WriteLine(FormatSummaryLine(host));
}
