#include "platform/ini_file.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/registry_store.h"

namespace {

// Sections with more keys than this get a hash index; smaller ones are scanned.
constexpr size_t kIndexedSectionSize = 32;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\x1a';
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string LowerCopy(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = Lower(c);
    return out;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    }
    return true;
}

std::string_view Trim(std::string_view s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && IsBlank(s[b]))
        ++b;
    while (e > b && IsBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

// The longest prefix of `s` of at most `limit` bytes that does not end inside a UTF-8
// character.
size_t CutLength(std::string_view s, size_t limit) {
    if (s.size() <= limit)
        return s.size();
    size_t n = limit;
    if ((static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) {
        size_t k = n;
        while (k > 0 && n - k < 4 && (static_cast<unsigned char>(s[k]) & 0xC0) == 0x80)
            --k;
        if ((static_cast<unsigned char>(s[k]) & 0xC0) == 0xC0)
            n = k;
    }
    return n;
}

}  // namespace

// One line of the file as read or written. Key lines keep where their key and value lie
// in the text, so untouched lines are written back byte for byte.
struct IniFile::Line {
    std::string text;
    uint32_t keyBegin = 0;
    uint32_t keyLength = 0;
    uint32_t valueBegin = 0;
    uint32_t valueLength = 0;
    bool isKey = false;

    std::string_view Key() const { return std::string_view(text).substr(keyBegin, keyLength); }
    std::string_view Value() const {
        return std::string_view(text).substr(valueBegin, valueLength);
    }
};

struct IniFile::Section {
    std::string name;
    bool hasHeader = false;
    std::string header;
    std::vector<Line> lines;
    // Lower-case key -> first line with it; only for large sections.
    std::unique_ptr<std::unordered_map<std::string, uint32_t>> keyIndex;
};

IniFile::IniFile() = default;
IniFile::~IniFile() = default;
IniFile::IniFile(IniFile&&) noexcept = default;
IniFile& IniFile::operator=(IniFile&&) noexcept = default;

bool IniFile::Parse(std::string_view text) {
    m_sections.clear();
    m_sectionIndex.clear();
    if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    size_t lines = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')))
            ++lines;
    }
    if (lines > kMaxIniLines)
        text = {};
    // Lines before the first section header belong to a nameless section that no lookup
    // finds; it exists only so that they are written back.
    auto current = std::make_unique<Section>();
    Section* section = current.get();
    m_sections.push_back(std::move(current));

    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = pos;
        while (end < text.size() && text[end] != '\r' && text[end] != '\n')
            ++end;
        std::string_view line = text.substr(pos, end - pos);
        pos = end;
        if (pos < text.size()) {
            if (text[pos] == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n')
                pos += 2;
            else
                pos += 1;
        }
        // The profile functions see C strings: nothing after a NUL byte counts.
        const size_t nul = line.find('\0');
        if (nul != std::string_view::npos)
            line = line.substr(0, nul);

        size_t i = 0;
        while (i < line.size() && IsBlank(line[i]))
            ++i;
        if (i < line.size() && line[i] == '[') {
            const size_t close = line.rfind(']');
            if (close != std::string_view::npos && close > i) {
                section = &AddSection(Trim(line.substr(i + 1, close - i - 1)), std::string(line));
                continue;
            }
        }
        Line entry;
        entry.text.assign(line);
        const size_t eq = line.find('=', i);
        if (i < line.size() && line[i] != ';' && eq != std::string_view::npos) {
            const std::string_view key = Trim(line.substr(i, eq - i));
            const std::string_view rest = line.substr(eq + 1);
            const std::string_view value = Trim(rest);
            entry.isKey = true;
            entry.keyBegin = static_cast<uint32_t>(i);
            entry.keyLength = static_cast<uint32_t>(key.size());
            entry.valueBegin = static_cast<uint32_t>(value.data() - line.data());
            entry.valueLength = static_cast<uint32_t>(value.size());
        }
        section->lines.push_back(std::move(entry));
    }
    for (auto& s : m_sections) {
        if (s->lines.size() > kIndexedSectionSize)
            IndexKeys(*s);
    }
    return lines <= kMaxIniLines;
}

IniFile::Section& IniFile::AddSection(std::string_view name, std::string header) {
    auto fresh = std::make_unique<Section>();
    fresh->name.assign(name);
    fresh->hasHeader = true;
    fresh->header = std::move(header);
    Section& added = *fresh;
    m_sectionIndex.emplace(LowerCopy(name), m_sections.size());
    m_sections.push_back(std::move(fresh));
    return added;
}

void IniFile::IndexKeys(Section& section) {
    section.keyIndex = std::make_unique<std::unordered_map<std::string, uint32_t>>();
    for (size_t i = 0; i < section.lines.size(); ++i) {
        const Line& line = section.lines[i];
        if (line.isKey)
            section.keyIndex->emplace(LowerCopy(line.Key()), static_cast<uint32_t>(i));
    }
}

const IniFile::Section* IniFile::FindSection(std::string_view section) const {
    const auto it = m_sectionIndex.find(LowerCopy(Trim(section)));
    return it == m_sectionIndex.end() ? nullptr : m_sections[it->second].get();
}

IniFile::Section* IniFile::FindSection(std::string_view section) {
    const auto it = m_sectionIndex.find(LowerCopy(Trim(section)));
    return it == m_sectionIndex.end() ? nullptr : m_sections[it->second].get();
}

long IniFile::FindKey(const Section& section, std::string_view key) {
    if (section.keyIndex) {
        const auto it = section.keyIndex->find(LowerCopy(key));
        return it == section.keyIndex->end() ? -1 : static_cast<long>(it->second);
    }
    for (size_t i = 0; i < section.lines.size(); ++i) {
        const Line& line = section.lines[i];
        if (line.isKey && EqualNoCase(line.Key(), key))
            return static_cast<long>(i);
    }
    return -1;
}

bool IniFile::Load(const std::string& path, bool* tooLarge, size_t maxSize) {
    Parse({});
    bool large = false;
    if (tooLarge == nullptr)
        tooLarge = &large;
    *tooLarge = false;
    // Non-blocking open, so that a FIFO chosen by mistake cannot hang the caller.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return false;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
        close(fd);
        return false;
    }
    if (static_cast<uint64_t>(st.st_size) > maxSize) {
        close(fd);
        *tooLarge = true;
        return false;
    }
    std::string bytes(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close(fd);
            return false;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    bytes.resize(got);
    *tooLarge = !Parse(bytes);
    return !*tooLarge;
}

std::string IniFile::Serialize() const {
    size_t total = 0;
    for (const auto& s : m_sections) {
        total += s->header.size() + 2;
        for (const Line& line : s->lines)
            total += line.text.size() + 2;
    }
    std::string out;
    out.reserve(total);
    for (const auto& s : m_sections) {
        if (s->hasHeader) {
            out += s->header;
            out += "\r\n";
        }
        for (const Line& line : s->lines) {
            out += line.text;
            out += "\r\n";
        }
    }
    return out;
}

bool IniFile::Save(const std::string& path, unsigned mode) const {
    return AtomicWriteFile(path, Serialize(), mode);
}

std::optional<std::string> IniFile::Find(std::string_view section, std::string_view key) const {
    const Section* s = FindSection(section);
    if (s == nullptr)
        return std::nullopt;
    const long i = FindKey(*s, key);
    if (i < 0)
        return std::nullopt;
    return ProfileValue(s->lines[static_cast<size_t>(i)].Value(), kWholeValue);
}

std::string IniFile::GetString(std::string_view section, std::string_view key, std::string_view def,
                               size_t bufferSize) const {
    const Section* s = FindSection(section);
    const long i = s != nullptr ? FindKey(*s, key) : -1;
    if (i < 0)
        return ProfileValue(def, bufferSize);
    return ProfileValue(s->lines[static_cast<size_t>(i)].Value(), bufferSize);
}

int32_t IniFile::GetInt(std::string_view section, std::string_view key, int32_t def) const {
    return ProfileInt(GetString(section, key, ""), def);
}

bool IniFile::HasSection(std::string_view section) const {
    return FindSection(section) != nullptr;
}

void IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value,
                          bool protect) {
    Section* s = FindSection(section);
    if (s == nullptr) {
        std::string header;
        header.reserve(section.size() + 2);
        header += '[';
        header += Trim(section);
        header += ']';
        s = &AddSection(Trim(section), std::move(header));
    }
    Line line;
    line.text.assign(key);
    line.text += '=';
    line.text += ProfileEncode(value, protect);
    line.isKey = true;
    line.keyLength = static_cast<uint32_t>(key.size());
    line.valueBegin = static_cast<uint32_t>(key.size() + 1);
    line.valueLength = static_cast<uint32_t>(line.text.size() - key.size() - 1);

    const long found = FindKey(*s, key);
    if (found >= 0) {
        // The key keeps the spelling the file gave it.
        Line& old = s->lines[static_cast<size_t>(found)];
        const std::string oldKey(old.Key());
        const std::string_view encoded = std::string_view(line.text).substr(line.valueBegin);
        old.text = oldKey + "=" + std::string(encoded);
        old.keyBegin = 0;
        old.keyLength = static_cast<uint32_t>(oldKey.size());
        old.valueBegin = static_cast<uint32_t>(oldKey.size() + 1);
        old.valueLength = static_cast<uint32_t>(encoded.size());
        return;
    }
    size_t at = 0;
    for (size_t i = 0; i < s->lines.size(); ++i) {
        if (s->lines[i].isKey)
            at = i + 1;
    }
    s->lines.insert(s->lines.begin() + static_cast<long>(at), std::move(line));
    const bool atEnd = at + 1 == s->lines.size();
    if (atEnd && s->keyIndex)
        s->keyIndex->emplace(LowerCopy(key), static_cast<uint32_t>(at));
    else if (s->keyIndex || s->lines.size() > kIndexedSectionSize)
        IndexKeys(*s);
}

void IniFile::WriteInt(std::string_view section, std::string_view key, int64_t value) {
    WriteString(section, key, std::to_string(value));
}

std::string ProfileValue(std::string_view raw, size_t bufferSize) {
    std::string_view v = Trim(raw);
    const size_t nul = v.find('\0');
    if (nul != std::string_view::npos)
        v = v.substr(0, nul);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    if (bufferSize == 0)
        return {};
    if (bufferSize != kWholeValue)
        v = v.substr(0, CutLength(v, bufferSize - 1));
    return std::string(v);
}

std::string ProfileEncode(std::string_view value, bool protect) {
    const size_t nul = value.find('\0');
    std::string v(value.substr(0, nul));
    for (char& c : v) {
        if (c == '\r' || c == '\n')
            c = ' ';
    }
    const bool quoted =
        v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front();
    if (protect && !v.empty() && (IsBlank(v.front()) || IsBlank(v.back()) || quoted))
        return "\"" + v + "\"";
    return v;
}

int32_t ProfileInt(std::string_view value, int32_t def) {
    value = Trim(value);
    if (value.empty())
        return def;
    size_t i = 0;
    bool negative = false;
    if (value[0] == '-' || value[0] == '+') {
        negative = value[0] == '-';
        ++i;
    }
    uint32_t n = 0;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i)
        n = n * 10u + static_cast<uint32_t>(value[i] - '0');
    if (negative)
        n = 0u - n;
    return static_cast<int32_t>(n);
}

std::string WinIniPath() {
    const std::string dir = RegistryDirectory();
    return dir.empty() ? std::string() : dir + "/win.ini";
}

std::string GetProfileString(std::string_view section, std::string_view key, std::string_view def,
                             size_t bufferSize) {
    IniFile ini;
    const std::string path = WinIniPath();
    if (!path.empty())
        ini.Load(path);
    return ini.GetString(section, key, def, bufferSize);
}

int32_t GetProfileInt(std::string_view section, std::string_view key, int32_t def) {
    return ProfileInt(GetProfileString(section, key, ""), def);
}

bool WriteProfileString(std::string_view section, std::string_view key, std::string_view value) {
    const std::string dir = RegistryDirectory();
    if (dir.empty())
        return false;
    // Make the directory and its missing parents; the last one private to the user.
    for (size_t slash = dir.find('/', 1); slash != std::string::npos;
         slash = dir.find('/', slash + 1))
        mkdir(dir.substr(0, slash).c_str(), 0700);
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    const std::string path = dir + "/win.ini";
    IniFile ini;
    struct stat st {};
    if (!ini.Load(path) && stat(path.c_str(), &st) == 0)
        return false;  // there is a file we cannot read: never replace it unseen
    ini.WriteString(section, key, value);
    return ini.Save(path, 0600);
}
