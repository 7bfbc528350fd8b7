#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "config/setup_info.h"

// The setup document: the settings record followed by the host table, in the stored byte
// format of platform/archive.h. Six versions exist; the writer produces "ZARVEKV400" only,
// the readers accept all six. Everything here runs on the user-interface thread.

// The largest document that is stored, loaded, imported or exported. 65,535 hosts with
// 255-byte names, host names and descriptions take about 56 MB.
constexpr int kMaxSetupLength = 64 * 1024 * 1024;

// The one buffer the document is built in and read from (it grows with the setup, up to
// kMaxSetupLength), its used length, and the flag that every change to settings or hosts
// sets and every successful save clears.
extern std::vector<uint8_t> g_setupBuffer;
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
constexpr int kSetupTooLarge = -5;      // the setup is larger than kMaxSetupLength
constexpr int kSetupStoreFailed = -6;   // the store could not be written

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

// Writes the document for the live settings and hosts into g_setupBuffer, growing it as
// needed. Sets emailcount to 0 and refreshes ColumnWidth from the host list control.
// Returns the length and sets g_setupLength to it; -1 (g_setupLength 0) when there is no
// settings record, kSetupTooLarge when the document would be longer than kMaxSetupLength:
// nothing is then to be stored.
int SerializeSetup();

// Reads the whole document file at `path` into `bytes`: 0; -1 cannot open or not a regular
// file; -2 longer than kMaxSetupLength; kSetupReadMismatch when the read delivered more or
// fewer bytes than the file's length. FIFOs and devices never block.
int ReadSetupFile(const std::string& path, std::vector<uint8_t>& bytes);

// Reads the document in g_setupBuffer (g_setupLength bytes) over the live settings and
// the host table, then opens the log file. Returns 0; -1 not a setup document; -2 length
// above kMaxSetupLength; kSetupCorrupt. On failure nothing was changed.
int LoadSetupFromBuffer();

// Replaces settings and hosts with the document file at `path`, rebuilds the host list and
// stores the setup (SaveSetupNow). Returns ReadSetupFile's failures, -1 not a setup
// document, or kSetupCorrupt, and then nothing was changed; else 0.
int ImportSetupFromFile(const std::string& path);

// Serializes the setup, stores it when modified, and writes it to `path` (replaced by one
// atomic rename, mode 0600: the setup holds the mail password). Returns 0; -1 when the file
// cannot be written; kSetupTooLarge when the setup is too large (nothing written).
int ExportSetupToFile(const std::string& path);

// How a failed save is said: in a warning box where a person asked for what saves, else in
// one line on stderr (an exit no person asked for, as a signal, the session's end or the
// display's loss, never waits on a box); at exit without promising another try.
enum class SaveNotice { kBox, kStderr, kBoxAtExit, kStderrAtExit };

// When g_bSetupModified is set: serialize and store; the flag is cleared only when both
// succeeded, so a failed save is tried again by the next call. A failure is said once, as
// `notice` says, and not again until a store of the setup has succeeded.
void SaveSetupIfModified(SaveNotice notice = SaveNotice::kBox);

// Serializes and stores whatever the flag, for a command that has just made the setup.
// Returns 0, or kSetupTooLarge or kSetupStoreFailed after saying so in a warning box; a
// failure sets the flag, so that the next SaveSetupIfModified tries again.
int SaveSetupNow();
