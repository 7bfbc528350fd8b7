// Times the text forms of a full setup (65,535 hosts with short names): exporting it as
// INI text, importing that text back into an empty table, and reading a legacy host list
// of as many records.
//
//   setup_text_io [directory] [rounds]
//
// The files are created in a fresh directory under `directory` (default: the current
// directory) and removed at the end.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <arpa/inet.h>

#include "config/legacy_import.h"
#include "config/setup_info.h"
#include "config/setup_ini.h"
#include "engine/host_list.h"
#include "platform/ini_file.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void FillTable() {
    for (int i = 0; i < kMaxHosts; ++i) {
        CHostItem* h = AddHost(0);
        if (h == nullptr)
            break;
        h->StoreAddr4(htonl(0x0A000000u + static_cast<uint32_t>(i)));
        h->name = "host" + std::to_string(i);
        h->descript = "rack 4\r\nrow 2";
        PublishHost(h);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::filesystem::path base = argc > 1 ? argv[1] : ".";
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const std::filesystem::path dir = base / ("setup_text_io." + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string ini = (dir / "setup.txt").string();

    CreateHostList(kMaxHosts);
    g_pSetupInfo = new CSetupInfo;
    FillTable();

    std::vector<double> save, load, legacy;
    for (int r = 0; r < rounds; ++r) {
        auto t0 = Clock::now();
        if (SaveSetupToIni(ini) != 0) {
            std::fprintf(stderr, "export failed\n");
            return 1;
        }
        save.push_back(Ms(t0, Clock::now()));
    }
    std::vector<CHostItem*> keep;
    for (int r = 0; r < rounds; ++r) {
        ClearHostList(0);
        auto t0 = Clock::now();
        LoadSetupFromIni(ini);
        load.push_back(Ms(t0, Clock::now()));
        if (g_pHostList->count.load() != kMaxHosts) {
            std::fprintf(stderr, "import read %d hosts\n", g_pHostList->count.load());
            return 1;
        }
    }
    std::string list;
    for (int i = 0; i < kMaxHosts; ++i)
        list += "IP=10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256) +
                ";;I=1000;;T=2000;;S=32;;G=0;;P=1;;F=2;;N=host" + std::to_string(i) + ";;D=;;\r\n";
    for (int r = 0; r < rounds; ++r) {
        auto t0 = Clock::now();
        const size_t n = ParseLegacyHostList(list, kMaxHosts).size();
        legacy.push_back(Ms(t0, Clock::now()));
        if (n != static_cast<size_t>(kMaxHosts))
            return 1;
    }
    const auto size = std::filesystem::file_size(ini);
    std::printf("INI text of %d hosts: %ju bytes\n", kMaxHosts, static_cast<uintmax_t>(size));
    std::printf("export (build, write, fsync, rename): median %.1f ms\n", Median(save));
    std::printf("import (read, parse, add hosts):     median %.1f ms\n", Median(load));
    std::printf("legacy list parse (%zu bytes):     median %.1f ms\n", list.size(), Median(legacy));
    std::filesystem::remove_all(dir);
    return 0;
}
