#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The older text form of a host list: records of nine fields, each "key=value;;", the
// key ignored; CR and LF may separate records. Read only; it adds IPv4 hosts and changes
// no setting. User-interface thread.

// Caption of the file commands' message boxes: the application title.
constexpr const char* kAppTitle = "Velmora IPV6";

// The five failures of reading the file, each shown in a box of its own.
constexpr const char* kLegacyOpenError = "Open File Error";
constexpr const char* kLegacyLengthError = "Set File Error";
constexpr const char* kLegacyAllocError = "Alloc buffer Error!";
constexpr const char* kLegacyRewindError = "Reset File Error";
constexpr const char* kLegacyReadError = "Read File Length Error";

// Results of ImportLegacyHostList, one per message.
constexpr int kLegacyOpenFailed = -1;
constexpr int kLegacyBadLength = -2;
constexpr int kLegacyAllocFailed = -3;
constexpr int kLegacyRewindFailed = -4;
constexpr int kLegacyShortRead = -5;

// A legacy list is a few bytes per host; anything larger is refused as too large to hold.
constexpr int64_t kMaxLegacyFileSize = 64 * 1024 * 1024;

// One record as read. Fields past `fields` were not in the file: the host keeps a new
// host's values for them.
struct LegacyHost {
    int fields = 0;      // fields read, 1 (the address only) to 9 (the whole record)
    uint32_t addr4 = 0;  // network order
    uint32_t interval = 0;
    uint32_t timeout = 0;
    uint32_t packetsize = 0;
    uint16_t mail_group = 0;
    uint16_t mail_priority = 0;
    uint32_t advance = 0;
    std::string name;
    std::string descript;
};

// Parses the records of `data` (a NUL byte ends it), at most `maxHosts`. Reading ends
// quietly at the first record whose address is not a dotted IPv4 address, and after the
// first record that is cut short: a record whose address field is whole is returned with
// the fields read up to the cut.
std::vector<LegacyHost> ParseLegacyHostList(std::string_view data, size_t maxHosts);

// How the import reaches the file, step by step; the default is the file system (a
// regular file only, opened without blocking). Tests replace single steps with failures.
class LegacyFileAccess {
public:
    virtual ~LegacyFileAccess();
    virtual bool Open(const std::string& path);
    // Position after seeking to the end: the length, or -1.
    virtual int64_t SeekEnd();
    virtual bool SeekStart();
    // Reads up to `count` bytes; the number read.
    virtual size_t Read(char* buffer, size_t count);
    virtual void Close();

protected:
    int m_fd = -1;
};

// The import step of "Import From text file" for a file that is no INI text: reads the
// file at `path`, appends its hosts (as many as the table has room for), rebuilds the
// host list and stores the setup. A failure to read the file shows its message (caption
// kAppTitle, OK, no icon), returns its result and changes nothing. Returns 0 otherwise.
int ImportLegacyHostList(const std::string& path, LegacyFileAccess* access = nullptr);
