#include "config/registry_storage.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/registry_store.h"

namespace {

constexpr const char* kMaxLengthValue = "MaxLength";

std::string ChunkName(int index) {
    char name[16];
    std::snprintf(name, sizeof name, "item%x", static_cast<unsigned>(index));
    return name;
}

}  // namespace

int SaveRegistryBlob(const uint8_t* buffer, int length) {
    if (length < 0 || (buffer == nullptr && length > 0))
        return 0;
    const RegistryKey key(kSetupStoreFile);
    RegistryValues values;
    // Start from what the key holds, so chunks of an older, longer document stay. A file
    // that exists but cannot be read is never replaced unseen.
    if (key.Load(values) == RegistryLoadStatus::kError)
        return 0;
    const int chunks = length / kRegistryChunkSize;
    for (int i = 0; i <= chunks; ++i) {
        const int offset = i * kRegistryChunkSize;
        const int size = i < chunks ? kRegistryChunkSize : length - offset;
        RegistryValue& value = values[ChunkName(i)];
        value.type = kRegBinary;
        value.data.assign(reinterpret_cast<const char*>(buffer) + offset,
                          static_cast<size_t>(size));
    }
    const uint32_t total = static_cast<uint32_t>(length);
    const char le[4] = {static_cast<char>(total), static_cast<char>(total >> 8),
                        static_cast<char>(total >> 16), static_cast<char>(total >> 24)};
    RegistryValue& maxLength = values[kMaxLengthValue];
    maxLength.type = kRegBinary;
    maxLength.data.assign(le, sizeof le);
    return key.Commit(values) ? 1 : 0;
}

int LoadRegistryBlob(uint8_t* buffer, int capacity) {
    if (capacity < 0)
        capacity = 0;
    RegistryValues values;
    if (RegistryKey(kSetupStoreFile).Load(values) != RegistryLoadStatus::kOk)
        return -1;
    bool haveMax = false;
    uint32_t max = 0;
    if (auto it = values.find(kMaxLengthValue); it != values.end()) {
        const std::string& data = it->second.data;
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
    int total = 0;
    for (int i = 0;; ++i) {
        auto it = values.find(ChunkName(i));
        if (it == values.end())
            return -1;
        const std::string& data = it->second.data;
        if (data.size() > static_cast<size_t>(capacity - total))
            return -1;
        if (!data.empty())
            std::memcpy(buffer + total, data.data(), data.size());
        total += static_cast<int>(data.size());
        if (data.size() < static_cast<size_t>(kRegistryChunkSize))
            return haveMax && max == static_cast<uint32_t>(total) ? total : -2;
    }
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
    WriteAutostartEntry(kRunAtLogonName, exec);
    return 1;
}

int ClearRunAtLogon() {
    return RemoveAutostartEntry(kRunAtLogonName) ? 1 : 0;
}
