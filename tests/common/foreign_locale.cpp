#include "common/foreign_locale.h"

#include <clocale>
#include <cstdlib>
#include <memory>
#include <string>

#include "common/test_support.h"

namespace testsupport {

namespace {

constexpr const char* kLocaleName = "de_DE.UTF-8";

// The folder holding the built locale, or nullptr when localedef failed. Built on first
// use and removed when the process ends.
const TempDir* LocaleFolder() {
    static const std::unique_ptr<TempDir> folder = [] {
        auto dir = std::make_unique<TempDir>();
        const std::string command = std::string("localedef -i de_DE -f UTF-8 ") +
                                    dir->File(kLocaleName) + " >/dev/null 2>&1";
        if (RunShell(command) != 0)
            dir.reset();
        return dir;
    }();
    return folder.get();
}

}  // namespace

ScopedForeignLocale::ScopedForeignLocale() {
    const TempDir* folder = LocaleFolder();
    if (folder == nullptr)
        return;
    setenv("LOCPATH", folder->path().c_str(), 1);
    m_active = std::setlocale(LC_ALL, kLocaleName) != nullptr;
}

ScopedForeignLocale::~ScopedForeignLocale() {
    std::setlocale(LC_ALL, "C");
    unsetenv("LOCPATH");
}

}  // namespace testsupport
