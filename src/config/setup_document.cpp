#include "config/setup_document.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/registry_storage.h"
#include "config/setup_hooks.h"
#include "engine/host_list.h"
#include "platform/archive.h"
#include "platform/registry_store.h"

std::vector<uint8_t> g_setupBuffer;
int g_setupLength = 0;
int g_bSetupModified = 0;

const char* const kSetupMagics[6] = {"ZARVEK",    "ZARVEKV21",  "ZARVEKV25",
                                     "ZARVEKV26", "ZARVEKV311", "ZARVEKV400"};

namespace {

// Smallest stored host records (all texts empty).
constexpr size_t kMinHostRecordV21 = 4 + 2 + 2 + 4 + 3;
constexpr size_t kMinHostRecordV25 = 4 + 12 + 4 + 3 + 2 + 2 + 4 + 4 + 20 + 8;
constexpr size_t kMinHostRecordV400 = kMinHostRecordV25 + 16 + 1 + 4 + 1 + 4;

// ---- reading -------------------------------------------------------------------------

void ReadSettingsBlockA(ArchiveReader& r, CSetupInfo& s) {
    r.ReadByte(s.popupbox);
    r.ReadByte(s.sendmail);
    r.ReadByte(s.runexe);
    r.ReadByte(s.beep);
    r.ReadText(s.exefilename);
    r.ReadByte(s.beepbreak);
    r.ReadInt(s.beepseconds);
    r.ReadByte(s.needlostcount);
    r.ReadInt(s.continuelost);
    r.ReadByte(s.needlostrate);
    r.ReadInt(s.lostrate);
    r.ReadText(s.logfilename);
    r.ReadByte(s.logall);
    r.ReadByte(s.logchange);
    r.ReadByte(s.lognotify);
    r.ReadText(s.execpara);
    r.ReadText(s.smtpserver);
    r.ReadWord(s.smtpport);
    r.ReadText(s.emailfrom);
    r.ReadByte(s.auth);
    r.ReadText(s.user);
    r.ReadText(s.pass);
    // The legacy list becomes the recipient list; its group ids stay as they are.
    uint8_t legacy = 0;
    if (r.ReadByte(legacy)) {
        s.emailcount = legacy;
        s.newemailcount = legacy;
        for (int i = 0; i < legacy && r.ok(); ++i)
            r.ReadText(s.newemailto[i]);
    }
    r.ReadByte(s.emailint);
    r.ReadText(s.testsubject);
    r.ReadText(s.downsubject);
    r.ReadText(s.downbody);
    r.ReadText(s.upsubject);
    r.ReadText(s.upbody);
}

void ReadSettingsBlockB(ArchiveReader& r, CSetupInfo& s) {
    r.ReadByte(s.bneedloopmail);
    r.ReadInt(s.loopemailint);
    r.ReadInt(s.start_set);
    r.ReadWord(s.mail_highpriority);
    r.ReadWord(s.reserve2);
    for (int32_t& v : s.reserveint)
        r.ReadInt(v);
    r.ReadText(s.emailName);
    for (std::string& t : s.reservetext)
        r.ReadText(t);
}

// False for a count that cannot be right; a count above 256 is read whole and only the
// first 256 entries are kept.
bool ReadRecipientBlock(ArchiveReader& r, CSetupInfo& s) {
    int32_t count = 0;
    if (!r.ReadInt(count))
        return false;
    // Each entry takes at least one text byte and a 4-byte group id.
    if (count < 0 || static_cast<uint64_t>(count) * 5 > r.remaining())
        return false;
    std::string dropped;
    for (int32_t i = 0; i < count && r.ok(); ++i)
        r.ReadText(i < kMaxRecipients ? s.newemailto[i] : dropped);
    int32_t droppedId = 0;
    for (int32_t i = 0; i < count && r.ok(); ++i)
        r.ReadInt(i < kMaxRecipients ? s.emailgrouplist[i] : droppedId);
    s.newemailcount = std::min(count, kMaxRecipients);
    return r.ok();
}

void ReadHostTail(ArchiveReader& r, StoredHost& h) {
    r.ReadByte(h.name_host);
    r.ReadByte(h.ip_to_name);
    r.ReadByte(h.notify_down);
    r.ReadByte(h.notify_up);
    r.ReadText(h.name);
    r.ReadText(h.hostname);
    r.ReadText(h.descript);
    r.ReadWord(h.mail_group);
    r.ReadWord(h.mail_priority);
    r.ReadUInt(h.advance);
    r.ReadInt(h.ttl_seen);
    for (int32_t& v : h.reserved)
        r.ReadInt(v);
    for (std::string& t : h.reserved_text)
        r.ReadText(t);
}

bool ReadHost(ArchiveReader& r, int version, StoredHost& h) {
    h.version = version;
    r.ReadBytes(h.addr4, sizeof h.addr4);
    if (version >= kSetupVersion400) {
        r.ReadBytes(h.addr6, sizeof h.addr6);
        r.ReadUInt(h.interval);
        r.ReadUInt(h.timeout);
        r.ReadUInt(h.packetsize);
        r.ReadByte(h.reserved1);
        r.ReadInt(h.reserved2);
        r.ReadByte(h.reserved3);
        r.ReadInt(h.reserved4);
        ReadHostTail(r, h);
    } else if (version >= kSetupVersion25) {
        r.ReadUInt(h.interval);
        r.ReadUInt(h.timeout);
        r.ReadUInt(h.packetsize);
        ReadHostTail(r, h);
    } else {
        uint16_t interval = 0;
        uint16_t timeout = 0;
        r.ReadWord(interval);
        r.ReadWord(timeout);
        h.interval = interval;
        h.timeout = timeout;
        r.ReadByte(h.name_host);
        r.ReadByte(h.ip_to_name);
        r.ReadByte(h.notify_down);
        r.ReadByte(h.notify_up);
        r.ReadText(h.name);
        r.ReadText(h.hostname);
        r.ReadText(h.descript);
    }
    return r.ok();
}

// Checks one host record without keeping anything of it.
bool SkipHost(ArchiveReader& r, int version) {
    if (version >= kSetupVersion25) {
        r.Skip(version >= kSetupVersion400 ? 4 + 16 + 4 + 4 + 4 + 1 + 4 + 1 + 4 + 4
                                           : 4 + 4 + 4 + 4 + 4);
        r.SkipText();
        r.SkipText();
        r.SkipText();
        r.Skip(2 + 2 + 4 + 4 + 5 * 4);
        for (int i = 0; i < 8; ++i)
            r.SkipText();
    } else {
        r.Skip(4 + 2 + 2 + 4);
        r.SkipText();
        r.SkipText();
        r.SkipText();
    }
    return r.ok();
}

// Sets a text of a record fresh from AddHost, whose texts start empty: most stored texts
// are empty too, and those cost nothing.
void CopyText(std::string& to, const std::string& from) {
    if (!from.empty())
        to = from;
}

// Fills a record fresh from AddHost. Nothing else sees it until PublishHost, which
// publishes with release, so plain relaxed stores suffice; its texts start empty.
void FillHost(CHostItem& host, const StoredHost& s) {
    constexpr auto kRelaxed = std::memory_order_relaxed;
    uint32_t addr4 = 0;
    std::memcpy(&addr4, s.addr4, sizeof addr4);
    host.StoreAddr4(addr4);
    host.interval.store(s.interval, kRelaxed);
    host.timeout.store(s.timeout, kRelaxed);
    host.name_host = s.name_host;
    host.ip_to_name = s.ip_to_name;
    host.notify_down = s.notify_down;
    host.notify_up = s.notify_up;
    CopyText(host.name, s.name);
    CopyText(host.hostname, s.hostname);
    CopyText(host.descript, s.descript);
    if (s.version < kSetupVersion25)
        return;
    host.packetsize.store(s.packetsize, kRelaxed);
    host.mail_group = s.mail_group;
    host.mail_priority = s.mail_priority;
    host.advance.store(s.advance, kRelaxed);
    host.ttl_seen = s.ttl_seen;
    host.reserved5 = s.reserved[0];
    host.reserved6 = s.reserved[1];
    host.reserved7 = s.reserved[2];
    host.reserved8 = s.reserved[3];
    host.reserved9 = s.reserved[4];
    std::string* texts[8] = {&host.reserved_text1, &host.reserved_text2, &host.reserved_text3,
                             &host.reserved_text4, &host.reserved_text5, &host.reserved_text6,
                             &host.reserved_text7, &host.reserved_text8};
    for (int i = 0; i < 8; ++i)
        CopyText(*texts[i], s.reserved_text[i]);
    if (s.version < kSetupVersion400)
        return;
    std::memcpy(&host.addr6.sin6_addr, s.addr6, sizeof s.addr6);
    host.reserved1 = s.reserved1;
    host.reserved2 = s.reserved2;
    host.reserved3 = s.reserved3;
    host.reserved4 = s.reserved4;
    // IPv6 hosts stored 128 before replies recorded the kernel's hop limit (and documents
    // written elsewhere still do): that is no hop limit seen, not a TTL to change from.
    if (host.ttl_seen == kIcmp6ReplyTtl && host.IsIPv6())
        host.ttl_seen = 0;
}

// ---- writing -------------------------------------------------------------------------

void WriteSettings(ArchiveWriter& w, CSetupInfo& s) {
    w.WriteByte(s.popupbox);
    w.WriteByte(s.sendmail);
    w.WriteByte(s.runexe);
    w.WriteByte(s.beep);
    w.WriteText(s.exefilename);
    w.WriteByte(s.beepbreak);
    w.WriteInt(s.beepseconds);
    w.WriteByte(s.needlostcount);
    w.WriteInt(s.continuelost);
    w.WriteByte(s.needlostrate);
    w.WriteInt(s.lostrate);
    w.WriteText(s.logfilename);
    w.WriteByte(s.logall);
    w.WriteByte(s.logchange);
    w.WriteByte(s.lognotify);
    w.WriteText(s.execpara);
    w.WriteText(s.smtpserver);
    w.WriteWord(s.smtpport);
    w.WriteText(s.emailfrom);
    w.WriteByte(s.auth);
    w.WriteText(s.user);
    w.WriteText(s.pass);
    // The legacy list is never written: its entries live on as the recipient list.
    s.emailcount = 0;
    w.WriteByte(0);
    w.WriteByte(s.emailint);
    w.WriteText(s.testsubject);
    w.WriteText(s.downsubject);
    w.WriteText(s.downbody);
    w.WriteText(s.upsubject);
    w.WriteText(s.upbody);

    w.WriteByte(s.bneedloopmail);
    w.WriteInt(s.loopemailint);
    w.WriteInt(s.start_set);
    w.WriteWord(s.mail_highpriority);
    w.WriteWord(s.reserve2);
    for (int32_t v : s.reserveint)
        w.WriteInt(v);
    w.WriteText(s.emailName);
    for (const std::string& t : s.reservetext)
        w.WriteText(t);

    const int recipients = s.RecipientCount();
    w.WriteInt(recipients);
    for (int i = 0; i < recipients; ++i)
        w.WriteText(s.newemailto[i]);
    for (int i = 0; i < recipients; ++i)
        w.WriteInt(s.emailgrouplist[i]);

    w.WriteInt(s.signint);
    SetupHooks& hooks = GetSetupHooks();
    for (int i = 0; i < kColumnWidthCount; ++i) {
        const int width = hooks.HostListColumnWidth(i);
        if (width >= 0)
            s.ColumnWidth[i] = static_cast<uint16_t>(width);
        w.WriteWord(s.ColumnWidth[i]);
    }
}

void WriteHost(ArchiveWriter& w, const CHostItem& h) {
    const uint32_t addr4 = h.LoadAddr4();
    w.WriteBytes(&addr4, sizeof addr4);
    w.WriteBytes(&h.addr6.sin6_addr, 16);
    w.WriteUInt(h.interval.load());
    w.WriteUInt(h.timeout.load());
    w.WriteUInt(h.packetsize.load());
    w.WriteByte(h.reserved1);
    w.WriteInt(h.reserved2);
    w.WriteByte(h.reserved3);
    w.WriteInt(h.reserved4);
    w.WriteByte(h.name_host);
    w.WriteByte(h.ip_to_name);
    w.WriteByte(h.notify_down);
    w.WriteByte(h.notify_up);
    w.WriteText(h.name);
    w.WriteText(h.hostname);
    w.WriteText(h.descript);
    w.WriteWord(h.mail_group);
    w.WriteWord(h.mail_priority);
    w.WriteUInt(h.advance.load());
    w.WriteInt(h.ttl_seen);
    w.WriteInt(h.reserved5);
    w.WriteInt(h.reserved6);
    w.WriteInt(h.reserved7);
    w.WriteInt(h.reserved8);
    w.WriteInt(h.reserved9);
    w.WriteText(h.reserved_text1);
    w.WriteText(h.reserved_text2);
    w.WriteText(h.reserved_text3);
    w.WriteText(h.reserved_text4);
    w.WriteText(h.reserved_text5);
    w.WriteText(h.reserved_text6);
    w.WriteText(h.reserved_text7);
    w.WriteText(h.reserved_text8);
}

// ---- files ---------------------------------------------------------------------------

int HostRoom() {
    return g_pHostList != nullptr ? g_pHostList->capacity : 0;
}

// Whether a failed save has been said since the last store that succeeded.
bool g_saveFailureSaid = false;

// Every store of the setup goes through here, so what a store leaves behind is the same
// whoever asked for it: a success ends the "failure said" state, a failure leaves the setup
// modified for the next try. `length` is SerializeSetup's result. Returns 0, kSetupTooLarge
// or kSetupStoreFailed (errno then tells why, where it can).
int StoreSerializedSetup(int length) {
    int result = length == kSetupTooLarge ? kSetupTooLarge : kSetupStoreFailed;
    errno = 0;
    if (length >= 0 && SaveRegistryBlob(g_setupBuffer.data(), length) == 1)
        result = 0;
    if (result == 0)
        g_saveFailureSaid = false;
    else
        g_bSetupModified = 1;
    return result;
}

// Says why the setup could not be saved: in a warning box, or on stderr.
void SayNotSaved(int result, SaveNotice notice) {
    const int error = errno;
    std::string text = "The setup could not be saved";
    if (result == kSetupTooLarge) {
        text += ": it is larger than " + std::to_string(kMaxSetupLength / (1024 * 1024)) + " MB";
    } else {
        text += " in " + RegistryKey(kSetupStoreFile).Path();
        if (error != 0)
            text += std::string(": ") + std::strerror(error);
    }
    const bool atExit = notice == SaveNotice::kBoxAtExit || notice == SaveNotice::kStderrAtExit;
    text += atExit ? ". The changes since the last save are lost."
                   : ". It is tried again every minute and at exit.";
    g_saveFailureSaid = true;
    if (notice == SaveNotice::kBox || notice == SaveNotice::kBoxAtExit)
        GetSetupHooks().ShowWarning(text);
    else
        std::fprintf(stderr, "velmora: %s\n", text.c_str());
}

// Parses the document. With `keepHosts` the host records land in out.hosts; without, each
// is only checked, and AddDocumentHosts later reads them straight into the table: a full
// table then costs no second copy of every host.
int ParseDocument(const uint8_t* data, size_t size, int maxHosts, ParsedSetup& out,
                  bool keepHosts) {
    ArchiveReader r(data, size);
    std::string magic;
    if (!r.ReadText(magic))
        return -1;
    int version = -1;
    for (int i = 0; i < 6; ++i) {
        if (magic == kSetupMagics[i])
            version = i;
    }
    if (version < 0)
        return -1;
    out.version = version;
    CSetupInfo& s = out.settings;
    ReadSettingsBlockA(r, s);
    if (version != kSetupVersion20)
        ReadSettingsBlockB(r, s);
    if (!r.ok())
        return kSetupCorrupt;
    if ((version == kSetupVersion26 || version >= kSetupVersion311) && !ReadRecipientBlock(r, s))
        return kSetupCorrupt;
    if (version >= kSetupVersion311) {
        r.ReadInt(s.signint);
        for (uint16_t& width : s.ColumnWidth)
            r.ReadWord(width);
    }
    uint16_t capacity = 0;
    uint16_t count = 0;
    r.ReadWord(capacity);
    r.ReadWord(count);
    if (!r.ok())
        return kSetupCorrupt;
    const int toRead = std::min<int>(count, std::max(maxHosts, 0));
    // Every record has a fixed minimum size: refuse a count the data cannot hold before
    // making room for it.
    const size_t minRecord = version >= kSetupVersion400  ? kMinHostRecordV400
                             : version >= kSetupVersion25 ? kMinHostRecordV25
                                                          : kMinHostRecordV21;
    if (static_cast<uint64_t>(toRead) * minRecord > r.remaining())
        return kSetupCorrupt;
    out.hostsOffset = r.position();
    out.hostCount = toRead;
    out.hosts.clear();
    if (keepHosts) {
        out.hosts.resize(static_cast<size_t>(toRead));
        for (StoredHost& host : out.hosts) {
            if (!ReadHost(r, version, host))
                return kSetupCorrupt;
        }
    } else {
        for (int i = 0; i < toRead; ++i) {
            if (!SkipHost(r, version))
                return kSetupCorrupt;
        }
    }
    return 0;
}

// Adds the hosts of a document that ParseDocument accepted, reading them from the same,
// unchanged bytes.
void AddDocumentHosts(const uint8_t* data, size_t size, const ParsedSetup& parsed) {
    ArchiveReader r(data + parsed.hostsOffset, size - parsed.hostsOffset);
    StoredHost stored;
    for (int i = 0; i < parsed.hostCount; ++i) {
        if (!ReadHost(r, parsed.version, stored))
            break;
        CHostItem* host = AddHost(0);
        if (host == nullptr)
            break;
        FillHost(*host, stored);
        host->ResolveIPv6(nullptr);
        PublishHost(host);
    }
}

// Replaces the live settings and hosts with a document that ParseDocument accepted.
void CommitDocument(const uint8_t* data, size_t size, ParsedSetup& parsed) {
    *g_pSetupInfo = std::move(parsed.settings);
    ClearHostList(0);
    AddDocumentHosts(data, size, parsed);
}

}  // namespace

int ParseSetupDocument(const uint8_t* data, size_t size, int maxHosts, ParsedSetup& out) {
    return ParseDocument(data, size, maxHosts, out, true);
}

int AddStoredHosts(const std::vector<StoredHost>& hosts) {
    int added = 0;
    for (const StoredHost& stored : hosts) {
        CHostItem* host = AddHost(0);
        if (host == nullptr)
            break;
        FillHost(*host, stored);
        host->ResolveIPv6(nullptr);
        PublishHost(host);
        ++added;
    }
    return added;
}

int SerializeSetup() {
    g_setupLength = 0;
    if (g_pSetupInfo == nullptr)
        return -1;
    ArchiveWriter w(g_setupBuffer, kMaxSetupLength);
    w.WriteText(kSetupMagics[kSetupVersion400]);
    WriteSettings(w, *g_pSetupInfo);

    // Hosts in list-row order, leaving out excluded ones; the count written is the number
    // of records that follow, whatever state the row map is in.
    std::vector<const CHostItem*> rows;
    uint16_t tableCapacity = 0;
    if (CHostList* table = g_pHostList) {
        tableCapacity = table->capacity;
        const int count = std::min<int>(table->count.load(), kRowMapSize);
        rows.reserve(static_cast<size_t>(count));
        for (int r = 0; r < count; ++r) {
            const int32_t index = g_rowToHost[r];
            const CHostItem* host =
                index >= 0 ? table->Host(static_cast<uint32_t>(index)) : nullptr;
            if (host != nullptr && (host->list_flags.load() & kListExcludeMask) == 0)
                rows.push_back(host);
        }
    }
    w.WriteWord(tableCapacity);
    w.WriteWord(static_cast<uint16_t>(std::min<size_t>(rows.size(), 0xFFFF)));
    for (size_t i = 0; i < rows.size() && i < 0xFFFF && w.ok(); ++i)
        WriteHost(w, *rows[i]);
    if (!w.ok())
        return kSetupTooLarge;
    g_setupLength = static_cast<int>(w.size());
    return g_setupLength;
}

int LoadSetupFromBuffer() {
    if (static_cast<uint32_t>(g_setupLength) > static_cast<uint32_t>(kMaxSetupLength) ||
        static_cast<size_t>(g_setupLength) > g_setupBuffer.size())
        return -2;
    if (g_pSetupInfo == nullptr)
        return -1;
    ParsedSetup parsed;
    parsed.settings = *g_pSetupInfo;
    const size_t length = static_cast<size_t>(g_setupLength);
    const int result = ParseDocument(g_setupBuffer.data(), length, HostRoom(), parsed, false);
    if (result != 0)
        return result;
    CommitDocument(g_setupBuffer.data(), length, parsed);
    const std::string& logName = g_pSetupInfo->logfilename;
    SetupHooks& hooks = GetSetupHooks();
    if (!logName.empty() && !hooks.OpenLogFile(logName))
        hooks.ShowWarning("OPEN log file of   " + logName + "   failed!");
    return 0;
}

int ImportSetupFromFile(const std::string& path) {
    if (g_pSetupInfo == nullptr)
        return -1;
    std::vector<uint8_t> bytes;
    const int read = ReadSetupFile(path, bytes);
    if (read != 0)
        return read;
    ParsedSetup parsed;
    parsed.settings = *g_pSetupInfo;
    const int result = ParseDocument(bytes.data(), bytes.size(), HostRoom(), parsed, false);
    if (result != 0)
        return result;
    g_setupBuffer = bytes;
    g_setupLength = static_cast<int>(bytes.size());
    CommitDocument(bytes.data(), bytes.size(), parsed);
    GetSetupHooks().RebuildHostList();
    SaveSetupNow();
    return 0;
}

int ExportSetupToFile(const std::string& path) {
    const int length = SerializeSetup();
    if (length < 0)
        return kSetupTooLarge;
    if (g_bSetupModified != 0) {
        g_bSetupModified = 0;
        StoreSerializedSetup(length);
    }
    return AtomicWriteFile(path, g_setupBuffer.data(), static_cast<size_t>(length), 0600) ? 0 : -1;
}

void SaveSetupIfModified(SaveNotice notice) {
    if (g_bSetupModified == 0)
        return;
    g_bSetupModified = 0;
    const int result = StoreSerializedSetup(SerializeSetup());
    // Said once: a box every minute would bury the user, and the flag keeps it tried.
    if (result != 0 && !g_saveFailureSaid)
        SayNotSaved(result, notice);
}

int SaveSetupNow() {
    // A store that failed marks the setup modified, so the minute save or the exit save
    // tries again; otherwise an imported setup would be gone at the next start.
    const int result = StoreSerializedSetup(SerializeSetup());
    if (result != 0)
        SayNotSaved(result, SaveNotice::kBox);
    return result;
}

int ReadSetupFile(const std::string& path, std::vector<uint8_t>& bytes) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    if (st.st_size < 0 || st.st_size > kMaxSetupLength) {
        close(fd);
        return -2;
    }
    const auto length = static_cast<size_t>(st.st_size);
    // One byte of room beyond the length shows a file that grew meanwhile.
    bytes.assign(length + 1, 0);
    size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    if (got != length)
        return kSetupReadMismatch;
    bytes.resize(length);
    return 0;
}
