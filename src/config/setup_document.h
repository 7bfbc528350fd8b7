#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "config/setup_info.h"

// The setup document: the settings record followed by the host table, in the stored byte
// format of platform/archive.h. Six versions exist; the writer produces "ZARVEKV400" only,
// the readers accept all six. Everything here runs on the user-interface thread.

constexpr int kSetupBufferSize = 8388608;

// The one buffer the document is built in and read from, its used length, and the flag
// that every change to settings or hosts sets and every successful save clears.
extern uint8_t g_setupBuffer[kSetupBufferSize];
extern int g_setupLength;
extern int g_bSetupModified;

// Versions, oldest first; the order is that of the magic texts compared as strings.
enum SetupVersion {
    kSetupVersion20 = 0,  // "ZARVEK"
    kSetupVersion21,      // "ZARVEKV21"
    kSetupVersion25,      // "ZARVEKV25"
    kSetupVersion26,      // "ZARVEKV26"
    kSetupVersion311,     // "ZARVEKV311"
    kSetupVersion400,     // "ZARVEKV400"
};
extern const char* const kSetupMagics[6];

// Results beside the documented 0, -1 and -2.
constexpr int kSetupReadMismatch = -3;  // a file read delivered more or fewer bytes
constexpr int kSetupCorrupt = -4;       // valid magic, but the document ends early or lies
constexpr int kSetupTooLarge = -5;      // the setup does not fit the buffer (export)

// One host record as stored, before it becomes a CHostItem. `version` says which of its
// fields the document carried; the others keep the host record's defaults.
struct StoredHost {
    int version = kSetupVersion400;
    uint8_t addr4[4] = {};
    uint8_t addr6[16] = {};
    uint32_t interval = 0;
    uint32_t timeout = 0;
    uint32_t packetsize = 0;
    uint8_t reserved1 = 0;
    int32_t reserved2 = 0;
    uint8_t reserved3 = 0;
    int32_t reserved4 = 0;
    uint8_t name_host = 0;
    uint8_t ip_to_name = 0;
    uint8_t notify_down = 0;
    uint8_t notify_up = 0;
    std::string name;
    std::string hostname;
    std::string descript;
    uint16_t mail_group = 0;
    uint16_t mail_priority = 0;
    uint32_t advance = 0;
    int32_t ttl_seen = 0;
    int32_t reserved[5] = {};
    std::string reserved_text[8];
};

// A whole document parsed into scratch data.
struct ParsedSetup {
    int version = kSetupVersion400;
    CSetupInfo settings;
    std::vector<StoredHost> hosts;
    // Where the host records start in the parsed data, and how many were checked.
    size_t hostsOffset = 0;
    int hostCount = 0;
};

// Parses `size` bytes at `data`. `out.settings` must hold the values that fields the
// version does not carry keep. At most `maxHosts` host records are read; the rest of the
// document is then not read at all (a full table drops them). Returns 0; -1 when the
// magic is none of the six; kSetupCorrupt when the document ends early or holds an
// impossible length or count. `out` is only meaningful after 0.
int ParseSetupDocument(const uint8_t* data, size_t size, int maxHosts, ParsedSetup& out);

// Appends the hosts to the host table in order (AddHost, fill, ResolveIPv6, PublishHost),
// stopping quietly when the table is full. Returns the number added.
int AddStoredHosts(const std::vector<StoredHost>& hosts);

// Writes the document for the live settings and hosts into `buffer`, never past
// `capacity`. Sets emailcount to 0 and refreshes ColumnWidth from the host list control.
// Returns the length and sets g_setupLength to it; -1 (g_setupLength 0) when the setup
// does not fit or there is no settings record: nothing is then to be stored.
int SerializeSetupToBuffer(uint8_t* buffer, int capacity);

// Reads the document in g_setupBuffer (g_setupLength bytes) over the live settings and
// the host table, then opens the log file. Returns 0; -1 not a setup document; -2 length
// above 8,388,608; kSetupCorrupt. On failure nothing was changed.
int LoadSetupFromBuffer();

// Replaces settings and hosts with the document file at `path`, rebuilds the host list and
// stores the setup. Returns 0; -1 cannot open or not a setup document; -2 longer than
// 8,388,608 bytes; kSetupReadMismatch; kSetupCorrupt. On failure nothing was changed.
int ImportSetupFromFile(const std::string& path);

// Serializes the setup, stores it when modified, and writes it to `path` (replaced by one
// atomic rename, mode 0600: the setup holds the mail password). Returns 0; -1 when the file
// cannot be written; kSetupTooLarge when the setup does not fit (nothing written).
int ExportSetupToFile(const std::string& path);

// When g_bSetupModified is set: serialize and store; the flag is cleared only when both
// succeeded, so a failed save is tried again by the next call.
void SaveSetupIfModified();

// Serializes and stores whatever the flag. A success leaves the flag as it is; a failure
// sets it, so that the next SaveSetupIfModified tries again.
void SaveSetupNow();
