// Times saving and loading a full setup (65,535 hosts with short names) against the
// physical floor: writing and reading the same number of bytes as one plain file on the
// same disk.
//
//   setup_io [directory] [rounds]
//
// The store and the plain file are created in a fresh directory under `directory`
// (default: the current directory), removed at the end.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include "config/registry_storage.h"
#include "config/setup_document.h"
#include "config/setup_info.h"
#include "engine/host_list.h"
#include "platform/registry_store.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

bool WritePlain(const std::string& path, const uint8_t* data, size_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) {
            close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    const bool ok = fsync(fd) == 0;
    return close(fd) == 0 && ok;
}

bool ReadPlain(const std::string& path, std::vector<uint8_t>& out) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    size_t done = 0;
    for (;;) {
        const ssize_t n = read(fd, out.data() + done, out.size() - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    close(fd);
    return done > 0;
}

// Drops a file's pages from the page cache, so the next read comes from the disk.
void Evict(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    fdatasync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string base = argc > 1 ? argv[1] : ".";
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
    std::string pattern = base + "/setup_io.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = pattern;
    setenv("XDG_CONFIG_HOME", dir.c_str(), 1);

    g_pSetupInfo = new CSetupInfo;
    if (CreateHostList(kMaxHosts) != 0)
        return 1;
    for (int i = 0; i < kMaxHosts; ++i) {
        CHostItem* h = AddHost(0);
        h->StoreAddr4(htonl(0x0A000000u + static_cast<uint32_t>(i)));
        h->name = 'h';
        h->name += std::to_string(i);
        PublishHost(h);
    }

    std::vector<double> save, serialize, load, parse, floorWrite, floorRead;
    std::vector<double> coldLoad, coldRead, storeRead, coldStoreRead, clear;
    std::vector<uint8_t> plain(kMaxSetupLength);
    const std::string plainPath = dir + "/plain.bin";
    size_t bytes = 0;
    for (int r = 0; r < rounds; ++r) {
        auto t0 = Clock::now();
        const int n = SerializeSetup();
        auto t1 = Clock::now();
        if (n <= 0 || SaveRegistryBlob(g_setupBuffer.data(), n) != 1) {
            std::fprintf(stderr, "save failed\n");
            return 1;
        }
        auto t2 = Clock::now();
        serialize.push_back(Ms(t0, t1));
        save.push_back(Ms(t0, t2));
        bytes = static_cast<size_t>(n);

        // The part of replacing a full table that is destroying its records.
        t0 = Clock::now();
        ClearHostList(0);
        clear.push_back(Ms(t0, Clock::now()));

        t0 = Clock::now();
        g_setupLength = LoadRegistryBlob(g_setupBuffer, kMaxSetupLength);
        t1 = Clock::now();
        if (g_setupLength != n || LoadSetupFromBuffer() != 0 || g_rowCount != kMaxHosts) {
            std::fprintf(stderr, "load failed\n");
            return 1;
        }
        t2 = Clock::now();
        storeRead.push_back(Ms(t0, t1));
        parse.push_back(Ms(t1, t2));
        load.push_back(Ms(t0, t2));

        t0 = Clock::now();
        if (!WritePlain(plainPath, g_setupBuffer.data(), bytes))
            return 1;
        t1 = Clock::now();
        if (!ReadPlain(plainPath, plain))
            return 1;
        t2 = Clock::now();
        floorWrite.push_back(Ms(t0, t1));
        floorRead.push_back(Ms(t1, t2));

        // The same two reads with the files' pages dropped from the cache first.
        Evict(RegistryKey(kSetupStoreFile).Path());
        Evict(plainPath);
        ClearHostList(0);
        t0 = Clock::now();
        g_setupLength = LoadRegistryBlob(g_setupBuffer, kMaxSetupLength);
        const auto tRead = Clock::now();
        if (g_setupLength != n || LoadSetupFromBuffer() != 0)
            return 1;
        t1 = Clock::now();
        if (!ReadPlain(plainPath, plain))
            return 1;
        t2 = Clock::now();
        coldStoreRead.push_back(Ms(t0, tRead));
        coldLoad.push_back(Ms(t0, t1));
        coldRead.push_back(Ms(t1, t2));
    }

    const double s = Median(save), l = Median(load);
    const double fw = Median(floorWrite), fr = Median(floorRead);
    const double cl = Median(coldLoad), cr = Median(coldRead), cs = Median(coldStoreRead);
    std::printf("setup_io: %d hosts, document %zu bytes, median of %d rounds, in %s\n", kMaxHosts,
                bytes, rounds, base.c_str());
    std::printf("  save:  serialize+store    %7.2f ms (serialize %.2f)\n", s, Median(serialize));
    std::printf("         plain write+fsync  %7.2f ms   ratio %.2f\n", fw, s / fw);
    std::printf("  load from the disk (page cache dropped), into an empty table as at start-up:\n");
    std::printf("         store read+parse   %7.2f ms (store read %.2f)\n", cl, cs);
    std::printf("         plain read         %7.2f ms   ratio %.2f (store read alone %.2f)\n", cr,
                cl / cr, cs / cr);
    std::printf("  load from the page cache, into an empty table:\n");
    std::printf("         store read+parse   %7.2f ms (store read %.2f, parse %.2f)\n", l,
                Median(storeRead), Median(parse));
    std::printf("         plain read         %7.2f ms   ratio %.2f\n", fr, l / fr);
    std::printf("  replacing a full table also spends %.2f ms destroying its records\n",
                Median(clear));

    DestroyHostList();
    delete g_pSetupInfo;
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return 0;
}
