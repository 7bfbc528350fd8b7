#include "config/registry_storage.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/registry_store.h"

namespace {

constexpr std::string_view kMaxLengthValue = "MaxLength";

// Room for "item" and eight hex digits.
constexpr size_t kChunkNameRoom = 12;

// Writes the name of chunk `index` ("item" and the index in lower-case hex) into `out`;
// returns it. A load looks up thousands of these.
std::string_view FormatChunkName(unsigned index, char (&out)[kChunkNameRoom]) {
    std::memcpy(out, "item", 4);
    int digits = 1;
    while (digits < 8 && (index >> (4 * digits)) != 0)
        ++digits;
    for (int i = digits - 1; i >= 0; --i) {
        out[4 + i] = "0123456789abcdef"[index & 0xF];
        index >>= 4;
    }
    return std::string_view(out, 4 + static_cast<size_t>(digits));
}

std::string ChunkName(int index) {
    char name[kChunkNameRoom];
    return std::string(FormatChunkName(static_cast<unsigned>(index), name));
}

// Finds values by name. The store keeps the values in the order they were written, so
// chunk i is nearly always the value after chunk i - 1: that one is tried first, and a
// map of all names is only built when a guess misses. Names in a store are unique.
class ValueFinder {
public:
    explicit ValueFinder(const RegistryValueViews& views) : m_views(views) {}

    const RegistryValueView* Find(std::string_view name) {
        if (m_next < m_views.size() && m_views[m_next].name == name)
            return &m_views[m_next++];
        if (m_byName.empty()) {
            m_byName.reserve(m_views.size());
            for (const RegistryValueView& view : m_views)
                m_byName.emplace(view.name, &view);
        }
        const auto it = m_byName.find(name);
        if (it == m_byName.end())
            return nullptr;
        m_next = static_cast<size_t>(it->second - m_views.data()) + 1;
        return it->second;
    }

private:
    const RegistryValueViews& m_views;
    size_t m_next = 0;
    std::unordered_map<std::string_view, const RegistryValueView*> m_byName;
};

}  // namespace

int SaveRegistryBlob(const uint8_t* buffer, int length) {
    if (length < 0 || (buffer == nullptr && length > 0))
        return 0;
    const RegistryKey key(kSetupStoreFile);
    // Start from what the key holds, so chunks of an older, longer document stay. A file
    // that exists but cannot be read is never replaced unseen.
    FileBytes oldBytes;
    RegistryValueViews oldValues;
    if (key.LoadViews(oldBytes, oldValues) == RegistryLoadStatus::kError)
        return 0;

    const int chunks = length / kRegistryChunkSize;
    // Views point into `names`; its room is reserved up front, so it never moves.
    std::vector<std::string> names;
    names.reserve(static_cast<size_t>(chunks) + 1);
    RegistryValueViews values;
    values.reserve(static_cast<size_t>(chunks) + 2 + oldValues.size());
    const auto* bytes = reinterpret_cast<const char*>(buffer);
    for (int i = 0; i <= chunks; ++i) {
        const int offset = i * kRegistryChunkSize;
        const int size = i < chunks ? kRegistryChunkSize : length - offset;
        names.push_back(ChunkName(i));
        values.push_back({names.back(), kRegBinary,
                          std::string_view(bytes + offset, static_cast<size_t>(size))});
    }
    const uint32_t total = static_cast<uint32_t>(length);
    const char le[4] = {static_cast<char>(total), static_cast<char>(total >> 8),
                        static_cast<char>(total >> 16), static_cast<char>(total >> 24)};
    values.push_back({kMaxLengthValue, kRegBinary, std::string_view(le, sizeof le)});

    std::unordered_set<std::string_view> written;
    written.reserve(values.size());
    for (const RegistryValueView& value : values)
        written.insert(value.name);
    for (const RegistryValueView& old : oldValues) {
        if (written.count(old.name) == 0)
            values.push_back(old);
    }
    return key.Commit(values) ? 1 : 0;
}

namespace {

// Reads the stored document: finds its chunks while their total stays within `room`, then
// copies them to where `place(total)` says. LoadRegistryBlob's results.
template <typename Place>
int LoadChunks(int room, std::string* setAsidePath, Place place) {
    FileBytes fileBytes;
    RegistryValueViews views;
    if (RegistryKey(kSetupStoreFile).LoadViews(fileBytes, views, setAsidePath) !=
        RegistryLoadStatus::kOk)
        return -1;
    bool haveMax = false;
    uint32_t max = 0;
    const auto maxValue =
        std::find_if(views.begin(), views.end(),
                     [](const RegistryValueView& view) { return view.name == kMaxLengthValue; });
    if (maxValue != views.end()) {
        const std::string_view data = maxValue->data;
        if (data.size() < 4)
            return -1;
        // A longer value cannot be read into 4 bytes and counts as missing.
        if (data.size() == 4) {
            const auto* p = reinterpret_cast<const uint8_t*>(data.data());
            max = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                  (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
            haveMax = true;
        }
    }
    ValueFinder finder(views);
    std::vector<std::string_view> chunks;
    int total = 0;
    for (unsigned i = 0;; ++i) {
        char name[kChunkNameRoom];
        const RegistryValueView* chunk = finder.Find(FormatChunkName(i, name));
        if (chunk == nullptr)
            return -1;
        const std::string_view data = chunk->data;
        if (data.size() > static_cast<size_t>(std::max(room, 0) - total))
            return -1;
        chunks.push_back(data);
        total += static_cast<int>(data.size());
        if (data.size() < static_cast<size_t>(kRegistryChunkSize))
            break;
    }
    if (!haveMax || max != static_cast<uint32_t>(total))
        return -2;
    uint8_t* out = place(total);
    for (const std::string_view data : chunks) {
        if (!data.empty())
            std::memcpy(out, data.data(), data.size());
        out += data.size();
    }
    return total;
}

}  // namespace

int LoadRegistryBlob(uint8_t* buffer, int capacity, std::string* setAsidePath) {
    return LoadChunks(capacity, setAsidePath, [buffer](int) { return buffer; });
}

int LoadRegistryBlob(std::vector<uint8_t>& out, int limit, std::string* setAsidePath) {
    return LoadChunks(limit, setAsidePath, [&out](int total) {
        out.resize(static_cast<size_t>(total));
        return out.data();
    });
}

int SetRunAtLogon(int mode) {
    if (!EnsureAutostartDirectory())
        return 1;
    const std::string program = ExecutablePath();
    if (program.empty())
        return 1;
    std::string exec = DesktopExecQuote(program);
    if (mode == 2)
        exec += " ICON";
    WriteAutostartEntry(kRunAtLogonName, kRunAtLogonTitle, kRunAtLogonIcon, exec);
    return 1;
}

int ClearRunAtLogon() {
    return RemoveAutostartEntry(kRunAtLogonName) ? 1 : 0;
}
