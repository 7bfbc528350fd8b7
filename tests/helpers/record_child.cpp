// A child program for the program-launcher tests. It writes what it was started with to
// the file named by VELMORA_RECORD_FILE (or, when a directory is named by
// VELMORA_RECORD_DIR, to <dir>/<pid>.rec): its pid, its arguments, the descriptors it holds
// and its signal state. The file is written under a temporary name and renamed, so a reader
// never sees half of it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <unistd.h>

int main(int argc, char** argv) {
    std::string path;
    if (const char* file = std::getenv("VELMORA_RECORD_FILE"))
        path = file;
    else if (const char* dir = std::getenv("VELMORA_RECORD_DIR"))
        path = std::string(dir) + "/" + std::to_string(getpid()) + ".rec";
    else
        return 2;

    std::string out = "pid " + std::to_string(getpid()) + "\n";
    out += "argc " + std::to_string(argc) + "\n";
    // Arguments length-prefixed, so blanks, quotes and empty arguments show exactly.
    for (int i = 1; i < argc; ++i)
        out += "arg " + std::to_string(std::strlen(argv[i])) + " " + argv[i] + "\n";

    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr)
        return 3;
    const int own = dirfd(fds);
    while (dirent* entry = readdir(fds)) {
        if (entry->d_name[0] == '.')
            continue;
        const int fd = std::atoi(entry->d_name);
        if (fd != own)
            out += "fd " + std::to_string(fd) + "\n";
    }
    closedir(fds);

    if (FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, status)) {
            if (std::strncmp(line, "SigBlk:", 7) == 0 || std::strncmp(line, "SigIgn:", 7) == 0)
                out += line;
        }
        std::fclose(status);
    }

    const std::string temp = path + ".tmp";
    FILE* f = std::fopen(temp.c_str(), "w");
    if (f == nullptr)
        return 4;
    std::fwrite(out.data(), 1, out.size(), f);
    std::fclose(f);
    if (std::rename(temp.c_str(), path.c_str()) != 0)
        return 5;
    // Lingers when asked, so a test can see that the launcher does not wait for it.
    if (const char* hold = std::getenv("VELMORA_RECORD_HOLD_MS"))
        usleep(static_cast<useconds_t>(std::atoi(hold)) * 1000u);
    return 0;
}
