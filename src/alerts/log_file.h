#pragma once

#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>

#include <sys/types.h>

class CHostItem;
class CSetupInfo;

// Causes recorded in the file-error record, with the classic numbering.
constexpr int kFileErrorNone = 0;
constexpr int kFileErrorGeneric = 1;
constexpr int kFileErrorNotFound = 2;
constexpr int kFileErrorBadPath = 3;
constexpr int kFileErrorTooManyOpenFiles = 4;
constexpr int kFileErrorAccessDenied = 5;
constexpr int kFileErrorSharingViolation = 11;

// What the last failed open of the log file found.
struct CFileError {
    int cause = kFileErrorNone;
    int os_error = -1;
    std::string file_name;
};

// The program's one log file, appended to, every line ending in CR LF. Each line goes to
// the kernel in one write as soon as it is written, so a killed process loses no line.
// The file follows its path: when a rotation renamed, deleted or replaced the open file, the
// next line goes to the file the path names now (created when missing).
// Opened and closed on the user-interface thread; lines may be written from any thread
// (the mail thread reports failed and dropped mails), one whole line at a time.
class CLogFile {
public:
    CLogFile() = default;
    ~CLogFile();
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;

    // Opens `path` for appending: write only, created when missing (mode 0644 less the
    // umask), never truncated, close-on-exec. Another process holding the file through
    // this class makes the open fail (no two writers interleave). On failure fills
    // g_logFileException and leaves the file closed. Closes a file already open first.
    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const;
    const std::string& FileName() const { return m_path; }
    // Lines are never held back, so this only reports whether the file is open.
    bool Flush();
    // Writes `text` with CR and LF turned into blanks (no field can forge a line), then
    // CR LF. False when the file is closed or the write failed; a failed line is dropped.
    bool WriteLine(std::string_view text);

private:
    void CloseLocked();
    // Makes `fd` the open file.
    void AdoptLocked(int fd);
    // Opens the path again when it no longer names the open file; on failure the lines
    // go on where they went.
    void FollowPathLocked();

    mutable std::mutex m_lock;  // guards every member
    int m_fd = -1;
    std::string m_path;
    dev_t m_device = 0;  // of the open file
    ino_t m_inode = 0;
    uint32_t m_checkTick = 0;  // when the path was last compared with the open file
};

extern CLogFile g_logFile;
extern CFileError g_logFileException;

// Closes the log file if open, then opens `logfilename` unless it is empty. False only
// when an open was tried and failed; the caller then shows LogFileOpenFailedText.
bool ReopenLogFile(const std::string& logfilename);
// "OPEN log file of   <name>   failed!"
std::string LogFileOpenFailedText(const std::string& logfilename);

// Texts of the log lines, without the line end.
// "EVENT: <date text>   <name>    <event-list address>    <event text>"
std::string FormatEventLine(const CHostItem& host, const std::tm& local);
// "<dd/mm/yyyy>,<hh:mm:ss>,<name>,<address>,<event text>"
std::string FormatEventCsvLine(const CHostItem& host, const std::tm& local);
// "MAIL: OK " or "MAIL: ERROR ", then server, a blank and the expanded subject.
std::string FormatMailLine(bool queued, const std::string& smtpserver, const std::string& subject);
// "MAIL: FAILED <result> <server> <subject> (<reason>)": a mail that was queued but not sent.
std::string FormatMailFailedLine(int result, const std::string& smtpserver,
                                 const std::string& subject, const std::string& reason);
// "MAIL: DROPPED <count> queued mails at exit"
std::string FormatMailsDroppedLine(uint32_t count);
// "EXEC: OK " or "EXEC: ERROR ", then the program, a blank and the expanded parameters.
std::string FormatExecLine(bool queued, const std::string& exefilename,
                           const std::string& parameters);
// "TIME: <date text>"
std::string FormatTimeLine(const std::string& dateText);
// "SUMMARY: <name>;Delay: Min/Max/Aver: <min>ms/<max>ms/<avg>ms/; Lost rate: <x.xx>%"
std::string FormatSummaryLine(const CHostItem& host);

// The writers. Each writes only while g_logFile is open and its switch in `setup` is on,
// and returns whether a line was written. User-interface thread.
// EVENT line, plain or CSV by bit 0 of reserve2; switch logchange. `local` is the time
// the event row shows.
bool LogEventLine(const CHostItem& host, const std::tm& local, const CSetupInfo& setup);
// MAIL line for a mail job that was queued (or refused by a full queue); lognotify.
bool LogMailLine(bool queued, const std::string& subject, const CSetupInfo& setup);
// The mail thread's lines, written whenever the log file is open: a queued mail (alert or
// test) that failed, with why, and the number of mails dropped at exit. Any thread.
bool LogMailFailedLine(int result, const std::string& smtpserver, const std::string& subject,
                       const std::string& reason);
bool LogMailsDroppedLine(uint32_t count);
// EXEC line for a program run that was queued (or refused); lognotify.
bool LogExecLine(bool queued, const std::string& parameters, const CSetupInfo& setup);
// TIME line with the date text of now; logall.
bool LogTimeLine(const CSetupInfo& setup);
// SUMMARY line of one host; logall. Hosts without an IPv4 address get none.
bool LogSummaryLine(const CHostItem& host, const CSetupInfo& setup);
