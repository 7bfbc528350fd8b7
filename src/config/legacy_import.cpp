#include "config/legacy_import.h"

#include <cerrno>
#include <memory>
#include <new>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/setup_document.h"
#include "config/setup_hooks.h"
#include "engine/host_list.h"
#include "platform/message_box.h"

namespace {

// The runtime's atoi: blanks, an optional sign and the leading digits (taken modulo
// 2^32, where atoi itself would be undefined); no digits give 0.
int32_t Atoi(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) {
        negative = s[i] == '-';
        ++i;
    }
    uint32_t n = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i)
        n = n * 10u + static_cast<uint32_t>(s[i] - '0');
    return static_cast<int32_t>(negative ? 0u - n : n);
}

void StoreField(LegacyHost& h, int field, std::string_view value) {
    const auto n = static_cast<uint32_t>(Atoi(value));
    switch (field) {
        case 2:
            h.interval = n == 0 ? 2000 : n;
            break;
        case 3:
            h.timeout = n == 0 ? 3000 : n;
            break;
        case 4:
            h.packetsize = n < 12 ? 12 : n;
            break;
        case 5:
            h.mail_group = static_cast<uint16_t>(n);
            break;
        case 6:
            h.mail_priority = static_cast<uint16_t>(n);
            break;
        case 7:
            h.advance = n == 0 ? 2 : n;
            break;
        case 8:
            h.name.assign(value);
            break;
        default:
            h.descript.assign(value);
            break;
    }
}

// Fields the record did not reach keep the values AddHost gave the new host.
void FillHost(CHostItem& host, const LegacyHost& legacy) {
    host.StoreAddr4(legacy.addr4);
    const int fields = legacy.fields;
    if (fields >= 2)
        host.interval.store(legacy.interval);
    if (fields >= 3)
        host.timeout.store(legacy.timeout);
    if (fields >= 4)
        host.packetsize.store(legacy.packetsize);
    if (fields >= 5)
        host.mail_group = legacy.mail_group;
    if (fields >= 6)
        host.mail_priority = legacy.mail_priority;
    if (fields >= 7)
        host.advance.store(legacy.advance);
    if (fields >= 8)
        host.name = legacy.name;
    if (fields >= 9)
        host.descript = legacy.descript;
}

void ShowLegacyError(const char* text) {
    ShowMessageBox(kAppTitle, text, MB_OK);
}

}  // namespace

std::vector<LegacyHost> ParseLegacyHostList(std::string_view data, size_t maxHosts) {
    const size_t nul = data.find('\0');
    if (nul != std::string_view::npos)
        data = data.substr(0, nul);
    std::vector<LegacyHost> hosts;
    size_t cursor = 0;
    while (cursor < data.size() && hosts.size() < maxHosts) {
        // Field 1: the first '=' from the cursor, whatever lies before it.
        const size_t eq = data.find('=', cursor);
        if (eq == std::string_view::npos)
            break;
        size_t end = data.find(";;", eq + 1);
        if (end == std::string_view::npos)
            break;
        const std::string address(data.substr(eq + 1, end - eq - 1));
        in_addr parsed{};
        if (inet_aton(address.c_str(), &parsed) == 0)
            break;
        LegacyHost host;
        host.addr4 = inet_addr(address.c_str());
        // inet_addr's answer for the all-ones address is its failure value, so that
        // address ends the list as well.
        if (host.addr4 == INADDR_NONE)
            break;
        host.fields = 1;
        size_t pos = end + 2;
        while (host.fields < 9) {
            end = data.find(";;", pos);
            if (end == std::string_view::npos)
                break;
            const std::string_view text = data.substr(pos, end - pos);
            const size_t fieldEq = text.find('=');
            if (fieldEq == std::string_view::npos)
                break;
            StoreField(host, ++host.fields, text.substr(fieldEq + 1));
            pos = end + 2;
        }
        // A record cut short still gives its host, and is the last one read.
        const bool complete = host.fields == 9;
        hosts.push_back(std::move(host));
        if (!complete)
            break;
        while (pos < data.size() && (data[pos] == '\r' || data[pos] == '\n'))
            ++pos;
        cursor = pos;
    }
    return hosts;
}

LegacyFileAccess::~LegacyFileAccess() {
    Close();
}

bool LegacyFileAccess::Open(const std::string& path) {
    Close();
    // Without blocking, so that a FIFO cannot hang the program; only regular files count.
    m_fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (m_fd < 0)
        return false;
    struct stat st {};
    if (fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        Close();
        return false;
    }
    return true;
}

int64_t LegacyFileAccess::SeekEnd() {
    return m_fd < 0 ? -1 : static_cast<int64_t>(lseek(m_fd, 0, SEEK_END));
}

bool LegacyFileAccess::SeekStart() {
    return m_fd >= 0 && lseek(m_fd, 0, SEEK_SET) == 0;
}

size_t LegacyFileAccess::Read(char* buffer, size_t count) {
    size_t got = 0;
    while (m_fd >= 0 && got < count) {
        const ssize_t n = read(m_fd, buffer + got, count - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    return got;
}

void LegacyFileAccess::Close() {
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
}

int ImportLegacyHostList(const std::string& path, LegacyFileAccess* access) {
    LegacyFileAccess fileSystem;
    LegacyFileAccess& file = access != nullptr ? *access : fileSystem;
    if (!file.Open(path)) {
        ShowLegacyError(kLegacyOpenError);
        return kLegacyOpenFailed;
    }
    const int64_t length = file.SeekEnd();
    if (length <= 0) {
        file.Close();
        ShowLegacyError(kLegacyLengthError);
        return kLegacyBadLength;
    }
    std::unique_ptr<char[]> buffer;
    if (length <= kMaxLegacyFileSize)
        buffer.reset(new (std::nothrow) char[static_cast<size_t>(length) + 2]);
    if (!buffer) {
        file.Close();
        ShowLegacyError(kLegacyAllocError);
        return kLegacyAllocFailed;
    }
    if (!file.SeekStart()) {
        file.Close();
        ShowLegacyError(kLegacyRewindError);
        return kLegacyRewindFailed;
    }
    const auto size = static_cast<size_t>(length);
    if (file.Read(buffer.get(), size) < size) {
        file.Close();
        ShowLegacyError(kLegacyReadError);
        return kLegacyShortRead;
    }
    file.Close();

    const size_t room = g_pHostList != nullptr ? static_cast<size_t>(GetFreeHostSlots(0)) : 0;
    const std::vector<LegacyHost> hosts = ParseLegacyHostList({buffer.get(), size}, room);
    buffer.reset();
    for (const LegacyHost& legacy : hosts) {
        CHostItem* host = AddHost(0);
        if (host == nullptr)
            break;
        FillHost(*host, legacy);
        PublishHost(host);
    }
    GetSetupHooks().RebuildHostList();
    SaveSetupNow();
    return 0;
}
