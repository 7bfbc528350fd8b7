#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Text files in INI form, read and written with the semantics of the classic profile
// functions:
// - lines end in CR LF, LF or CR; the writer writes CR LF; a UTF-8 byte-order mark at the
//   start is skipped;
// - "[name]" starts a section; "key=value" is a key; blanks around the section name, the
//   key and the value do not count; lines starting with ';' and lines without '=' are
//   kept but never match a key;
// - section and key names compare without regard to ASCII case; the first matching
//   section and, in it, the first matching key win;
// - a value enclosed in a pair of equal quotes (' or ") is read without them;
// - a value is read whole, so what the program writes it reads back unchanged; a caller
//   that gives a buffer of n bytes gets at most n - 1 bytes, never ending inside a UTF-8
//   character.
// A file is read whole into memory and written whole, once, by an atomic commit.
// Plain values for one thread.

// The buffer size of a read that takes the value whole.
constexpr size_t kWholeValue = std::string::npos;
// Larger files, or files of more lines, are not read: the bounds keep a hostile file from
// exhausting memory. A reader of larger files (the setup's text) names its own size bound.
constexpr size_t kMaxIniFileSize = 64u * 1024u * 1024u;
constexpr size_t kMaxIniLines = 2000000;

class IniFile {
public:
    IniFile();
    ~IniFile();
    IniFile(IniFile&&) noexcept;
    IniFile& operator=(IniFile&&) noexcept;
    IniFile(const IniFile&) = delete;
    IniFile& operator=(const IniFile&) = delete;

    // Replaces the contents with the parsed `text`. False (contents empty) when the text
    // has more than kMaxIniLines lines.
    bool Parse(std::string_view text);
    // Reads the file at `path`. False (contents empty) when it is missing, not a regular
    // file, unreadable, larger than `maxSize` bytes or of more than kMaxIniLines lines
    // (`tooLarge`, when given, then tells the last two from the others); FIFOs and devices
    // never block.
    bool Load(const std::string& path, bool* tooLarge = nullptr, size_t maxSize = kMaxIniFileSize);
    // The whole text, every line ending in CR LF.
    std::string Serialize() const;
    // Replaces the file at `path` in one atomic commit (temporary file with `mode`,
    // fsync, rename). False on failure, leaving the file as it was.
    bool Save(const std::string& path, unsigned mode) const;

    // The value (trimmed, quotes removed), cut as a buffer of `bufferSize` bytes would cut
    // it; `def` (cut alike) when the section or key is missing.
    std::string GetString(std::string_view section, std::string_view key, std::string_view def,
                          size_t bufferSize = kWholeValue) const;
    // The whole value (trimmed, quotes removed, not cut), or nothing when missing.
    std::optional<std::string> Find(std::string_view section, std::string_view key) const;
    // The value as a decimal integer (optional sign, then digits, taken modulo 2^32; no
    // digits read as 0); `def` when the key is missing or its value empty.
    int32_t GetInt(std::string_view section, std::string_view key, int32_t def) const;
    bool HasSection(std::string_view section) const;

    // Sets the first matching key of the first matching section, else adds the key after
    // the section's last key, else adds the section at the end. The value is cut at a NUL
    // byte; CR and LF become blanks, so a value can never start a line of its own; a
    // value that reading would change (blanks at either end, enclosing quotes) is written
    // inside double quotes, which reading removes again; `protect` false writes such a
    // value bare, for values whose outer blanks are meant to be dropped on reading.
    void WriteString(std::string_view section, std::string_view key, std::string_view value,
                     bool protect = true);
    void WriteInt(std::string_view section, std::string_view key, int64_t value);

    size_t SectionCount() const { return m_sections.size(); }

private:
    struct Line;
    struct Section;

    const Section* FindSection(std::string_view section) const;
    Section* FindSection(std::string_view section);
    static long FindKey(const Section& section, std::string_view key);
    static void IndexKeys(Section& section);
    Section& AddSection(std::string_view name, std::string header);

    std::vector<std::unique_ptr<Section>> m_sections;
    std::unordered_map<std::string, size_t> m_sectionIndex;  // lower-case name -> first
};

// The value of a string with the profile functions' read rules applied (trimmed, one pair
// of enclosing quotes removed, cut to bufferSize - 1 bytes at a character boundary).
std::string ProfileValue(std::string_view raw, size_t bufferSize = kWholeValue);
// How WriteString stores `value` so that ProfileValue gives it back (see WriteString).
std::string ProfileEncode(std::string_view value, bool protect = true);
// The profile functions' integer reading of a value (see GetInt); `def` when empty.
int32_t ProfileInt(std::string_view value, int32_t def);

// The system profile: $XDG_CONFIG_HOME/velmora/win.ini (else under $HOME/.config); empty
// when no configuration directory is known.
std::string WinIniPath();
// Reads one value of the system profile (the whole file is read per call).
std::string GetProfileString(std::string_view section, std::string_view key, std::string_view def,
                             size_t bufferSize = kWholeValue);
int32_t GetProfileInt(std::string_view section, std::string_view key, int32_t def);
// Writes one value into the system profile by one atomic commit of the whole file,
// creating the directory (0700) and the file (0600) as needed. False on failure.
bool WriteProfileString(std::string_view section, std::string_view key, std::string_view value);
