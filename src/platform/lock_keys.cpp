#include "platform/lock_keys.h"

#include <cstdio>
#include <cstring>

#include <dirent.h>

namespace {

// True when the light's brightness file holds a number above 0.
bool LightIsOn(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "re");
    if (file == nullptr)
        return false;
    int brightness = 0;
    const bool read = std::fscanf(file, "%d", &brightness) == 1;
    std::fclose(file);
    return read && brightness > 0;
}

bool EndsWith(const char* name, const char* suffix) {
    const size_t n = std::strlen(name), s = std::strlen(suffix);
    return n >= s && std::strcmp(name + n - s, suffix) == 0;
}

}  // namespace

LockKeyState ReadLockKeys(const std::string& ledDirectory) {
    LockKeyState state;
    DIR* dir = opendir(ledDirectory.c_str());
    if (dir == nullptr)
        return state;
    while (const dirent* entry = readdir(dir)) {
        bool* lock = nullptr;
        if (EndsWith(entry->d_name, "::capslock"))
            lock = &state.caps;
        else if (EndsWith(entry->d_name, "::numlock"))
            lock = &state.num;
        else if (EndsWith(entry->d_name, "::scrolllock"))
            lock = &state.scroll;
        if (lock != nullptr && !*lock)
            *lock = LightIsOn(ledDirectory + "/" + entry->d_name + "/brightness");
    }
    closedir(dir);
    return state;
}
