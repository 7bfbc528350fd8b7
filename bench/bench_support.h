#pragma once

// Small pieces the benchmarks share: number arguments, CPU times and the kernel's drop count
// of a raw socket. Header-only, since every benchmark is a program of its own.

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/time.h>

namespace bench {

// A decimal number that fits 32 bits, and nothing after it.
inline bool ParseNumber(const char* text, uint32_t* out) {
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value > 0xFFFFFFFFul)
        return false;
    *out = static_cast<uint32_t>(value);
    return true;
}

inline double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// Datagrams the kernel dropped on `socket` for want of buffer space, from /proc/net/raw
// (or raw6); -1 when the socket is not found there.
inline long long KernelDrops(int socket, const char* table) {
    struct stat info {};
    if (fstat(socket, &info) != 0)
        return -1;
    std::ifstream file(table);
    std::string line;
    std::getline(file, line);  // column titles
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::vector<std::string> columns;
        std::string column;
        while (fields >> column)
            columns.push_back(column);
        // ... uid timeout inode ref pointer drops
        if (columns.size() >= 6 &&
            std::strtoull(columns[columns.size() - 4].c_str(), nullptr, 10) == info.st_ino)
            return std::strtoll(columns.back().c_str(), nullptr, 10);
    }
    return -1;
}

}  // namespace bench
