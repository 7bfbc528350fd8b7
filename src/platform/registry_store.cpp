#include "platform/registry_store.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <unordered_set>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

// File layout (all numbers little-endian):
//   0  8  magic "VLMRHIVE"
//   8  4  format version (1)
//  12  4  number of values
//  16  8  length of the whole file
//  24 ..  values: name length (4), name, type (4), data length (4), data
// end-4 4  CRC-32C of every byte before it
constexpr char kMagic[8] = {'V', 'L', 'M', 'R', 'H', 'I', 'V', 'E'};
constexpr uint32_t kFormatVersion = 1;
constexpr size_t kHeaderSize = 24;
constexpr size_t kTrailerSize = 4;
constexpr uint32_t kMaxNameLength = 16383;

using CrcTable = std::array<std::array<uint32_t, 256>, 8>;

// CRC-32C (Castagnoli): the processor computes it directly where it can.
constexpr uint32_t kCrcPolynomial = 0x82F63B78u;

constexpr CrcTable MakeCrcTable() {
    CrcTable t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? kCrcPolynomial ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
        for (int s = 1; s < 8; ++s)
            t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    return t;
}

constexpr CrcTable kCrc = MakeCrcTable();

// Eight bytes per step through the tables.
uint32_t Crc32cTables(uint32_t c, const uint8_t* p, size_t n) {
    while (n >= 8) {
        const uint32_t a =
            c ^ (p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24));
        const uint32_t b = p[4] | (p[5] << 8) | (p[6] << 16) | (static_cast<uint32_t>(p[7]) << 24);
        c = kCrc[7][a & 0xFF] ^ kCrc[6][(a >> 8) & 0xFF] ^ kCrc[5][(a >> 16) & 0xFF] ^
            kCrc[4][a >> 24] ^ kCrc[3][b & 0xFF] ^ kCrc[2][(b >> 8) & 0xFF] ^
            kCrc[1][(b >> 16) & 0xFF] ^ kCrc[0][b >> 24];
        p += 8;
        n -= 8;
    }
    while (n-- > 0)
        c = kCrc[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
    return c;
}

#if defined(__x86_64__)
// The instruction's latency is three times its issue rate, so long inputs run as three
// lanes of kCrcLane bytes, each its own chain, joined after every round.
constexpr size_t kCrcLane = 4096;

// The product of two remainders modulo the polynomial, bits reflected as the CRC keeps
// them (the top bit is x^0).
uint32_t CrcMultiply(uint32_t a, uint32_t b) {
    uint32_t product = 0;
    for (uint32_t bit = 1u << 31; bit != 0; bit >>= 1) {
        if ((a & bit) != 0)
            product ^= b;
        b = (b & 1) != 0 ? (b >> 1) ^ kCrcPolynomial : b >> 1;
    }
    return product;
}

// x^(8 * bytes) modulo the polynomial: what a CRC register is multiplied by when `bytes`
// more bytes pass through it.
constexpr uint32_t CrcShiftFactor(size_t bytes) {
    uint32_t v = 1u << 31;
    for (size_t i = 0; i < 8 * bytes; ++i)
        v = (v & 1) != 0 ? (v >> 1) ^ kCrcPolynomial : v >> 1;
    return v;
}

constexpr uint32_t kCrcLaneShift = CrcShiftFactor(kCrcLane);

__attribute__((target("sse4.2"))) uint32_t Crc32cHardware(uint32_t c, const uint8_t* p, size_t n) {
    // The register is linear: running lane b from c equals c carried over b's length,
    // plus lane b run from zero.
    while (n >= 3 * kCrcLane) {
        uint64_t a = c;
        uint64_t b = 0;
        uint64_t d = 0;
        for (size_t i = 0; i < kCrcLane; i += 8) {
            uint64_t wa;
            uint64_t wb;
            uint64_t wd;
            std::memcpy(&wa, p + i, 8);
            std::memcpy(&wb, p + kCrcLane + i, 8);
            std::memcpy(&wd, p + 2 * kCrcLane + i, 8);
            a = __builtin_ia32_crc32di(a, wa);
            b = __builtin_ia32_crc32di(b, wb);
            d = __builtin_ia32_crc32di(d, wd);
        }
        const uint32_t ab =
            CrcMultiply(static_cast<uint32_t>(a), kCrcLaneShift) ^ static_cast<uint32_t>(b);
        c = CrcMultiply(ab, kCrcLaneShift) ^ static_cast<uint32_t>(d);
        p += 3 * kCrcLane;
        n -= 3 * kCrcLane;
    }
    uint64_t c64 = c;
    while (n >= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        c64 = __builtin_ia32_crc32di(c64, word);
        p += 8;
        n -= 8;
    }
    c = static_cast<uint32_t>(c64);
    while (n-- > 0)
        c = __builtin_ia32_crc32qi(c, *p++);
    return c;
}
#endif

// The names of a file's values seen so far, to refuse a name given twice. A setup file
// holds thousands of values, so the set is one flat table sized up front.
class NameSet {
public:
    explicit NameSet(size_t count) {
        size_t room = 16;
        while (room < count * 2)
            room *= 2;
        m_slots.resize(room);
        m_mask = room - 1;
    }

    // False when `name` was inserted before. Names are views into the file's bytes, so an
    // occupied slot never has a null pointer.
    bool Insert(std::string_view name) {
        size_t i = Hash(name) & m_mask;
        while (m_slots[i].data() != nullptr) {
            if (m_slots[i] == name)
                return false;
            i = (i + 1) & m_mask;
        }
        m_slots[i] = name;
        return true;
    }

private:
    static size_t Hash(std::string_view name) {
        uint64_t h = 0xCBF29CE484222325u;
        for (const char c : name)
            h = (h ^ static_cast<uint8_t>(c)) * 0x100000001B3u;
        return static_cast<size_t>(h ^ (h >> 29));
    }

    std::vector<std::string_view> m_slots;
    size_t m_mask = 0;
};

void PutU32(std::string& out, uint32_t v) {
    const char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
    out.append(b, 4);
}

void PutU64(std::string& out, uint64_t v) {
    PutU32(out, static_cast<uint32_t>(v));
    PutU32(out, static_cast<uint32_t>(v >> 32));
}

uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t GetU64(const uint8_t* p) {
    return static_cast<uint64_t>(GetU32(p)) | (static_cast<uint64_t>(GetU32(p + 4)) << 32);
}

std::string ConfigHome() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/')
        return xdg;
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return std::string(home) + "/.config";
    return {};
}

// Creates `path` and its missing parents; new directories get `mode`.
bool MakeDirectories(const std::string& path, mode_t mode) {
    if (path.empty())
        return false;
    struct stat st {};
    if (stat(path.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    const size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirectories(path.substr(0, slash), mode))
        return false;
    if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST)
        return false;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool SyncDirectory(const std::string& dir) {
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

// A commit that was killed leaves its temporary file behind; remove those whose writer
// no longer runs, so they cannot pile up.
void RemoveStaleTemporaries(const std::string& path) {
    const std::string dir = DirectoryOf(path);
    const std::string base = path.substr(path.find_last_of('/') + 1) + ".tmp.";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.compare(0, base.size(), base) != 0)
            continue;
        const long pid = std::strtol(name.c_str() + base.size(), nullptr, 10);
        if (pid <= 0 || (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH))
            unlink((dir + "/" + name).c_str());
    }
    closedir(d);
}

std::atomic<unsigned> g_tempCounter{0};

// Renames a file that does not parse to a name that no other file has, so nothing is
// ever overwritten. Returns the new name, or empty on failure.
std::string SetAside(const std::string& path) {
    char stamp[32];
    const time_t now = time(nullptr);
    tm utc{};
    gmtime_r(&now, &utc);
    strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    for (int n = 0; n < 1000; ++n) {
        std::string target = path + ".corrupt-" + stamp;
        if (n > 0) {
            target += '-';
            target += std::to_string(n);
        }
        if (link(path.c_str(), target.c_str()) == 0) {
            unlink(path.c_str());
            SyncDirectory(DirectoryOf(path));
            return target;
        }
        if (errno == EEXIST)
            continue;
        // File systems without hard links: rename, having checked the name is free.
        struct stat st {};
        if (lstat(target.c_str(), &st) == 0)
            continue;
        if (errno != ENOENT || rename(path.c_str(), target.c_str()) != 0)
            return {};
        SyncDirectory(DirectoryOf(path));
        return target;
    }
    return {};
}

}  // namespace

namespace {

// Running CRC-32C: start with 0xFFFFFFFF, feed the pieces in order, invert at the end.
uint32_t Crc32cUpdate(uint32_t state, const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
#if defined(__x86_64__)
    static const bool hardware = __builtin_cpu_supports("sse4.2");
    if (hardware)
        return Crc32cHardware(state, p, size);
#endif
    return Crc32cTables(state, p, size);
}

// A store file as the pieces it is written from: `meta` holds the header, the per-value
// headers and the trailer; `pieces` point into it and into the values' own data, so a
// setup of megabytes is written without being copied into one buffer first.
struct EncodedFile {
    std::string meta;
    std::vector<std::string_view> pieces;
};

void EncodePieces(const RegistryValueViews& values, EncodedFile& out) {
    size_t metaSize = kHeaderSize + kTrailerSize;
    size_t fileSize = kHeaderSize + kTrailerSize;
    for (const RegistryValueView& value : values) {
        metaSize += 12 + value.name.size();
        fileSize += 12 + value.name.size() + value.data.size();
    }
    std::string& meta = out.meta;
    meta.clear();
    meta.reserve(metaSize);
    meta.append(kMagic, sizeof kMagic);
    PutU32(meta, kFormatVersion);
    PutU32(meta, static_cast<uint32_t>(values.size()));
    PutU64(meta, fileSize);
    // Where each value's header ends in `meta`; the data follows it in the file.
    std::vector<size_t> ends;
    ends.reserve(values.size());
    for (const RegistryValueView& value : values) {
        PutU32(meta, static_cast<uint32_t>(value.name.size()));
        meta.append(value.name);
        PutU32(meta, value.type);
        PutU32(meta, static_cast<uint32_t>(value.data.size()));
        ends.push_back(meta.size());
    }
    const size_t trailerAt = meta.size();
    out.pieces.clear();
    out.pieces.reserve(2 * values.size() + 2);
    const std::string_view all(meta);
    size_t from = 0;
    for (size_t i = 0; i < values.size(); ++i) {
        out.pieces.push_back(all.substr(from, ends[i] - from));
        out.pieces.push_back(values[i].data);
        from = ends[i];
    }
    out.pieces.push_back(all.substr(from, trailerAt - from));
    uint32_t crc = 0xFFFFFFFFu;
    for (std::string_view piece : out.pieces)
        crc = Crc32cUpdate(crc, piece.data(), piece.size());
    PutU32(meta, crc ^ 0xFFFFFFFFu);  // within the reserved room: `all` stays valid
    out.pieces.push_back(std::string_view(meta).substr(trailerAt));
}

bool WritePieces(int fd, const std::vector<std::string_view>& pieces) {
    constexpr size_t kBatch = 512;
    iovec iov[kBatch];
    size_t next = 0;
    size_t skip = 0;  // bytes of pieces[next] already written
    while (next < pieces.size()) {
        size_t n = 0;
        for (size_t i = next; i < pieces.size() && n < kBatch; ++i) {
            const size_t offset = i == next ? skip : 0;
            iov[n].iov_base = const_cast<char*>(pieces[i].data() + offset);
            iov[n].iov_len = pieces[i].size() - offset;
            ++n;
        }
        const ssize_t written = writev(fd, iov, static_cast<int>(n));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        size_t left = static_cast<size_t>(written);
        while (next < pieces.size() && left >= pieces[next].size() - skip) {
            left -= pieces[next].size() - skip;
            skip = 0;
            ++next;
        }
        skip += left;
    }
    return true;
}

bool AtomicWritePieces(const std::string& path, const std::vector<std::string_view>& pieces,
                       unsigned mode) {
    const std::string temp = path + ".tmp." + std::to_string(getpid()) + "." +
                             std::to_string(g_tempCounter.fetch_add(1));
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    bool ok = fchmod(fd, mode) == 0 && WritePieces(fd, pieces) && fsync(fd) == 0;
    if (close(fd) != 0)
        ok = false;
    if (ok && rename(temp.c_str(), path.c_str()) != 0)
        ok = false;
    if (!ok) {
        unlink(temp.c_str());
        return false;
    }
    // The rename is durable only once the directory is; the file itself already is.
    return SyncDirectory(DirectoryOf(path));
}

}  // namespace

uint32_t Crc32cPortable(const void* data, size_t size) {
    return Crc32cTables(0xFFFFFFFFu, static_cast<const uint8_t*>(data), size) ^ 0xFFFFFFFFu;
}

uint32_t Crc32c(const void* data, size_t size) {
#if defined(__x86_64__)
    static const bool hardware = __builtin_cpu_supports("sse4.2");
    if (hardware)
        return Crc32cHardware(0xFFFFFFFFu, static_cast<const uint8_t*>(data), size) ^ 0xFFFFFFFFu;
#endif
    return Crc32cPortable(data, size);
}

std::string RegistryDirectory() {
    const std::string home = ConfigHome();
    return home.empty() ? std::string() : home + "/velmora";
}

std::string RegistryKey::Path() const {
    const std::string dir = RegistryDirectory();
    return dir.empty() ? std::string() : dir + "/" + m_fileName;
}

std::string EncodeRegistryFile(const RegistryValueViews& values) {
    EncodedFile encoded;
    EncodePieces(values, encoded);
    std::string out;
    for (std::string_view piece : encoded.pieces)
        out.append(piece);
    return out;
}

std::string EncodeRegistryFile(const RegistryValues& values) {
    RegistryValueViews views;
    views.reserve(values.size());
    for (const auto& [name, value] : values)
        views.push_back({name, value.type, value.data});
    return EncodeRegistryFile(views);
}

bool DecodeRegistryFile(std::string_view bytes, RegistryValueViews& values) {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    const size_t size = bytes.size();
    if (size < kHeaderSize + kTrailerSize || std::memcmp(p, kMagic, sizeof kMagic) != 0)
        return false;
    if (GetU32(p + 8) != kFormatVersion || GetU64(p + 16) != size)
        return false;
    if (Crc32c(p, size - kTrailerSize) != GetU32(p + size - kTrailerSize))
        return false;
    const uint32_t count = GetU32(p + 12);
    const size_t end = size - kTrailerSize;
    // Each value takes at least 12 bytes: bound the count before making room for it.
    if (count > (end - kHeaderSize) / 12)
        return false;
    size_t pos = kHeaderSize;
    RegistryValueViews parsed;
    parsed.reserve(count);
    NameSet names(count);
    for (uint32_t i = 0; i < count; ++i) {
        if (end - pos < 4)
            return false;
        const uint32_t nameLength = GetU32(p + pos);
        pos += 4;
        if (nameLength > kMaxNameLength || end - pos < nameLength + 8u)
            return false;
        RegistryValueView value;
        value.name = bytes.substr(pos, nameLength);
        pos += nameLength;
        value.type = GetU32(p + pos);
        const uint32_t dataLength = GetU32(p + pos + 4);
        pos += 8;
        if (end - pos < dataLength)
            return false;
        value.data = bytes.substr(pos, dataLength);
        pos += dataLength;
        if (!names.Insert(value.name))
            return false;
        parsed.push_back(value);
    }
    if (pos != end)
        return false;
    values = std::move(parsed);
    return true;
}

bool DecodeRegistryFile(std::string_view bytes, RegistryValues& values) {
    RegistryValueViews views;
    if (!DecodeRegistryFile(bytes, views))
        return false;
    values.clear();
    for (const RegistryValueView& view : views)
        values[std::string(view.name)] = {view.type, std::string(view.data)};
    return true;
}

bool ReadWholeFile(const std::string& path, FileBytes& bytes) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    size_t room = 65536;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        room = static_cast<size_t>(st.st_size) + 1;
    // Read until end of file whatever the size said, so a file that changes under us is
    // read as it is, never as stale or missing bytes.
    std::unique_ptr<char[]> data(new char[room]);
    size_t used = 0;
    bool ok = true;
    for (;;) {
        if (used == room) {
            std::unique_ptr<char[]> bigger(new char[room * 2]);
            std::memcpy(bigger.get(), data.get(), used);
            data = std::move(bigger);
            room *= 2;
        }
        const ssize_t n = read(fd, data.get() + used, room - used);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ok = false;
            break;
        }
        if (n == 0)
            break;
        used += static_cast<size_t>(n);
    }
    const int savedErrno = errno;
    close(fd);
    errno = savedErrno;
    if (ok) {
        bytes.data = std::move(data);
        bytes.size = used;
    }
    return ok;
}

RegistryLoadStatus RegistryKey::LoadViews(FileBytes& bytes, RegistryValueViews& values,
                                          std::string* setAsidePath) const {
    values.clear();
    bytes = FileBytes();
    const std::string path = Path();
    if (path.empty())
        return RegistryLoadStatus::kMissing;
    if (!ReadWholeFile(path, bytes))
        return errno == ENOENT ? RegistryLoadStatus::kMissing : RegistryLoadStatus::kError;
    if (DecodeRegistryFile(bytes.view(), values))
        return RegistryLoadStatus::kOk;
    values.clear();
    bytes = FileBytes();
    const std::string aside = SetAside(path);
    if (aside.empty())
        return RegistryLoadStatus::kError;
    if (setAsidePath != nullptr)
        *setAsidePath = aside;
    return RegistryLoadStatus::kSetAside;
}

RegistryLoadStatus RegistryKey::Load(RegistryValues& values, std::string* setAsidePath) const {
    values.clear();
    FileBytes bytes;
    RegistryValueViews views;
    const RegistryLoadStatus status = LoadViews(bytes, views, setAsidePath);
    for (const RegistryValueView& view : views)
        values[std::string(view.name)] = {view.type, std::string(view.data)};
    return status;
}

bool AtomicWriteFile(const std::string& path, const std::string& bytes, unsigned mode) {
    return AtomicWriteFile(path, bytes.data(), bytes.size(), mode);
}

bool AtomicWriteFile(const std::string& path, const void* data, size_t size, unsigned mode) {
    return AtomicWritePieces(path, {std::string_view(static_cast<const char*>(data), size)}, mode);
}

bool RegistryKey::Commit(const RegistryValueViews& values) const {
    const std::string dir = RegistryDirectory();
    if (dir.empty() || !MakeDirectories(dir, 0700))
        return false;
    struct stat st {};
    if (stat(dir.c_str(), &st) == 0 && (st.st_mode & 077) != 0 && st.st_uid == geteuid())
        chmod(dir.c_str(), 0700);
    // Never write what the reader would refuse: the key would then read as broken.
    std::unordered_set<std::string_view> names;
    names.reserve(values.size());
    for (const RegistryValueView& value : values) {
        if (value.name.size() > kMaxNameLength || value.data.size() > 0xFFFFFFFFu ||
            !names.insert(value.name).second)
            return false;
    }
    const std::string path = Path();
    RemoveStaleTemporaries(path);
    EncodedFile encoded;
    EncodePieces(values, encoded);
    return AtomicWritePieces(path, encoded.pieces, 0600);
}

bool RegistryKey::Commit(const RegistryValues& values) const {
    RegistryValueViews views;
    views.reserve(values.size());
    for (const auto& [name, value] : values)
        views.push_back({name, value.type, value.data});
    return Commit(views);
}

bool RegistryKey::Remove() const {
    const std::string path = Path();
    return !path.empty() && unlink(path.c_str()) == 0;
}

std::string RegistryKey::MoveAside() const {
    const std::string path = Path();
    struct stat st {};
    if (path.empty() || lstat(path.c_str(), &st) != 0)
        return {};
    return SetAside(path);
}

std::string AutostartDirectory() {
    const std::string home = ConfigHome();
    return home.empty() ? std::string() : home + "/autostart";
}

bool EnsureAutostartDirectory() {
    const std::string home = ConfigHome();
    if (home.empty() || !MakeDirectories(home, 0700))
        return false;
    return MakeDirectories(AutostartDirectory(), 0755);
}

std::string DesktopExecQuote(const std::string& argument) {
    std::string quoted = "\"";
    for (char c : argument) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        if (c == '%')
            quoted += '%';
        quoted += c;
    }
    quoted += '"';
    // The Exec value is itself a string value of the file format.
    std::string escaped;
    for (char c : quoted) {
        switch (c) {
            case '\\':
                escaped += "\\\\";
                break;
            case '\n':
                escaped += "\\n";
                break;
            case '\t':
                escaped += "\\t";
                break;
            case '\r':
                escaped += "\\r";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

bool WriteAutostartEntry(const std::string& name, const std::string& title, const std::string& icon,
                         const std::string& execLine) {
    if (!EnsureAutostartDirectory())
        return false;
    const std::string text = "[Desktop Entry]\nType=Application\nName=" + title + "\nIcon=" + icon +
                             "\nExec=" + execLine +
                             "\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
    return AtomicWriteFile(AutostartDirectory() + "/" + name + ".desktop", text, 0644);
}

bool RemoveAutostartEntry(const std::string& name) {
    const std::string dir = AutostartDirectory();
    if (dir.empty())
        return false;
    if (unlink((dir + "/" + name + ".desktop").c_str()) != 0)
        return false;
    SyncDirectory(dir);
    return true;
}

std::string ExecutablePath() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return {};
    std::string text(path, static_cast<size_t>(n));
    // A program file replaced while it runs (a rebuild) reads as "<path> (deleted)"; the
    // program to start next time is the one now at <path>.
    static constexpr std::string_view kDeleted = " (deleted)";
    if (text.size() > kDeleted.size() &&
        text.compare(text.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0 &&
        access(text.c_str(), F_OK) != 0)
        text.resize(text.size() - kDeleted.size());
    return text;
}
