#pragma once

namespace testsupport {

// Puts the C library under a German locale (decimal comma, German day names) for its
// life and back to "C" afterwards, so a test can show that a text stays fixed whatever the
// user's locale. The locale is built once per process with localedef into a temporary
// folder that LOCPATH points to; active() is false when that cannot be done (the test
// should then skip).
class ScopedForeignLocale {
public:
    ScopedForeignLocale();
    ~ScopedForeignLocale();
    ScopedForeignLocale(const ScopedForeignLocale&) = delete;
    ScopedForeignLocale& operator=(const ScopedForeignLocale&) = delete;

    bool active() const { return m_active; }

private:
    bool m_active = false;
};

}  // namespace testsupport
