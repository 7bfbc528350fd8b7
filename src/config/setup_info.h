#pragma once

#include <array>
#include <cstdint>
#include <string>

// Room of the recipient lists (both the current and the legacy one).
constexpr int kMaxRecipients = 256;
// Columns of the host list whose widths the setup document carries.
constexpr int kColumnWidthCount = 8;
constexpr int kReserveIntCount = 6;
constexpr int kReserveTextCount = 7;

// Bit 0 of `reserve2`: event log lines are written in the comma-separated form.
constexpr uint16_t kReserve2CsvLog = 0x1;
// Bits of `start_set`.
constexpr int32_t kStartSetRunAtLogon = 0x1;
constexpr int32_t kStartSetAutoStart = 0x2;

// Default mail and program texts, byte for byte (CR LF line ends, none at the end).
extern const char* const kDefaultExecPara;
extern const char* const kDefaultMailBody;
extern const char* const kDefaultTestSubject;
extern const char* const kDefaultDownSubject;
extern const char* const kDefaultUpSubject;
extern const char* const kDefaultEmailName;

// The one record of global settings. Fields are named after the INI keys that store
// them and kept in the order the stored forms carry them. A plain, copyable record:
// assigning a fresh CSetupInfo() restores every default. Switches are bytes where any
// non-zero value counts as on. Texts are byte strings (UTF-8 on this platform).
// Read and written on the user-interface thread only; worker threads get copies.
class CSetupInfo {
public:
    CSetupInfo();
    ~CSetupInfo();
    CSetupInfo(const CSetupInfo&) = default;
    CSetupInfo& operator=(const CSetupInfo&) = default;
    CSetupInfo(CSetupInfo&&) = default;
    CSetupInfo& operator=(CSetupInfo&&) = default;

    uint8_t popupbox = 0;
    uint8_t sendmail = 1;
    uint8_t runexe = 0;
    uint8_t beep = 1;
    std::string exefilename;
    uint8_t beepbreak = 1;
    int32_t beepseconds = 100;
    uint8_t needlostcount = 1;
    int32_t continuelost = 3;
    uint8_t needlostrate = 1;
    int32_t lostrate = 5;
    std::string logfilename;
    uint8_t logall = 0;
    uint8_t logchange = 1;
    uint8_t lognotify = 1;
    std::string execpara;
    std::string smtpserver;
    uint16_t smtpport = 25;
    std::string emailfrom;
    uint8_t auth = 0;
    std::string user;
    std::string pass;  // held and stored as plain text
    uint8_t emailcount = 0;
    std::array<std::string, kMaxRecipients> emailto;  // legacy list, addresses only
    uint8_t emailint = 1;
    std::string testsubject;
    std::string downsubject;
    std::string downbody;
    std::string upsubject;
    std::string upbody;
    uint8_t bneedloopmail = 0;
    int32_t loopemailint = 1;
    int32_t start_set = kStartSetRunAtLogon | kStartSetAutoStart;
    uint16_t mail_highpriority = 1;
    uint16_t reserve2 = 0;
    std::array<int32_t, kReserveIntCount> reserveint{};
    std::string emailName;
    std::array<std::string, kReserveTextCount> reservetext;
    int32_t newemailcount = 0;
    std::array<std::string, kMaxRecipients> newemailto;
    std::array<int32_t, kMaxRecipients> emailgrouplist{};
    int32_t signint = 3;
    // Widths of host list columns 0 to 7; start at 0 so that a record neither loaded nor
    // serialized exports zeros rather than stray values.
    std::array<uint16_t, kColumnWidthCount> ColumnWidth{};

    // newemailcount bounded to 0..256: the number of recipient entries really in use.
    int RecipientCount() const;
    // True when event lines go to the log in the comma-separated form.
    bool LogAsCsv() const { return (reserve2 & kReserve2CsvLog) != 0; }
};

// The live settings record. The main frame creates it before anything reads it and
// deletes it at exit; nullptr outside that span. User-interface thread.
extern CSetupInfo* g_pSetupInfo;
